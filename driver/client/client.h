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

// Unit open/close and output pump
// Returns the open count after the call; 0 means the open failed.
ULONG OpenUnit(FDO_EXTENSION* Extension);
BOOLEAN CloseUnit(FDO_EXTENSION* Extension);
// Queues Length bytes for the unit; returns how many were queued (passive level only).
ULONG EnqueueOutput(PDEVICE_OBJECT FunctionDevice, ULONG Reserved, const UCHAR* Source,
                    ULONG Length);
NTSTATUS StartUnitIo(FDO_EXTENSION* Extension);
VOID StopUnitIo(FDO_EXTENSION* Extension);
VOID NTAPI OutputPumpThread(PVOID Context);

// Plug and Play's side of the open count: a restarted unit that is open gets its reads
// back; a removed unit that is still open is closed for good before its teardown.
VOID ResumeUnitIo(FDO_EXTENSION* Extension);
VOID ShutDownUnitIo(FDO_EXTENSION* Extension);
