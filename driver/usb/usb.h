// USB configuration: synchronous URBs, descriptors, capabilities, configuration and
// interface selection, deconfiguration, pipe abort and reset.
#pragma once

#include "core/core.h"

#define DESCRIPTOR_URB_SIZE sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)
#define DEVICE_DESCRIPTOR_SIZE sizeof(USB_DEVICE_DESCRIPTOR)

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);
// The same with a bound: a request not completed in time is cancelled and waited for.
NTSTATUS SubmitUrbSyncTimed(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG Milliseconds);
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID FillDescriptorRequest(PURB Urb, UCHAR DescriptorType, PVOID Buffer, ULONG Length);
PUSB_DEVICE_DESCRIPTOR GetDeviceDescriptor(PDEVICE_OBJECT DeviceObject);
NTSTATUS QueryCapabilities(PDEVICE_OBJECT Target, PDEVICE_CAPABILITIES Capabilities);

NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR Descriptor);
NTSTATUS SelectInterface(PDEVICE_OBJECT DeviceObject, UCHAR InterfaceNumber,
                         UCHAR AlternateSetting);
NTSTATUS RecordPipes(PDEVICE_OBJECT DeviceObject, PUSBD_INTERFACE_INFORMATION Interface);
NTSTATUS WriteRegistryDword(HANDLE Key, PCWSTR ValueName, ULONG Value);

// Selects no configuration; the stop that calls it keeps the device's state (passive level).
NTSTATUS UnconfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS AbortPipes(PDEVICE_OBJECT DeviceObject);
NTSTATUS AbortPipesAgain(PDEVICE_OBJECT DeviceObject);
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe);
// Clears a halted pipe with nothing pending on it (passive level only).
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe);
// Whether a transfer that failed with this status left its pipe halted.
BOOLEAN PipeHalted(USBD_STATUS Status);
