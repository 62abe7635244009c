// The dispatch table, routing by extension signature, and the system-control pass-down.
#include "client/client.h"
#include "pnp/pnp.h"
#include "spine_world.h"
#include "transfer/transfer.h"

namespace {

using DispatchRoutingTest = SpineTest;

TEST_F(DispatchRoutingTest, DriverEntryFillsExactlyTheDriversEntries) {
    PDRIVER_OBJECT fresh = host::io::LoadDriver(u"\\Driver\\fresh", [](PDRIVER_OBJECT, PUNICODE_STRING) NTAPI {
        return STATUS_SUCCESS;
    }, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\fresh");
    const std::pair<int, PDRIVER_DISPATCH> ours[] = {
        {IRP_MJ_CREATE, DispatchCreate},
        {IRP_MJ_CLEANUP, DispatchCleanup},
        {IRP_MJ_CLOSE, DispatchClose},
        {IRP_MJ_READ, DispatchRead},
        {IRP_MJ_WRITE, DispatchWrite},
        {IRP_MJ_DEVICE_CONTROL, DispatchDeviceControl},
        {IRP_MJ_INTERNAL_DEVICE_CONTROL, DispatchInternalDeviceControl},
        {IRP_MJ_POWER, DispatchPower},
        {IRP_MJ_SYSTEM_CONTROL, DispatchSystemControl},
        {IRP_MJ_PNP, DispatchPnp},
    };
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        PDRIVER_DISPATCH expected = fresh->MajorFunction[major];  // the I/O manager's default
        for (auto& [m, routine] : ours) {
            if (m == major) expected = routine;
        }
        EXPECT_EQ(expected, driver_->MajorFunction[major]) << "major function " << major;
    }
    EXPECT_EQ(DriverUnload, driver_->DriverUnload);
    EXPECT_EQ(AddDevice, driver_->DriverExtension->AddDevice);
    host::io::UnloadDriver(fresh);
}

TEST_F(DispatchRoutingTest, ForeignSignatureIsRefusedWithInformationUntouched) {
    PDEVICE_OBJECT foreign = NewDeviceWithSignature('ABCD');
    for (UCHAR major : {UCHAR(IRP_MJ_PNP), UCHAR(IRP_MJ_POWER), UCHAR(IRP_MJ_INTERNAL_DEVICE_CONTROL),
                        UCHAR(IRP_MJ_SYSTEM_CONTROL)}) {
        SCOPED_TRACE(int(major));
        host::io::Result r = host::io::SendAndWait(foreign, [&](PIRP irp, PIO_STACK_LOCATION s) {
            s->MajorFunction = major;
            s->MinorFunction = major == IRP_MJ_POWER ? IRP_MN_QUERY_POWER : 0x18;
            irp->IoStatus.Information = 0x5A5A;
        });
        EXPECT_EQ(STATUS_UNSUCCESSFUL, r.status);
        EXPECT_EQ(0x5A5Au, r.information);
    }
}

TEST_F(DispatchRoutingTest, FunctionDeviceRequestsReachTheFunctionHandlers) {
    PDEVICE_OBJECT fdo = NewFunctionDevice();
    // An unhandled Plug and Play request goes below; an internal control is refused by the
    // function device itself, according to its state.
    host::io::Result pnp = host::io::SendAndWait(fdo, [](PIRP, PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_PNP;
        s->MinorFunction = IRP_MN_QUERY_PNP_DEVICE_STATE;
    });
    EXPECT_EQ(STATUS_SUCCESS, pnp.status);
    ASSERT_EQ(1u, Seen().size());
    EXPECT_EQ(IRP_MN_QUERY_PNP_DEVICE_STATE, Seen()[0].minor);

    const std::pair<ULONG, NTSTATUS> states[] = {
        {0, STATUS_DELETE_PENDING},
        {DEVICE_STARTED, STATUS_INVALID_PARAMETER},
        {DEVICE_STARTED | DEVICE_STOP_PENDING, STATUS_DELETE_PENDING},
    };
    for (auto [flags, expected] : states) {
        Fdo(fdo)->Flags = flags;
        host::io::Result r = host::io::SendAndWait(fdo, [](PIRP irp, PIO_STACK_LOCATION s) {
            s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            s->Parameters.DeviceIoControl.IoControlCode = 0x22240F;
            irp->IoStatus.Information = 9;
        });
        EXPECT_EQ(expected, r.status) << "flags " << flags;
        EXPECT_EQ(0u, r.information);
    }
    EXPECT_EQ(1, Fdo(fdo)->IoCount);
    EXPECT_EQ(1u, Seen().size());
}

TEST_F(DispatchRoutingTest, ChildRequestsReachTheChildHandlers) {
    PDEVICE_OBJECT child = NewDeviceWithSignature(PDO_SIGNATURE, sizeof(PDO_EXTENSION));
    host::io::Result pnp = host::io::SendAndWait(child, [](PIRP, PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_PNP;
        s->MinorFunction = IRP_MN_QUERY_PNP_DEVICE_STATE;
    });
    EXPECT_EQ(STATUS_NOT_SUPPORTED, pnp.status);  // completed as it came, not refused
    host::io::Result ioctl = host::io::SendAndWait(child, [](PIRP, PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        s->Parameters.DeviceIoControl.IoControlCode = 0x123;
    });
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ioctl.status);
    EXPECT_TRUE(Seen().empty());
}

TEST_F(DispatchRoutingTest, SystemControlGoesBelowWithSuccessPreset) {
    PDEVICE_OBJECT fdo = NewFunctionDevice();
    LowerAnswer() = STATUS_DEVICE_DATA_ERROR;
    host::io::Result r = host::io::SendAndWait(fdo, [](PIRP irp, PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        s->MinorFunction = 0x0B;
        irp->IoStatus.Information = 44;
    });
    ASSERT_EQ(1u, Seen().size());
    EXPECT_EQ(IRP_MJ_SYSTEM_CONTROL, Seen()[0].major);
    EXPECT_EQ(0x0B, Seen()[0].minor);
    EXPECT_EQ(STATUS_SUCCESS, Seen()[0].status);
    EXPECT_EQ(0u, Seen()[0].information);
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, r.status);
    EXPECT_EQ(1, Fdo(fdo)->IoCount);
}

TEST_F(DispatchRoutingTest, SystemControlOnTheChildIsCompletedAsItCame) {
    PDEVICE_OBJECT child = NewDeviceWithSignature(PDO_SIGNATURE, sizeof(PDO_EXTENSION));
    host::io::Result r = host::io::SendAndWait(child, [](PIRP irp, PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        irp->IoStatus.Information = 3;
    });
    EXPECT_EQ(STATUS_NOT_SUPPORTED, r.status);
    EXPECT_EQ(3u, r.information);
}

}  // namespace
