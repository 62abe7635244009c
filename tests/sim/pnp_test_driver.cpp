#include "sim/pnp_test_driver.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace pnptest {
namespace {

constexpr ULONG kTag = 'tPnP';
enum class Role : uint32_t { Fdo = 1, Pdo, ChildFdo };

struct Device {
    Role role;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower = nullptr;  // Fdo, ChildFdo
    // Fdo: its child PDO, while it exists. Pdo: the function device that made it.
    Device* child = nullptr;
    Device* parent = nullptr;
    bool reported = true;  // Pdo: its parent still reports it
    int number = 0;
};

struct Shared {
    std::mutex mutex;
    Behaviour behaviour;
    std::vector<std::string> log;
    std::atomic<int> unloads{0};
    std::atomic<int> children{0};
};

Shared& S() {
    static Shared shared;
    return shared;
}

Device* Of(PDEVICE_OBJECT device) { return static_cast<Device*>(device->DeviceExtension); }

const char* MinorName(UCHAR minor) {
    switch (minor) {
    case IRP_MN_START_DEVICE: return "START";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE";
    case IRP_MN_STOP_DEVICE: return "STOP";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP";
    case IRP_MN_QUERY_DEVICE_RELATIONS: return "RELATIONS";
    case IRP_MN_QUERY_CAPABILITIES: return "CAPABILITIES";
    case IRP_MN_QUERY_DEVICE_TEXT: return "TEXT";
    case IRP_MN_QUERY_ID: return "ID";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE";
    default: return "OTHER";
    }
}

void Note(const Device& d, UCHAR minor) {
    static const char* const kRoles[] = {"", "fdo", "pdo", "cfdo"};
    std::lock_guard guard(S().mutex);
    S().log.push_back(std::string(kRoles[static_cast<int>(d.role)]) + " " + MinorName(minor));
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CompleteUnchanged(PIRP irp) {
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(Device& d, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(d.lower, irp);
}

NTSTATUS PassDownWith(Device& d, PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    return PassDown(d, irp);
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and takes it back once the devices below have completed it.
NTSTATUS ForwardAndWait(Device& d, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(d.lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

// ---- The child PDO ----

std::u16string Digits(int n) {
    std::string text = std::to_string(n);
    return std::u16string(text.begin(), text.end());
}

ULONG_PTR PoolString(const std::u16string& s, bool list) {
    Behaviour b = Config();
    size_t units = s.size() + 1 + (list && !b.childIdsOneZero ? 1 : 0);
    auto out = static_cast<char16_t*>(ExAllocatePoolWithTag(b.childIdPool, units * sizeof(char16_t), kTag));
    if (!out) return 0;
    std::memset(out, 0, units * sizeof(char16_t));
    std::memcpy(out, s.data(), s.size() * sizeof(char16_t));
    return reinterpret_cast<ULONG_PTR>(out);
}

NTSTATUS ChildId(Device& d, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID: return Complete(irp, STATUS_SUCCESS, PoolString(kChildId, false));
    case BusQueryHardwareIDs:
        return Complete(irp, STATUS_SUCCESS, PoolString(std::u16string(kChildId) + u'\0' + u"PNPTEST\\ANY", true));
    case BusQueryInstanceID: return Complete(irp, STATUS_SUCCESS, PoolString(Digits(d.number), false));
    default: return CompleteUnchanged(irp);
    }
}

NTSTATUS ChildText(PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription)
        return CompleteUnchanged(irp);
    static const char16_t kText[] = u"PnP test child";
    if (Config().childTextUnpooled) return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(kText));
    size_t size = Config().childTextUnterminated ? sizeof kText - sizeof kText[0] : sizeof kText;
    auto text = static_cast<char16_t*>(ExAllocatePoolWithTag(PagedPool, size, kTag));
    std::memcpy(text, kText, size);
    return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(text));
}

NTSTATUS ChildCapabilities(Device& d, PIRP irp) {
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    caps->Removable = 1;
    caps->SurpriseRemovalOK = 1;
    caps->Address = static_cast<ULONG>(d.number);
    return Complete(irp, STATUS_SUCCESS, 0);
}

void DeleteChild(Device& child) {
    if (child.parent) child.parent->child = nullptr;
    IoDeleteDevice(child.self);
}

NTSTATUS ChildPnp(Device& d, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MN_REMOVE_DEVICE: {
        // A child still reported stays until its parent goes.
        bool gone = !d.reported;
        Complete(irp, STATUS_SUCCESS, 0);
        if (gone) DeleteChild(d);
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_ID: return ChildId(d, irp);
    case IRP_MN_QUERY_DEVICE_TEXT: return ChildText(irp);
    case IRP_MN_QUERY_CAPABILITIES: return ChildCapabilities(d, irp);
    default: return CompleteUnchanged(irp);
    }
}

// ---- The function device ----

std::u16string NameOf(int number) {
    char text[48];
    std::snprintf(text, sizeof text, "\\Device\\PnpTestChild%d", number);
    return std::u16string(text, text + std::strlen(text));
}

void CreateChild(Device& fdo) {
    int number = ++S().children;
    std::u16string name = NameOf(number);
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, reinterpret_cast<PCWSTR>(name.c_str()));
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(fdo.self->DriverObject, sizeof(Device), &counted, FILE_DEVICE_BUS_EXTENDER, 0,
                                   FALSE, &pdo)))
        return;
    Device* child = new (pdo->DeviceExtension) Device{Role::Pdo, pdo};
    child->parent = &fdo;
    child->number = number;
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    fdo.child = child;
}

