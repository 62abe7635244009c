// File handles on a unit's function device: each is a reader of the unit's input with its
// own position; a read waits for input, or ends when it is cancelled.
#include "client_world.h"

namespace {

using host::files::File;

class FileAccessTest : public ClientWorld {
protected:
    File* OpenHandle(Unit& u, NTSTATUS expect = STATUS_SUCCESS) {
        NTSTATUS status = 0;
        File* file = host::files::Open(LinkOf(u), UserMode, &status);
        EXPECT_EQ(expect, status);
        return file;
    }
    static OPEN_CONTEXT* ContextOf(File* file) {
        return (OPEN_CONTEXT*)host::files::FileObject(file)->FsContext;
    }
    static std::vector<uint8_t> ReadNow(File* file, ULONG length, NTSTATUS expect = STATUS_SUCCESS) {
        std::vector<uint8_t> buffer(length);
        ULONG_PTR got = 0;
        EXPECT_EQ(expect, host::files::Read(file, buffer.data(), length, &got));
        buffer.resize(got);
        return buffer;
    }
    static std::vector<uint8_t> Finish(host::files::Token token, const std::vector<uint8_t>& buffer,
                                       NTSTATUS expect = STATUS_SUCCESS) {
        host::io::Result r = host::files::Wait(token);
        EXPECT_EQ(expect, r.status);
        return {buffer.begin(), buffer.begin() + r.information};
    }
};

TEST_F(FileAccessTest, EveryHandleSeesTheInputThatArrivesAfterItsOpen) {
    Unit& u = Open();
    Arrive(u, {0x80, 1, 2});  // before any open
    File* a = OpenHandle(u);
    File* b = OpenHandle(u);
    EXPECT_EQ(2u, Fdo(u)->OpenCount);
    Arrive(u, {0x90, 0x3C, 0x64});
    EXPECT_EQ((std::vector<uint8_t>{0x90, 0x3C, 0x64}), ReadNow(a, 16));
    EXPECT_EQ((std::vector<uint8_t>{0x90, 0x3C, 0x64}), ReadNow(b, 16));
    Arrive(u, {0x91, 1, 2});
    EXPECT_EQ((std::vector<uint8_t>{0x91, 1}), ReadNow(a, 2));
    EXPECT_EQ((std::vector<uint8_t>{2}), ReadNow(a, 16));
    EXPECT_EQ(STATUS_SUCCESS, host::files::Close(a));
    EXPECT_EQ(STATUS_SUCCESS, host::files::Close(b));
    EXPECT_EQ(0u, Fdo(u)->OpenCount);
    EXPECT_EQ(nullptr, Fdo(u)->OpenContextList);
}

// A parked read is served by the next input of its unit, with what arrived.
TEST_F(FileAccessTest, ParkedReadsOfEveryHandleCompleteWhenInputArrives) {
    Unit& u = Open();
    File* a = OpenHandle(u);
    File* b = OpenHandle(u);
    std::vector<uint8_t> bufA(16), bufB(2);
    host::files::Token ta = host::files::ReadAsync(a, bufA.data(), 16);
    host::files::Token tb = host::files::ReadAsync(b, bufB.data(), 2);
    EXPECT_NE(nullptr, ContextOf(a)->PendingReadIrp);
    EXPECT_NE(nullptr, ContextOf(b)->PendingReadIrp);
    // A second read while one is parked is refused and leaves the parked one alone.
    ReadNow(a, 16, STATUS_UNSUCCESSFUL);
    Arrive(u, {0x90, 0x3C, 0x64});
    EXPECT_EQ((std::vector<uint8_t>{0x90, 0x3C, 0x64}), Finish(ta, bufA));
    EXPECT_EQ((std::vector<uint8_t>{0x90, 0x3C}), Finish(tb, bufB));
    EXPECT_EQ((std::vector<uint8_t>{0x64}), ReadNow(b, 16));
    EXPECT_EQ(nullptr, ContextOf(a)->PendingReadIrp);
    host::files::Close(a);
    host::files::Close(b);
}

TEST_F(FileAccessTest, ACancelledReadEndsWithNothingAndLeavesTheInput) {
    Unit& u = Open();
    File* a = OpenHandle(u);
    std::vector<uint8_t> buffer(16);
    host::files::Token t = host::files::ReadAsync(a, buffer.data(), 16);
    EXPECT_TRUE(host::files::Cancel(t));
    EXPECT_TRUE(Finish(t, buffer, STATUS_CANCELLED).empty());
    EXPECT_EQ(nullptr, ContextOf(a)->PendingReadIrp);
    Arrive(u, {0x90, 1});
    EXPECT_EQ((std::vector<uint8_t>{0x90, 1}), ReadNow(a, 16));
    host::files::Close(a);
}

// The close of a handle does not cancel its parked read: the cleanup ends it, and the close
// that follows closes the unit.
TEST_F(FileAccessTest, ClosingAHandleWithAParkedReadEndsTheReadAndClosesTheUnit) {
    Unit& u = Open();
    File* a = OpenHandle(u);
    std::vector<uint8_t> buffer(16);
    host::files::Token t = host::files::ReadAsync(a, buffer.data(), 16);
    ASSERT_FALSE(host::files::Done(t));
    EXPECT_EQ(STATUS_SUCCESS, host::files::Close(a));
    EXPECT_TRUE(host::files::Done(t));
    EXPECT_TRUE(Finish(t, buffer, STATUS_CANCELLED).empty());
    EXPECT_EQ(0u, Fdo(u)->OpenCount);
    EXPECT_EQ(nullptr, Fdo(u)->OpenContextList);
}

TEST_F(FileAccessTest, AHandleMoreThanARingBehindLosesBytes) {
    Unit& u = Open();
    File* a = OpenHandle(u);
    std::vector<uint8_t> packet(60);
    for (int i = 0; i < 60; ++i) packet[i] = uint8_t(i);
    for (int i = 0; i < 3; ++i) Arrive(u, packet);  // 180 bytes: 52 past a whole ring
    EXPECT_EQ(52u, ReadNow(a, 200).size());
    host::files::Close(a);
}

TEST_F(FileAccessTest, BadReadsAndCreatesAreRefused) {
    Unit& u = Open();
    File* a = OpenHandle(u);
    UCHAR byte = 0;
    ULONG_PTR got = 7;
    EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH, host::files::Read(a, &byte, 0, &got));
    EXPECT_EQ(0u, got);
    // A context that cannot be allocated leaves a handle that cannot read.
    host::faults::Plan(host::faults::Op::Pool, [](uint64_t) { return true; });
    NTSTATUS status = 0;
    File* b = host::files::Open(LinkOf(u), UserMode, &status);
    host::faults::Clear();
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ(nullptr, ContextOf(b));
    EXPECT_EQ(2u, Fdo(u)->OpenCount);
    ReadNow(b, 4, STATUS_UNSUCCESSFUL);
    host::files::Close(b);
    host::files::Close(a);

