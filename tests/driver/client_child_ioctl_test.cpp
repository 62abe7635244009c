// The child's internal requests: open and close all units, writes by device ID, the unit
// list, and the multiplexed read with its parking, delivery and cancel.
#include <thread>

#include "client_world.h"

namespace {

class ChildIoctlTest : public ClientWorld {};

TEST_F(ChildIoctlTest, RequestsWithBadBlocksAreRefusedAndGoodOnesAnswered) {
    Unit& master = Register(0);
    // The block of the driver's own build: 16 bytes in the 32-bit one.
    const ULONG kBlock = sizeof(UNIT_DATA_BLOCK);
    enum class Block { None, Bytes, Data, NullData };
    struct Case {
        const char* what;
        ULONG code;
        Block block;
        ULONG deviceId, byteCount;
        LONG capacity;
        ULONG inputLength, outputLength;
        NTSTATUS status;
        ULONG_PTR information;
        size_t queuedAfter;  // bytes in the master's output ring
    };
    const Case cases[] = {
        {"unknown code", 0x222417, Block::Bytes, 0, 0, 0, 3, 0, STATUS_INVALID_PARAMETER, 0, 0},
        {"direct calls on the child", IOCTL_UNIT_GET_DIRECT_CALLS, Block::Data, 0, 0, 0, 0, 24,
         STATUS_INVALID_PARAMETER, 0, 0},
        {"write master, no length", IOCTL_UNIT_WRITE_MASTER, Block::Bytes, 0, 0, 0, 0, 0, STATUS_INVALID_PARAMETER, 0, 0},
        {"write master, no block", IOCTL_UNIT_WRITE_MASTER, Block::None, 0, 0, 0, 3, 0, STATUS_INVALID_PARAMETER, 0, 0},
        {"write master", IOCTL_UNIT_WRITE_MASTER, Block::Bytes, 0, 0, 0, 3, 0, STATUS_SUCCESS, 3, 3},
        {"write, block one short", IOCTL_UNIT_WRITE, Block::Data, 0, 2, 0, kBlock - 1, 0, STATUS_INVALID_PARAMETER, 0, 3},
        {"write, block one long", IOCTL_UNIT_WRITE, Block::Data, 0, 2, 0, kBlock + 1, 0, STATUS_INVALID_PARAMETER, 0, 3},
        {"write, no block", IOCTL_UNIT_WRITE, Block::None, 0, 2, 0, kBlock, 0, STATUS_INVALID_PARAMETER, 0, 3},
        {"write, device 8", IOCTL_UNIT_WRITE, Block::Data, 8, 2, 0, kBlock, 0, STATUS_INVALID_PARAMETER, 0, 3},
        {"write, no data but a count", IOCTL_UNIT_WRITE, Block::NullData, 0, 2, 0, kBlock, 0, STATUS_INVALID_PARAMETER, 0, 3},
        {"write, no data and no count", IOCTL_UNIT_WRITE, Block::NullData, 0, 0, 0, kBlock, 0, STATUS_SUCCESS, kBlock, 3},
        {"write to an empty slot", IOCTL_UNIT_WRITE, Block::Data, 7, 2, 0, kBlock, 0, STATUS_SUCCESS, kBlock, 3},
        {"write to the master", IOCTL_UNIT_WRITE, Block::Data, 0, 2, 0, kBlock, 0, STATUS_SUCCESS, kBlock, 5},
        {"list, size 127", IOCTL_UNIT_LIST, Block::Bytes, 0, 0, 0, 0, 127, STATUS_INVALID_PARAMETER, 0, 5},
        {"list, no block", IOCTL_UNIT_LIST, Block::None, 0, 0, 0, 0, 128, STATUS_INVALID_PARAMETER, 0, 5},
        {"read, block one short", IOCTL_UNIT_READ, Block::Data, 0, 0, 8, 0, kBlock - 1, STATUS_INVALID_PARAMETER, 0, 5},
        {"read, no block", IOCTL_UNIT_READ, Block::None, 0, 0, 8, 0, kBlock, STATUS_INVALID_PARAMETER, 0, 5},
        {"read, capacity 0", IOCTL_UNIT_READ, Block::Data, 0, 0, 0, 0, kBlock, STATUS_INVALID_PARAMETER, 0, 5},
        {"read, no data", IOCTL_UNIT_READ, Block::NullData, 0, 0, 8, 0, kBlock, STATUS_INVALID_PARAMETER, 0, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UCHAR bytes[128] = {0x90, 0x3C, 0x64};
        UCHAR data[8] = {0xB0, 0x07};
        UNIT_DATA_BLOCK block = {c.deviceId, c.byteCount, c.capacity, c.block == Block::NullData ? nullptr : data};
        void* pointer = c.block == Block::None ? nullptr : c.block == Block::Bytes ? (void*)bytes : (void*)&block;
        host::io::Result r = Internal(c.code, pointer, c.inputLength, c.outputLength);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.information, r.information);
        EXPECT_EQ(c.queuedAfter, Queued(master).size());
    }
    EXPECT_EQ((std::vector<uint8_t>{0x90, 0x3C, 0x64, 0xB0, 0x07}), Queued(master));
    EXPECT_EQ(nullptr, child_->PendingReadIrp);
}

TEST_F(ChildIoctlTest, WritesReachTheUnitOfTheirIdAndNeedAMasterOnlyForTheMaster) {
    Unit& slave = Register(2);
    UCHAR bytes[3] = {0x90, 0x3C, 0x64};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Internal(IOCTL_UNIT_WRITE_MASTER, bytes, 3, 0).status);
    UNIT_DATA_BLOCK block = {2, 3, 0, bytes};
    host::io::Result r = Internal(IOCTL_UNIT_WRITE, &block, sizeof(block), 0);
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(sizeof(block), r.information);
    EXPECT_EQ((std::vector<uint8_t>{0x90, 0x3C, 0x64}), Queued(slave));
}

