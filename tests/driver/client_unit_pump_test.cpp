// A unit's open count, its output ring and the pump thread that drains it, against the
// simulated unit's firmware.
#include <atomic>
#include <memory>
#include <vector>

#include "client/client.h"
#include "sim/pmc7r_unit.h"
#include "unit/unit.h"
#include "unit_world.h"

namespace {

class UnitPumpTest : public UnitStackTest {
protected:
    Unit& Started(sim::UnitOptions options = {}) {
        unit_ = std::make_shared<sim::Pmc7rUnit>(options);
        return PlugAndStart(unit_);
    }
    // MIDI data bytes: no status byte, no fill byte, so the unit passes each one on.
    static std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 0) {
        std::vector<uint8_t> bytes(n);
        for (size_t i = 0; i < n; ++i) bytes[i] = uint8_t((seed + i) & 0x7F);
        return bytes;
    }
    ULONG Enqueue(Unit& u, const std::vector<uint8_t>& bytes) {
        return EnqueueOutput(u.fdo, 0, bytes.data(), ULONG(bytes.size()));
    }
    bool Received(size_t n) {
        bool ok = host::WaitUntil([&] { return unit_->MidiOut().size() >= n; }, host::Ms(20000),
                               "the unit's MIDI out");
        if (!ok) ADD_FAILURE() << "got " << unit_->MidiOut().size() << " of " << n << " at "
                               << host::Now() / 10000 << " ms; overflow " << unit_->OverflowBytes();
        return ok;
    }

    std::shared_ptr<sim::Pmc7rUnit> unit_;
};

TEST_F(UnitPumpTest, OpenCountStartsAndStopsThePump) {
    Unit& u = Started();
    FDO_EXTENSION* ext = Fdo(u);
    ASSERT_EQ(1u, OpenUnit(ext));
    EXPECT_EQ(2u, ext->ReadsInFlight);
    EXPECT_NE(nullptr, ext->PumpThread);
    EXPECT_EQ(ULONG(UNIT_MODE_ACTIVE), ext->UnitMode);
    EXPECT_NE(0u, ext->Flags & UNIT_PUMP_RUNNING);
    EXPECT_NE(0u, ext->Flags & UNIT_BUSY_REPORTS);  // the unit took the mode switch

    PKTHREAD pump = ext->PumpThread;
    EXPECT_EQ(2u, OpenUnit(ext));
    EXPECT_EQ(pump, ext->PumpThread);
    EXPECT_EQ(2u, ext->ReadsInFlight);
    EXPECT_TRUE(CloseUnit(ext));
    EXPECT_EQ(1u, ext->OpenCount);
    EXPECT_NE(0u, ext->Flags & UNIT_PUMP_RUNNING);

    EXPECT_TRUE(CloseUnit(ext));
    EXPECT_EQ(0u, ext->OpenCount);
    EXPECT_EQ(nullptr, ext->PumpThread);
    EXPECT_EQ(0u, ext->Flags & UNIT_PUMP_RUNNING);
    EXPECT_EQ(ULONG(UNIT_MODE_IDLE), ext->UnitMode);
    EXPECT_TRUE(CloseUnit(ext));  // nothing left to close
    EXPECT_EQ(0u, ext->OpenCount);
}

// The last close puts the unit in its idle power state, where it holds its input back; the
// next open brings it to D0 before its reads start again.
TEST_F(UnitPumpTest, TheLastCloseIdlesTheUnitAndTheNextOpenWakesIt) {
    Unit& u = Started();
    FDO_EXTENSION* ext = Fdo(u);
    ASSERT_EQ(PowerDeviceD2, DEVICE_POWER_STATE(ext->IdlePowerState));
    ASSERT_EQ(1u, OpenUnit(ext));
    EXPECT_EQ(ULONG(PowerDeviceD0), ext->DevicePowerState);
    CloseUnit(ext);
    EXPECT_EQ(ULONG(PowerDeviceD2), ext->DevicePowerState);
    EXPECT_EQ(PowerDeviceD2, bus_->PowerState(u.pdo));
    EXPECT_EQ(0, ext->IoCount - 1) << "the power request's reference is back";
    EXPECT_EQ(0u, ext->Flags & POWER_REQUEST_PENDING);

    ULONG from = ext->InputWriteIndex;
    unit_->Send({0x90, 0x3C, 0x64});
    host::Advance(host::Ms(50));
    EXPECT_TRUE(RingFrom(u, from).empty()) << "a sleeping unit sends nothing";

    ASSERT_EQ(1u, OpenUnit(ext));
    EXPECT_EQ(ULONG(PowerDeviceD0), ext->DevicePowerState);
    EXPECT_EQ(PowerDeviceD0, bus_->PowerState(u.pdo));
    ASSERT_TRUE(host::WaitUntil([&] { return RingFrom(u, from).size() >= 3; }, host::Ms(100)));
    std::vector<uint8_t> held = RingFrom(u, from);
    EXPECT_EQ((std::vector<uint8_t>{0x90, 0x3C, 0x64}), std::vector<uint8_t>(held.begin(), held.begin() + 3));
    CloseUnit(ext);
}