    Unit& unconfigured = Plug();
    SetFlags(&Fdo(unconfigured)->Flags, DEVICE_STARTED);  // started, but no bulk-in pipe yet
    EXPECT_EQ(nullptr, OpenHandle(unconfigured, STATUS_DELETE_PENDING));
    EXPECT_EQ(0u, Fdo(unconfigured)->OpenCount);
    SetFlags(&Fdo(u)->Flags, DEVICE_STOP_PENDING);
    EXPECT_EQ(nullptr, OpenHandle(u, STATUS_DELETE_PENDING));
    ClearFlags(&Fdo(u)->Flags, DEVICE_STOP_PENDING);
    EXPECT_EQ(0u, Fdo(u)->OpenCount);
}

TEST_F(FileAccessTest, TheChildRefusesFileRequests) {
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ}) {
        SCOPED_TRACE(int(major));
        host::io::Result r = host::io::SendAndWait(childDevice_, [&](PIRP irp, PIO_STACK_LOCATION s) {
            irp->IoStatus.Information = 5;
            s->MajorFunction = major;
        });
        EXPECT_EQ(STATUS_UNSUCCESSFUL, r.status);
        EXPECT_EQ(5u, r.information);
    }
}

TEST_F(FileAccessTest, ClosingTheLastHandleLeavesAUnitOpenedByTheChildRunning) {
    Unit& u = Register(0);
    File* a = OpenHandle(u);
    ASSERT_EQ(STATUS_SUCCESS, Internal(IOCTL_UNIT_OPEN_ALL, nullptr, 0, 0).status);
    host::files::Close(a);
    EXPECT_EQ(1u, Fdo(u)->OpenCount);
    EXPECT_TRUE(Fdo(u)->Flags & UNIT_PUMP_RUNNING);
    ASSERT_EQ(STATUS_SUCCESS, Internal(IOCTL_UNIT_CLOSE_ALL, nullptr, 0, 0).status);
    EXPECT_FALSE(Fdo(u)->Flags & UNIT_PUMP_RUNNING);
}

