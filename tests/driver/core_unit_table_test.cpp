// The copy rule from a unit's ring into a client block, and the child's parked read:
// completed exactly once by the delivery or the cancel routine, nothing lost.
#include <atomic>

#include "client/client.h"
#include "core/unit_table.h"
#include "unit_world.h"

namespace {

TEST(CopyUnitInputTest, CopiesUpToCapacityAndLeavesTheRest) {
    struct Case {
        const char* what;
        ULONG cursor, writeIndex;
        LONG capacity;
        ULONG copied, cursorAfter;
        ULONG held = 0;  // bytes the block holds already
    };
    const Case cases[] = {
        {"capacity 4 of 10", 0, 10, 4, 4, 4},
        {"nothing new", 7, 7, 16, 0, 7},
        {"across the wrap", 126, 2, 16, 4, 2},
        {"capacity ends right after the wrap", 126, 9, 3, 3, 1},
        {"negative capacity", 0, 10, LONG(0x80000000u), 0, 0},
        {"a block holding bytes takes what is left of its capacity", 120, 10, 8, 5, 125, 3},
        {"a full block takes nothing", 0, 10, 4, 0, 0, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        static FDO_EXTENSION unit;
        for (int i = 0; i < INPUT_RING_SIZE; ++i) unit.InputRing[i] = UCHAR(i);
        unit.InputWriteIndex = c.writeIndex;
        unit.DeviceId = 5;
        UNIT_SLOT slot = {c.cursor, &unit};
        UCHAR data[32] = {};
        for (ULONG i = 0; i < c.held; ++i) data[i] = 0xEE;
        UNIT_DATA_BLOCK block = {99, c.held, c.capacity, data};
        CopyUnitInput(&slot, &unit, &block);
        EXPECT_EQ(c.held + c.copied, block.ByteCount);
        EXPECT_EQ(c.cursorAfter, slot.ClientReadCursor);
        EXPECT_EQ(5u, block.DeviceId);
        for (ULONG i = 0; i < c.held; ++i) EXPECT_EQ(0xEE, data[i]);
        for (ULONG i = 0; i < c.copied; ++i) EXPECT_EQ(UCHAR((c.cursor + i) & 127), data[c.held + i]);
        EXPECT_EQ(0, data[c.held + c.copied]);
    }
}

// Every internal request is the child's read request.
NTSTATUS NTAPI ParkingDispatch(PDEVICE_OBJECT device, PIRP irp) {
    return ChildRead(irp, IoGetCurrentIrpStackLocation(irp), (PDO_EXTENSION*)device->DeviceExtension);
}

NTSTATUS NTAPI ParkingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ParkingDispatch;
    return STATUS_SUCCESS;
}

// A child device built here, as the master's start will create it.
class ParkedReadTest : public UnitStackTest {
protected:
    void SetUp() override {
        UnitStackTest::SetUp();
        LoadDriver();
        childDriver_ = host::io::LoadDriver(u"\\Driver\\testchild", ParkingEntry,
                                            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\testchild");
        ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(childDriver_, sizeof(PDO_EXTENSION), nullptr,
                                                 FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &childDevice_));
        child_ = (PDO_EXTENSION*)childDevice_->DeviceExtension;
        child_->Signature = PDO_SIGNATURE;
        child_->DeviceObject = childDevice_;
        KeInitializeSpinLock(&child_->ReadLock);
    }
    void TearDown() override {
        ReleaseAll();
        RtlZeroMemory(UnitTable, sizeof(UnitTable));
        IoDeleteDevice(childDevice_);
        host::io::UnloadDriver(childDriver_);
        UnitStackTest::TearDown();
    }
    // A started unit with running reads that holds slot id; the first becomes the master.
    Unit& Register(ULONG id) {
        Unit& u = Plug();
        EXPECT_EQ(STATUS_SUCCESS, Start(u));
        Fdo(u)->DeviceId = id;
        UnitTable[id].UnitExtension = Fdo(u);
        UnitTable[id].ClientReadCursor = Fdo(u)->InputWriteIndex;
        Fdo(u)->UnitSlot = &UnitTable[id];
        if (id == 0) Fdo(u)->Child = child_;
        StartReads(u);
        return u;
    }
    struct Read {
        PIRP irp = nullptr;
        UCHAR data[16] = {};
        UNIT_DATA_BLOCK block = {0, 0, 0, nullptr};
        std::atomic<int> completions{0};
        NTSTATUS status = 0;
        ULONG_PTR information = 0;
    };
    // Parks a read the way the child's read request does.
    void Park(Read& r, LONG capacity) {
        r.block = {0xEE, 0, capacity, r.data};
        r.irp = host::io::NewRequest(1, [&r](PIRP irp) {
            r.status = irp->IoStatus.Status;
            r.information = irp->IoStatus.Information;
            r.completions++;
        });
        Send(r.irp, &r.block);
    }
    void Send(PIRP irp, UNIT_DATA_BLOCK* block) {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.Type3InputBuffer = block;
        next->Parameters.DeviceIoControl.OutputBufferLength = sizeof(UNIT_DATA_BLOCK);
        EXPECT_EQ(STATUS_PENDING, IoCallDriver(childDevice_, irp));
    }
    void Arrive(Unit& u, std::vector<uint8_t> packet) {
        packet.resize(64, 0xFF);
        u.device->Push(0x81, packet);
        host::Advance(host::Ms(3));
    }

