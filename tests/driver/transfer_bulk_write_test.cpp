// The bulk writer: packets of exactly MaxPacketSize with 0xFF fill, the busy hold-back,
// the slot limit, and IRP_MJ_WRITE on a function device.
#include "unit_world.h"

namespace {

using BulkWriteTest = UnitStackTest;

std::vector<uint8_t> Bytes(size_t n, uint8_t first = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(first + i);
    return v;
}

TEST_F(BulkWriteTest, BytesTravelInWholePacketsPaddedWithFF) {
    struct Case {
        size_t length;
        std::vector<size_t> dataPerPacket;
    };
    const Case cases[] = {{128, {64, 64}}, {65, {64, 1}}, {1, {1}}, {0, {}}};
    Unit& u = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        size_t before = OutTransfers(u).size();
        std::vector<uint8_t> bytes = Bytes(c.length);
        EXPECT_EQ(STATUS_SUCCESS, BulkWrite(u.fdo, bytes.data(), ULONG(bytes.size())));
        auto out = OutTransfers(u);
        ASSERT_EQ(before + c.dataPerPacket.size(), out.size());
        size_t offset = 0;
        for (size_t i = 0; i < c.dataPerPacket.size(); ++i) {
            const auto& packet = out[before + i];
            ASSERT_EQ(64u, packet.size());
            for (size_t j = 0; j < 64; ++j) {
                uint8_t expected = j < c.dataPerPacket[i] ? bytes[offset + j] : 0xFF;
                ASSERT_EQ(expected, packet[j]) << "packet " << i << " byte " << j;
            }
            offset += c.dataPerPacket[i];
        }
    }
    EXPECT_EQ(32, KeReadStateSemaphore(&Fdo(u)->FreeSlotSemaphore));
}

TEST_F(BulkWriteTest, TheWriterHoldsBackWhileTheUnitIsBusy) {
    Unit& u = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    SetFlags(&Fdo(u)->Flags, UNIT_BUSY);
    int64_t start = host::Now();
    int64_t sentAt = 0;
    host::Thread ready("unit ready", [&] {
        host::Advance(host::Ms(100));
        EXPECT_TRUE(OutTransfers(u).empty());
        ClearFlags(&Fdo(u)->Flags, UNIT_BUSY);
    });
    std::vector<uint8_t> bytes = Bytes(10);
    EXPECT_EQ(STATUS_SUCCESS, BulkWrite(u.fdo, bytes.data(), 10));
    sentAt = host::Now();
    ready.Join();
    EXPECT_EQ(1u, OutTransfers(u).size());
    EXPECT_GE(sentAt - start, host::Ms(100));
    EXPECT_LE(sentAt - start, host::Ms(125));  // the next 20 ms check, then one frame
}

// The ready report's completion wakes the writer: it does not wait for its next look.
TEST_F(BulkWriteTest, AReadyReportEndsTheHoldBackAtOnce) {
    Unit& u = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    SetFlags(&Fdo(u)->Flags, UNIT_BUSY);
    int64_t start = host::Now();
    host::Thread ready("unit ready", [&] {
        host::Advance(host::Ms(105));
        EndUnitBusy(Fdo(u));
    });
    std::vector<uint8_t> bytes = Bytes(10);
    EXPECT_EQ(STATUS_SUCCESS, BulkWrite(u.fdo, bytes.data(), 10));
    int64_t sentAt = host::Now();
    ready.Join();
    EXPECT_EQ(1u, OutTransfers(u).size());
    EXPECT_GE(sentAt - start, host::Ms(105));
    EXPECT_LE(sentAt - start, host::Ms(107));  // the packet's frame, not the 120 ms look
}

TEST_F(BulkWriteTest, AStopWhileBusyEndsTheWrite) {
    Unit& u = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    SetFlags(&Fdo(u)->Flags, UNIT_BUSY);
    host::Thread stop("stop", [&] {
        host::Advance(host::Ms(60));
        SetFlags(&Fdo(u)->Flags, DEVICE_STOP_PENDING);
    });
    std::vector<uint8_t> bytes = Bytes(10);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, BulkWrite(u.fdo, bytes.data(), 10));
    EXPECT_TRUE(OutTransfers(u).empty());
}

TEST_F(BulkWriteTest, WritesThatCannotGo) {
    Unit& u = Plug();
    std::vector<uint8_t> bytes = Bytes(4);
    // Before configuration there is no pipe: the write fails at once.
    int64_t t = host::Now();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, BulkWrite(u.fdo, bytes.data(), 4));
    EXPECT_EQ(t, host::Now());

    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    Fdo(u)->MaxPacketSize = 0;  // an endpoint that reported no packet size
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, BulkWrite(u.fdo, bytes.data(), 4));
    Fdo(u)->MaxPacketSize = 64;

    ClearFlags(&Fdo(u)->Flags, DEVICE_STARTED);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, BulkWrite(u.fdo, bytes.data(), 4));
    EXPECT_TRUE(OutTransfers(u).empty());
}

