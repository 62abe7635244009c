// The MIDI client's view of one unit's byte stream: whole messages, with running status
// filled in, real-time bytes as messages of their own wherever they fall, and SysEx from
// F0 to F7.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

using MidiMessage = std::vector<uint8_t>;

class MidiClientParser {
public:
    void Feed(uint8_t byte);
    void Feed(const std::vector<uint8_t>& bytes);
    const std::vector<MidiMessage>& Messages() const { return messages_; }
    std::vector<MidiMessage> TakeMessages();
    // Bytes that ended up in no message: data without a running status, messages cut short.
    size_t Dropped() const { return dropped_; }

private:
    void Status(uint8_t status);
    void Data(uint8_t byte);
    void Emit();

    std::vector<MidiMessage> messages_;
    MidiMessage pending_;
    uint8_t running_ = 0;  // the channel status that data bytes continue, or 0
    size_t needed_ = 0;    // data bytes that complete pending_
    bool sysex_ = false;
    size_t dropped_ = 0;
};

}  // namespace sim
