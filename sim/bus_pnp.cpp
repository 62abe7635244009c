// Plug and Play and power requests to the bus's device objects.
#include <cstdio>
#include <cstring>

#include "sim/bus_state.h"
#include "sim/text.h"

namespace sim::bus {
namespace {

constexpr ULONG kTag = 'BumS';


std::u16string Ids(const char* format, const Port& port) {
    char text[160];
    snprintf(text, sizeof text, format, port.vendor, port.product, port.revision);
    return Widen(text);
}

// Answers of PnP queries come from paged pool; the PnP manager frees them.
PWCHAR PoolString(const std::u16string& s) {
    host::faults::Exempt exempt;  // the bus's answer, not the driver's
    auto out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (s.size() + 1) * sizeof(WCHAR), kTag));
    if (!out) return nullptr;
    std::memcpy(out, s.data(), s.size() * sizeof(WCHAR));
    out[s.size()] = 0;
    return out;
}

std::u16string InstanceId(const Port& port) {
    size_t slash = port.instancePath.find_last_of(u'\\');
    return slash == std::u16string::npos ? port.instancePath : port.instancePath.substr(slash + 1);
}

NTSTATUS QueryId(Port& port, PIRP irp) {
    std::u16string id;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID: id = Ids("USB\\VID_%04X&PID_%04X", port); break;
    case BusQueryHardwareIDs:
        id = Ids("USB\\VID_%04X&PID_%04X&REV_%04X", port) + u'\0' + Ids("USB\\VID_%04X&PID_%04X", port) + u'\0';
        break;
    case BusQueryInstanceID: id = InstanceId(port); break;
    default: return CompleteIrp(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    PWCHAR answer = PoolString(id);
    if (!answer) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    return CompleteIrp(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(answer));
}

NTSTATUS QueryText(Port& port, PIRP irp) {
    std::u16string text;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceText.DeviceTextType) {
    case DeviceTextDescription: text = u"USB Device"; break;
    case DeviceTextLocationInformation: {
        char location[48];
        snprintf(location, sizeof location, "Port_#%04d.Hub_#0001", port.number);
        text = Widen(location);
        break;
    }
    default: return CompleteIrp(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    PWCHAR answer = PoolString(text);
    if (!answer) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    return CompleteIrp(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(answer));
}

NTSTATUS QueryRelations(Port& port, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation)
        return CompleteIrp(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    PDEVICE_RELATIONS relations;
    {
        host::faults::Exempt exempt;
        relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
    }
    if (!relations) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = 1;
    relations->Objects[0] = port.pdo;
    ObReferenceObject(port.pdo);  // the PnP manager's, released when it is done
    return CompleteIrp(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
}

NTSTATUS QueryCapabilities(Port& port, PIRP irp) {
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (!caps) return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    DEVICE_CAPABILITIES model = port.model->Capabilities();
    USHORT size = caps->Size ? caps->Size : model.Size;
    USHORT version = caps->Version ? caps->Version : model.Version;
    *caps = model;
    caps->Size = size;
    caps->Version = version;
    if (caps->Address == ULONG(-1)) caps->Address = static_cast<ULONG>(port.number);
    if (caps->UINumber == ULONG(-1)) caps->UINumber = static_cast<ULONG>(port.number);
    return CompleteIrp(irp, STATUS_SUCCESS);
}

// The device leaves its configured state; the PDO stays for as long as the bus knows it.
NTSTATUS Remove(Port& port, PIRP irp) {
    DropConfiguration(port);
    return CompleteIrp(irp, STATUS_SUCCESS);
}

VOID NTAPI CancelWaitWake(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Port& port = *PortOf(pdo);
    {
        Locked locked(port.bus);
        if (port.waitWake == irp) port.waitWake = nullptr;
    }
    CompleteIrp(irp, STATUS_CANCELLED);
}

NTSTATUS WaitWake(Port& port, PIRP irp) {
    NTSTATUS refused = STATUS_SUCCESS;
    bool cancelled = false;
    {
        Locked locked(port.bus);
        if (!port.plugged) {
            refused = STATUS_DEVICE_NOT_CONNECTED;
        } else if (port.waitWake) {
            refused = STATUS_DEVICE_BUSY;
        } else {
            IoMarkIrpPending(irp);
            port.waitWake = irp;
            IoSetCancelRoutine(irp, CancelWaitWake);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
                port.waitWake = nullptr;
                cancelled = true;
            }
        }
    }
    if (refused != STATUS_SUCCESS) return CompleteIrp(irp, refused);
    if (cancelled) CompleteIrp(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
}

// The bus records what its device objects are set to, as a bus driver does with
// PoSetPowerState; a device below D0 gets no traffic until it is back (bus_frames, bus_urb).
NTSTATUS SetPower(Port& port, PIRP irp) {
    PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    ULONG type;  // read as a number: a request may carry any value
    std::memcpy(&type, &sl->Parameters.Power.Type, sizeof type);
    POWER_STATE state = sl->Parameters.Power.State;
    if (type == DevicePowerState) {
        {
            Locked locked(port.bus);
            port.power = state.DeviceState;
            if (state.DeviceState == PowerDeviceD0) port.look = true;
        }
        port.model->PowerChanged(state.DeviceState);
        WakeFrames(port.bus);
    }
    if (type == DevicePowerState || type == SystemPowerState)
        PoSetPowerState(port.pdo, static_cast<POWER_STATE_TYPE>(type), state);
    PoStartNextPowerIrp(irp);
    return CompleteIrp(irp, STATUS_SUCCESS);
}

NTSTATUS Start(Port& port, PIRP irp) {
    NTSTATUS status;
    {
        Locked locked(port.bus);
        status = port.startFailure;
    }
    return CompleteIrp(irp, status);
}

}  // namespace

PIRP TakeWaitWake(Port& port) {
    Locked locked(port.bus);
    PIRP irp = port.waitWake;
    if (!irp || !IoSetCancelRoutine(irp, nullptr)) return nullptr;  // none, or being cancelled
    port.waitWake = nullptr;
    return irp;
}

void FinishWaitWake(PIRP irp, NTSTATUS status) {
    if (irp) CompleteIrp(irp, status);
}

NTSTATUS DispatchPnp(Port& port, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: return Start(port, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: return Remove(port, irp);
    case IRP_MN_QUERY_CAPABILITIES: return QueryCapabilities(port, irp);
    case IRP_MN_QUERY_ID: return QueryId(port, irp);
    case IRP_MN_QUERY_DEVICE_TEXT: return QueryText(port, irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS: return QueryRelations(port, irp);
    default: return CompleteIrp(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

NTSTATUS DispatchPower(Port& port, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_SET_POWER: return SetPower(port, irp);
    case IRP_MN_QUERY_POWER:
        PoStartNextPowerIrp(irp);
        return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE: return WaitWake(port, irp);
    default:
        PoStartNextPowerIrp(irp);
        return CompleteIrp(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

}  // namespace sim::bus
