// The Windows build: the DDK as mingw-w64 ships it.
#pragma once

// mingw's wdm.h redeclares these intrinsics in C++; tell it they exist.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

extern "C" {
#include <ddk/wdm.h>
#include <usb.h>
#include <usbioctl.h>
#include <ddk/usbdlib.h>
}
#include <stdarg.h>

#define WIDE(s) L##s

extern "C" int __cdecl _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list Args);

// wdm.h maps these to the compiler's intrinsics only in some configurations.
#ifndef InterlockedOr
#define InterlockedOr _InterlockedOr
#endif
#ifndef InterlockedAnd
#define InterlockedAnd _InterlockedAnd
#endif

// Newer DDKs declare these; mingw's does not. On x86 every aligned load already has acquire
// order, so the volatile read is the whole of it.
#ifndef ReadULongAcquire
inline ULONG ReadULongAcquire(volatile const ULONG* Source) { return *Source; }
inline PVOID ReadPointerAcquire(PVOID const volatile* Source) { return *Source; }
#endif
