// The unit's MIDI-out buffer: it fills with what the host sends on and drains at the MIDI
// wire rate on the virtual clock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

inline constexpr int64_t kMidiByteTime = 3200;  // 320 us a byte: 3125 bytes a second

class UnitMidiOutBuffer {
public:
    explicit UnitMidiOutBuffer(size_t capacity) : capacity_(capacity) {}
    // Lets the wire take what it sent by now.
    void Drain(int64_t now);
    // Takes one byte at the last drained time; false when the buffer is full.
    bool Put();
    size_t Level() const { return level_; }
    bool Full() const { return level_ >= capacity_; }
    size_t Capacity() const { return capacity_; }
    // When the level will be down to the given one with nothing added.
    int64_t TimeAtLevel(size_t level) const;

private:
    size_t capacity_;
    size_t level_ = 0;
    int64_t sentUntil_ = 0;  // the wire has sent every byte due before this time
};

}  // namespace sim
