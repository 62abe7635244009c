// Unit protocol: the SysEx messages a unit understands, the replies it gives, the unit mode.
#pragma once

#include "core/core.h"

#define UNIT_MODE_ACTIVE 1
#define UNIT_MODE_IDLE 2

#define IDENTITY_REQUEST_LENGTH 6
#define DISPLAY_SETUP_LENGTH 12
#define DEVICE_ID_QUERY_LENGTH 13
#define IDENTITY_REPLY_LENGTH 17
#define DEVICE_ID_REPLY_LENGTH 12

#define DISPLAY_MESSAGE_SIZE 300
#define DISPLAY_HEADER_LENGTH 10
#define DISPLAY_TEXT_MAX (DISPLAY_MESSAGE_SIZE - DISPLAY_HEADER_LENGTH - 1)

extern const UCHAR IdentityRequest[IDENTITY_REQUEST_LENGTH];
extern const UCHAR DisplaySetupMessage[DISPLAY_SETUP_LENGTH];
extern const UCHAR DeviceIdQuery[DEVICE_ID_QUERY_LENGTH];

// Builds one display-text message and writes it; the write's result is not reported.
VOID SendDisplayText(PDEVICE_OBJECT FunctionDevice, LONG Position, const char* Format, ...);
// Builds the message into Message (DISPLAY_MESSAGE_SIZE bytes) and returns its length.
ULONG BuildDisplayText(UCHAR* Message, LONG Position, const char* Format, va_list Args);

// The firmware version (100..999) in a 17-byte Identity Reply.
ULONG FirmwareVersionFromReply(const UCHAR* Reply);
// The device ID in a 12-byte device-ID reply.
ULONG DeviceIdFromReply(const UCHAR* Reply);

VOID SetUnitMode(FDO_EXTENSION* Extension, ULONG Mode);

// The start-up handshake: identifies the unit, claims its slot and shows the outcome.
VOID UnitBringUp(PDEVICE_OBJECT FunctionDevice);