// A ring that stays full (nobody has the unit open) takes 1024 bytes: the writes say that
// not all went, with the count that was queued where the layout has room for it.
TEST_F(ChildIoctlTest, AWriteThatCannotQueueEveryByteSaysHowManyWere) {
    Register(0);
    Unit& slave = Register(3);
    std::vector<UCHAR> bytes(1500, 0x40);
    UNIT_DATA_BLOCK block = {3, 1500, 0, bytes.data()};
    host::io::Result r = Internal(IOCTL_UNIT_WRITE, &block, sizeof(block), 0);
    EXPECT_EQ(STATUS_DEVICE_BUSY, r.status);
    EXPECT_EQ(sizeof(block), r.information);
    EXPECT_EQ(1024u, block.ByteCount);
    EXPECT_EQ(1024u, Queued(slave).size());

    r = Internal(IOCTL_UNIT_WRITE_MASTER, bytes.data(), 1500, 0);
    EXPECT_EQ(STATUS_DEVICE_BUSY, r.status);
    EXPECT_EQ(1024u, r.information);
    r = Internal(IOCTL_UNIT_WRITE_MASTER, bytes.data(), 10, 0);
    EXPECT_EQ(STATUS_DEVICE_BUSY, r.status);
    EXPECT_EQ(0u, r.information);
}

TEST_F(ChildIoctlTest, TheListHasTheFirmwareOfEachPresentUnit) {
    Register(0, 105);
    Register(2, 230);
    UNIT_LIST_ENTRY entries[MAX_UNITS];
    memset(entries, 0xAA, sizeof(entries));
    host::io::Result r = Internal(IOCTL_UNIT_LIST, entries, 0, 128);
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(128u, r.information);
    for (ULONG i = 0; i < MAX_UNITS; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(i == 0 ? 105u : i == 2 ? 230u : 0u, entries[i].FirmwareVersion);
        for (ULONG reserved : entries[i].Reserved) EXPECT_EQ(0u, reserved);
    }
}

TEST_F(ChildIoctlTest, ReadsServeTheLowestDeviceIdWithInputFirst) {
    Unit& master = Register(0);
    Unit& three = Register(3);
    Arrive(three, {0x93, 1, 2});
    Arrive(master, {0x90, 1, 2});
    Read r1, r2, r3;
    EXPECT_EQ(STATUS_SUCCESS, StartRead(r1, 16));
    EXPECT_EQ(0u, r1.block.DeviceId);
    EXPECT_EQ(3u, r1.information);
    EXPECT_EQ((std::vector<uint8_t>{0x90, 1, 2}), r1.Bytes());
    Arrive(master, {0x80, 5, 6});  // unit 0 again before unit 3's turn
    EXPECT_EQ(STATUS_SUCCESS, StartRead(r2, 16));
    EXPECT_EQ(0u, r2.block.DeviceId);
    EXPECT_EQ(STATUS_SUCCESS, StartRead(r3, 16));
    EXPECT_EQ(3u, r3.block.DeviceId);
    EXPECT_EQ((std::vector<uint8_t>{0x93, 1, 2}), r3.Bytes());
}

