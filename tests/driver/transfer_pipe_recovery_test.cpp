// A bulk pipe that a failed transfer halted is reset, so that the unit's input and output
// go on instead of failing until the unit is plugged in again.
#include "client/client.h"
#include "unit_world.h"

namespace {

using Refusal = sim::UsbBus::Refusal;

class PipeRecoveryTest : public UnitStackTest {
protected:
    Unit& Opened() {
        Unit& u = Plug();
        EXPECT_EQ(STATUS_SUCCESS, Start(u));
        EXPECT_EQ(1u, OpenUnit(Fdo(u)));
        return u;
    }
    // The next transfer that reaches the unit fails (a stall or a bus error) and halts its
    // pipe: a plan counts its calls from 1.
    void FailNext(Refusal kind) {
        bus_->PlanRefusals(kind, [](uint64_t call) { return call == 1; });
    }
    void Arrive(Unit& u, std::vector<uint8_t> packet) {
        packet.resize(64, 0xFF);
        u.device->Push(0x81, packet);
        host::Advance(host::Ms(10));
    }
};

TEST_F(PipeRecoveryTest, ReadsGoOnAfterAFailedReadHaltedTheInPipe) {
    for (Refusal kind : {Refusal::Stall, Refusal::BusError}) {
        Unit& u = Opened();
        FDO_EXTENSION* ext = Fdo(u);
        FailNext(kind);
        Arrive(u, {0x90, 0x3C, 0x7F});  // the read sent after it is refused
        ULONG before = ext->InputWriteIndex;
        Arrive(u, {0x80, 0x3C, 0x00});
        Arrive(u, {0x90, 0x3E, 0x7F});
        EXPECT_EQ((std::vector<uint8_t>{0x80, 0x3C, 0x00, 0x90, 0x3E, 0x7F}), RingFrom(u, before));
        EXPECT_EQ(2u, ext->ReadsInFlight);
        EXPECT_EQ(0u, ext->Flags & IN_PIPE_HALTED);
        CloseUnit(ext);
    }
}

// A unit that fails every read is given a few resets, then left until its next open.
TEST_F(PipeRecoveryTest, AUnitThatFailsEveryReadIsResetAFewTimesOnly) {
    Unit& u = Opened();
    FDO_EXTENSION* ext = Fdo(u);
    bus_->PlanRefusals(Refusal::Stall, [](uint64_t) { return true; });
    Arrive(u, {0x90, 0x3C, 0x7F});
    host::Advance(host::Ms(100));
    EXPECT_EQ(ULONG(MAX_PIPE_RESETS), ext->PipeResets);
    EXPECT_EQ(0u, ext->ReadsInFlight);
    bus_->PlanRefusals(Refusal::Stall, nullptr);
    CloseUnit(ext);
    ASSERT_EQ(1u, OpenUnit(ext));
    host::Advance(host::Ms(10));
    ULONG before = ext->InputWriteIndex;
    Arrive(u, {0x80, 0x3C, 0x00});
    EXPECT_EQ((std::vector<uint8_t>{0x80, 0x3C, 0x00}), RingFrom(u, before));
    CloseUnit(ext);
}

// A write whose packet was stalled fails with nothing sent; the next one goes.
TEST_F(PipeRecoveryTest, TheWriteAfterAStalledOneReachesTheUnit) {
    Unit& u = Opened();
    size_t sent = OutTransfers(u).size();
    FailNext(Refusal::Stall);
    ULONG_PTR reached = 1;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Write(u, {0x90, 0x3C, 0x7F}, &reached));
    EXPECT_EQ(0u, reached);
    EXPECT_EQ(sent, OutTransfers(u).size());
    ASSERT_EQ(STATUS_SUCCESS, Write(u, {0x90, 0x3C, 0x7F}, &reached));
    EXPECT_EQ(3u, reached);
    std::vector<std::vector<uint8_t>> out = OutTransfers(u);
    ASSERT_EQ(sent + 1, out.size());
    EXPECT_EQ((std::vector<uint8_t>{0x90, 0x3C, 0x7F}), std::vector<uint8_t>(out.back().begin(), out.back().begin() + 3));
    CloseUnit(Fdo(u));
}

}  // namespace
