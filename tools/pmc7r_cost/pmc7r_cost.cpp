// pmc7r-cost: drives the driver's two data paths with a fixed load, for an instruction
// counter (Valgrind's callgrind, see scripts/cost.sh) to measure per MIDI byte. Input: a unit
// sends packets that complete its bulk-in reads, go through the input ring and fill the
// client's parked read. Output: the client writes, EnqueueOutput queues, the pump drains the
// ring to a bulk-out URB. Beside them the same bytes are copied plainly into a ring of the
// input ring's size, as the yardstick. Each phase also shows what it allocated: pool blocks
// and requests, against what the client itself asked for.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "driver/public/driver_entry.h"
#include "platform/host/control.h"
#include "tools/pmc7r_sim/bench_rig.h"

namespace {

// The size of a unit's input ring in the driver, which the yardstick copies into the same way.
constexpr size_t kRingSize = 128;

// The yardstick: each byte stored at the write index, which wraps with the ring's mask.
// Not inlined, so that the counter can name it.
__attribute__((noinline)) void PlainRingCopy(uint8_t* ring, size_t* index, const uint8_t* bytes, size_t count) {
    size_t at = *index;
    for (size_t i = 0; i < count; ++i) {
        ring[at] = bytes[i];
        at = (at + 1) & (kRingSize - 1);
    }
    *index = at;
}

// MIDI bytes for a packet: note-ons with running status, no F0, FE or FF.
std::vector<uint8_t> Payload(size_t size, size_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = i % 3 == 0 ? 0x90 : uint8_t((seed + i) & 0x7F);
    return bytes;
}

struct Counters {
    uint64_t pool, requests;
    static Counters Now() { return {host::pool::Allocations(), host::io::RequestsMade()}; }
};

struct Phase {
    std::string name;
    size_t size = 0;  // bytes a packet or write
    size_t operations = 0;  // packets or writes
    size_t bytes = 0;
    uint64_t pool = 0;
    uint64_t requests = 0;        // every request made meanwhile
    uint64_t clientRequests = 0;  // of them, the client's own (one per read or write)
};

Phase Input(simtool::bench::Rig& rig, size_t packets, size_t size) {
    Phase p{"input, " + std::to_string(size) + "-byte packets", size};
    sim::Pmc7rUnit& unit = *rig.Units().front()->model;
    rig.Client().TakeTimedReads();
    Counters before = Counters::Now();
    for (size_t i = 0; i < packets; ++i) {
        unit.Send(Payload(size, i));
        host::Advance(sim::kFrame);  // one packet completes each frame
    }
    host::Advance(2 * sim::kFrame);  // the last one too
    Counters after = Counters::Now();
    for (const sim::TimedRead& r : rig.Client().TakeTimedReads()) {
        p.bytes += r.count;
        ++p.clientRequests;
    }
    p.operations = packets;
    p.pool = after.pool - before.pool;
    p.requests = after.requests - before.requests;
    return p;
}

Phase Output(simtool::bench::Rig& rig, size_t writes, size_t size) {
    Phase p{"output, " + std::to_string(size) + "-byte writes", size};
    sim::Pmc7rUnit& unit = *rig.Units().front()->model;
    unit.TakeMidiOut();
    Counters before = Counters::Now();
    for (size_t i = 0; i < writes; ++i) {
        if (!NT_SUCCESS(rig.Client().Write(0, Payload(size, i)))) std::fprintf(stderr, "pmc7r-cost: a write failed\n");
        ++p.clientRequests;
        // Long enough for the wire to take the bytes: the unit never reports busy.
        host::Advance(host::Ms(2) + int64_t(size) * 3200 + sim::kFrame);
    }
    Counters after = Counters::Now();
    p.bytes = unit.TakeMidiOut().size();
    p.operations = writes;
    p.pool = after.pool - before.pool;
    p.requests = after.requests - before.requests;
    return p;
}

Phase Copy(size_t packets, size_t size) {
    Phase p{"plain copy, " + std::to_string(size) + "-byte pieces", size};
    static uint8_t ring[kRingSize];
    size_t index = 0;
    std::vector<std::vector<uint8_t>> pieces;
    for (size_t i = 0; i < packets; ++i) pieces.push_back(Payload(size, i));
    for (const std::vector<uint8_t>& piece : pieces) PlainRingCopy(ring, &index, piece.data(), piece.size());
    p.operations = packets;
    p.bytes = packets * size;
    return p;
}

bool Wanted(const std::string& only, const char* path, size_t size) {
    return only.empty() || only == path + std::to_string(size);
}

}  // namespace

int main(int argc, char** argv) {
    size_t packets = 2000;
    bool check = false;
    std::string only;  // one phase: input64, input3, output64, output3, copy64 or copy3
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--packets" && i + 1 < argc) {
            packets = size_t(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--check") {
            check = true;
        } else if (a == "--phase" && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: pmc7r-cost [--packets N] [--phase PHASE] [--check]\n"
                         "  N packets (and writes) of 64 and of 3 bytes on each path; PHASE is one of\n"
                         "  input64 input3 output64 output3 copy64 copy3 (default: all); --check: exit 1\n"
                         "  when a path allocated pool or lost a byte\n");
            return 2;
        }
    }
    std::vector<Phase> phases;
    std::string leaks;
    {
        host::Session session("pmc7r-cost");
        {
            simtool::bench::Rig rig;
            if (!rig.Loaded()) return 1;
            rig.Plug(0);
            if (!NT_SUCCESS(rig.OpenAll())) {
                std::fprintf(stderr, "pmc7r-cost: the client could not open the unit\n");
                return 1;
            }
            for (size_t size : {size_t(64), size_t(3)})
                if (Wanted(only, "input", size)) phases.push_back(Input(rig, packets, size));
            for (size_t size : {size_t(64), size_t(3)})
                if (Wanted(only, "output", size)) phases.push_back(Output(rig, packets, size));
        }
        leaks = session.Finish();
    }
    for (size_t size : {size_t(64), size_t(3)})
        if (Wanted(only, "copy", size)) phases.push_back(Copy(packets, size));
    bool clean = leaks.empty();
    std::printf("%-28s %8s %8s %6s %9s %9s\n", "phase", "ops", "bytes", "pool", "requests", "client's");
    for (const Phase& p : phases) {
        std::printf("%-28s %8zu %8zu %6llu %9llu %9llu\n", p.name.c_str(), p.operations, p.bytes,
                    (unsigned long long)p.pool, (unsigned long long)p.requests, (unsigned long long)p.clientRequests);
        size_t expected = p.operations * p.size;
        bool expectedBytes = p.bytes == expected;
        if (!expectedBytes) std::printf("  %s: %zu bytes arrived of %zu\n", p.name.c_str(), p.bytes, expected);
        // Requests are shown, not checked: each bulk-out packet is still sent in a request of
        // its own (SubmitUrbSync builds one).
        if (check && (p.pool != 0 || !expectedBytes)) clean = false;
    }
    if (!leaks.empty()) std::fprintf(stderr, "pmc7r-cost: the run left something behind:\n%s\n", leaks.c_str());
    return clean ? 0 : 1;
}
