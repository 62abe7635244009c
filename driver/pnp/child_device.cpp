#include "client/client.h"
#include "core/unit_table.h"
#include "pnp/pnp.h"

// One child per product record: a master that starts again finds its child in ChildList.
PDO_EXTENSION* CreateChildDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT FunctionDevice) {
    PCWSTR name = LookupProductString(FunctionDevice, PRODUCT_DEVICE_NAME);
    PDO_EXTENSION* existing = FindChild(name);
    if (existing) {
        return existing;
    }
    UNICODE_STRING objectName;
    RtlInitUnicodeString(&objectName, name);
    PDEVICE_OBJECT device = NULL;
    if (!NT_SUCCESS(IoCreateDevice(DriverObject, sizeof(PDO_EXTENSION), &objectName,
                                   FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device))) {
        return NULL;
    }
    PDO_EXTENSION* child = (PDO_EXTENSION*)device->DeviceExtension;
    RtlZeroMemory(child, sizeof(*child));
    child->DeviceObject = device;
    child->Signature = PDO_SIGNATURE;
    child->ObjectName = name;
    KeInitializeSpinLock(&child->ReadLock);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->Flags |= DO_POWER_PAGABLE;
    LinkChild(FdoExtension(FunctionDevice), child);
    return child;
}

// A client's read still parked on a child that goes away ends now, not never.
VOID DestroyChildDevice(PDO_EXTENSION* Child) {
    PIRP parked = TakeParkedChildRead(Child);
    if (parked) {
        CompleteRequest(parked, STATUS_DELETE_PENDING, 0);
    }
    IoDeleteDevice(Child->DeviceObject);
}
