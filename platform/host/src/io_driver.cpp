// Driver objects and the I/O manager's own requests: loading and unloading a driver, and
// sending a request to a device stack and waiting for it as the PnP manager does.
#include <unordered_map>

#include "io_internal.h"

namespace host::detail::iom {
namespace {

// The driver object with the strings it points to, which live as long as it does.
struct DriverBlock {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
    std::u16string registryPath;
    std::u16string serviceName;
    UNICODE_STRING registryString{};
    bool unloaded = false;
};

struct Drivers {
    std::unordered_map<const DRIVER_OBJECT*, std::unique_ptr<DriverBlock>> blocks;
};

Drivers& Table() {
    static Drivers table;
    return table;
}

UNICODE_STRING Counted(std::u16string& s) {
    UNICODE_STRING u;
    u.Buffer = s.data();
    u.Length = static_cast<USHORT>(s.size() * sizeof(WCHAR));
    u.MaximumLength = u.Length;
    return u;
}

NTSTATUS NTAPI InvalidRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void Destroy(const DRIVER_OBJECT* driver) {
    std::unique_ptr<DriverBlock> block;
    std::lock_guard guard(Lock());
    auto it = Table().blocks.find(driver);
    if (it == Table().blocks.end()) return;
    block = std::move(it->second);
    Table().blocks.erase(it);
}

}  // namespace

void ResetDrivers() {
    std::lock_guard guard(Lock());
    Table().blocks.clear();
}

std::string DriverLeaks() {
    std::lock_guard guard(Lock());
    std::string report;
    for (const auto& [driver, block] : Table().blocks)
        if (!block->unloaded) report += "driver " + Narrow(block->name) + " not unloaded\n";
    return report;
}

}  // namespace host::detail::iom

using namespace host::detail;
using namespace host::detail::iom;

PDRIVER_OBJECT host::io::LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE entry,
                                    const std::u16string& registryPath, NTSTATUS* status) {
    auto block = std::make_unique<DriverBlock>();
    block->name = name;
    block->registryPath = registryPath;
    block->serviceName = registryPath.substr(registryPath.find_last_of(u'\\') + 1);
    PDRIVER_OBJECT driver = &block->object;
    driver->Type = 4;  // IO_TYPE_DRIVER
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &block->extension;
    driver->DriverName = Counted(block->name);
    driver->DriverInit = entry;
    block->extension.DriverObject = driver;
    block->extension.ServiceKeyName = Counted(block->serviceName);
    block->registryString = Counted(block->registryPath);
    for (PDRIVER_DISPATCH& slot : driver->MajorFunction) slot = InvalidRequest;
    PUNICODE_STRING path = &block->registryString;
    {
        std::lock_guard guard(Lock());
        Table().blocks[driver] = std::move(block);
    }
    RegisterObject(driver, ObjectKind::Driver, [driver] { Destroy(driver); });

    NTSTATUS result = entry(driver, path);
    if (status) *status = result;
    if (NT_SUCCESS(result)) return driver;
    // A failed entry gets no unload call; devices it left keep the object (and are reported).
    if (!driver->DeviceObject) {
        {
            std::lock_guard guard(Lock());
            Table().blocks[driver]->unloaded = true;
        }
        DereferenceObject(driver);
    }
    return nullptr;
}

void host::io::UnloadDriver(PDRIVER_OBJECT driver) {
    if (driver->DeviceObject) {
        Violate(rules::kUnloadedWithDevices,
                "driver " + Narrow(FromCounted(&driver->DriverName)) + " still has device " +
                    PointerText(driver->DeviceObject));
        return;
    }
    if (driver->DriverUnload) driver->DriverUnload(driver);
    {
        std::lock_guard guard(Lock());
        auto it = Table().blocks.find(driver);
        if (it != Table().blocks.end()) it->second->unloaded = true;
    }
    DereferenceObject(driver);
}

PIRP host::io::NewRequest(CCHAR stackSize, std::function<void(PIRP)> done) {
    TrackerPtr t = NewIrp(stackSize, Origin::Request);
    PIRP irp = t->irp;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    std::lock_guard guard(Lock());
    t->done = std::move(done);
    return irp;
}

host::io::Result host::io::SendAndWait(PDEVICE_OBJECT device,
                                       const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup) {
    struct Wait {
        KEVENT event;
        Result result{STATUS_PENDING, 0};
    };
    // Shared with the completion, which may still be returning from KeSetEvent when the
    // waiter wakes.
    auto wait = std::make_shared<Wait>();
    KeInitializeEvent(&wait->event, NotificationEvent, FALSE);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    PIRP irp = NewRequest(top->StackSize, [wait](PIRP done) {
        wait->result = {done->IoStatus.Status, done->IoStatus.Information};
        KeSetEvent(&wait->event, IO_NO_INCREMENT, FALSE);
    });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    setup(irp, IoGetNextIrpStackLocation(irp));
    IofCallDriver(top, irp);
    KeWaitForSingleObject(&wait->event, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(top);
    return wait->result;
}
