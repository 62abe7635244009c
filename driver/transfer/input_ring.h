// A unit's 128-byte input ring: one writer (the bulk-in completion, under the unit's
// InputLock) and readers that each keep their own cursor: the client's stream (its slot's
// ClientReadCursor), every file handle, and the exchange's reply scan. No reader holds the
// writer back: a reader more than a ring behind loses what was overwritten.
#pragma once

#include "core/core.h"

// Appends Length bytes (never more than the ring) and then moves the write index once.
VOID AppendInput(FDO_EXTENSION* Unit, const UCHAR* Bytes, ULONG Length);
// Where the writer is now: a new cursor here sees only what arrives later.
ULONG InputPosition(FDO_EXTENSION* Unit);
BOOLEAN HasInput(FDO_EXTENSION* Unit, ULONG Cursor);
// Copies what lies between *Cursor and one reading of the write index, at most Capacity
// bytes, and moves the cursor past them. Bytes the writer adds meanwhile wait for the next
// call. Returns the bytes copied.
ULONG CopyInput(FDO_EXTENSION* Unit, ULONG* Cursor, PUCHAR Destination, ULONG Capacity);
