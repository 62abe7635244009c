#include "core/unit_table.h"
#include "pnp/pnp.h"

static ULONG StringChars(PCWSTR Text) {
    ULONG n = 0;
    while (Text[n] != 0) {
        ++n;
    }
    return n;
}

// A list runs to the zero after its last string's zero; an empty first string is one zero.
static ULONG ListChars(PCWSTR List) {
    if (List[0] == 0) {
        return 1;
    }
    ULONG n = 0;
    while (List[n] != 0) {
        n += StringChars(List + n) + 1;
    }
    return n + 1;
}

// The Plug and Play manager frees the answer: it comes from paged pool.
static ULONG_PTR CopyAnswer(PCWSTR Text, ULONG Chars) {
    PWCHAR copy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, Chars * sizeof(WCHAR), POOL_TAG);
    if (copy) {
        RtlCopyMemory(copy, Text, Chars * sizeof(WCHAR));
    }
    return (ULONG_PTR)copy;
}

static PCWSTR ParentString(PDO_EXTENSION* Child, ULONG Number) {
    return LookupProductString(Child->Parent->DeviceObject, Number);
}

static NTSTATUS QueryId(PDO_EXTENSION* Child, PIRP Irp, PIO_STACK_LOCATION Stack) {
    PCWSTR hardwareId = ParentString(Child, PRODUCT_HARDWARE_ID);
    switch (Stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
    case BusQueryHardwareIDs:
        Irp->IoStatus.Information = CopyAnswer(hardwareId, ListChars(hardwareId));
        break;
    case BusQueryCompatibleIDs:
        Irp->IoStatus.Information = 0;
        break;
    case BusQueryInstanceID: {
        PCWSTR instance = hardwareId;
        while (*instance != 0 && *instance != '\\') {
            ++instance;
        }
        if (*instance == '\\') {
            ++instance;
        }
        Irp->IoStatus.Information = CopyAnswer(instance, ListChars(instance));
        break;
    }
    default:
        return Irp->IoStatus.Status;
    }
    return STATUS_SUCCESS;
}

static NTSTATUS QueryText(PDO_EXTENSION* Child, PIRP Irp, PIO_STACK_LOCATION Stack) {
    if (Stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
        PCWSTR text = ParentString(Child, PRODUCT_DESCRIPTION);
        Irp->IoStatus.Information = CopyAnswer(text, StringChars(text) + 1);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS QueryCapabilities(PIO_STACK_LOCATION Stack) {
    PDEVICE_CAPABILITIES caps = Stack->Parameters.DeviceCapabilities.Capabilities;
    caps->Size = sizeof(DEVICE_CAPABILITIES);
    caps->Version = 1;
    caps->LockSupported = 0;
    caps->EjectSupported = 0;
    caps->DockDevice = 0;
    caps->Removable = 1;
    caps->UniqueID = 1;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    caps->D1Latency = 0;
    caps->D2Latency = 0;
    caps->D3Latency = 0;
    return STATUS_SUCCESS;
}

static NTSTATUS QueryTargetRelation(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack) {
    if (Stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) {
        return Irp->IoStatus.Status;
    }
    PDEVICE_RELATIONS relations =
        (PDEVICE_RELATIONS)ExAllocatePoolWithTag(NonPagedPool, sizeof(DEVICE_RELATIONS), POOL_TAG);
    if (!relations) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    relations->Count = 1;
    relations->Objects[0] = DeviceObject;
    ObReferenceObject(DeviceObject);
    Irp->IoStatus.Information = (ULONG_PTR)relations;
    return STATUS_SUCCESS;
}

// Its own removal deletes the child unless a surprise removal came first; then the master's
// removal does. Whichever deletes it takes it out of its links first.
static NTSTATUS Remove(PDO_EXTENSION* Child, PIRP Irp) {
    if (!(SetFlags(&Child->Flags, DEVICE_REMOVED) & DEVICE_REMOVED)) {
        InterlockedExchange((LONG volatile*)&Child->Flags, DEVICE_REMOVED);
        UnlinkChild(Child);
        DestroyChildDevice(Child);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, Irp->IoStatus.Information);
}

static NTSTATUS Answer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                       PDO_EXTENSION* Child) {
    switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        SetFlags(&Child->Flags, DEVICE_STARTED);
        return STATUS_SUCCESS;
    case IRP_MN_STOP_DEVICE:
        ClearFlags(&Child->Flags, DEVICE_STARTED);
        return STATUS_SUCCESS;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        return STATUS_SUCCESS;
    case IRP_MN_SURPRISE_REMOVAL:
        SetFlags(&Child->Flags, DEVICE_REMOVED);
        return STATUS_SUCCESS;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return QueryTargetRelation(DeviceObject, Irp, Stack);
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(Stack);
    case IRP_MN_QUERY_DEVICE_TEXT:
        return QueryText(Child, Irp, Stack);
    case IRP_MN_QUERY_ID:
        return QueryId(Child, Irp, Stack);
    default:
        return Irp->IoStatus.Status;
    }
}

NTSTATUS ChildPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                  PDO_EXTENSION* Extension) {
    if (Stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        return Remove(Extension, Irp);
    }
    NTSTATUS status = Answer(DeviceObject, Irp, Stack, Extension);
    return CompleteRequest(Irp, status, Irp->IoStatus.Information);
}
