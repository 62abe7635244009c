#include "sim/midi_client_parser.h"

namespace sim {
namespace {

// Data bytes after a status byte; system common F1..F6 only (F0 and F7 are SysEx's).
size_t DataBytes(uint8_t status) {
    switch (status & 0xF0) {
    case 0xC0:
    case 0xD0: return 1;
    case 0xF0: return status == 0xF2 ? 2 : (status == 0xF1 || status == 0xF3) ? 1 : 0;
    default: return 2;
    }
}

}  // namespace

void MidiClientParser::Feed(const std::vector<uint8_t>& bytes) {
    for (uint8_t byte : bytes) Feed(byte);
}

void MidiClientParser::Feed(uint8_t byte) {
    if (byte >= 0xF8) {
        messages_.push_back({byte});  // real time neither ends nor disturbs what it interrupts
        return;
    }
    if (byte & 0x80)
        Status(byte);
    else
        Data(byte);
}

std::vector<MidiMessage> MidiClientParser::TakeMessages() {
    std::vector<MidiMessage> out;
    out.swap(messages_);
    return out;
}

void MidiClientParser::Status(uint8_t status) {
    if (sysex_) {
        sysex_ = false;
        if (status == 0xF7) {
            pending_.push_back(status);
            Emit();
            return;
        }
        // Cut off by another status: kept without its end, so nothing the unit sent is hidden.
        Emit();
    }
    dropped_ += pending_.size();
    pending_ = {status};
    if (status == 0xF0) {
        sysex_ = true;
        running_ = 0;
        return;
    }
    if (status == 0xF7) {  // an end with no start
        pending_.clear();
        ++dropped_;
        running_ = 0;
        return;
    }
    running_ = status < 0xF0 ? status : 0;
    needed_ = DataBytes(status);
    if (needed_ == 0) Emit();
}

void MidiClientParser::Data(uint8_t byte) {
    if (sysex_) {
        pending_.push_back(byte);
        return;
    }
    if (pending_.empty()) {
        if (!running_) {
            ++dropped_;
            return;
        }
        pending_ = {running_};
        needed_ = DataBytes(running_);
    }
    pending_.push_back(byte);
    if (--needed_ == 0) Emit();
}

void MidiClientParser::Emit() {
    messages_.push_back(std::move(pending_));
    pending_.clear();
}

}  // namespace sim
