// The MIDI client driver ("\Driver\midiclient") that loads on the master unit's child by its
// hardware ID, and the object through which tests and the simulator drive it. Each operation
// is an internal device-control request from kernel mode to the child below the client's
// device. After OpenAll a reader thread of the client keeps one read of the multiplexed
// stream in flight and records what comes back by device ID.
//
// One MidiClient at a time; it must outlive the driver's devices (destroy the PnpManager
// first).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/midi_client_parser.h"
#include "sim/pnp_manager.h"

namespace sim {

struct ListedUnit {
    uint32_t id;
    uint32_t firmware;
    bool operator==(const ListedUnit&) const = default;
};

// One completed read: the device ID it was tagged with and its bytes.
struct TaggedRead {
    uint32_t id;
    std::vector<uint8_t> bytes;
    bool operator==(const TaggedRead&) const = default;
};

// When a read was recorded (its request's completion time: the reader runs before the
// clock moves on), with its tag and byte count.
struct TimedRead {
    int64_t time;
    uint32_t id;
    uint32_t count;
};

class MidiClient {
public:
    static constexpr char16_t kService[] = u"midiclient";
    static const std::vector<std::u16string>& HardwareIds();

    MidiClient();
    ~MidiClient();
    MidiClient(const MidiClient&) = delete;
    MidiClient& operator=(const MidiClient&) = delete;

    // Loads the driver for the child's hardware IDs; null when its entry failed.
    PDRIVER_OBJECT Load(PnpManager& pnp);

    // Whether the client's device stands on a child, and that device (null when not).
    bool Attached() const;
    PDEVICE_OBJECT Device() const;

    // Each returns the request's status; STATUS_NO_SUCH_DEVICE when not attached,
    // STATUS_DELETE_PENDING while the device is being removed. OpenAll starts the reader
    // once it succeeded; CloseAll stops it (cancel and wait) before it closes.
    NTSTATUS OpenAll();
    NTSTATUS CloseAll();
    std::vector<ListedUnit> List(NTSTATUS* status = nullptr);  // present IDs, ascending
    // queued (optional): how many of the bytes the driver took (the block's ByteCount, or
    // Information for the master); 0 when the request failed.
    NTSTATUS Write(uint32_t id, const std::vector<uint8_t>& bytes, uint32_t* queued = nullptr);
    NTSTATUS WriteMaster(const std::vector<uint8_t>& bytes, uint32_t* queued = nullptr);
    // The Capacity of the reader's next reads (at least 1; 64 at first).
    void SetCapacity(int32_t capacity);
    bool Reading() const;

    // What the reader got, by device ID, since the load (or the last take).
    std::vector<uint8_t> Received(uint32_t id) const;
    std::vector<uint8_t> TakeReceived(uint32_t id);
    std::vector<MidiMessage> Messages(uint32_t id) const;
    std::vector<MidiMessage> TakeMessages(uint32_t id);
    std::vector<TaggedRead> Reads() const;  // every completed read in order
    std::vector<TaggedRead> TakeReads();
    std::vector<TimedRead> TakeTimedReads();  // for timing; kept apart from the reads above
    // Both at once, each read with its time, for a caller that takes neither alone.
    std::vector<std::pair<int64_t, TaggedRead>> TakeReadsWithTimes();
    // Read statuses other than success and cancelled; each one stopped the reader.
    std::vector<NTSTATUS> Errors() const;
    // A platform wait until at least count bytes of the ID were received (since the last
    // take); false when the timeout (100 ns units, 0 = none) passed first.
    bool WaitReceived(uint32_t id, size_t count, int64_t timeout100ns = 0) const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace sim
