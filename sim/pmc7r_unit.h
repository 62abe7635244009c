// A simulated PMC-7R unit on the simulated bus. The host's bulk OUT packets carry a MIDI
// stream: the unit answers the identity and device-ID queries, runs its display from vendor
// messages and passes every other byte on to its MIDI out, whose buffer drains at the wire
// rate. What the unit sends the host (its input, replies and busy/ready status) leaves in IN
// packets. Out and In run on the bus thread, the rest on test threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sim/device_model.h"
#include "sim/unit_display.h"
#include "sim/unit_in_stream.h"
#include "sim/unit_midi_out_buffer.h"
#include "sim/unit_midi_parser.h"

namespace sim {

enum class ReplyShape {
    Normal,
    Truncated,       // the F7 and the last data byte missing
    Overlong,        // one data byte too many before the F7
    RealTimeInside,  // an F8 after the fifth byte
};

struct UnitOptions {
    uint16_t product = 0x002A;
    uint16_t vendor = 0x0C5B;
    uint16_t packet = 64;          // wMaxPacketSize of both endpoints
    std::string firmware = "2.24"; // "D.DD"; its four characters are the identity's revision
    uint8_t deviceId = 0;          // any value, so that invalid ones can be tested
    // The firmware's MIDI out buffer, and the room it keeps for packets already on their way
    // when it reports busy (busy once no more than busyHeadroom bytes are free; 0: when full).
    // The defaults let a writer that honours busy at full USB speed never overflow it.
    size_t midiOutCapacity = 512;
    size_t busyHeadroom = 256;
    // Misbehaviours
    bool silent = false;  // neither replies nor reports status
    int64_t replyDelayMs = 0;
    ReplyShape replyShape = ReplyShape::Normal;
    // Where a busy or ready report joins what the unit sends: behind its queued input (a
    // firmware with one IN queue), or ahead of it.
    bool reportsAhead = false;
};

// When the unit's MIDI out carried bytes: the first one's start on the wire, the last one's
// end, and their number; the last arrival from the host.
struct WireSpan {
    int64_t firstStart = -1;
    int64_t lastEnd = -1;
    size_t bytes = 0;
    int64_t lastArrival = -1;
};

class Pmc7rUnit : public DeviceModel, private UnitMidiParser::Sink {
public:
    explicit Pmc7rUnit(UnitOptions options = {});

    Descriptors GetDescriptors() override;
    void Out(uint8_t endpoint, const uint8_t* data, size_t length) override;
    bool In(uint8_t endpoint, size_t maxLength, std::vector<uint8_t>* packet) override;
    void PowerChanged(DEVICE_POWER_STATE state) override;
    int64_t NextEvent() override;

    // MIDI from the unit's controls to the host.
    void Send(const std::vector<uint8_t>& bytes);

    // What reached the MIDI out since the last take, and since the start. Bytes that found
    // the buffer full are lost, as on the unit, and only counted.
    std::vector<uint8_t> TakeMidiOut();
    std::vector<uint8_t> MidiOut();
    size_t OverflowBytes();
    int64_t FirstOverflowTime();  // -1 while nothing was lost
    WireSpan Wire();
    size_t BufferedBytes();  // in the MIDI-out buffer, not yet on the wire
    // OUT transfers not of the packet size.
    size_t ProtocolErrors();
    // Identity requests received: the driver sends two whenever it switches the unit to mode 1.
    size_t IdentityRequests();
    // Vendor messages the unit consumed without acting on them, whole.
    std::vector<std::vector<uint8_t>> VendorMessages();
    std::string DisplayLine(int line);
    // For timing: when the display last changed (-1 before it did).
    int64_t DisplayChangedAt();
    DEVICE_POWER_STATE PowerState();

private:
    void PassOn(uint8_t byte) override;
    void Claimed(const std::vector<uint8_t>& sysex) override;
    void Vendor(const std::vector<uint8_t>& sysex);
    void Reply(std::vector<uint8_t> reply);
    // Brings the buffer and the stream to the present (lock held).
    void Update(int64_t now);

    const UnitOptions options_;
    std::mutex mutex_;
    UnitMidiParser parser_;
    UnitDisplay display_;
    UnitMidiOutBuffer buffer_;
    UnitInStream stream_;
    int64_t now_ = 0;  // the time of the packet being parsed
    bool reporting_ = false;  // status packets, from the first identity request on
    bool busy_ = false;
    std::vector<uint8_t> midiOut_;
    size_t taken_ = 0;
    size_t overflow_ = 0;
    int64_t firstOverflow_ = -1;
    WireSpan wire_;
    size_t protocolErrors_ = 0;
    size_t identityRequests_ = 0;
    std::vector<std::vector<uint8_t>> vendorMessages_;
    DEVICE_POWER_STATE power_ = PowerDeviceD0;
    int64_t displayChangedAt_ = -1;
};

}  // namespace sim
