// Taking the USB side down: deconfiguration at stop and the pipe aborts of removal.
#include "unit_world.h"

namespace {

class DeconfigureTest : public UnitStackTest {
protected:
    // The stop request as the Plug and Play manager sends it, through the driver's dispatch.
    static NTSTATUS Stop(Unit& u) {
        return host::io::SendAndWait(u.fdo, [](PIRP, PIO_STACK_LOCATION s) {
                   s->MajorFunction = IRP_MJ_PNP;
                   s->MinorFunction = IRP_MN_STOP_DEVICE;
               }).status;
    }
};

TEST_F(DeconfigureTest, AStopEndsTheStartedState) {
    Unit& u = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    SetFlags(&Fdo(u)->Flags, DEVICE_STOP_PENDING);
    EXPECT_EQ(STATUS_SUCCESS, Stop(u));
    EXPECT_EQ(0u, Fdo(u)->Flags & (DEVICE_STARTED | DEVICE_STOP_PENDING));
    uint8_t byte = 0x90;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, BulkWrite(u.fdo, &byte, 1));
    EXPECT_TRUE(OutTransfers(u).empty());
    ASSERT_FALSE(u.device->Selections().empty());
    EXPECT_EQ(-1, u.device->Selections().back().interfaceNumber);
}

TEST_F(DeconfigureTest, ARefusedDeconfigurationKeepsTheDeviceStarted) {
    Unit& u = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    SetFlags(&Fdo(u)->Flags, DEVICE_STOP_PENDING);
    bus_->Unplug(u.pdo);
    EXPECT_FALSE(NT_SUCCESS(Stop(u)));
    EXPECT_EQ(ULONG(DEVICE_STARTED), Fdo(u)->Flags & (DEVICE_STARTED | DEVICE_STOP_PENDING));
}

TEST_F(DeconfigureTest, AbortsGoPipeByPipe) {
    Unit& never = Plug();
    EXPECT_EQ(STATUS_SUCCESS, AbortPipes(never.fdo));  // no interface yet: nothing sent

    Unit& u = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    EXPECT_EQ(2, Fdo(u)->OpenPipeCount);  // the configured pipes count as open
    EXPECT_EQ(STATUS_SUCCESS, AbortPipes(u.fdo));
    EXPECT_EQ(0, Fdo(u)->OpenPipeCount);
    std::vector<uint8_t> aborted;
    for (const auto& r : bus_->Log()) {
        if (r.pdo == u.pdo && r.function == URB_FUNCTION_ABORT_PIPE &&
            r.event == sim::UrbRecord::Event::Completed)
            aborted.push_back(r.endpoint);
    }
    auto* info = (PUSBD_INTERFACE_INFORMATION)Fdo(u)->InterfaceInfo;
    ASSERT_EQ(2u, aborted.size());
    EXPECT_EQ(info->Pipes[0].EndpointAddress, aborted[0]);
    EXPECT_EQ(info->Pipes[1].EndpointAddress, aborted[1]);

    Fdo(u)->OpenPipeCount = 0;
    bus_->Unplug(u.pdo);
    EXPECT_FALSE(NT_SUCCESS(AbortPipes(u.fdo)));  // both refused: the first refusal returned
    EXPECT_EQ(0, Fdo(u)->OpenPipeCount);
}

// A pipe left out would keep its reads, and the removal would wait for their slots for ever:
// every pipe is aborted, whatever the ones before it answered.
TEST_F(DeconfigureTest, ARefusedAbortDoesNotSpareTheNextPipe) {
    Unit& u = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    host::faults::FailNth(host::faults::Op::Pool, 1);  // the first pipe's request
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AbortPipes(u.fdo));
    host::faults::Clear();
    std::vector<uint8_t> aborted;
    for (const auto& r : bus_->Log()) {
        if (r.pdo == u.pdo && r.function == URB_FUNCTION_ABORT_PIPE && r.event == sim::UrbRecord::Event::Completed)
            aborted.push_back(r.endpoint);
    }
    auto* info = (PUSBD_INTERFACE_INFORMATION)Fdo(u)->InterfaceInfo;
    ASSERT_EQ(1u, aborted.size());
    EXPECT_EQ(info->Pipes[1].EndpointAddress, aborted[0]);
    EXPECT_EQ(1, Fdo(u)->OpenPipeCount);
}

TEST_F(DeconfigureTest, RefusedRequestsAreReportedNotRetried) {
    Unit& u = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    host::faults::FailAll(host::faults::Op::Pool);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AbortPipes(u.fdo));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, UnconfigureDevice(u.fdo));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, ConfigureDevice(u.fdo));
    host::faults::Clear();
    EXPECT_NE(0u, Fdo(u)->Flags & DEVICE_STARTED);
}

}  // namespace
