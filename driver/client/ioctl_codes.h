// The control codes of the client interfaces and the records their requests carry. Every
// code is an unknown-device, any-access, neither-buffered-nor-direct code: the blocks are
// the callers' own kernel memory, used in place.
#pragma once

#include "core/core.h"

#define UNIT_IOCTL(Function) CTL_CODE(FILE_DEVICE_UNKNOWN, Function, METHOD_NEITHER, FILE_ANY_ACCESS)

#define IOCTL_UNIT_OPEN_ALL UNIT_IOCTL(0x903)
#define IOCTL_UNIT_CLOSE_ALL UNIT_IOCTL(0x904)
#define IOCTL_UNIT_WRITE_MASTER UNIT_IOCTL(0x906)
#define IOCTL_UNIT_GET_DIRECT_CALLS UNIT_IOCTL(0x907)
#define IOCTL_UNIT_READ UNIT_IOCTL(0x908)
#define IOCTL_UNIT_WRITE UNIT_IOCTL(0x909)
#define IOCTL_UNIT_LIST UNIT_IOCTL(0x90A)

static_assert(IOCTL_UNIT_OPEN_ALL == 0x22240F, "open all");
static_assert(IOCTL_UNIT_CLOSE_ALL == 0x222413, "close all");
static_assert(IOCTL_UNIT_WRITE_MASTER == 0x22241B, "write master");
static_assert(IOCTL_UNIT_GET_DIRECT_CALLS == 0x22241F, "direct calls");
static_assert(IOCTL_UNIT_READ == 0x222423, "read");
static_assert(IOCTL_UNIT_WRITE == 0x222427, "write");
static_assert(IOCTL_UNIT_LIST == 0x22242B, "list");

// One entry per device ID in the 128-byte answer to IOCTL_UNIT_LIST.
struct UNIT_LIST_ENTRY {
    ULONG FirmwareVersion;
    ULONG Reserved[3];
};
static_assert(sizeof(UNIT_LIST_ENTRY) == 16, "UNIT_LIST_ENTRY is 16 bytes");
#define UNIT_LIST_SIZE (MAX_UNITS * sizeof(UNIT_LIST_ENTRY))

// The direct-call entries. A kernel client calls them through the pointers of the block, so
// their calling convention is part of the interface: all three are NTAPI (stdcall on x86).
typedef ULONG(NTAPI* PDIRECT_WRITE)(PVOID Context, const UCHAR* Bytes, ULONG Length);
typedef NTSTATUS(NTAPI* PDIRECT_SET_MODE)(PVOID Context, ULONG Selector);
typedef ULONG(NTAPI* PDIRECT_WRITE_EX)(PVOID Context, ULONG Reserved, const UCHAR* Bytes, ULONG Length);

#define DIRECT_CALL_MAGIC 0x454D4731  // 'EMG1'

// Filled in place by IOCTL_UNIT_GET_DIRECT_CALLS; Reserved keeps what the caller put there.
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
