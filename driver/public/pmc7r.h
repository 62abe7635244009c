// What a client of the pmc7r driver may rely on, and nothing of the driver's own records.
//
// Three kinds of client reach the units:
// - the MIDI client driver, loaded on the master unit's child device, sends the internal
//   device controls below to the child; each unit's bytes are tagged with its device ID;
// - a kernel-mode client that opens a unit's function device fetches the direct-call table
//   with IOCTL_UNIT_GET_DIRECT_CALLS and calls the unit's entries through it;
// - an application opens a unit through the device interface and reads and writes its MIDI
//   bytes (IRP_MJ_READ, IRP_MJ_WRITE).
//
// Every control code is an unknown-device, any-access, method-neither code: its block is the
// caller's own kernel memory at Parameters.DeviceIoControl.Type3InputBuffer, used in place.
#pragma once

#include "platform/platform.h"

// Device IDs 0 to 7; the master is 0.
#define MAX_UNITS 8
#define MASTER_DEVICE_ID 0

// Registered and enabled on every unit, without a reference string:
// {4B57515A-7C1D-11D3-9D4E-00A0C9E17B35}.
static const GUID UnitInterfaceClass = {
    0x4B57515A, 0x7C1D, 0x11D3, {0x9D, 0x4E, 0x00, 0xA0, 0xC9, 0xE1, 0x7B, 0x35}};

#define UNIT_IOCTL(Function) CTL_CODE(FILE_DEVICE_UNKNOWN, Function, METHOD_NEITHER, FILE_ANY_ACCESS)

// Internal device controls on the master's child; none touches a request's output pointer.
//
// Opens every unit present (starts its pump) and moves the stream's start to the present:
// STATUS_SUCCESS, no block.
#define IOCTL_UNIT_OPEN_ALL UNIT_IOCTL(0x903)
// Closes what the open opened: STATUS_SUCCESS, no block.
#define IOCTL_UNIT_CLOSE_ALL UNIT_IOCTL(0x904)
// The block is the MIDI bytes for the master, InputBufferLength of them (not 0). Answers
// STATUS_SUCCESS with Information = the length once every byte is queued, STATUS_DEVICE_BUSY
// (a warning) with Information = the bytes queued when the unit's ring stayed full, and
// STATUS_INVALID_PARAMETER for no bytes or no master.
#define IOCTL_UNIT_WRITE_MASTER UNIT_IOCTL(0x906)
// A UNIT_DATA_BLOCK of OutputBufferLength 16 with Capacity > 0 and Data set. Completes with
// STATUS_SUCCESS and Information = ByteCount as soon as one unit has input (the lowest
// device ID first; what does not fit waits for the next read), DeviceId naming the unit;
// until then it stays pending, and cancelling it gives STATUS_CANCELLED. A second read while
// one is pending, or a bad block, is STATUS_INVALID_PARAMETER.
#define IOCTL_UNIT_READ UNIT_IOCTL(0x908)
// A UNIT_DATA_BLOCK of InputBufferLength 16: ByteCount bytes at Data for unit DeviceId (below
// MAX_UNITS). STATUS_SUCCESS with Information 16 when every byte is queued or the slot is
// empty (the bytes are dropped); STATUS_DEVICE_BUSY with ByteCount set to the bytes queued
// when the unit's ring stayed full; STATUS_INVALID_PARAMETER for a bad block.
#define IOCTL_UNIT_WRITE UNIT_IOCTL(0x909)
// 128 bytes of OutputBufferLength: one UNIT_LIST_ENTRY per device ID, zero where no unit is.
// STATUS_SUCCESS with Information 128, else STATUS_INVALID_PARAMETER.
#define IOCTL_UNIT_LIST UNIT_IOCTL(0x90A)

// Device control on a unit's function device, from kernel mode only (a user-mode request is
// STATUS_ACCESS_DENIED): fills a DIRECT_CALL_BLOCK of OutputBufferLength 24 whose Magic is
// DIRECT_CALL_MAGIC, else STATUS_INVALID_PARAMETER.
#define IOCTL_UNIT_GET_DIRECT_CALLS UNIT_IOCTL(0x907)

