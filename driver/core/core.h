// The driver's shared types: the two device extensions, the Flags bits, the settings, the
// I/O count and the device-ready test. Every subsystem includes this header.
#pragma once

#include "platform/platform.h"
#include "public/driver_entry.h"
#include "public/pmc7r.h"

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

#define INPUT_RING_SIZE 128
#define OUTPUT_RING_SIZE 1024
// Both rings wrap their indices with a mask of size - 1.
static_assert((INPUT_RING_SIZE & (INPUT_RING_SIZE - 1)) == 0, "INPUT_RING_SIZE is a power of two");
static_assert((OUTPUT_RING_SIZE & (OUTPUT_RING_SIZE - 1)) == 0, "OUTPUT_RING_SIZE is a power of two");
#define INTERFACE_LINK_CHARS 256

struct PDO_EXTENSION;
struct TransferSlot;
struct UNIT_SLOT;
struct UNIT_DATA_BLOCK;
struct PRODUCT_RECORD;
struct EXCHANGE_CONTEXT;
struct OPEN_CONTEXT;

// Lock order: a lock is taken only while holding locks listed before it.
// - Passive-level locks (synchronisation events): a unit's OpenLock, then its WriteLock.
//   OutputLock is taken with no other held.
// - Spin locks: a unit's InputLock; then its ExchangeLock or its OpenContextLock, or the
//   driver's ChildLock and then the child's ReadLock; the child's ReadLock, then the driver's
//   UnitTableLock; UnitTableLock, then a unit's IoCountLock. SlotListLock is taken last.
// Completions of requests the driver owns run with none of these held.

struct FDO_EXTENSION {
    // Shared with the child's extension: routing and the state test read either kind.
    ULONG Signature;
    ULONG Flags;  // atomic bit operations only (SetFlags, ClearFlags)
    PDEVICE_OBJECT DeviceObject;

    // The device stack and Plug and Play.
    PDEVICE_OBJECT LowerDevice;
    LONG LowerStackSize;
    PDEVICE_OBJECT PhysicalDeviceObject;
    ULONG VendorProductId;
    const PRODUCT_RECORD* ProductRecord;
    DEVICE_CAPABILITIES Capabilities;
    WCHAR InterfaceLinkName[INTERFACE_LINK_CHARS];
    PDO_EXTENSION* Child;  // the master's child; under the driver's ChildLock
    KSPIN_LOCK IoCountLock;
    LONG IoCount;  // under IoCountLock
    KEVENT RemoveEvent;
    KEVENT IdleEvent;

    // Power.
    ULONG DevicePowerState;
    ULONG IdlePowerState;
    PIRP PendingSystemPowerIrp;
    KEVENT PowerUpEvent;
    NTSTATUS PowerUpStatus;  // set by the completion of a power-up, before PowerUpEvent
    KEVENT FullPowerEvent;  // set when the unit is back in D0, for a writer holding back

    // The USB configuration: written by the start and the removal only.
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    USBD_PIPE_HANDLE BulkInPipe;
    USBD_PIPE_HANDLE BulkOutPipe;
    ULONG MaxPacketSize;
    LONG OpenPipeCount;

    // The unit: its place in the unit table and what its bring-up learnt.
    UNIT_SLOT* UnitSlot;  // set and cleared under the driver's UnitTableLock
    ULONG DeviceId;
    ULONG FirmwareVersion;
    ULONG UnitMode;

    // Transfer slots: the free list under SlotListLock, counted by FreeSlotSemaphore.
    KSEMAPHORE FreeSlotSemaphore;
    KSPIN_LOCK SlotListLock;
    TransferSlot* SlotChain;
    TransferSlot* FreeSlotList;
    PVOID SlotPool;
    KEVENT SlotsHomeEvent;  // set at each slot's return once the device is removed

    // Input: one packet at a time under InputLock (the ring has one writer); consumers keep
    // cursors of their own and read the write index without a lock.
    KSPIN_LOCK InputLock;
    UCHAR InputRing[INPUT_RING_SIZE];
    ULONG InputWriteIndex;
    ULONG ReadsInFlight;
    KEVENT ReadsHomeEvent;  // set when the last read in flight comes home
    KEVENT BusyEndedEvent;  // set when a status packet ends the unit's busy
    ULONG PipeResets;  // in a row, without a read that brought data between them
    // The exchange waiting for a reply, handed over under ExchangeLock.
    KSPIN_LOCK ExchangeLock;
    EXCHANGE_CONTEXT* PendingExchange;

    // Opens: the open count and the start and stop it drives, under OpenLock. File handles'
    // contexts, their parked reads and the reads served but not yet completed, under
    // OpenContextLock.
    KEVENT OpenLock;
    ULONG OpenCount;
    KSPIN_LOCK OpenContextLock;
    OPEN_CONTEXT* OpenContextList;
    PIRP ServedFileReads;

    // Output: producers take OutputLock; the pump is the ring's only consumer. One writer at
    // a time on the OUT pipe under WriteLock, and under it the interrupt time by which the
    // unit's MIDI wire will have played out what was written.
    KEVENT OutputLock;
    UCHAR OutputRing[OUTPUT_RING_SIZE];
    ULONG OutputWriteIndex;
    ULONG OutputReadIndex;
    ULONG OutputCount;
    KEVENT OutputRoomEvent;     // set when the pump takes from a full ring
    KEVENT OutputDrainedEvent;  // set when the pump empties the ring
    PKTHREAD PumpThread;
    KEVENT PumpEvent;
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
    UNIT_DATA_BLOCK* PendingReadBlock;
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
struct DRIVER_SETTINGS {
    ULONG Interface;      // "Interface": the interface number the configuration selects
    ULONG Alternate;      // "Alternate": its alternate setting
    ULONG AlternateBulk;  // "AlternateBulk": the alternate setting in bulk mode
};
extern DRIVER_SETTINGS Settings;

// Driver entry and routing
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
