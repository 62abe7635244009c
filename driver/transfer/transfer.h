// Bulk transfer engine: transfer slots, the bulk writer, the bulk reader, the exchange.
#pragma once

#include "core/core.h"

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