static_assert(IOCTL_UNIT_OPEN_ALL == 0x22240F, "open all");
static_assert(IOCTL_UNIT_CLOSE_ALL == 0x222413, "close all");
static_assert(IOCTL_UNIT_WRITE_MASTER == 0x22241B, "write master");
static_assert(IOCTL_UNIT_GET_DIRECT_CALLS == 0x22241F, "direct calls");
static_assert(IOCTL_UNIT_READ == 0x222423, "read");
static_assert(IOCTL_UNIT_WRITE == 0x222427, "write");
static_assert(IOCTL_UNIT_LIST == 0x22242B, "list");

// The block of IOCTL_UNIT_READ and IOCTL_UNIT_WRITE; 16 bytes in the 32-bit build. A read
// fills DeviceId and ByteCount and copies at most Capacity bytes to Data.
struct UNIT_DATA_BLOCK {
    ULONG DeviceId;
    ULONG ByteCount;
    LONG Capacity;
    PUCHAR Data;
};
#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(UNIT_DATA_BLOCK) == 16, "UNIT_DATA_BLOCK is 16 bytes");
static_assert(offsetof(UNIT_DATA_BLOCK, ByteCount) == 4, "ByteCount at 4");
static_assert(offsetof(UNIT_DATA_BLOCK, Capacity) == 8, "Capacity at 8");
static_assert(offsetof(UNIT_DATA_BLOCK, Data) == 12, "Data at 12");
#endif

// One entry per device ID in the answer to IOCTL_UNIT_LIST; FirmwareVersion in hundredths
// (224 for 2.24), 0 for no unit.
struct UNIT_LIST_ENTRY {
    ULONG FirmwareVersion;
    ULONG Reserved[3];
};
static_assert(sizeof(UNIT_LIST_ENTRY) == 16, "UNIT_LIST_ENTRY is 16 bytes");
#define UNIT_LIST_SIZE (MAX_UNITS * sizeof(UNIT_LIST_ENTRY))

// The direct-call entries. The calling convention is part of the interface: all three are
// NTAPI (stdcall on x86), called at PASSIVE_LEVEL with the block's Context.
// DirectWrite and DirectWriteEx queue the bytes for the unit and return how many were queued
// (less than Length when the unit's ring stayed full; those are not sent). DirectSetMode
// switches the unit to mode 1 (active, status reports on) for Selector 0 and to mode 2 (idle)
// for any other; it returns STATUS_SUCCESS.
typedef ULONG(NTAPI* PDIRECT_WRITE)(PVOID Context, const UCHAR* Bytes, ULONG Length);
typedef NTSTATUS(NTAPI* PDIRECT_SET_MODE)(PVOID Context, ULONG Selector);
typedef ULONG(NTAPI* PDIRECT_WRITE_EX)(PVOID Context, ULONG Reserved, const UCHAR* Bytes, ULONG Length);

#define DIRECT_CALL_MAGIC 0x454D4731  // 'EMG1'

// Filled in place by IOCTL_UNIT_GET_DIRECT_CALLS; Reserved keeps what the caller put there.
// Context is the unit's function device object and stays valid while the device exists.
struct DIRECT_CALL_BLOCK {
    ULONG Magic;
    PVOID Context;
    PDIRECT_WRITE DirectWrite;
    PDIRECT_SET_MODE DirectSetMode;
    PDIRECT_WRITE_EX DirectWriteEx;
    ULONG Reserved;
};
#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(DIRECT_CALL_BLOCK) == 24, "DIRECT_CALL_BLOCK is 24 bytes");
static_assert(offsetof(DIRECT_CALL_BLOCK, Context) == 4, "Context at 4");
static_assert(offsetof(DIRECT_CALL_BLOCK, DirectWrite) == 8, "DirectWrite at 8");
static_assert(offsetof(DIRECT_CALL_BLOCK, DirectSetMode) == 12, "DirectSetMode at 12");
static_assert(offsetof(DIRECT_CALL_BLOCK, DirectWriteEx) == 16, "DirectWriteEx at 16");
static_assert(offsetof(DIRECT_CALL_BLOCK, Reserved) == 20, "Reserved at 20");
#endif
