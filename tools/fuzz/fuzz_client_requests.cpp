// The MIDI client's internal requests on the master's child, within their contract, from the
// fuzzer: open and close all, lists, writes by any device ID and to the master of any byte
// count, reads of any capacity, while up to four units (any IDs, duplicates and invalid ones
// included) send, and a slave may be pulled out and plugged in again.
// Input: the IDs of three more units, then operations (first byte: kind in the low 3 bits):
//   0 open all   1 close all   2 list   3 write ID(8 bits, or 32 after FF) COUNT(16 bits)
//   4 write to the master COUNT   5 capacity (32 bits, signed, at most 64 KB)   6 unit K sends N bytes
//   7 time runs (ms), or unit K is pulled out / plugged in again
#include <cstdint>
#include <memory>
#include <vector>

#include "tools/fuzz/fuzz_world.h"

namespace {

constexpr size_t kMaxCount = 1500;

std::vector<uint8_t> Pattern(size_t count, uint8_t seed) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = uint8_t(seed + i) & 0x7F;
    if (count) bytes[0] = 0xB0 | (seed & 0x0F);
    return bytes;
}

struct Slot {
    uint8_t id;
    std::shared_ptr<sim::Pmc7rUnit> model;
    sim::PnpNode* node = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Bytes in(data, size);
    fuzz::Machine machine;
    Slot units[4];
    units[0].id = 0;
    for (int i = 1; i < 4; ++i) units[i].id = in.U8();
    for (Slot& u : units) u.node = machine.PlugUnit(u.id, &u.model);
    sim::MidiClient& client = machine.Client();
    int ops = 0;
    while (!in.Empty() && ops++ < 48) {
        uint8_t op = in.U8();
        switch (op & 7) {
        case 0: client.OpenAll(); break;
        case 1: client.CloseAll(); break;
        case 2: client.List(); break;
        case 3: {
            uint8_t pick = in.U8();
            uint32_t id = pick == 0xFF ? in.U32() : pick;
            client.Write(id, Pattern(in.U16() % (kMaxCount + 1), op));
            break;
        }
        case 4: client.WriteMaster(Pattern(in.U16() % (kMaxCount + 1), op)); break;
        case 5: {
            // The client's reader holds a buffer of the capacity it announces: any value up to
            // 64 KB (zero and negative ones are the model's 1).
            int32_t capacity = int32_t(in.U32());
            client.SetCapacity(capacity > 65536 ? capacity % 65537 : capacity);
            break;
        }
        case 6: {
            Slot& u = units[op >> 3 & 3];
            std::vector<uint8_t> bytes = in.Take(in.U8() % 64 + 1);
            if (u.node) u.model->Send(bytes);
            break;
        }
        case 7: {
            uint8_t arg = in.U8();
            Slot& u = units[(op >> 3 & 3) | 1];  // never the master: the client stays
            if (!(op & 0x20)) {
                host::Advance(host::Ms(arg % 50));
            } else if (u.node) {
                machine.Unplug(u.node);
                u.node = nullptr;
            } else {
                u.node = machine.PlugUnit(u.id, &u.model);
            }
            break;
        }
        }
    }
    host::Advance(host::Ms(10));
    client.CloseAll();
    for (Slot& u : units) machine.Unplug(u.node);
    return 0;
}
