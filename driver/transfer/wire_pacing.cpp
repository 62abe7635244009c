#include "transfer/transfer.h"

// The unit plays what it gets out of a MIDI wire: 31250 baud, 10 bits a byte, 320 us a byte
// (3125 bytes a second). MIDI allows a sender's clock 1% off; the writer assumes 327 us a
// byte, 2% slow, so that no unit within the tolerance falls behind it (3058 bytes a second,
// 97.9% of the wire). The unit's busy report may come late (it can queue behind the unit's
// own input), so the writer does not rely on it alone: it never has more than
// WIRE_BURST_BYTES unplayed at the unit, two full-speed packets, so one plays while the next
// is on its way and the wire does not starve between them.
#define WIRE_BYTE_TIME_100NS 3270ULL
#define WIRE_BURST_BYTES 128ULL

// Milliseconds to wait before Bytes more may go; 0: now. WriteLock held.
ULONG WireWaitMs(FDO_EXTENSION* Extension, ULONG Bytes) {
    ULONGLONG now = KeQueryInterruptTime();
    ULONGLONG clear = Extension->WireClearAt > now ? Extension->WireClearAt : now;
    ULONGLONG backlog = clear - now + (ULONGLONG)Bytes * WIRE_BYTE_TIME_100NS;
    ULONGLONG allowed = WIRE_BURST_BYTES * WIRE_BYTE_TIME_100NS;
    if (backlog <= allowed) {
        return 0;
    }
    return (ULONG)((backlog - allowed + 9999) / 10000);
}

// Bytes that reached the unit play after what it holds. WriteLock held.
VOID ChargeWire(FDO_EXTENSION* Extension, ULONG Bytes) {
    ULONGLONG now = KeQueryInterruptTime();
    ULONGLONG clear = Extension->WireClearAt > now ? Extension->WireClearAt : now;
    Extension->WireClearAt = clear + (ULONGLONG)Bytes * WIRE_BYTE_TIME_100NS;
}
