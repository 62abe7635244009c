// Plug and Play and power requests to the bus's device objects.
#include <cstring>

#include "sim/usb_bus_fixture.h"

namespace {

class UsbBusPnpTest : public UsbBusTest {
protected:
    std::u16string QueryId(BUS_QUERY_ID_TYPE type) {
        auto r = SendIrp(IRP_MJ_PNP, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION sl) { sl->Parameters.QueryId.IdType = type; });
        EXPECT_EQ(STATUS_SUCCESS, r.status);
        auto text = reinterpret_cast<PWCHAR>(r.information);
        if (!text) return u"";
        // A multi-string ends with an empty string.
        size_t n = 0;
        while (text[n] || (type == BusQueryHardwareIDs && n && text[n - 1])) ++n;
        std::u16string s(reinterpret_cast<const char16_t*>(text), n);
        ExFreePool(text);
        return s;
    }
};

TEST_F(UsbBusPnpTest, CapabilitiesComeFromTheModelWithTheCallersSizeAndVersion) {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = caps.UINumber = ULONG(-1);
    auto r = SendIrp(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                     [&caps](PIO_STACK_LOCATION sl) { sl->Parameters.DeviceCapabilities.Capabilities = &caps; });
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(sizeof caps, caps.Size);
    EXPECT_EQ(1, caps.Address);
    EXPECT_EQ(1u, caps.Removable);
    EXPECT_EQ(PowerDeviceD0, caps.DeviceState[PowerSystemWorking]);
    EXPECT_EQ(PowerDeviceD2, caps.DeviceState[PowerSystemSleeping3]);
    EXPECT_EQ(PowerDeviceD3, caps.DeviceState[PowerSystemShutdown]);
    EXPECT_EQ(PowerSystemSleeping3, caps.SystemWake);
    EXPECT_EQ(PowerDeviceD2, caps.DeviceWake);
}

TEST_F(UsbBusPnpTest, IdsNameTheVendorProductAndRevision) {
    EXPECT_EQ(u"USB\\VID_0C5B&PID_002A", QueryId(BusQueryDeviceID));
    EXPECT_EQ(std::u16string(u"USB\\VID_0C5B&PID_002A&REV_0100\0USB\\VID_0C5B&PID_002A\0", 53),
              QueryId(BusQueryHardwareIDs));
    EXPECT_EQ(u"1", QueryId(BusQueryInstanceID));
}

TEST_F(UsbBusPnpTest, StateChangesSucceedAndOthersKeepTheirStatus) {
    for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                        IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL,
                        IRP_MN_REMOVE_DEVICE})
        EXPECT_EQ(STATUS_SUCCESS, SendIrp(IRP_MJ_PNP, minor).status) << int(minor);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, SendIrp(IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES).status);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, SendIrp(IRP_MJ_CREATE, 0).status);
}

TEST_F(UsbBusPnpTest, WaitWakeStaysPendingUntilTheDeviceWakesOrItIsCancelled) {
    for (bool wake : {true, false}) {
        SCOPED_TRACE(wake);
        auto sent = std::make_shared<Sent>();
        sent->irp = host::io::NewRequest(pdo_->StackSize, [sent](PIRP irp) {
            sent->status = irp->IoStatus.Status;
            sent->done = true;
        });
        PIO_STACK_LOCATION sl = IoGetNextIrpStackLocation(sent->irp);
        sl->MajorFunction = IRP_MJ_POWER;
        sl->MinorFunction = IRP_MN_WAIT_WAKE;
        sl->Parameters.WaitWake.PowerState = PowerSystemSleeping3;
        EXPECT_EQ(STATUS_PENDING, IofCallDriver(pdo_, sent->irp));
        host::Advance(host::Ms(10));
        EXPECT_FALSE(sent->done);
        if (wake)
            device_->Wake();
        else
            IoCancelIrp(sent->irp);
        ASSERT_TRUE(Finished(sent));
        EXPECT_EQ(wake ? STATUS_SUCCESS : STATUS_CANCELLED, sent->status);
    }
}

TEST_F(UsbBusPnpTest, PlugGivesTheDeviceItsInstancePath) {
    auto second = std::make_shared<sim::RecordingDevice>(sim::Pmc7rDescriptors(0x002B));
    PDEVICE_OBJECT pdo = bus_->Plug(second, u"USB\\VID_0C5B&PID_002B\\SERIAL7");
    auto r = host::io::SendAndWait(pdo, [](PIRP, PIO_STACK_LOCATION sl) {
        sl->MajorFunction = IRP_MJ_PNP;
        sl->MinorFunction = IRP_MN_QUERY_ID;
        sl->Parameters.QueryId.IdType = BusQueryInstanceID;
    });
    ASSERT_EQ(STATUS_SUCCESS, r.status);
    auto text = reinterpret_cast<PWCHAR>(r.information);
    EXPECT_EQ(u"SERIAL7", std::u16string(reinterpret_cast<const char16_t*>(text)));
    ExFreePool(text);
    bus_->Delete(pdo);
}

}  // namespace
