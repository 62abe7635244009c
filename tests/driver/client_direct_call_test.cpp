// The direct-call table handed out by device control, and the entries called through it.
#include <cstring>

#include "client_world.h"
#include "unit/unit.h"

namespace {

class DirectCallTest : public ClientWorld {
protected:
    host::io::Result Control(PDEVICE_OBJECT device, ULONG code, void* block, ULONG outputLength,
                             ULONG_PTR information = 0) {
        return host::io::SendAndWait(device, [&](PIRP irp, PIO_STACK_LOCATION s) {
            irp->IoStatus.Information = information;
            s->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            s->Parameters.DeviceIoControl.IoControlCode = code;
            s->Parameters.DeviceIoControl.Type3InputBuffer = block;
            s->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        });
    }
    static DIRECT_CALL_BLOCK Fresh(ULONG magic) {
        DIRECT_CALL_BLOCK block;
        memset(&block, 0x5A, sizeof(block));
        block.Magic = magic;
        return block;
    }
};

TEST_F(DirectCallTest, TheTableIsHandedOutOnlyForAWellFormedRequest) {
    Unit& u = Open();
    const ULONG kSize = sizeof(DIRECT_CALL_BLOCK);  // 24 in the 32-bit build
    const ULONG reversed = 0x31474D45;               // 45 4D 47 31 in memory
    struct Case {
        const char* what;
        ULONG code;
        bool block;
        ULONG magic;
        ULONG outputLength;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"well formed", IOCTL_UNIT_GET_DIRECT_CALLS, true, DIRECT_CALL_MAGIC, kSize, STATUS_SUCCESS},
        {"one byte short", IOCTL_UNIT_GET_DIRECT_CALLS, true, DIRECT_CALL_MAGIC, kSize - 1, STATUS_INVALID_PARAMETER},
        {"eight bytes long", IOCTL_UNIT_GET_DIRECT_CALLS, true, DIRECT_CALL_MAGIC, kSize + 8, STATUS_INVALID_PARAMETER},
        {"magic reversed", IOCTL_UNIT_GET_DIRECT_CALLS, true, reversed, kSize, STATUS_INVALID_PARAMETER},
        {"no block", IOCTL_UNIT_GET_DIRECT_CALLS, false, 0, kSize, STATUS_INVALID_PARAMETER},
        {"open all as device control", IOCTL_UNIT_OPEN_ALL, true, DIRECT_CALL_MAGIC, kSize, STATUS_INVALID_PARAMETER},
    };
    host::debug::Clear();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DIRECT_CALL_BLOCK block = Fresh(c.magic);
        const DIRECT_CALL_BLOCK before = block;
        host::io::Result r = Control(u.fdo, c.code, c.block ? &block : nullptr, c.outputLength, 99);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(0u, r.information);
        EXPECT_EQ(before.Reserved, block.Reserved);
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ((PVOID)u.fdo, block.Context);
            EXPECT_EQ(&DirectWrite, block.DirectWrite);
            EXPECT_EQ(&DirectSetMode, block.DirectSetMode);
            EXPECT_EQ(&DirectWriteEx, block.DirectWriteEx);
        } else {
            EXPECT_EQ(0, memcmp(&before, &block, sizeof(block)));
        }
    }
    std::vector<std::string> printed = host::debug::Output();
    ASSERT_EQ(std::size(cases), printed.size());
    for (auto& line : printed) EXPECT_EQ("We are inside IOCTL !!!!", line);
}

TEST_F(DirectCallTest, TheChildAnswersNoDeviceControl) {
    DIRECT_CALL_BLOCK block = Fresh(DIRECT_CALL_MAGIC);
    const DIRECT_CALL_BLOCK before = block;
    host::io::Result r = Control(childDevice_, IOCTL_UNIT_GET_DIRECT_CALLS, &block, sizeof(block), 77);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, r.status);
    EXPECT_EQ(77u, r.information);
    EXPECT_EQ(0, memcmp(&before, &block, sizeof(block)));
    EXPECT_EQ(0u, host::debug::Output().size());
}

