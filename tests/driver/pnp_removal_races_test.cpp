// Removal against the traffic still under way: reads sent down again around the abort, and
// requests that meet a unit on its way out.
#include <atomic>

#include "client/client.h"
#include "usb/usb.h"
#include "pnp_world.h"

namespace {

// A read whose completion passed the ready test just before the removal marked the device
// removed reaches the pipe only after the abort: the abort still brings every read home.
TEST_F(UnitPnpTest, AReadSentDownAgainAfterTheAbortStillComesHome) {
    Unit& u = Plug(Id(1));
    ASSERT_EQ(1u, OpenUnit(Fdo(u)));  // in D0, so that its input flows
    host::Advance(host::Ms(50));     // its answers to the open are home
    ASSERT_EQ(2u, Fdo(u)->ReadsInFlight);
    bus_->HoldNextInAfterAbort(u.pdo);
    u.model->Send({0x90, 0x3C, 0x7F});
    host::Advance(host::Ms(5));  // the read completes and goes down again, held on its way
    SetFlags(&Fdo(u)->Flags, DEVICE_REMOVED);
    AbortPipes(Fdo(u)->DeviceObject);
    EXPECT_EQ(0u, Fdo(u)->ReadsInFlight) << "a read sent after the abort is still out";
    std::atomic<bool> removed{false};
    host::Thread remover("removal", [&] {
        EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(u.node));
        removed = true;
    });
    bool ended = host::WaitUntil([&] { return removed.load(); }, host::Ms(5000), "the removal");
    if (!ended) bus_->Unplug(u.pdo);  // ends the stranded read, so that the test ends
    remover.Join();
    EXPECT_TRUE(ended) << "the removal waited for a read that was sent after the abort";
}

// Once the abort is done the unit is out of the table, and an open that still holds it on
// its way out opens nothing: no read is sent to a removed device.
TEST_F(UnitPnpTest, AnOpenOfAUnitInRemovalOpensNothing) {
    Unit& u = Plug(Id(2));
    FDO_EXTENSION* ext = Fdo(u);
    SetFlags(&ext->Flags, DEVICE_REMOVED);
    ULONG reads = ext->ReadsInFlight;
    EXPECT_EQ(0u, OpenUnit(ext));
    EXPECT_EQ(0u, ext->OpenCount);
    EXPECT_EQ(reads, ext->ReadsInFlight);
    ClearFlags(&ext->Flags, DEVICE_REMOVED);
    EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(u.node));
    EXPECT_EQ(nullptr, UnitTable[2].UnitExtension);
}

// Bytes queued for a unit that was never opened again will never go: its removal says so.
TEST_F(UnitPnpTest, ARemovalReportsTheBytesThatNeverWent) {
    Unit& u = Plug(Id(3));
    const UCHAR bytes[] = {0x90, 0x3C, 0x7F, 0x80, 0x3C};
    ASSERT_EQ(5u, EnqueueOutput(Fdo(u)->DeviceObject, 0, bytes, 5));
    host::debug::Clear();
    EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(u.node));
    EXPECT_EQ(std::vector<std::string>{"pmc7r: unit 3 removed with 5 queued bytes unsent\n"}, host::debug::Output());
}

}  // namespace
