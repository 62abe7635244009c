// Power: the function device's and the child device's handlers.
#pragma once

#include "core/core.h"

NTSTATUS FdoPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                  FDO_EXTENSION* Extension);
NTSTATUS ChildPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                    PDO_EXTENSION* Extension);
