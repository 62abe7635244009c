#include "sim/unit_midi_parser.h"

#include <algorithm>
#include <array>

namespace sim {
namespace {

constexpr std::array<uint8_t, 6> kVendorHeader = {0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F};
// F0 7E <device> 06 01 F7; the device byte matches any data byte.
constexpr std::array<uint8_t, 6> kIdentityRequest = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};

bool RealTime(uint8_t byte) { return byte >= 0xF8; }

template <size_t N>
bool Prefix(const std::vector<uint8_t>& bytes, const std::array<uint8_t, N>& pattern, size_t wildcard) {
    size_t n = std::min(bytes.size(), N);
    for (size_t i = 0; i < n; ++i)
        if (i != wildcard && bytes[i] != pattern[i]) return false;
    return bytes.size() <= N;
}

}  // namespace

bool IsIdentityRequest(const std::vector<uint8_t>& sysex) {
    return sysex.size() == kIdentityRequest.size() && Prefix(sysex, kIdentityRequest, 2) && sysex[2] < 0x80;
}

bool UnitMidiParser::MayClaim() const {
    // The identity request is known only at its F7; the vendor header once it is complete.
    return Prefix(sysex_, kVendorHeader, SIZE_MAX) ||
           (sysex_.size() < kIdentityRequest.size() && Prefix(sysex_, kIdentityRequest, 2));
}

bool UnitMidiParser::IsClaimedPrefix() const {
    return sysex_.size() == kVendorHeader.size() && Prefix(sysex_, kVendorHeader, SIZE_MAX);
}

void UnitMidiParser::EndSysEx(Sink* sink) {
    for (uint8_t b : held_) sink->PassOn(b);
    held_.clear();
    sysex_.clear();
    state_ = State::Outside;
}

// The SysEx is the unit's: only the real-time bytes held with it go on.
void UnitMidiParser::Claim(Sink* sink) {
    for (uint8_t b : held_)
        if (RealTime(b)) sink->PassOn(b);
    held_.clear();
    state_ = State::Claimed;
}

void UnitMidiParser::Feed(uint8_t byte, Sink* sink) {
    if (RealTime(byte)) {
        if (state_ == State::Undecided)
            held_.push_back(byte);
        else
            sink->PassOn(byte);
        return;
    }
    if (state_ == State::Outside) {
        if (byte != 0xF0) {
            sink->PassOn(byte);
            return;
        }
        state_ = State::Undecided;
        sysex_ = {byte};
        held_ = {byte};
        return;
    }
    if (byte >= 0x80 && byte != 0xF7) {
        // Any other status byte ends the SysEx unfinished: an undecided one passes on as it
        // came, a claimed one (nothing held) is dropped.
        EndSysEx(sink);
        Feed(byte, sink);
        return;
    }
    sysex_.push_back(byte);
    if (state_ == State::Undecided) held_.push_back(byte);
    if (byte == 0xF7) {
        if (state_ == State::Claimed || IsIdentityRequest(sysex_)) {
            Claim(sink);
            sink->Claimed(sysex_);
        }
        EndSysEx(sink);
        return;
    }
    if (state_ != State::Undecided) return;
    if (!MayClaim()) {
        EndSysEx(sink);
    } else if (IsClaimedPrefix()) {
        Claim(sink);
    }
}

}  // namespace sim
