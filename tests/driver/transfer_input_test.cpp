// The bulk reader: packets sorted into input and status, the ring, the reads' life.
#include "core/unit_table.h"
#include "unit_world.h"

namespace {

class InputTest : public UnitStackTest {
protected:
    // Pushes one IN packet (filled up to 64 bytes with FF) and lets it arrive.
    void Arrive(Unit& u, std::vector<uint8_t> packet, bool fill = true) {
        if (fill) packet.resize(64, 0xFF);
        u.device->Push(0x81, packet);
        host::Advance(host::Ms(3));
    }
};

// 64 MIDI bytes: note-ons with running status.
std::vector<uint8_t> FullPacket() {
    std::vector<uint8_t> p(64);
    for (size_t i = 0; i < p.size(); ++i) p[i] = i % 3 == 0 ? 0x90 : uint8_t(i);
    return p;
}

TEST_F(InputTest, PacketsAreSortedIntoInputAndStatus) {
    struct Case {
        const char* what;
        bool reports;
        std::vector<uint8_t> packet;
        std::vector<uint8_t> input;
        int busy;  // -1 unchanged, 0 cleared, 1 set
    };
    const Case cases[] = {
        {"MIDI up to the fill", false, {0x90, 0x3C, 0x64}, {0x90, 0x3C, 0x64}, -1},
        {"MIDI up to the fill, reports on", true, {0x90, 0x3C, 0x64}, {0x90, 0x3C, 0x64}, -1},
        {"a leading FF is data", false, {0xFF, 0xFF}, {0xFF}, -1},
        {"busy", true, {0xFE, 0x01, 0x00}, {}, 1},
        {"ready", true, {0xFE, 0x01, 0x7F}, {}, 0},
        {"other report", true, {0xFE, 0x02, 0x00}, {}, -1},
        {"active sensing while reports are off", false, {0xFE, 0xFF}, {0xFE}, -1},
        {"status bytes while reports are off", false, {0xFE, 0x01, 0x00}, {0xFE, 0x01, 0x00}, -1},
        {"a full packet has no fill", true, FullPacket(), FullPacket(), -1},
    };
    Unit& u = Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.reports) SetFlags(&Fdo(u)->Flags, UNIT_BUSY_REPORTS);
        else ClearFlags(&Fdo(u)->Flags, UNIT_BUSY_REPORTS);
        if (c.busy == 0) SetFlags(&Fdo(u)->Flags, UNIT_BUSY);
        if (c.busy == 1) ClearFlags(&Fdo(u)->Flags, UNIT_BUSY);
        ULONG before = Fdo(u)->InputWriteIndex;
        ULONG busyBefore = Fdo(u)->Flags & UNIT_BUSY;
        Arrive(u, c.packet);
        EXPECT_EQ(c.input, RingFrom(u, before));
        ULONG busy = Fdo(u)->Flags & UNIT_BUSY;
        if (c.busy == -1) EXPECT_EQ(busyBefore, busy);
        else EXPECT_EQ(c.busy == 1, busy != 0);
    }
    EXPECT_EQ(2u, Fdo(u)->ReadsInFlight);
}

TEST_F(InputTest, ShortAndEmptyPacketsNeverReadStaleBytes) {
    Unit& u = Open();
    SetFlags(&Fdo(u)->Flags, UNIT_BUSY_REPORTS);
    Arrive(u, {0xFE, 0x01, 0x00});  // busy: leaves 01 00 in both slots' buffers
    Arrive(u, {0xFE, 0x01, 0x00});
    ASSERT_NE(0u, Fdo(u)->Flags & UNIT_BUSY);
    ULONG before = Fdo(u)->InputWriteIndex;
    Arrive(u, {0xFE}, false);  // one byte: not a status packet
    EXPECT_NE(0u, Fdo(u)->Flags & UNIT_BUSY);
    EXPECT_EQ(std::vector<uint8_t>{0xFE}, RingFrom(u, before));
    Arrive(u, {}, false);  // empty: nothing added, the read goes on
    EXPECT_EQ(std::vector<uint8_t>{0xFE}, RingFrom(u, before));
    EXPECT_EQ(2u, Fdo(u)->ReadsInFlight);
}

TEST_F(InputTest, TheRingWrapsAndALappedConsumerSeesOnlyTheNewest) {
    Unit& u = Open();
    ULONG consumer = Fdo(u)->InputWriteIndex;
    for (int i = 0; i < 130; i += 10) {
        std::vector<uint8_t> packet;
        for (int j = i; j < std::min(i + 10, 130); ++j) packet.push_back(uint8_t(j));
        Arrive(u, packet);
    }
    EXPECT_EQ((consumer + 130) & 127, Fdo(u)->InputWriteIndex);
    EXPECT_EQ((std::vector<uint8_t>{128, 129}), RingFrom(u, consumer));
}

TEST_F(InputTest, AFailedReadEndsAndFreesItsSlot) {
    Unit& u = Open();
    EXPECT_EQ(30, KeReadStateSemaphore(&Fdo(u)->FreeSlotSemaphore));
    AbortPipes(u.fdo);  // both reads come back with an error
    host::Advance(host::Ms(2));
    EXPECT_EQ(0u, Fdo(u)->ReadsInFlight);
    EXPECT_EQ(32, KeReadStateSemaphore(&Fdo(u)->FreeSlotSemaphore));
    StartReads(u);  // the next open brings them back
    EXPECT_EQ(2u, Fdo(u)->ReadsInFlight);
    ClearFlags(&Fdo(u)->Flags, DEVICE_STARTED);  // a read that returns to a stopped device ends
    Arrive(u, {0x90});
    Arrive(u, {0x80});
    EXPECT_EQ(0u, Fdo(u)->ReadsInFlight);
    EXPECT_EQ(32, KeReadStateSemaphore(&Fdo(u)->FreeSlotSemaphore));
}

TEST_F(InputTest, StatusPacketsHoldTheWriterBackUntilReady) {
    Unit& u = Open();
    SetFlags(&Fdo(u)->Flags, UNIT_BUSY_REPORTS);
    Arrive(u, {0xFE, 0x01, 0x00});
    host::Thread ready("unit", [&] {
        host::Advance(host::Ms(80));
        EXPECT_TRUE(OutTransfers(u).empty());
        u.device->Push(0x81, {0xFE, 0x01, 0x01});
    });
    uint8_t note[] = {0x90, 0x40, 0x7F};
    EXPECT_EQ(STATUS_SUCCESS, BulkWrite(u.fdo, note, 3));
    ready.Join();
    EXPECT_EQ(1u, OutTransfers(u).size());
}

}  // namespace