NTSTATUS FdoStart(Device& d, PIRP irp) {
    NTSTATUS status = ForwardAndWait(d, irp);
    if (NT_SUCCESS(status) && Config().failStart) status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status) && Config().child && !d.child) CreateChild(d);
    return Complete(irp, status, 0);
}

NTSTATUS FdoRelations(Device& d, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type != BusRelations || !d.child)
        return PassDown(d, irp);
    const Behaviour& b = Config();
    static DEVICE_RELATIONS unpooled;
    size_t entries = b.relationsNullEntry ? 2 : 1;
    size_t size = sizeof(DEVICE_RELATIONS) + (entries - 1) * sizeof(PDEVICE_OBJECT);
    auto relations = b.relationsUnpooled ? &unpooled
                                         : static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kTag));
    relations->Count = 0;
    if (d.child->reported) {
        relations->Count = static_cast<ULONG>(entries + (b.relationsOvercount ? 1 : 0));
        relations->Objects[0] = d.child->self;
        if (b.relationsNullEntry) relations->Objects[1] = nullptr;
        if (b.referenceRelations) ObReferenceObject(d.child->self);
    }
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return PassDownWith(d, irp, STATUS_SUCCESS);
}

NTSTATUS FdoRemove(Device& d, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassDown(d, irp);
    IoDetachDevice(d.lower);
    if (d.child) DeleteChild(*d.child);
    IoDeleteDevice(d.self);
    return status;
}

NTSTATUS FdoPnp(Device& d, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: return FdoStart(d, irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS: return FdoRelations(d, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        if (Config().refuseQueryStop) return Complete(irp, STATUS_UNSUCCESSFUL, 0);
        return PassDownWith(d, irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (Config().refuseQueryRemove) return Complete(irp, STATUS_UNSUCCESSFUL, 0);
        return PassDownWith(d, irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: return PassDownWith(d, irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: return FdoRemove(d, irp);
    default: return PassDown(d, irp);
    }
}

// ---- The child's function device ----

// Detaches before the PDO below may delete itself: nothing may stay attached to it.
NTSTATUS ChildFdoRemove(Device& d, PIRP irp) {
    PDEVICE_OBJECT lower = d.lower;
    PDEVICE_OBJECT self = d.self;
    IoDetachDevice(lower);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    IoDeleteDevice(self);
    return status;
}

NTSTATUS ChildFdoPnp(Device& d, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE: return ChildFdoRemove(d, irp);
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: return PassDownWith(d, irp, STATUS_SUCCESS);
    default: return PassDown(d, irp);
    }
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    Device& d = *Of(device);
    Note(d, IoGetCurrentIrpStackLocation(irp)->MinorFunction);
    switch (d.role) {
    case Role::Fdo: return FdoPnp(d, irp);
    case Role::Pdo: return ChildPnp(d, irp);
    case Role::ChildFdo: return ChildFdoPnp(d, irp);
    }
    return CompleteUnchanged(irp);
}

NTSTATUS NTAPI DispatchFile(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

NTSTATUS AddFunction(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, Role role) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Device), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    Device* d = new (device->DeviceExtension) Device{role, device};
    d->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!d->lower) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_POWER_PAGABLE;
    if (role == Role::Fdo || !Config().childStaysInitializing) device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AddFdo(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) { return AddFunction(driver, pdo, Role::Fdo); }
NTSTATUS NTAPI AddChildFdo(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) { return AddFunction(driver, pdo, Role::ChildFdo); }

VOID NTAPI Unload(PDRIVER_OBJECT) { ++S().unloads; }

}  // namespace

Behaviour& Config() { return S().behaviour; }

std::vector<std::string> Log() {
    std::lock_guard guard(S().mutex);
    return S().log;
}

void ClearLog() {
    std::lock_guard guard(S().mutex);
    S().log.clear();
}

int Unloads() { return S().unloads.load(); }

void Reset() {
    ClearLog();
    S().behaviour = {};
    S().unloads = 0;
    S().children = 0;
}

NTSTATUS NTAPI FunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->DriverExtension->AddDevice = AddFdo;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ChildEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchFile;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchFile;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchFile;
    driver->DriverExtension->AddDevice = AddChildFdo;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT ChildOf(PDEVICE_OBJECT fdo) {
    Device* child = Of(fdo)->child;
    return child ? child->self : nullptr;
}

std::u16string ChildName(PDEVICE_OBJECT child) { return NameOf(Of(child)->number); }

void DropChild(PDEVICE_OBJECT fdo) {
    if (Device* child = Of(fdo)->child) child->reported = false;
}

}  // namespace pnptest
