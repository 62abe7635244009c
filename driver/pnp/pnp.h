// Plug and Play: the function device's and the child device's handlers.
#pragma once

#include "core/core.h"

NTSTATUS FdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                FDO_EXTENSION* Extension);
NTSTATUS ChildPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                  PDO_EXTENSION* Extension);

// The product table: a master's vendor and product ID give its child's identity.
struct PRODUCT_RECORD {
    USHORT ProductId;
    USHORT VendorId;
    PCWSTR DeviceName;
    PCWSTR AliasName;
    PCWSTR Description;
    PCWSTR HardwareId;  // followed by one more zero: a one-entry string list
};

#define PRODUCT_DEVICE_NAME 0
#define PRODUCT_ALIAS_NAME 1
#define PRODUCT_DESCRIPTION 2
#define PRODUCT_HARDWARE_ID 3
#define PRODUCT_RECORD_COUNT 3

extern const PRODUCT_RECORD ProductTable[PRODUCT_RECORD_COUNT];

// The record is chosen once per function device; the last record is the fallback.
PCWSTR LookupProductString(PDEVICE_OBJECT FunctionDevice, ULONG StringNumber);

// Child device
PDO_EXTENSION* CreateChildDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT FunctionDevice);
// Ends a parked read and deletes the child's device; the child has left its links already.
VOID DestroyChildDevice(PDO_EXTENSION* Child);

// Function device
NTSTATUS StartDevice(PDEVICE_OBJECT FunctionDevice);
BOOLEAN DeleteChildDevice(PDEVICE_OBJECT FunctionDevice);
NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT FunctionDevice);

// The function device's handlers of single minor functions, each dropping FdoPnp's reference.
NTSTATUS PassPnpDown(FDO_EXTENSION* Extension, PIRP Irp);
// Sends the request down and waits for the devices below; the request is still ours.
NTSTATUS SendPnpDownAndWait(FDO_EXTENSION* Extension, PIRP Irp);
NTSTATUS FdoStart(FDO_EXTENSION* Extension, PIRP Irp);
NTSTATUS FdoRemove(FDO_EXTENSION* Extension, PIRP Irp);
NTSTATUS FdoSurpriseRemoval(FDO_EXTENSION* Extension, PIRP Irp);
NTSTATUS FdoBusRelations(FDO_EXTENSION* Extension, PIRP Irp, PIO_STACK_LOCATION Stack);
