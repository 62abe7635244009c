#include "client/client.h"
#include "core/unit_table.h"
#include "pnp/pnp.h"
#include "transfer/transfer.h"
#include "unit/unit.h"

#define REPLY_BUFFER_SIZE 1024
#define FIRST_ID_FIRMWARE 224
#define VERSION_TEXT_POSITION 64

// Asks an open unit for its firmware version and, from 2.24 on, its device ID. Each answer
// is told by its length: the identity replies a mode switch draws, or a late answer to an
// earlier attempt, are not taken for the device-ID reply.
static VOID Identify(PDEVICE_OBJECT FunctionDevice, ULONG* Version, ULONG* Id) {
    MAY_WAIT();
    UCHAR reply[REPLY_BUFFER_SIZE];
    BulkWrite(FunctionDevice, DisplaySetupMessage, DISPLAY_SETUP_LENGTH);
    SendDisplayText(FunctionDevice, 0, "\rInitializing USB Connection...");
    if (ExchangeMessage(FunctionDevice, IdentityRequest, IDENTITY_REQUEST_LENGTH, reply,
                        REPLY_BUFFER_SIZE, IDENTITY_REPLY_LENGTH) != IDENTITY_REPLY_LENGTH) {
        return;
    }
    *Version = FirmwareVersionFromReply(reply);
    SendDisplayText(FunctionDevice, VERSION_TEXT_POSITION, "Version %d", *Version);
    if (*Version >= FIRST_ID_FIRMWARE &&
        ExchangeMessage(FunctionDevice, DeviceIdQuery, DEVICE_ID_QUERY_LENGTH, reply,
                        REPLY_BUFFER_SIZE, DEVICE_ID_REPLY_LENGTH) == DEVICE_ID_REPLY_LENGTH) {
        *Id = DeviceIdFromReply(reply);
    }
}

// The holder may be closed and idle, its port suspended: it is brought to full power for the
// message and let go idle again.
static VOID ShowConflict(PDEVICE_OBJECT FunctionDevice, ULONG Id) {
    MAY_WAIT();
    SendDisplayText(FunctionDevice, 0, "Device ID %d already used!\nSelect different ID and reconnect", Id);
    FDO_EXTENSION* holder = ReferenceSlotUnit(Id);
    if (holder) {
        ShowTextAwake(holder, "\rDevice ID conflict!");
        DereferenceSlotUnit(holder);
    }
}

// A unit brought up again (a restart) keeps the slot it holds, unless its ID changed.
static VOID TakeSlot(PDEVICE_OBJECT FunctionDevice, FDO_EXTENSION* Extension) {
    MAY_WAIT();
    ULONG id = Extension->DeviceId;
    ULONG version = Extension->FirmwareVersion;
    UNIT_SLOT* held = (UNIT_SLOT*)ReadSharedPointer((PVOID volatile*)&Extension->UnitSlot);
    if (held && (id >= MAX_UNITS || held != &UnitTable[id])) {
        ReleaseUnitSlot(Extension);
    }
    if (id >= MAX_UNITS) {
        SendDisplayText(FunctionDevice, 0, "\rInvalid Device ID %d!", id);
    } else if (!ClaimUnitSlot(Extension, id)) {
        ShowConflict(FunctionDevice, id);
    } else if (id == MASTER_DEVICE_ID) {
        SendDisplayText(FunctionDevice, 0, "\rFirmware V%d.%02d, ID %d [MASTER]", version / 100,
                        version % 100, id);
        CreateChildDevice(FunctionDevice->DriverObject, FunctionDevice);
    } else {
        SendDisplayText(FunctionDevice, 0, "\rFirmware V%d.%02d, ID %d [SLAVE]", version / 100,
                        version % 100, id);
    }
}

// The outcome is shown while the unit is still open: the close asks for the idle power state,
// and a unit below D0 takes no transfers.
VOID UnitBringUp(PDEVICE_OBJECT FunctionDevice) {
    MAY_WAIT();
    FDO_EXTENSION* ext = FdoExtension(FunctionDevice);
    IoIncrement(FunctionDevice);
    // A unit brought up again may hold its slot and be read meanwhile: its ID and version
    // change once, when the handshake is over, so its input is never tagged with a passing 0.
    ULONG version = 100;
    ULONG id = 0;
    BOOLEAN opened = OpenUnit(ext) != 0;
    if (opened) {
        Identify(FunctionDevice, &version, &id);
    }
    InterlockedExchange((LONG volatile*)&ext->FirmwareVersion, (LONG)version);
    InterlockedExchange((LONG volatile*)&ext->DeviceId, (LONG)id);
    TakeSlot(FunctionDevice, ext);
    if (opened) {
        CloseUnit(ext);
    }
    IoDecrement(FunctionDevice);
}
