// Power manager: power requests pass through the I/O manager's call path.
#include "internal.h"

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) { UNREFERENCED_PARAMETER(Irp); }

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IofCallDriver(DeviceObject, Irp);
}
