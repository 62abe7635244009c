// What a stress run did, kept for the checks: each unit's lives, what each life was given to
// send, the client's stream epochs and reads, and every write of every writer with what the
// driver took of it. The checks only read it; the run fills it.
//
// The invariants, precisely:
//
// Input. A life is one plugged unit model, from its plug to its departure (unplug or orderly
// removal). An epoch of the client's stream runs from the return of an IOCTL_UNIT_OPEN_ALL to
// the start of the next one, or to the master's departure. The client's reads tagged ID x
// belong to the latest life of x plugged before the read completed (lives of one ID follow
// one another: a unit is plugged again only once its old node is removed), and to the latest
// epoch started before it. With SysEx messages taken out (the answers a bring-up or mode
// switch draws; what the stress sends is data bytes only), the bytes of one life in one epoch
// must be a contiguous run S[s, s+n) of what that life was given to send: in order, each
// byte once, none skipped inside. The runs of one life in successive epochs do not overlap
// (s2 >= s1 + n1). A byte sent after the later of the epoch's start and the life's ready time
// (its first open) and before both ends must not be missing at the run's start: s is at most
// its index. When the life stayed to the end of the run and the epoch is the last one, the
// run ends with the last byte sent (s + n = |S|): restarts and sleeps lose nothing, as the
// unit keeps what it could not send and the driver reads it once it runs again. A life that
// left, or an epoch that ended, may lose a tail: what was still in the unit or the ring.
//
// Output. Each writer's bytes carry its number in their high nibble (all below 0x80, so a
// unit's MIDI out keeps them apart from SysEx and from each other). A writer's stream is
// the sequence of bytes the driver took (the queued count of each write, a prefix of it), in
// order; a writer by device ID (the client's IOCTL_UNIT_WRITE, one stream per ID) or to the
// master (IOCTL_UNIT_WRITE_MASTER) writes to whichever life holds the ID, a writer through a
// handle (a file handle's writes, a kernel client's direct calls) to the life it opened. At
// each life's MIDI out, the bytes of one writer must be a contiguous run E[s, s+n) of that
// writer's stream. For a handle's writer the run starts at 0; for an ID's writer it starts no
// later than the first byte of the first write that began after the life arrived. When the
// life stayed to the end, the run ends with the stream's last byte (n = |E| - s). A file
// write's count is what reached the unit, so its run is whole even when the life left; bytes
// queued for a life that left may lose a tail. No byte may be dropped by a unit's MIDI out
// (the driver paces the wire).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/pmc7r_unit.h"

namespace simtool::stress {

inline constexpr int64_t kNever = INT64_MAX;

// The writers; their number is the high nibble of their bytes.
enum Writer : int {
    kClientById = 0,
    kClientMaster = 1,
    kKernelClient = 2,
    kFirstApp = 3,  // applications 3..7
    kWriterCount = 8,
};

// Byte k of a life's input, and of a writer's output stream (salt: the stream's own).
uint8_t InputByte(uint64_t salt, uint64_t k);
uint8_t OutputByte(int writer, uint64_t salt, uint64_t k);

struct Send {
    int64_t time;
    uint64_t first;  // index of its first byte in the life's input
};

struct Life {
    int unit = 0;  // 0..7, also its device ID
    uint64_t salt = 0;
    std::shared_ptr<sim::Pmc7rUnit> model;
    int64_t plugAt = 0;
    int64_t arrivedAt = kNever;  // the arrival (bring-up included) returned
    int64_t readyAt = kNever;    // the first open-all after it returned
    int64_t leftAt = kNever;     // its departure began
    std::vector<uint8_t> input;  // what it was given to send
    std::vector<Send> sends;
};

struct Epoch {
    int64_t start;
    int64_t end = kNever;
};

struct ClientRead {
    int64_t time;
    uint32_t id;
    std::vector<uint8_t> bytes;
};

struct Write {
    int64_t start, end;
    uint64_t first;  // index in the stream of its first byte
    uint32_t length;
    uint32_t taken;
};

// One writer's stream: to a device ID (life < 0) or through a handle on one life.
struct Stream {
    int writer = 0;
    uint32_t id = 0;
    int life = -1;
    uint64_t salt = 0;
    bool reachedUnit = false;  // the counts say what reached the unit (file writes)
    uint64_t taken = 0;        // bytes taken so far: the next write's first index
    std::vector<Write> writes;
};

struct Ledger {
    std::vector<Life> lives;
    std::vector<Epoch> epochs;
    std::vector<ClientRead> reads;
    std::vector<Stream> streams;
    int64_t endAt = kNever;  // the run's end; kNever while it runs
};

// Every breach of the invariants, one line each. midiOut[i] is life i's MIDI out since its
// plug, overflow[i] the bytes it dropped. With final false (a look on the way) every life and
// epoch is taken as one that may still lose its tail.
std::vector<std::string> Check(const Ledger& ledger, const std::vector<std::vector<uint8_t>>& midiOut,
                               const std::vector<size_t>& overflow, bool final);

// The bytes without SysEx messages (F0 to F7, or to the next status byte).
std::vector<uint8_t> WithoutSysEx(const std::vector<uint8_t>& bytes);

}  // namespace simtool::stress
