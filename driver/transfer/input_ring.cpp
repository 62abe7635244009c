#include "transfer/input_ring.h"

#define INPUT_RING_MASK (INPUT_RING_SIZE - 1)

// Two runs at most, either way: a copy never spans more than the ring. The first ends at
// the ring's end or with the count.
static ULONG FirstRun(ULONG At, ULONG Count) {
    return Count < INPUT_RING_SIZE - At ? Count : INPUT_RING_SIZE - At;
}

static VOID CopyOut(const UCHAR* Ring, ULONG At, PUCHAR Destination, ULONG Count) {
    ULONG first = FirstRun(At, Count);
    RtlCopyMemory(Destination, &Ring[At], first);
    if (Count > first) {
        RtlCopyMemory(Destination + first, &Ring[0], Count - first);
    }
}

VOID AppendInput(FDO_EXTENSION* Unit, const UCHAR* Bytes, ULONG Length) {
    DISPATCH_SAFE();
    if (Length == 0) {
        return;
    }
    ULONG at = ReadShared(&Unit->InputWriteIndex);
    ULONG first = FirstRun(at, Length);
    RtlCopyMemory(&Unit->InputRing[at], Bytes, first);
    if (Length > first) {
        RtlCopyMemory(&Unit->InputRing[0], Bytes + first, Length - first);
    }
    // The bytes are stored before the index moves, once for all of them (a locked exchange
    // a byte cost more than the copy): a reader that sees the index sees them.
    InterlockedExchange((LONG volatile*)&Unit->InputWriteIndex, (LONG)((at + Length) & INPUT_RING_MASK));
}

ULONG InputPosition(FDO_EXTENSION* Unit) { return ReadShared(&Unit->InputWriteIndex); }

BOOLEAN HasInput(FDO_EXTENSION* Unit, ULONG Cursor) { return Cursor != InputPosition(Unit); }

ULONG CopyInput(FDO_EXTENSION* Unit, ULONG* Cursor, PUCHAR Destination, ULONG Capacity) {
    DISPATCH_SAFE();
    ULONG cursor = *Cursor;
    ULONG queued = (InputPosition(Unit) - cursor) & INPUT_RING_MASK;
    ULONG n = queued < Capacity ? queued : Capacity;
    if (n != 0) {
        CopyOut(Unit->InputRing, cursor, Destination, n);
        *Cursor = (cursor + n) & INPUT_RING_MASK;
    }
    return n;
}
