// The driver's shared types: the two device extensions, the Flags bits, the settings, the
// I/O count and the device-ready test. Every subsystem includes this header.
#pragma once

#include "platform/platform.h"

#define POOL_TAG 'Wdm '

#define FDO_SIGNATURE 0x5546444F  // 'UFDO'
#define PDO_SIGNATURE 0x5550444F  // 'UPDO'

// Bits of an extension's Flags word. Every change is an atomic bit operation (SetFlags,
// ClearFlags): the word is changed at passive level and from the bulk-in completion.
#define DEVICE_REMOVED 0x1
#define DEVICE_REMOVE_PENDING 0x2
#define DEVICE_STOP_PENDING 0x4
#define DEVICE_STARTED 0x8
#define WAIT_WAKE_ARMED 0x10
#define POWER_REQUEST_PENDING 0x20
#define UNIT_PUMP_RUNNING 0x40
#define UNIT_BUSY 0x80
#define IN_PIPE_HALTED 0x100
#define UNIT_BUSY_REPORTS 0x1000

#define MAX_UNITS 8
#define INPUT_RING_SIZE 128
#define OUTPUT_RING_SIZE 1024
// Both rings wrap their indices with a mask of size - 1.
static_assert((INPUT_RING_SIZE & (INPUT_RING_SIZE - 1)) == 0, "INPUT_RING_SIZE is a power of two");
static_assert((OUTPUT_RING_SIZE & (OUTPUT_RING_SIZE - 1)) == 0, "OUTPUT_RING_SIZE is a power of two");
#define INTERFACE_LINK_CHARS 256

struct PDO_EXTENSION;
struct TransferSlot;
struct UNIT_SLOT;
struct PRODUCT_RECORD;

struct FDO_EXTENSION {
    ULONG Signature;
    ULONG Flags;
    PDEVICE_OBJECT DeviceObject;
    PDO_EXTENSION* Child;
    UNIT_SLOT* UnitSlot;
    ULONG DeviceId;
    ULONG FirmwareVersion;
    PDEVICE_OBJECT LowerDevice;
    PVOID PendingExchange;
    LONG LowerStackSize;
    PDEVICE_OBJECT PhysicalDeviceObject;
    ULONG DevicePowerState;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    PVOID ConfigurationDescriptor;
    PVOID DeviceDescriptor;
    PVOID InterfaceInfo;
    USBD_PIPE_HANDLE BulkInPipe;
    USBD_PIPE_HANDLE BulkOutPipe;
    ULONG VendorProductId;
    const PRODUCT_RECORD* ProductRecord;
    DEVICE_CAPABILITIES Capabilities;
    PIRP PendingSystemPowerIrp;
    KEVENT RemoveEvent;
    KEVENT IdleEvent;
    KEVENT PowerUpEvent;
    NTSTATUS PowerUpStatus;
    KSPIN_LOCK IoCountLock;
    LONG IoCount;
    LONG OpenPipeCount;
    WCHAR InterfaceLinkName[INTERFACE_LINK_CHARS];
    ULONG IdlePowerState;
    ULONG MaxPacketSize;
    ULONG OpenCount;
    ULONG ReadsInFlight;
    ULONG PipeResets;  // in a row, without a read that brought data between them
    KSEMAPHORE FreeSlotSemaphore;
    TransferSlot* SlotChain;
    TransferSlot* FreeSlotList;
    PVOID SlotPool;
    ULONG UnitMode;
    UCHAR InputRing[INPUT_RING_SIZE];
    ULONG InputWriteIndex;
    PKTHREAD PumpThread;
    KEVENT PumpEvent;
    ULONG OutputWriteIndex;
    ULONG OutputReadIndex;
    ULONG OutputCount;
    UCHAR OutputRing[OUTPUT_RING_SIZE];
    PVOID OpenContextList;
    // Beyond the fields above, the locks that make the shared state safe on several
    // processors: the free transfer-slot list; the handling of one input packet (the ring
    // has one writer); the hand-over of a waiting exchange.
    KSPIN_LOCK SlotListLock;
    KSPIN_LOCK InputLock;
    KSPIN_LOCK ExchangeLock;
    // Opens and closes of one unit come from file handles, the child's client and the
    // bring-up at once: they take OpenLock. Producers of the output ring take OutputLock.
    // Both are synchronisation events used as passive-level locks.
    KEVENT OpenLock;
    KEVENT OutputLock;
    // Create, close, a file read, the delivery of input and the file read's cancel routine
    // run on several processors at once: the open contexts, their parked reads, and the reads
    // served by the delivery but not yet completed are guarded by OpenContextLock.
    KSPIN_LOCK OpenContextLock;
    PIRP ServedFileReads;
    // One writer at a time on the OUT pipe, so that every packet of one write leaves back to
    // back (a synchronisation event used as a passive-level lock); under it, the interrupt
    // time by which the unit's MIDI wire will have played out what was written.
    KEVENT WriteLock;
    ULONGLONG WireClearAt;
};