// The table holds kernel addresses: a handle of an application cannot have it, a handle
// of a kernel client can.
TEST_F(DirectCallTest, OnlyAKernelModeRequesterGetsTheTable) {
    Unit& u = Open();
    struct Case {
        KPROCESSOR_MODE mode;
        NTSTATUS status;
    };
    for (Case c : {Case{UserMode, STATUS_ACCESS_DENIED}, Case{KernelMode, STATUS_SUCCESS}}) {
        SCOPED_TRACE(c.mode == UserMode ? "user mode" : "kernel mode");
        host::files::File* file = host::files::Open(LinkOf(u), c.mode);
        ASSERT_NE(nullptr, file);
        DIRECT_CALL_BLOCK block = Fresh(DIRECT_CALL_MAGIC);
        const DIRECT_CALL_BLOCK before = block;
        EXPECT_EQ(c.status, host::files::DeviceIoControl(file, IOCTL_UNIT_GET_DIRECT_CALLS, &block, sizeof(block),
                                                         nullptr, sizeof(block)));
        EXPECT_EQ(c.status == STATUS_SUCCESS, memcmp(&before, &block, sizeof(block)) != 0);
        EXPECT_EQ(STATUS_SUCCESS, host::files::Close(file));
    }
}

TEST_F(DirectCallTest, TheEntriesQueueBytesAndSwitchTheMode) {
    Unit& u = Open();
    DIRECT_CALL_BLOCK block = Fresh(DIRECT_CALL_MAGIC);
    ASSERT_EQ(STATUS_SUCCESS, Control(u.fdo, IOCTL_UNIT_GET_DIRECT_CALLS, &block, sizeof(block)).status);
    const UCHAR bytes[] = {0x90, 0x3C, 0x64, 0x80, 0x3C};
    EXPECT_EQ(0u, block.DirectWrite(block.Context, bytes, 0));
    EXPECT_EQ(3u, block.DirectWrite(block.Context, bytes, 3));
    EXPECT_EQ(2u, block.DirectWriteEx(block.Context, 0xDEAD, bytes + 3, 2));
    EXPECT_EQ((std::vector<uint8_t>(bytes, bytes + 5)), Queued(u));

    EXPECT_EQ(STATUS_SUCCESS, block.DirectSetMode(block.Context, 5));
    EXPECT_EQ((ULONG)UNIT_MODE_IDLE, Fdo(u)->UnitMode);
    EXPECT_TRUE(OutTransfers(u).empty());
    EXPECT_EQ(STATUS_SUCCESS, block.DirectSetMode(block.Context, 0));
    EXPECT_EQ((ULONG)UNIT_MODE_ACTIVE, Fdo(u)->UnitMode);
    EXPECT_TRUE(Fdo(u)->Flags & UNIT_BUSY_REPORTS);
    // Mode 1 sends the identity request twice; the rest of each packet is fill.
    std::vector<uint8_t> sent;
    for (auto& t : OutTransfers(u))
        for (uint8_t b : t)
            if (b != 0xFF) sent.push_back(b);
    EXPECT_EQ((std::vector<uint8_t>{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7, 0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}), sent);
}

// The entries run at PASSIVE_LEVEL: a caller at DISPATCH_LEVEL is reported on its first call,
// here a switch to mode 2 that sends nothing and so never reaches a wait.
TEST_F(DirectCallTest, AnEntryCalledAtDispatchLevelIsReportedEvenWhenItWouldNotWait) {
    Unit& u = Open();
    DIRECT_CALL_BLOCK block = Fresh(DIRECT_CALL_MAGIC);
    ASSERT_EQ(STATUS_SUCCESS, Control(u.fdo, IOCTL_UNIT_GET_DIRECT_CALLS, &block, sizeof(block)).status);
    host::verifier::Record(true);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    block.DirectSetMode(block.Context, 5);
    KeLowerIrql(old);
    EXPECT_TRUE(host::verifier::Fired("routine that may wait called at DISPATCH_LEVEL or above"));
    EXPECT_TRUE(OutTransfers(u).empty());
}

}  // namespace