TEST_F(UnitPumpTest, AnOpenBeforeConfigurationFails) {
    unit_ = std::make_shared<sim::Pmc7rUnit>(sim::UnitOptions{});
    Unit& u = PlugModel(unit_);
    EXPECT_EQ(0u, OpenUnit(Fdo(u)));
    EXPECT_EQ(0u, Fdo(u)->OpenCount);
    EXPECT_EQ(nullptr, Fdo(u)->PumpThread);
}

TEST_F(UnitPumpTest, QueuedBytesReachTheUnitIntactAndInOrder) {
    Unit& u = Started();
    ASSERT_EQ(1u, OpenUnit(Fdo(u)));
    std::vector<uint8_t> all;
    for (size_t size : {1, 7, 500, 1500, 992, 3}) {
        std::vector<uint8_t> chunk = Pattern(size, uint8_t(all.size()));
        EXPECT_EQ(ULONG(size), Enqueue(u, chunk));  // 1500 waits for room in 50 ms steps
        all.insert(all.end(), chunk.begin(), chunk.end());
    }
    ASSERT_TRUE(Received(all.size()));
    EXPECT_EQ(all, unit_->MidiOut());
    EXPECT_EQ(0u, unit_->OverflowBytes());
    EXPECT_EQ(0u, Enqueue(u, {}));
    CloseUnit(Fdo(u));
}

// A wrap at the ring's end costs no sleep and closes a packet early on the wire.
TEST_F(UnitPumpTest, AWrapAtTheRingsEndSplitsTheWrite) {
    Unit& u = Started();
    FDO_EXTENSION* ext = Fdo(u);
    ext->OutputWriteIndex = ext->OutputReadIndex = 1000;
    std::vector<uint8_t> bytes = Pattern(100);
    int64_t before = host::Now();
    EXPECT_EQ(100u, Enqueue(u, bytes));
    EXPECT_EQ(before, host::Now());
    EXPECT_EQ(76u, ext->OutputWriteIndex);
    EXPECT_EQ(100u, ext->OutputCount);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 24, &ext->OutputRing[1000]));
    EXPECT_TRUE(std::equal(bytes.begin() + 24, bytes.end(), &ext->OutputRing[0]));

    ASSERT_EQ(1u, OpenUnit(ext));
    ASSERT_TRUE(Received(100));
    EXPECT_EQ(bytes, unit_->MidiOut());
    ASSERT_TRUE(host::WaitUntil([&] { return ReadShared(&ext->OutputCount) == 0; }, host::Ms(100)));
    EXPECT_EQ(76u, ext->OutputReadIndex);
    std::vector<uint8_t> first(bytes.begin(), bytes.begin() + 24);
    first.resize(64, 0xFF);
    bool split = false;
    for (const auto& r : bus_->Log()) {
        bool out = r.event == sim::UrbRecord::Event::Submitted && !r.in &&
                   r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        split = split || (out && r.data == first);
    }
    EXPECT_TRUE(split) << "the 24 bytes before the wrap leave as a packet of their own";
    CloseUnit(ext);
}