TEST_F(ChildIoctlTest, BytesBeyondTheCapacityWaitForTheNextRead) {
    Register(0);
    Unit& unit = Register(4);
    std::vector<uint8_t> fifty(50);
    for (int i = 0; i < 50; ++i) fifty[i] = uint8_t(i + 1);
    Arrive(unit, fifty);
    Read first, second;
    EXPECT_EQ(STATUS_SUCCESS, StartRead(first, 16));
    EXPECT_EQ(std::vector<uint8_t>(fifty.begin(), fifty.begin() + 16), first.Bytes());
    EXPECT_EQ(STATUS_SUCCESS, StartRead(second, 16));
    EXPECT_EQ(4u, second.block.DeviceId);
    EXPECT_EQ(std::vector<uint8_t>(fifty.begin() + 16, fifty.begin() + 32), second.Bytes());
}

TEST_F(ChildIoctlTest, ANegativeCapacityCopiesNothingButNamesTheUnit) {
    Register(0);
    Unit& three = Register(3);
    Arrive(three, {0x93, 1});
    Read r;
    EXPECT_EQ(STATUS_SUCCESS, StartRead(r, LONG(0x80000000u)));
    EXPECT_EQ(0u, r.block.ByteCount);
    EXPECT_EQ(0u, r.information);
    EXPECT_EQ(3u, r.block.DeviceId);
}

TEST_F(ChildIoctlTest, AParkedReadIsCompletedByTheNextInputOfAnyUnit) {
    Register(0);
    Unit& five = Register(5);
    Read parked, second;
    EXPECT_EQ(STATUS_PENDING, StartRead(parked, 16));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, StartRead(second, 16));
    EXPECT_EQ(1, second.completions);
    EXPECT_EQ(parked.irp, child_->PendingReadIrp);
    Arrive(five, {0x95, 0x40, 0x7F});
    EXPECT_EQ(1, parked.completions);
    EXPECT_EQ(STATUS_SUCCESS, parked.status);
    EXPECT_EQ(3u, parked.information);
    EXPECT_EQ(5u, parked.block.DeviceId);
    EXPECT_EQ((std::vector<uint8_t>{0x95, 0x40, 0x7F}), parked.Bytes());
    // With no read parked, input waits in the ring for the next read.
    Arrive(five, {0x85, 0x40});
    Read next;
    EXPECT_EQ(STATUS_SUCCESS, StartRead(next, 16));
    EXPECT_EQ((std::vector<uint8_t>{0x85, 0x40}), next.Bytes());
}

TEST_F(ChildIoctlTest, ACancelledParkedReadEndsWithNothing) {
    Unit& master = Register(0);
    Read r;
    EXPECT_EQ(STATUS_PENDING, StartRead(r, 16));
    IoCancelIrp(r.irp);
    EXPECT_EQ(1, r.completions);
    EXPECT_EQ(STATUS_CANCELLED, r.status);
    EXPECT_EQ(0u, r.information);
    EXPECT_EQ(nullptr, child_->PendingReadIrp);
    Arrive(master, {0x90, 1, 2});
    Read next;
    EXPECT_EQ(STATUS_SUCCESS, StartRead(next, 16));
    EXPECT_EQ(3u, next.information);
}

TEST_F(ChildIoctlTest, OpenAllStartsTheStreamNowAndCountsOpens) {
    Unit& master = Register(0);
    Unit& two = Register(2);
    Arrive(two, {0x92, 1, 2});  // before the open: not part of the stream
    EXPECT_EQ(STATUS_SUCCESS, Internal(IOCTL_UNIT_OPEN_ALL, nullptr, 0, 0).status);
    EXPECT_EQ(STATUS_SUCCESS, Internal(IOCTL_UNIT_OPEN_ALL, nullptr, 0, 0).status);
    EXPECT_EQ(2u, Fdo(master)->OpenCount);
    EXPECT_EQ(2u, Fdo(two)->OpenCount);
    Read r;
    EXPECT_EQ(STATUS_PENDING, StartRead(r, 16));
    Arrive(two, {0x82, 3});
    EXPECT_EQ((std::vector<uint8_t>{0x82, 3}), r.Bytes());
    EXPECT_EQ(STATUS_SUCCESS, Internal(IOCTL_UNIT_CLOSE_ALL, nullptr, 0, 0).status);
    EXPECT_EQ(1u, Fdo(two)->OpenCount);
    EXPECT_TRUE(Fdo(two)->Flags & UNIT_PUMP_RUNNING);
    EXPECT_EQ(STATUS_SUCCESS, Internal(IOCTL_UNIT_CLOSE_ALL, nullptr, 0, 0).status);
    EXPECT_EQ(0u, Fdo(master)->OpenCount);
    EXPECT_FALSE(Fdo(master)->Flags & UNIT_PUMP_RUNNING);
}

