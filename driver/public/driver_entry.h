// The driver's entry point: what the loader (or the host's image loader) calls.
#pragma once

#include "platform/platform.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
