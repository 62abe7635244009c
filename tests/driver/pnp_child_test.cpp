// The master's child device: its identity from the product table and its own Plug and Play
// answers, as the Plug and Play manager reads them.
#include <string>

#include "core/unit_table.h"
#include "pnp/pnp.h"
#include "sim/pmc7r_descriptors.h"
#include "unit_world.h"

namespace {

class ChildPnpTest : public UnitStackTest {
protected:
    PDO_EXTENSION* ChildOf(uint16_t vendor, uint16_t product) {
        sim::Descriptors d = sim::Pmc7rDescriptors(product);
        d.device[8] = uint8_t(vendor);
        d.device[9] = uint8_t(vendor >> 8);
        Unit& u = Plug(d);
        master_ = u.fdo;
        return CreateChildDevice(driver_, u.fdo);
    }
    host::io::Result Pnp(PDO_EXTENSION* child, UCHAR minor,
                         const std::function<void(PIO_STACK_LOCATION)>& setup = {}) {
        return host::io::SendAndWait(child->DeviceObject, [&](PIRP irp, PIO_STACK_LOCATION s) {
            irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
            s->MajorFunction = IRP_MJ_PNP;
            s->MinorFunction = minor;
            if (setup) setup(s);
        });
    }
    // A string answer with its length in bytes; the answer's buffer is freed as the manager would.
    std::u16string Query(PDO_EXTENSION* child, UCHAR minor, ULONG type, size_t* bytes = nullptr) {
        host::io::Result r = Pnp(child, minor, [&](PIO_STACK_LOCATION s) {
            if (minor == IRP_MN_QUERY_ID) s->Parameters.QueryId.IdType = BUS_QUERY_ID_TYPE(type);
            else s->Parameters.QueryDeviceText.DeviceTextType = DEVICE_TEXT_TYPE(type);
        });
        EXPECT_EQ(STATUS_SUCCESS, r.status);
        if (!r.information) return u"<none>";
        const char16_t* text = reinterpret_cast<const char16_t*>(r.information);
        size_t n = 0;
        while (text[n] || (minor == IRP_MN_QUERY_ID && text[n + 1])) ++n;
        std::u16string out(text, n);
        if (bytes) *bytes = (n + (minor == IRP_MN_QUERY_ID ? 2 : 1)) * 2;
        ExFreePool(reinterpret_cast<PVOID>(r.information));
        return out;
    }
    PDEVICE_OBJECT master_ = nullptr;
};

TEST_F(ChildPnpTest, TheProductTablePicksTheChildsIdentity) {
    struct Case {
        uint16_t vendor, product;
        const char16_t* name;
        const char16_t* description;
        const char16_t* hardwareId;
    };
    const Case cases[] = {
        {0x0C5B, 0x002A, u"\\Device\\QUIRVEN_USB_PMC7R_0", u"Orvalis Instruments PMC-7R USB",
         u"USB\\{0C5B002A-5E73-11d3-9D4E-00A0C9E17B35}"},
        {0x0C5B, 0x002B, u"\\Device\\QUIRVEN_USB_PMC7REX_0", u"Orvalis Instruments PMC-7R Expansion USB",
         u"USB\\{0C5B002B-5E73-11d3-9D4E-00A0C9E17B35}"},
        {0x0C5C, 0x002A, u"\\Device\\QUIRVEN_UNKNOWN_0", u"Unsupported Device",
         u"USB\\{0C5BFFFF-5E73-11d3-9D4E-00A0C9E17B35}"},
        {0x1234, 0x5678, u"\\Device\\QUIRVEN_UNKNOWN_0", u"Unsupported Device",
         u"USB\\{0C5BFFFF-5E73-11d3-9D4E-00A0C9E17B35}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.vendor) + ":" + std::to_string(c.product));
        PDO_EXTENSION* child = ChildOf(c.vendor, c.product);
        ASSERT_NE(nullptr, child);
        EXPECT_EQ(std::u16string(c.name), std::u16string(child->ObjectName));
        EXPECT_EQ(FdoExtension(master_)->Child, child);
        EXPECT_EQ(ChildList, child);
        EXPECT_EQ(FILE_DEVICE_BUS_EXTENDER, child->DeviceObject->DeviceType);
        EXPECT_NE(0u, child->DeviceObject->Flags & DO_POWER_PAGABLE);
        EXPECT_EQ(0u, child->DeviceObject->Flags & DO_DEVICE_INITIALIZING);
        EXPECT_EQ(std::u16string(c.description), Query(child, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription));
        EXPECT_EQ(std::u16string(c.hardwareId), Query(child, IRP_MN_QUERY_ID, BusQueryHardwareIDs));
        EXPECT_TRUE(DeleteChildDevice(master_));
        EXPECT_EQ(nullptr, ChildList);
    }
    // A unit whose descriptor could not be read gets the fallback.
    Unit& blind = Plug();
    FdoExtension(blind.fdo)->VendorProductId = 0;
    FdoExtension(blind.fdo)->ProductRecord = nullptr;
    EXPECT_EQ(std::u16string(u"Unsupported Device"),
              std::u16string(LookupProductString(blind.fdo, PRODUCT_DESCRIPTION)));
}

TEST_F(ChildPnpTest, TheChildAnswersItsQueries) {
    PDO_EXTENSION* child = ChildOf(0x0C5B, 0x002A);
    ASSERT_NE(nullptr, child);
    size_t bytes = 0;
    EXPECT_EQ(u"USB\\{0C5B002A-5E73-11d3-9D4E-00A0C9E17B35}", Query(child, IRP_MN_QUERY_ID, BusQueryDeviceID, &bytes));
    EXPECT_EQ(88u, bytes);
    EXPECT_EQ(u"USB\\{0C5B002A-5E73-11d3-9D4E-00A0C9E17B35}", Query(child, IRP_MN_QUERY_ID, BusQueryHardwareIDs, &bytes));
    EXPECT_EQ(88u, bytes);
    EXPECT_EQ(u"{0C5B002A-5E73-11d3-9D4E-00A0C9E17B35}", Query(child, IRP_MN_QUERY_ID, BusQueryInstanceID, &bytes));
    EXPECT_EQ(80u, bytes);
    EXPECT_EQ(u"<none>", Query(child, IRP_MN_QUERY_ID, BusQueryCompatibleIDs));
    EXPECT_EQ(u"<none>", Query(child, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation));

    DEVICE_CAPABILITIES caps = {};
    caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    caps.EjectSupported = 1;
    caps.DeviceWake = PowerDeviceD1;
    caps.Address = 7;
    EXPECT_EQ(STATUS_SUCCESS, Pnp(child, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION s) {
                                  s->Parameters.DeviceCapabilities.Capabilities = &caps;
                              }).status);
    EXPECT_EQ(64, caps.Size);
    EXPECT_EQ(1, caps.Version);
    EXPECT_EQ(1u, caps.Removable);
    EXPECT_EQ(1u, caps.UniqueID);
    EXPECT_EQ(0u, caps.EjectSupported);
    EXPECT_EQ(PowerDeviceUnspecified, caps.DeviceWake);
    EXPECT_EQ(PowerDeviceD2, caps.DeviceState[PowerSystemSleeping3]);
    EXPECT_EQ(7u, caps.Address);

    host::io::Result target = Pnp(child, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
        s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
    });
    ASSERT_EQ(STATUS_SUCCESS, target.status);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(target.information);
    ASSERT_EQ(1u, relations->Count);
    EXPECT_EQ(child->DeviceObject, relations->Objects[0]);
    ObDereferenceObject(relations->Objects[0]);
    ExFreePool(relations);
    for (DEVICE_RELATION_TYPE type : {BusRelations, RemovalRelations}) {
        EXPECT_EQ(STATUS_NOT_SUPPORTED, Pnp(child, IRP_MN_QUERY_DEVICE_RELATIONS, [&](PIO_STACK_LOCATION s) {
                                            s->Parameters.QueryDeviceRelations.Type = type;
                                        }).status);
    }
    EXPECT_TRUE(DeleteChildDevice(master_));
}

