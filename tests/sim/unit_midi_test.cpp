// The host's OUT packets as a MIDI stream: the packet rule, SysEx across packets, and what
// reaches the MIDI out.
#include "sim/unit_fixture.h"

namespace {

TEST_F(SimUnitTest, MidiOutGetsEveryByteInOrderButTheUnitsOwnSysEx) {
    const Bytes vendor = {0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F, 0x10, 0xF8, 0x20, 0xF7};
    const Bytes payload = Cat({
        {0x90, 0x40, 0x7F, 0x41, 0x7F, 0xF8, 0x42, 0x00},  // running status, a clock between
        vendor,
        {0xF0, 0x7E, 0x7F, 0xFE, 0x06, 0x01, 0xF7},        // identity request, sensing inside
        {0xFA, 0xB0, 0x07, 0x64, 0x08},
        {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7},              // another universal message
        {0xF0, 0x00, 0x01, 0xF8, 0x76, 0xF7},              // another maker's: the clock stays inside
        {0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F, 0x11, 0x80, 0x40, 0x00},  // cut off by a note-off
    });
    Make({.packet = 16});
    Write(payload);
    EXPECT_EQ(Bytes({0x90, 0x40, 0x7F, 0x41, 0x7F, 0xF8, 0x42, 0x00, 0xF8, 0xFE, 0xFA, 0xB0, 0x07, 0x64, 0x08,
                     0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7, 0xF0, 0x00, 0x01, 0xF8, 0x76, 0xF7, 0x80, 0x40, 0x00}),
              unit_->TakeMidiOut());
    EXPECT_TRUE(unit_->TakeMidiOut().empty());
    EXPECT_EQ(30u, unit_->MidiOut().size());
    EXPECT_EQ(std::vector<Bytes>({{0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F, 0x10, 0x20, 0xF7}}), unit_->VendorMessages());
    EXPECT_EQ(17u, Payload(Read()).size());  // the identity reply
}

TEST_F(SimUnitTest, SysExSpansPackets) {
    Make({.packet = 8});
    // The request and a display text each cross packet boundaries between notes.
    Write(Cat({{0x90, 0x3C, 0x7F, 0xF0, 0x7E}, {0xFF, 0xFF, 0xFF}, {0x7F, 0x06, 0x01, 0xF7, 0x80, 0x3C, 0x00}}));
    Write(Cat({{0x90}, DisplayText(64, "spanning three packets"), {0x3E, 0x7F}}));
    EXPECT_EQ(Bytes({0x90, 0x3C, 0x7F, 0x80, 0x3C, 0x00, 0x90, 0x3E, 0x7F}), unit_->MidiOut());
    EXPECT_EQ("spanning three packets", unit_->DisplayLine(1));
    EXPECT_EQ(17u, Payload(Read()).size());
}

TEST_F(SimUnitTest, APacketEndsAtItsFirstFillByteAfterTheFirst) {
    const Bytes packet = Filled({0xFF, 0x90, 0x40, 0x7F, 0xFF, 0x80, 0x40, 0x00}, 64);
    unit_->Out(sim::kPmc7rOutEndpoint, packet.data(), packet.size());
    EXPECT_EQ(Bytes({0xFF, 0x90, 0x40, 0x7F}), unit_->MidiOut());
}

TEST_F(SimUnitTest, TransfersOfAnotherLengthAreProtocolErrors) {
    Make({.packet = 16});
    const Bytes note = Filled({0x90, 0x40, 0x7F}, 64);
    size_t errors = 0;
    for (size_t length : {0, 1, 15, 17, 64}) {
        SCOPED_TRACE(length);
        unit_->Out(sim::kPmc7rOutEndpoint, note.data(), length);
        EXPECT_EQ(++errors, unit_->ProtocolErrors());
    }
    unit_->Out(sim::kPmc7rOutEndpoint, note.data(), 16);
    EXPECT_EQ(errors, unit_->ProtocolErrors());
    EXPECT_EQ(Bytes({0x90, 0x40, 0x7F}), unit_->MidiOut());
}

}  // namespace
