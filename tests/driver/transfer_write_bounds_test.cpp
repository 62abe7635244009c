// What keeps a write from hanging or flooding the unit: the wire's pace, the busy patience,
// and what a write that cannot finish reports.
#include <atomic>
#include <memory>

#include "client/client.h"
#include "sim/pmc7r_unit.h"
#include "unit_world.h"

namespace {

class WriteBoundsTest : public UnitStackTest {
protected:
    Unit& Started(sim::UnitOptions options = {}) {
        unit_ = std::make_shared<sim::Pmc7rUnit>(options);
        return PlugAndStart(unit_);
    }
    static std::vector<uint8_t> Data(size_t n) {
        std::vector<uint8_t> bytes(n);
        for (size_t i = 0; i < n; ++i) bytes[i] = uint8_t(i & 0x7F);
        return bytes;
    }
    std::shared_ptr<sim::Pmc7rUnit> unit_;
};

// Two packets go at once (the burst the unit's wire may hold); the third waits for the wire,
// meanwhile the unit turns busy for good: the write gives up after its patience, says so, and
// the request reports the bytes that went.
TEST_F(WriteBoundsTest, AUnitThatStaysBusyEndsTheWriteWithWhatWent) {
    Unit& u = Started();
    host::Thread busy("unit turns busy", [&] {
        host::Advance(host::Ms(10));
        SetFlags(&Fdo(u)->Flags, UNIT_BUSY);
    });
    int64_t start = host::Now();
    ULONG_PTR info = 0;
    EXPECT_EQ(STATUS_IO_TIMEOUT, Write(u, Data(200), &info));
    busy.Join();
    EXPECT_EQ(128u, info);
    EXPECT_EQ(128u, unit_->MidiOut().size());
    EXPECT_LE(host::Now() - start, host::Ms(1100));
    EXPECT_EQ(32, KeReadStateSemaphore(&Fdo(u)->FreeSlotSemaphore));
}

// A lost ready report: the last close still ends, the bytes stay queued, and the next start,
// which forgets the stale busy, sends them.
TEST_F(WriteBoundsTest, TheLastCloseEndsThoughTheReadyReportNeverCame) {
    Unit& u = Started();
    FDO_EXTENSION* ext = Fdo(u);
    ASSERT_EQ(1u, OpenUnit(ext));
    SetFlags(&ext->Flags, UNIT_BUSY);
    std::vector<uint8_t> bytes = Data(10);
    ASSERT_EQ(10u, EnqueueOutput(u.fdo, 0, bytes.data(), 10));
    std::atomic<bool> closed{false};
    host::Thread closer("last close", [&] {
        CloseUnit(ext);
        closed = true;
    });
    bool ended = host::WaitUntil([&] { return closed.load(); }, host::Ms(5000), "the last close");
    if (!ended) ClearFlags(&ext->Flags, UNIT_BUSY);  // lets a hung close go, so the test ends
    closer.Join();
    ASSERT_TRUE(ended) << "the close waited for a busy unit without a bound";

    ASSERT_EQ(1u, OpenUnit(ext));
    EXPECT_TRUE(host::WaitUntil([&] { return unit_->MidiOut().size() >= 10; }, host::Ms(1000)));
    EXPECT_EQ(bytes, unit_->MidiOut());
    CloseUnit(ext);
}

// An idle wire takes a small message at once: out within the pump's 2 ms and one frame.
TEST_F(WriteBoundsTest, ASmallMessageOnAnIdleWireLeavesAtOnce) {
    Unit& u = Started();
    FDO_EXTENSION* ext = Fdo(u);
    ASSERT_EQ(1u, OpenUnit(ext));
    host::Advance(host::Ms(100));
    const std::vector<uint8_t> message = {0xB0, 0x07, 0x64};
    int64_t queued = host::Now();
    ASSERT_EQ(3u, EnqueueOutput(u.fdo, 0, message.data(), 3));
    ASSERT_TRUE(host::WaitUntil([&] { return unit_->Wire().lastArrival >= queued; }, host::Ms(100)));
    EXPECT_LE(unit_->Wire().lastArrival - queued, host::Ms(3));
    CloseUnit(ext);
}

// The writer paces itself from the MIDI rate: a unit that never reports busy, with a buffer
// of only the burst, takes a long flood without a loss, at better than 95% of its wire.
TEST_F(WriteBoundsTest, TheWritersPaceFitsTheWire) {
    Unit& u = Started({.midiOutCapacity = 128, .busyHeadroom = 0, .silent = true});
    std::vector<uint8_t> bytes = Data(2000);
    ASSERT_EQ(STATUS_SUCCESS, BulkWrite(u.fdo, bytes.data(), ULONG(bytes.size())));
    host::Advance(host::Ms(100));
    EXPECT_EQ(0u, unit_->OverflowBytes());
    EXPECT_EQ(bytes, unit_->MidiOut());
    sim::WireSpan wire = unit_->Wire();
    double rate = double(wire.bytes) * 1e7 / double(wire.lastEnd - wire.firstStart);
    EXPECT_GE(rate, 0.95 * 3125);
    EXPECT_LE(rate, 3125.0);
}

}  // namespace
