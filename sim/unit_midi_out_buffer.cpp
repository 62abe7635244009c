#include "sim/unit_midi_out_buffer.h"

namespace sim {

void UnitMidiOutBuffer::Drain(int64_t now) {
    if (now <= sentUntil_) return;
    int64_t sent = (now - sentUntil_) / kMidiByteTime;
    if (sent >= static_cast<int64_t>(level_)) {
        // The wire went idle: the next byte starts when it arrives.
        level_ = 0;
        sentUntil_ = now;
        return;
    }
    level_ -= static_cast<size_t>(sent);
    sentUntil_ += sent * kMidiByteTime;
}

bool UnitMidiOutBuffer::Put() {
    if (Full()) return false;
    ++level_;
    return true;
}

int64_t UnitMidiOutBuffer::TimeAtLevel(size_t level) const {
    if (level >= level_) return sentUntil_;
    return sentUntil_ + static_cast<int64_t>(level_ - level) * kMidiByteTime;
}

}  // namespace sim