struct PDO_EXTENSION {
    ULONG Signature;
    ULONG Flags;
    PDEVICE_OBJECT DeviceObject;
    PDO_EXTENSION* NextChild;
    FDO_EXTENSION* Parent;
    PCWSTR ObjectName;
    ULONG DevicePowerState;
    ULONG SystemPowerState;
    PIRP PendingReadIrp;
    PVOID PendingReadBlock;
    // Beyond the fields above: the child's read lock over the two fields before it.
    KSPIN_LOCK ReadLock;
};

// Both kinds open with the same three fields, so routing and the state test read either.
static_assert(offsetof(FDO_EXTENSION, Signature) == offsetof(PDO_EXTENSION, Signature));
static_assert(offsetof(FDO_EXTENSION, Flags) == offsetof(PDO_EXTENSION, Flags));
static_assert(offsetof(FDO_EXTENSION, DeviceObject) == offsetof(PDO_EXTENSION, DeviceObject));

// Driver-wide settings from the service key, read once by DriverEntry, and what they are
// without a value there (the installation writes the same).
#define DEFAULT_INTERFACE 2
#define DEFAULT_ALTERNATE 1
#define DEFAULT_ALTERNATE_BULK 0
extern ULONG Interface;
extern ULONG Alternate;
extern ULONG AlternateBulk;

// Driver entry and routing
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
ULONG ReadRegistryDword(HANDLE Key, PCWSTR ValueName, ULONG Default);
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);

// I/O reference count and device state
VOID IoIncrement(PDEVICE_OBJECT DeviceObject);
LONG IoDecrement(PDEVICE_OBJECT DeviceObject);
BOOLEAN IsDeviceReady(PDEVICE_OBJECT DeviceObject);

// A read of a word that other processors change with interlocked operations.
inline ULONG ReadShared(volatile ULONG* Value) { return ReadULongAcquire(Value); }

inline PVOID ReadSharedPointer(PVOID volatile* Value) { return ReadPointerAcquire(Value); }

// Atomic changes of an extension's Flags word; each returns the word before the change.
ULONG SetFlags(volatile ULONG* Flags, ULONG Bits);
ULONG ClearFlags(volatile ULONG* Flags, ULONG Bits);

// Requests the driver completes itself get no priority boost.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

inline ULONG SignatureOf(PDEVICE_OBJECT DeviceObject) {
    PVOID extension = DeviceObject->DeviceExtension;
    return extension ? *(ULONG*)extension : 0;
}

inline FDO_EXTENSION* FdoExtension(PDEVICE_OBJECT DeviceObject) {
    return (FDO_EXTENSION*)DeviceObject->DeviceExtension;
}

// Add device
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS CreateFunctionDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                              PDEVICE_OBJECT* FunctionDevice);
NTSTATUS EnableDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, PUNICODE_STRING LinkName);