// A unit that takes its slot after the open of all units joins the stream at its present
// input position: what it received before its claim is not handed to the client.
TEST_F(ChildIoctlTest, AUnitThatArrivesAfterOpenAllStartsAtItsPresentInput) {
    Register(0);
    EXPECT_EQ(STATUS_SUCCESS, Internal(IOCTL_UNIT_OPEN_ALL, nullptr, 0, 0).status);
    Unit& late = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(late));
    StartReads(late);
    Arrive(late, {0x96, 9, 9});  // during its handshake
    Fdo(late)->DeviceId = 6;
    ASSERT_TRUE(ClaimUnitSlot(Fdo(late), 6));
    Read r;
    EXPECT_EQ(STATUS_PENDING, StartRead(r, 16));
    Arrive(late, {0x86, 1});
    EXPECT_EQ(1, r.completions);
    EXPECT_EQ(6u, r.block.DeviceId);
    EXPECT_EQ((std::vector<uint8_t>{0x86, 1}), r.Bytes());
    EXPECT_EQ(STATUS_SUCCESS, Internal(IOCTL_UNIT_CLOSE_ALL, nullptr, 0, 0).status);
}

// Two reads sent at the same moment: the test for a parked read and the parking are one
// step, so exactly one is parked and the other refused.
TEST_F(ChildIoctlTest, OfTwoReadsAtOnceOneIsParkedAndOneRefused) {
    Register(0);
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        Read a, b;
        NTSTATUS sa = 0, sb = 0;
        {
            host::Thread ta("reader a", [&] { sa = StartRead(a, 16); });
            host::Thread tb("reader b", [&] { sb = StartRead(b, 16); });
        }
        ASSERT_EQ(1, (sa == STATUS_PENDING) + (sb == STATUS_PENDING));
        ASSERT_EQ(1, (sa == STATUS_INVALID_PARAMETER) + (sb == STATUS_INVALID_PARAMETER));
        Read& parked = sa == STATUS_PENDING ? a : b;
        EXPECT_EQ(parked.irp, child_->PendingReadIrp);
        IoCancelIrp(parked.irp);
        EXPECT_EQ(STATUS_CANCELLED, parked.status);
    }
}

// Input arrives on the bus while a read is being sent: the read ends with the bytes, whether
// its scan saw them or the delivery found it parked; none is stranded in the ring.
TEST_F(ChildIoctlTest, InputRacingAReadIsNeverStranded) {
    Unit& master = Register(0);
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        Read r;
        NTSTATUS sent = 0;
        {
            host::Thread input("input", [&] { master.device->Push(0x81, std::vector<uint8_t>{0x90, uint8_t(i), 0x40}); });
            host::Thread reader("reader", [&] { sent = StartRead(r, 16); });
        }
        host::Advance(host::Ms(3));
        ASSERT_EQ(1, r.completions) << "sent " << std::hex << sent;
        EXPECT_EQ((std::vector<uint8_t>{0x90, uint8_t(i), 0x40}), r.Bytes());
        EXPECT_EQ(UnitTable[0].ClientReadCursor, Fdo(master)->InputWriteIndex);
    }
}

// Cancel and delivery race: the read completes exactly once, and bytes a cancelled read did
// not take are still there for the next one.
TEST_F(ChildIoctlTest, CancelRacingDeliveryCompletesOnceAndLosesNothing) {
    Unit& master = Register(0);
    int delivered = 0, cancelled = 0;
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        std::atomic<int> completions{0};
        UCHAR data[16] = {};
        UNIT_DATA_BLOCK block = {0, 0, 16, data};
        PIRP irp = IoAllocateIrp(childDevice_->StackSize, FALSE);
        IoSetCompletionRoutine(irp, KeepOwnedRequest, &completions, TRUE, TRUE, TRUE);
        ASSERT_EQ(STATUS_PENDING, SendRead(irp, &block));
        {
            host::Thread input("input", [&] { master.device->Push(0x81, std::vector<uint8_t>{0x90, uint8_t(i), 0x40}); });
            host::Thread canceller("canceller", [&] { IoCancelIrp(irp); });
        }
        host::Advance(host::Ms(3));
        ASSERT_EQ(1, completions.load());
        if (irp->IoStatus.Status == STATUS_SUCCESS) {
            ++delivered;
            EXPECT_EQ(3u, irp->IoStatus.Information);
            EXPECT_EQ(uint8_t(i), data[1]);
        } else {
            ++cancelled;
            EXPECT_EQ(STATUS_CANCELLED, irp->IoStatus.Status);
            Read next;
            EXPECT_EQ(STATUS_SUCCESS, StartRead(next, 16));
            EXPECT_EQ((std::vector<uint8_t>{0x90, uint8_t(i), 0x40}), next.Bytes());
        }
        IoFreeIrp(irp);
    }
    EXPECT_EQ(40, delivered + cancelled);
}

}  // namespace
