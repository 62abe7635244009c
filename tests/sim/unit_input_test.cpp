// What the unit sends the host: MIDI packed into packets with FF fill, one packet a frame,
// status packets of their own in the same stream, nothing in D3.
#include "sim/unit_fixture.h"

namespace {

TEST_F(SimUnitBusTest, InputLeavesInFilledPacketsOneAFrame) {
    Plug();
    Bytes input(150);
    for (size_t i = 0; i < input.size(); ++i) input[i] = uint8_t(i % 0x80);
    unit_->Send(input);
    std::unique_ptr<Reading> readings[3];
    for (auto& r : readings) r = StartRead();
    for (auto& r : readings) ASSERT_TRUE(Finished(r->sent));
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(64u, readings[i]->Data().size());
        EXPECT_EQ(readings[0]->sent->time + host::Ms(i), readings[i]->sent->time);
    }
    EXPECT_EQ(Bytes(input.begin(), input.begin() + 64), readings[0]->Data());
    EXPECT_EQ(Filled(Bytes(input.begin() + 128, input.end()), 64), readings[2]->Data());
}

TEST_F(SimUnitTest, AStatusPacketTakesItsPlaceInTheStream) {
    Make({.midiOutCapacity = 4});
    Write(kIdentityRequest);
    unit_->Send({0x90, 0x30, 0x7F});
    Write(Bytes(4, 0x40));
    unit_->Send({0x80, 0x30, 0x00});
    std::vector<Bytes> packets = Read();
    ASSERT_EQ(3u, packets.size());
    EXPECT_EQ(Filled(Cat({{0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x00, 0x01, 0x75, 0x2A, 0x00, 0x01, 0x00, 0x32, 0x2E,
                           0x32, 0x34, 0xF7},
                          {0x90, 0x30, 0x7F}}),
                     64),
              packets[0]);
    EXPECT_EQ(Filled({0xFE, 0x01, 0x00}, 64), packets[1]);
    EXPECT_EQ(Filled({0x80, 0x30, 0x00}, 64), packets[2]);
}

// A firmware whose reports overtake its queued input: busy leaves first, yet behind a report
// already waiting, so that busy and ready keep their order.
TEST_F(SimUnitTest, AReportAheadOvertakesTheQueuedInput) {
    Make({.midiOutCapacity = 4, .replyShape = sim::ReplyShape::Normal, .reportsAhead = true});
    Write(kIdentityRequest);
    ASSERT_EQ(1u, Read().size());  // the identity reply
    unit_->Send({0x90, 0x30, 0x7F});
    Write(Bytes(4, 0x40));
    std::vector<Bytes> packets = Read();
    ASSERT_EQ(2u, packets.size());
    EXPECT_EQ(Filled({0xFE, 0x01, 0x00}, 64), packets[0]);
    EXPECT_EQ(Filled({0x90, 0x30, 0x7F}, 64), packets[1]);
}

TEST_F(SimUnitTest, DropsAreCountedWithTheTimeOfTheFirst) {
    Make({.midiOutCapacity = 4});
    EXPECT_EQ(-1, unit_->FirstOverflowTime());
    host::Advance(host::Ms(7));
    Write(Bytes(6, 0x40));
    EXPECT_EQ(2u, unit_->OverflowBytes());
    EXPECT_EQ(host::Ms(7), unit_->FirstOverflowTime());
    sim::WireSpan wire = unit_->Wire();
    EXPECT_EQ(4u, wire.bytes);
    EXPECT_EQ(host::Ms(7), wire.firstStart);
    EXPECT_EQ(host::Ms(7) + 4 * sim::kMidiByteTime, wire.lastEnd);
}

TEST_F(SimUnitTest, NothingLeavesInD3) {
    unit_->Send({0x90, 0x30, 0x7F});
    unit_->PowerChanged(PowerDeviceD3);
    EXPECT_EQ(PowerDeviceD3, unit_->PowerState());
    EXPECT_TRUE(Read().empty());
    unit_->PowerChanged(PowerDeviceD0);
    EXPECT_EQ(std::vector<Bytes>{Filled({0x90, 0x30, 0x7F}, 64)}, Read());
}

}  // namespace
