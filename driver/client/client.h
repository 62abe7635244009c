// Client interfaces: the child's internal requests, device control, file access.
#pragma once

#include "core/core.h"

NTSTATUS FdoInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                                  FDO_EXTENSION* Extension);
NTSTATUS ChildInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                    PIO_STACK_LOCATION Stack, PDO_EXTENSION* Extension);
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
