// The unit's MIDI-out buffer: it drains at 3125 bytes a second of virtual time and, once the
// host has asked for the identity, reports busy when full and ready when half is free.
#include "sim/unit_fixture.h"

namespace {

const Bytes kBusy = Filled({0xFE, 0x01, 0x00}, 64);
const Bytes kReady = Filled({0xFE, 0x01, 0x01}, 64);

TEST_F(SimUnitBusTest, BusyWhenFullAndReadyWhenHalfHasDrained) {
    Plug({.midiOutCapacity = 50});
    auto reading = StartRead();
    Write(kIdentityRequest);
    ASSERT_TRUE(Finished(reading->sent));
    reading = StartRead();
    int64_t filled = Write(Bytes(64, 0x40));
    ASSERT_TRUE(Finished(reading->sent));
    EXPECT_EQ(kBusy, reading->Data());
    EXPECT_EQ(filled, reading->sent->time);
    EXPECT_EQ(14u, unit_->OverflowBytes());
    EXPECT_EQ(Bytes(50, 0x40), unit_->MidiOut());
    // 25 bytes leave in 25 * 320 us.
    reading = StartRead();
    ASSERT_TRUE(Finished(reading->sent, host::Ms(20)));
    EXPECT_EQ(kReady, reading->Data());
    EXPECT_EQ(filled + host::Ms(8), reading->sent->time);
    EXPECT_EQ(25u, unit_->BufferedBytes());
    // Full again: busy again.
    reading = StartRead();
    Write(Bytes(30, 0x41));
    ASSERT_TRUE(Finished(reading->sent));
    EXPECT_EQ(kBusy, reading->Data());
}

TEST_F(SimUnitTest, TheBufferDrainsAt3125BytesASecond) {
    Make({.midiOutCapacity = 4000});
    Write(Bytes(3200, 0x40));
    EXPECT_EQ(3200u, unit_->BufferedBytes());
    host::Advance(host::Ms(1000));
    EXPECT_EQ(75u, unit_->BufferedBytes());
    host::Advance(75 * 3200 - 1);
    EXPECT_EQ(1u, unit_->BufferedBytes());
    host::Advance(1);
    EXPECT_EQ(0u, unit_->BufferedBytes());
    // After an idle wire a byte takes its full time again.
    host::Advance(host::Ms(5));
    Write({0x40});
    host::Advance(3199);
    EXPECT_EQ(1u, unit_->BufferedBytes());
    EXPECT_EQ(0u, unit_->OverflowBytes());
}

TEST_F(SimUnitTest, NoStatusBeforeTheFirstIdentityRequest) {
    Make({.midiOutCapacity = 10});
    Write(Bytes(12, 0x40));
    EXPECT_TRUE(Read().empty());
    EXPECT_EQ(2u, unit_->OverflowBytes());
    EXPECT_EQ(10u, unit_->MidiOut().size());
    host::Advance(host::Ms(10));
    Write(Cat({kIdentityRequest, Bytes(10, 0x40)}));
    std::vector<Bytes> packets = Read();
    ASSERT_EQ(2u, packets.size());
    EXPECT_EQ(0x7E, packets[0][1]);
    EXPECT_EQ(kBusy, packets[1]);
}

TEST_F(SimUnitTest, BusyWithHeadroomComesThatManyBytesEarly) {
    Make({.midiOutCapacity = 50, .busyHeadroom = 10});
    Write(kIdentityRequest);
    ASSERT_EQ(1u, Read().size());
    Write(Bytes(39, 0x40));
    EXPECT_TRUE(Read().empty());
    Write({0x40});
    EXPECT_EQ(std::vector<Bytes>{kBusy}, Read());
}

}  // namespace