    PDRIVER_OBJECT childDriver_ = nullptr;
    PDEVICE_OBJECT childDevice_ = nullptr;
    PDO_EXTENSION* child_ = nullptr;
};

TEST_F(ParkedReadTest, TheFirstUnitWithInputCompletesTheReadWithItsId) {
    Register(0);
    Unit& slave = Register(5);
    Read r;
    Park(r, 4);
    Arrive(slave, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(1, r.completions);
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(4u, r.information);
    EXPECT_EQ(5u, r.block.DeviceId);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4}), std::vector<uint8_t>(r.data, r.data + 4));
    EXPECT_EQ(nullptr, child_->PendingReadIrp);
    // The rest waits behind the cursor for the next read.
    EXPECT_EQ((std::vector<uint8_t>{5, 6, 7, 8, 9, 10}), RingFrom(slave, UnitTable[5].ClientReadCursor));
}

TEST_F(ParkedReadTest, InputOfAnUnregisteredUnitOrWithoutAMasterWaits) {
    Unit& master = Register(0);
    Unit& loner = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(loner));
    StartReads(loner);
    Read r;
    Park(r, 8);
    Arrive(loner, {0x90, 1, 2});  // still in its handshake: no slot
    EXPECT_EQ(0, r.completions);
    Fdo(master)->Child = nullptr;
    Arrive(master, {0x90, 1, 2});
    EXPECT_EQ(0, r.completions);
    Fdo(master)->Child = child_;
    IoCancelIrp(r.irp);
    EXPECT_EQ(1, r.completions);
    EXPECT_EQ(STATUS_CANCELLED, r.status);
    EXPECT_EQ(0u, r.information);
    EXPECT_EQ(nullptr, child_->PendingReadIrp);
}

TEST_F(ParkedReadTest, AReadCancelledBeforeItIsParkedEndsAtOnce) {
    Register(0);
    Read r;
    r.block = {0, 0, 8, r.data};
    r.irp = host::io::NewRequest(1, [&r](PIRP irp) {
        r.status = irp->IoStatus.Status;
        r.completions++;
    });
    r.irp->Cancel = TRUE;
    Send(r.irp, &r.block);
    EXPECT_EQ(1, r.completions);
    EXPECT_EQ(STATUS_CANCELLED, r.status);
    EXPECT_EQ(nullptr, child_->PendingReadIrp);
}

// The racing read belongs to the test (as a request belongs to the I/O manager while it is
// cancelled): its completion routine keeps it, so a cancel that comes too late is harmless.
NTSTATUS NTAPI KeepRequest(PDEVICE_OBJECT, PIRP, PVOID context) {
    ++*(std::atomic<int>*)context;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Cancel and delivery race on two threads: the read completes exactly once, and the bytes a
// cancelled read did not take are still there for the next one.
TEST_F(ParkedReadTest, CancelRacingDeliveryCompletesOnceAndLosesNothing) {
    Unit& master = Register(0);
    int delivered = 0, cancelled = 0;
    for (int i = 0; i < 60; ++i) {
        std::atomic<int> completions{0};
        UCHAR data[16] = {};
        UNIT_DATA_BLOCK block = {0, 0, 16, data};
        PIRP irp = IoAllocateIrp(childDevice_->StackSize, FALSE);
        IoSetCompletionRoutine(irp, KeepRequest, &completions, TRUE, TRUE, TRUE);
        Send(irp, &block);
        ULONG cursor = UnitTable[0].ClientReadCursor;
        master.device->Push(0x81, std::vector<uint8_t>{0x90, uint8_t(i & 0x7F), 0x40});
        host::Thread canceller("canceller", [&] {
            host::Advance(host::Ms(1));
            IoCancelIrp(irp);
        });
        canceller.Join();
        host::Advance(host::Ms(3));
        ASSERT_EQ(1, completions.load()) << "iteration " << i;
        if (irp->IoStatus.Status == STATUS_SUCCESS) {
            ++delivered;
            EXPECT_EQ(3u, irp->IoStatus.Information);
            EXPECT_EQ(uint8_t(i & 0x7F), data[1]);
        } else {
            ++cancelled;
            EXPECT_EQ(STATUS_CANCELLED, irp->IoStatus.Status);
            // Not taken: the next read finds the bytes behind the cursor.
            EXPECT_EQ(cursor, UnitTable[0].ClientReadCursor);
            UnitTable[0].ClientReadCursor = Fdo(master)->InputWriteIndex;
        }
        IoFreeIrp(irp);
    }
    EXPECT_EQ(60, delivered + cancelled);
}

}  // namespace

namespace {

class SlotClaimTest : public PlatformTest {};

// Two units that start at once and report one ID: one claim wins, every round.
TEST_F(SlotClaimTest, TwoClaimsOfOneIdCannotBothWin) {
    ResetUnitTable();
    FDO_EXTENSION units[2] = {};
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> wins = 0;
        {
            host::Thread a("claim a", [&] { wins += ClaimUnitSlot(&units[0], 4) ? 1 : 0; });
            host::Thread b("claim b", [&] { wins += ClaimUnitSlot(&units[1], 4) ? 1 : 0; });
        }
        ASSERT_EQ(1, wins.load()) << "round " << round;
        FDO_EXTENSION* holder = UnitTable[4].UnitExtension;
        ASSERT_EQ(&UnitTable[4], holder->UnitSlot);
        EXPECT_TRUE(ClaimUnitSlot(holder, 4)) << "the holder's own claim keeps its slot";
        ReleaseUnitSlot(holder);
        ASSERT_EQ(nullptr, UnitTable[4].UnitExtension);
    }
    EXPECT_FALSE(ClaimUnitSlot(&units[0], MAX_UNITS));
}

}  // namespace