TEST_F(ChildPnpTest, StartStopAndRemovalDeleteTheChildOnce) {
    PDO_EXTENSION* child = ChildOf(0x0C5B, 0x002A);
    ASSERT_NE(nullptr, child);
    EXPECT_EQ(STATUS_SUCCESS, Pnp(child, IRP_MN_START_DEVICE).status);
    EXPECT_EQ(ULONG(DEVICE_STARTED), child->Flags);
    for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                        IRP_MN_CANCEL_REMOVE_DEVICE}) {
        EXPECT_EQ(STATUS_SUCCESS, Pnp(child, minor).status);
    }
    EXPECT_EQ(STATUS_SUCCESS, Pnp(child, IRP_MN_STOP_DEVICE).status);
    EXPECT_EQ(0u, child->Flags);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, Pnp(child, IRP_MN_QUERY_BUS_INFORMATION).status);

    // Its own removal deletes it and takes it out of its links: the master has none to delete.
    EXPECT_EQ(STATUS_SUCCESS, Pnp(child, IRP_MN_REMOVE_DEVICE).status);
    EXPECT_EQ(nullptr, FdoExtension(master_)->Child);
    EXPECT_EQ(nullptr, ChildList);
    EXPECT_FALSE(DeleteChildDevice(master_));

    // After a surprise removal its removal only answers; the master's removal deletes it.
    child = CreateChildDevice(driver_, master_);
    ASSERT_NE(nullptr, child);
    EXPECT_EQ(STATUS_SUCCESS, Pnp(child, IRP_MN_SURPRISE_REMOVAL).status);
    EXPECT_EQ(STATUS_SUCCESS, Pnp(child, IRP_MN_REMOVE_DEVICE).status);
    EXPECT_EQ(child, FdoExtension(master_)->Child);
    EXPECT_TRUE(DeleteChildDevice(master_));
    EXPECT_EQ(nullptr, ChildList);
}

TEST_F(ChildPnpTest, OneChildPerProductRecord) {
    PDO_EXTENSION* child = ChildOf(0x0C5B, 0x002A);
    ASSERT_NE(nullptr, child);
    EXPECT_EQ(child, CreateChildDevice(driver_, master_));
    EXPECT_EQ(nullptr, child->NextChild);
    EXPECT_TRUE(DeleteChildDevice(master_));
}

}  // namespace