// Cancel and delivery race on two handles: each read ends exactly once, with the bytes or
// cancelled, and the bytes a cancelled read did not take are there for the next read.
TEST_F(FileAccessTest, CancelRacingDeliveryEndsEachReadOnceAndLosesNothing) {
    Unit& u = Open();
    File* a = OpenHandle(u);
    File* b = OpenHandle(u);
    for (int i = 0; i < 30; ++i) {
        SCOPED_TRACE(i);
        std::vector<uint8_t> bufA(16), bufB(16);
        host::files::Token ta = host::files::ReadAsync(a, bufA.data(), 16);
        host::files::Token tb = host::files::ReadAsync(b, bufB.data(), 16);
        const std::vector<uint8_t> sent = {0x90, uint8_t(i), 0x40};
        {
            host::Thread input("input", [&] { u.device->Push(0x81, sent); });
            host::Thread canceller("canceller", [&] { host::files::Cancel(ta); });
        }
        host::Advance(host::Ms(3));
        host::io::Result ra = host::files::Wait(ta);
        if (ra.status == STATUS_SUCCESS) {
            EXPECT_EQ(sent, std::vector<uint8_t>(bufA.begin(), bufA.begin() + ra.information));
        } else {
            EXPECT_EQ(STATUS_CANCELLED, ra.status);
            EXPECT_EQ(0u, ra.information);
            EXPECT_EQ(sent, ReadNow(a, 16));
        }
        EXPECT_EQ(sent, Finish(tb, bufB));
    }
    host::files::Close(a);
    host::files::Close(b);
}

// Handles come and go on several threads while input arrives and reads are cancelled: the
// unit's list of handles stays whole.
TEST_F(FileAccessTest, HandlesOpenAndCloseWhileInputArrives) {
    Unit& u = Open();
    File* keeper = OpenHandle(u);
    const std::u16string link = LinkOf(u);
    std::atomic<int> opened{0};
    auto churn = [&] {
        for (int i = 0; i < 15; ++i) {
            File* f = host::files::Open(link, UserMode);
            if (!f) continue;
            ++opened;
            std::vector<uint8_t> buffer(8);
            host::files::Token t = host::files::ReadAsync(f, buffer.data(), 8);
            host::files::Cancel(t);
            host::files::Wait(t);
            host::files::Close(f);
        }
    };
    {
        host::Thread one("churn one", churn);
        host::Thread two("churn two", churn);
        host::Thread input("input", [&] {
            for (int i = 0; i < 15; ++i) {
                u.device->Push(0x81, std::vector<uint8_t>{0x90, uint8_t(i), 0x40});
                host::Advance(host::Ms(1));
            }
        });
    }
    host::Advance(host::Ms(3));
    EXPECT_EQ(30, opened.load());
    EXPECT_EQ(1u, Fdo(u)->OpenCount);
    EXPECT_EQ(ContextOf(keeper), Fdo(u)->OpenContextList);
    EXPECT_EQ(nullptr, ContextOf(keeper)->Next);
    EXPECT_EQ(45u, ReadNow(keeper, 64).size());
    host::files::Close(keeper);
}

}  // namespace
