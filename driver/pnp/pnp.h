// Plug and Play: the function device's and the child device's handlers.
#pragma once

#include "core/core.h"

NTSTATUS FdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                FDO_EXTENSION* Extension);
NTSTATUS ChildPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                  PDO_EXTENSION* Extension);
