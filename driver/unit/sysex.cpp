#include "transfer/transfer.h"
#include "unit/unit.h"

const UCHAR IdentityRequest[IDENTITY_REQUEST_LENGTH] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
const UCHAR DisplaySetupMessage[DISPLAY_SETUP_LENGTH] = {0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F,
                                                          0x44, 0x00, 0x00, 0x00, 0x40, 0xF7};
const UCHAR DeviceIdQuery[DEVICE_ID_QUERY_LENGTH] = {0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F, 0x52,
                                                      0x01, 0x01, 0x00, 0x00, 0x01, 0xF7};

static const UCHAR DisplayTextHeader[8] = {0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F, 0x44, 0x70};

// The text is formatted with a bound and cut where it would not fit, so the message always
// ends with its F7 inside the buffer.
ULONG BuildDisplayText(UCHAR* Message, LONG Position, const char* Format, va_list Args) {
    RtlCopyMemory(Message, DisplayTextHeader, sizeof(DisplayTextHeader));
    Message[8] = Position >= 256 ? 0x01 : 0x00;
    Message[9] = (UCHAR)(Position & 0x7F);
    char* text = (char*)Message + DISPLAY_HEADER_LENGTH;
    int n = _vsnprintf(text, DISPLAY_TEXT_MAX, Format, Args);
    ULONG length = (n < 0 || n > DISPLAY_TEXT_MAX) ? DISPLAY_TEXT_MAX : (ULONG)n;
    Message[DISPLAY_HEADER_LENGTH + length] = 0xF7;
    return DISPLAY_HEADER_LENGTH + length + 1;
}

VOID SendDisplayText(PDEVICE_OBJECT FunctionDevice, LONG Position, const char* Format, ...) {
    MAY_WAIT();
    UCHAR message[DISPLAY_MESSAGE_SIZE];
    va_list args;
    va_start(args, Format);
    ULONG length = BuildDisplayText(message, Position, Format, args);
    va_end(args);
    BulkWrite(FunctionDevice, message, length);
}

static ULONG Digit(UCHAR Byte, UCHAR Lowest, ULONG Otherwise) {
    return (Byte >= Lowest && Byte <= 0x39) ? (ULONG)(Byte - 0x30) : Otherwise;
}

// Offsets 12, 14 and 15 carry the major, tens and units digits as ASCII.
ULONG FirmwareVersionFromReply(const UCHAR* Reply) {
    ULONG major = Digit(Reply[12], 0x31, 1);
    ULONG tens = Digit(Reply[14], 0x30, 0);
    ULONG units = Digit(Reply[15], 0x30, 0);
    return major * 100 + tens * 10 + units;
}

ULONG DeviceIdFromReply(const UCHAR* Reply) { return Reply[10]; }

VOID SetUnitMode(FDO_EXTENSION* Extension, ULONG Mode) {
    MAY_WAIT();
    switch (Mode) {
    case UNIT_MODE_ACTIVE:
        BulkWrite(Extension->DeviceObject, IdentityRequest, IDENTITY_REQUEST_LENGTH);
        BulkWrite(Extension->DeviceObject, IdentityRequest, IDENTITY_REQUEST_LENGTH);
        // Status packets are acted on from now on.
        SetFlags(&Extension->Flags, UNIT_BUSY_REPORTS);
        Extension->UnitMode = UNIT_MODE_ACTIVE;
        break;
    case UNIT_MODE_IDLE:
        Extension->UnitMode = UNIT_MODE_IDLE;
        break;
    default:
        break;
    }
}
