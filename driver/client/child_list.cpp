#include "client/client.h"

// A client learns which device IDs are present from the non-zero entries.
NTSTATUS ChildListUnits(PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNIT_LIST_ENTRY* entries = (UNIT_LIST_ENTRY*)Stack->Parameters.DeviceIoControl.Type3InputBuffer;
    if (Stack->Parameters.DeviceIoControl.OutputBufferLength != UNIT_LIST_SIZE || !entries) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    RtlZeroMemory(entries, UNIT_LIST_SIZE);
    for (ULONG id = 0; id < MAX_UNITS; ++id) {
        FDO_EXTENSION* unit = ReferenceSlotUnit(id);
        if (unit) {
            entries[id].FirmwareVersion = ReadShared(&unit->FirmwareVersion);
            DereferenceSlotUnit(unit);
        }
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, UNIT_LIST_SIZE);
}