TEST_F(BulkWriteTest, AWriteWaitsASecondForAFreeSlot) {
    Unit& u = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    std::vector<TransferSlot*> taken;
    for (int i = 0; i < 32; ++i) taken.push_back(AcquireTransferSlot(u.fdo));
    std::vector<uint8_t> bytes = Bytes(4);
    int64_t t = host::Now();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, BulkWrite(u.fdo, bytes.data(), 4));
    EXPECT_EQ(host::Ms(1000), host::Now() - t);

    host::Thread release("release", [&] {
        host::Advance(host::Ms(400));
        ReleaseTransferSlot(u.fdo, taken.back());
        taken.pop_back();
    });
    EXPECT_EQ(STATUS_SUCCESS, BulkWrite(u.fdo, bytes.data(), 4));
    release.Join();
    for (TransferSlot* s : taken) ReleaseTransferSlot(u.fdo, s);
    EXPECT_EQ(1u, OutTransfers(u).size());
}

TEST_F(BulkWriteTest, ConcurrentWritersKeepTheirOwnPacketsInOrder) {
    Unit& u = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    auto writer = [&](uint8_t tag) {
        return [&, tag] {
            std::vector<uint8_t> bytes(64 * 5, tag);
            for (int i = 0; i < 5; ++i) bytes[64 * i + 1] = uint8_t(i);
            EXPECT_EQ(STATUS_SUCCESS, BulkWrite(u.fdo, bytes.data(), ULONG(bytes.size())));
        };
    };
    {
        host::Thread a("writer a", writer(0xA0)), b("writer b", writer(0xB0));
    }
    int next[2] = {0, 0};
    for (const auto& packet : OutTransfers(u)) {
        int who = packet[0] == 0xA0 ? 0 : 1;
        EXPECT_EQ(next[who]++, packet[1]);
    }
    EXPECT_EQ(5, next[0]);
    EXPECT_EQ(5, next[1]);
    EXPECT_EQ(32, KeReadStateSemaphore(&Fdo(u)->FreeSlotSemaphore));
}

TEST_F(BulkWriteTest, WriteRequestsReportTheBytesThatWent) {
    Unit& u = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    ULONG_PTR info = 0;
    EXPECT_EQ(STATUS_SUCCESS, Write(u, Bytes(70), &info));
    EXPECT_EQ(70u, info);
    EXPECT_EQ(2u, OutTransfers(u).size());
    EXPECT_EQ(STATUS_SUCCESS, Write(u, {}, &info));
    EXPECT_EQ(0u, info);

    ClearFlags(&Fdo(u)->Flags, DEVICE_STARTED);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Write(u, Bytes(5), &info));
    EXPECT_EQ(0u, info);  // what reached the unit, not what was asked for
}

}  // namespace

namespace {

// Until function devices serve create and close, these stand in so an application can open one.
NTSTATUS NTAPI OpenAnyway(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST_F(BulkWriteTest, ABadAddressFromAnApplicationNeverReachesTheUnit) {
    Unit& u = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    driver_->MajorFunction[IRP_MJ_CREATE] = OpenAnyway;
    driver_->MajorFunction[IRP_MJ_CLOSE] = OpenAnyway;
    host::files::File* file = host::files::Open(std::u16string(Fdo(u)->InterfaceLinkName));
    ASSERT_NE(nullptr, file);
    ULONG_PTR written = 0;
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, host::files::Write(file, (const void*)0x10, 64, &written));
    EXPECT_TRUE(OutTransfers(u).empty());
    const uint8_t noteOn[] = {0x90, 0x3C, 0x64};
    EXPECT_EQ(STATUS_SUCCESS, host::files::Write(file, noteOn, 3, &written));
    EXPECT_EQ(3u, written);
    EXPECT_EQ(STATUS_SUCCESS, host::files::Close(file));
    ASSERT_EQ(1u, OutTransfers(u).size());
    EXPECT_EQ(0x90, OutTransfers(u)[0][0]);
}

TEST_F(BulkWriteTest, SynchronousUrbsAnsweredAtOnceOrLater) {
    Unit& u = Plug();
    for (bool forced : {false, true}) {
        SCOPED_TRACE(forced ? "completed later" : "completed at once");
        host::faults::ForcePending(u.pdo, forced);
        union {
            URB urb;
            UCHAR bytes[sizeof(URB)];
        } request = {};
        request.urb.UrbHeader.Length = sizeof(struct _URB_HEADER);
        request.urb.UrbHeader.Function = 0x7777;  // no such function
        EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitUrbSync(u.fdo, &request.urb));
        EXPECT_EQ(USBD_STATUS_INVALID_URB_FUNCTION, request.urb.UrbHeader.Status);
        PUSB_DEVICE_DESCRIPTOR d = GetDeviceDescriptor(u.fdo);
        ASSERT_NE(nullptr, d);
        EXPECT_EQ(0x0C5B, d->idVendor);
        ExFreePool(d);
    }
    host::faults::ForcePending(u.pdo, false);
}

TEST_F(BulkWriteTest, AFailedDescriptorReadFreesWhatItTook) {
    Unit& u = Plug();
    bus_->Unplug(u.pdo);
    size_t before = host::pool::Outstanding().size();
    EXPECT_EQ(nullptr, GetDeviceDescriptor(u.fdo));
    EXPECT_EQ(before, host::pool::Outstanding().size());
    for (uint64_t n : {1, 2}) {
        host::faults::FailNth(host::faults::Op::Pool, n);
        EXPECT_EQ(nullptr, GetDeviceDescriptor(u.fdo));
        host::faults::Clear();
        EXPECT_EQ(before, host::pool::Outstanding().size());
    }
}

}  // namespace