// A unit nobody has open has no pump: a full ring is reported at once, not waited for, and
// what was queued goes out at the next open.
TEST_F(UnitPumpTest, AFullRingWithoutAPumpIsReportedNotWaitedFor) {
    Unit& u = Started();
    std::vector<uint8_t> bytes = Pattern(1500);
    int64_t before = host::Now();
    EXPECT_EQ(1024u, Enqueue(u, bytes));
    EXPECT_EQ(before, host::Now());
    EXPECT_EQ(1024u, Fdo(u)->OutputCount);

    ASSERT_EQ(1u, OpenUnit(Fdo(u)));
    EXPECT_EQ(476u, EnqueueOutput(u.fdo, 0, bytes.data() + 1024, 476));
    ASSERT_TRUE(Received(1500));
    EXPECT_EQ(bytes, unit_->MidiOut());
    CloseUnit(Fdo(u));
}

// The pump's first packet out of a full ring wakes the producer waiting for room, rather
// than the producer's next look 50 ms on.
TEST_F(UnitPumpTest, AProducerWaitingOnAFullRingGoesOnWhenThePumpMakesRoom) {
    Unit& u = Started();
    ASSERT_EQ(1u, OpenUnit(Fdo(u)));
    std::vector<uint8_t> bytes = Pattern(1024 + 64);
    int64_t before = host::Now();
    EXPECT_EQ(ULONG(bytes.size()), Enqueue(u, bytes));
    EXPECT_LT(host::Now() - before, host::Ms(10));
    ASSERT_TRUE(Received(bytes.size()));
    EXPECT_EQ(bytes, unit_->MidiOut());
    CloseUnit(Fdo(u));
}

TEST_F(UnitPumpTest, TheLastCloseSendsWhatWasQueuedBeforeIt) {
    Unit& u = Started();
    ASSERT_EQ(1u, OpenUnit(Fdo(u)));
    std::vector<uint8_t> bytes = Pattern(200, 5);
    EXPECT_EQ(200u, Enqueue(u, bytes));
    CloseUnit(Fdo(u));
    EXPECT_EQ(0u, Fdo(u)->OutputCount);
    ASSERT_TRUE(Received(200));
    EXPECT_EQ(bytes, unit_->MidiOut());
}

// Producers, openers and closers at once: each producer's bytes arrive complete and in its
// order, the ring never loses a count, and only one pump ever drains it.
TEST_F(UnitPumpTest, ProducersOpenersAndClosersAtOnce) {
    sim::UnitOptions options;
    options.midiOutCapacity = 1 << 20;  // order is the point here, not the wire's pace
    Unit& u = Started(options);
    FDO_EXTENSION* ext = Fdo(u);
    constexpr int kProducers = 3;
    constexpr size_t kBytesEach = 600;
    auto byteOf = [](int producer, size_t i) { return uint8_t(producer * 32 + i % 32); };
    std::vector<std::unique_ptr<host::Thread>> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.push_back(std::make_unique<host::Thread>("producer", [&, p] {
            std::vector<uint8_t> mine(kBytesEach);
            for (size_t i = 0; i < kBytesEach; ++i) mine[i] = byteOf(p, i);
            size_t done = 0;
            while (done < kBytesEach) {
                ULONG n = ULONG(std::min<size_t>(37, kBytesEach - done));
                done += EnqueueOutput(u.fdo, 0, mine.data() + done, n);
                host::Advance(host::Ms(1));
            }
        }));
    }
    for (int c = 0; c < 2; ++c) {
        threads.push_back(std::make_unique<host::Thread>("opener", [&] {
            for (int round = 0; round < 5; ++round) {
                EXPECT_NE(0u, OpenUnit(ext));
                host::Advance(host::Ms(7));
                CloseUnit(ext);
            }
        }));
    }
    for (auto& t : threads) t->Join();
    ASSERT_EQ(1u, OpenUnit(ext));
    ASSERT_TRUE(Received(kProducers * kBytesEach));
    CloseUnit(ext);
    std::vector<uint8_t> out = unit_->MidiOut();
    ASSERT_EQ(kProducers * kBytesEach, out.size());
    for (int p = 0; p < kProducers; ++p) {
        std::vector<uint8_t> seen;
        for (uint8_t b : out) {
            if (b / 32 == p) seen.push_back(b);
        }
        ASSERT_EQ(kBytesEach, seen.size()) << "producer " << p;
        for (size_t i = 0; i < kBytesEach; ++i) ASSERT_EQ(byteOf(p, i), seen[i]) << "producer " << p;
    }
    EXPECT_EQ(0u, ext->OutputCount);
}

}  // namespace
