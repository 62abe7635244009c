#include "sim/pmc7r_unit.h"

#include <algorithm>

#include "platform/host/control.h"
#include "sim/pmc7r_descriptors.h"
#include "sim/unit_replies.h"

namespace sim {
namespace {

constexpr uint8_t kFill = 0xFF;
constexpr uint8_t kBusy = 0x00, kReady = 0x01;

}  // namespace

Pmc7rUnit::Pmc7rUnit(UnitOptions options) : options_(std::move(options)), buffer_(options_.midiOutCapacity) {}

Descriptors Pmc7rUnit::GetDescriptors() {
    Descriptors d = Pmc7rDescriptors(options_.product, options_.packet);
    d.device[8] = uint8_t(options_.vendor);  // idVendor
    d.device[9] = uint8_t(options_.vendor >> 8);
    return d;
}

void Pmc7rUnit::Out(uint8_t endpoint, const uint8_t* data, size_t length) {
    if (endpoint != kPmc7rOutEndpoint) return;
    bool kick;
    {
        std::lock_guard guard(mutex_);
        if (length != options_.packet) {
            ++protocolErrors_;
            return;
        }
        now_ = host::Now();
        Update(now_);
        // The first byte is data even when it is FF; after it the first FF starts the fill.
        size_t end = 1;
        while (end < length && data[end] != kFill) ++end;
        for (size_t i = 0; i < end; ++i) parser_.Feed(data[i], this);
        kick = stream_.NextChange(now_) == now_;
    }
    if (kick) Kick();
}

bool Pmc7rUnit::In(uint8_t endpoint, size_t maxLength, std::vector<uint8_t>* packet) {
    std::lock_guard guard(mutex_);
    if (endpoint != kPmc7rInEndpoint || power_ == PowerDeviceD3) return false;
    Update(host::Now());
    // A transfer shorter than a packet gets a packet of its length, so that no byte is lost.
    return stream_.Next(std::min<size_t>(options_.packet, maxLength), packet);
}

void Pmc7rUnit::PowerChanged(DEVICE_POWER_STATE state) {
    {
        std::lock_guard guard(mutex_);
        power_ = state;
    }
    if (state == PowerDeviceD0) Kick();  // what queued up in D3 may go now
}

int64_t Pmc7rUnit::NextEvent() {
    std::lock_guard guard(mutex_);
    int64_t now = host::Now();
    Update(now);
    int64_t next = stream_.NextChange(now);
    if (busy_) {
        int64_t ready = buffer_.TimeAtLevel(buffer_.Capacity() / 2);
        if (next < 0 || ready < next) next = ready;
    }
    return next;
}

void Pmc7rUnit::Send(const std::vector<uint8_t>& bytes) {
    {
        std::lock_guard guard(mutex_);
        stream_.Queue(bytes);
    }
    Kick();
}

void Pmc7rUnit::Update(int64_t now) {
    buffer_.Drain(now);
    if (busy_ && buffer_.Level() <= buffer_.Capacity() / 2) {
        busy_ = false;
        stream_.QueueStatus(kReady, options_.reportsAhead);
    }
    stream_.Release(now);
}

void Pmc7rUnit::PassOn(uint8_t byte) {
    if (!buffer_.Put()) {
        if (overflow_++ == 0) firstOverflow_ = now_;
        return;
    }
    midiOut_.push_back(byte);
    // The byte leaves the wire after every byte before it.
    int64_t start = std::max(now_, wire_.lastEnd);
    if (wire_.bytes++ == 0) wire_.firstStart = start;
    wire_.lastEnd = start + kMidiByteTime;
    wire_.lastArrival = now_;
    if (reporting_ && !busy_ && buffer_.Level() + options_.busyHeadroom >= buffer_.Capacity()) {
        busy_ = true;
        stream_.QueueStatus(kBusy, options_.reportsAhead);
    }
}

void Pmc7rUnit::Claimed(const std::vector<uint8_t>& sysex) {
    if (!IsIdentityRequest(sysex)) {
        Vendor(sysex);
        return;
    }
    ++identityRequests_;
    if (!options_.silent) {
        reporting_ = true;
        Reply(IdentityReply(options_.firmware));
    }
}

void Pmc7rUnit::Vendor(const std::vector<uint8_t>& sysex) {
    static const std::vector<uint8_t> kSetup = {0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F, 0x44, 0x00, 0x00, 0x00, 0x40, 0xF7};
    static const std::vector<uint8_t> kDeviceIdQuery = {0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F,
                                                        0x52, 0x01, 0x01, 0x00, 0x00, 0x01, 0xF7};
    constexpr int kDeviceIdFirmware = 224;  // 2.24 was the first to answer the query
    if (sysex == kSetup) {
        display_.Clear();
        displayChangedAt_ = now_;
    } else if (sysex.size() >= 11 && sysex[6] == 0x44 && sysex[7] == 0x70) {
        display_.Write(sysex[8] * 128 + sysex[9], std::vector<uint8_t>(sysex.begin() + 10, sysex.end() - 1));
        displayChangedAt_ = now_;
    } else if (sysex == kDeviceIdQuery && FirmwareNumber(options_.firmware) >= kDeviceIdFirmware) {
        if (!options_.silent) Reply(DeviceIdReply(options_.deviceId));
    } else {
        vendorMessages_.push_back(sysex);
    }
}

void Pmc7rUnit::Reply(std::vector<uint8_t> reply) {
    reply = Shaped(std::move(reply), options_.replyShape);
    if (options_.replyDelayMs > 0)
        stream_.Schedule(std::move(reply), now_ + host::Ms(options_.replyDelayMs));
    else
        stream_.Queue(reply);
}

std::vector<uint8_t> Pmc7rUnit::TakeMidiOut() {
    std::lock_guard guard(mutex_);
    std::vector<uint8_t> taken(midiOut_.begin() + static_cast<ptrdiff_t>(taken_), midiOut_.end());
    taken_ = midiOut_.size();
    return taken;
}

std::vector<uint8_t> Pmc7rUnit::MidiOut() {
    std::lock_guard guard(mutex_);
    return midiOut_;
}

size_t Pmc7rUnit::OverflowBytes() {
    std::lock_guard guard(mutex_);
    return overflow_;
}

int64_t Pmc7rUnit::FirstOverflowTime() {
    std::lock_guard guard(mutex_);
    return firstOverflow_;
}

WireSpan Pmc7rUnit::Wire() {
    std::lock_guard guard(mutex_);
    return wire_;
}

size_t Pmc7rUnit::BufferedBytes() {
    std::lock_guard guard(mutex_);
    buffer_.Drain(host::Now());
    return buffer_.Level();
}

size_t Pmc7rUnit::ProtocolErrors() {
    std::lock_guard guard(mutex_);
    return protocolErrors_;
}

size_t Pmc7rUnit::IdentityRequests() {
    std::lock_guard guard(mutex_);
    return identityRequests_;
}

std::vector<std::vector<uint8_t>> Pmc7rUnit::VendorMessages() {
    std::lock_guard guard(mutex_);
    return vendorMessages_;
}

std::string Pmc7rUnit::DisplayLine(int line) {
    std::lock_guard guard(mutex_);
    return display_.Line(line);
}

int64_t Pmc7rUnit::DisplayChangedAt() {
    std::lock_guard guard(mutex_);
    return displayChangedAt_;
}

DEVICE_POWER_STATE Pmc7rUnit::PowerState() {
    std::lock_guard guard(mutex_);
    return power_;
}

}  // namespace sim
