// Configuration and interface selection at start, driven by the registry, and what it
// records; devices whose descriptors differ from a unit's or lie about their lengths.
#include <cstring>

#include "unit_world.h"

namespace {

using ConfigurationTest = UnitStackTest;

uint32_t DriverValue(const std::u16string& key, const std::u16string& name) {
    uint32_t v = 0xDEAD;
    host::registry::GetDword(key, name, &v);
    return v;
}

struct SelectionCase {
    const char* what;
    std::vector<std::pair<std::u16string, uint32_t>> service;
    int bulkMode;  // -1: no "UsbBulkMode" value
    int alternate;
    uint32_t currentMode, currentInterface, currentAlternate;
};

TEST_F(ConfigurationTest, TheRegistryPicksInterfaceAndAlternate) {
    const SelectionCase cases[] = {
        {"defaults", {}, -1, 1, 0, 2, 1},
        {"bulk mode", {}, 1, 0, 1, 2, 0},
        {"bulk mode off", {}, 0, 1, 0, 2, 1},
        {"interface number in the low byte", {{u"Interface", 0x102}}, -1, 1, 0, 0x102, 1},
        {"alternates from the service key", {{u"Alternate", 0}, {u"AlternateBulk", 1}}, 7, 1, 7, 2, 1},
    };
    for (const SelectionCase& c : cases) {
        SCOPED_TRACE(c.what);
        LoadDriver(c.service);
        Unit& u = Plug();
        if (c.bulkMode >= 0) host::registry::SetDword(DriverKey(u), u"UsbBulkMode", uint32_t(c.bulkMode));
        ASSERT_EQ(STATUS_SUCCESS, Start(u));
        auto selections = u.device->Selections();
        ASSERT_FALSE(selections.empty());
        EXPECT_EQ(2, selections.back().interfaceNumber);
        EXPECT_EQ(c.alternate, selections.back().alternate);
        EXPECT_EQ(c.currentMode, DriverValue(DriverKey(u), u"CurrentUsbMode"));
        EXPECT_EQ(c.currentInterface, DriverValue(DriverKey(u), u"CurrentInterface"));
        EXPECT_EQ(c.currentAlternate, DriverValue(DriverKey(u), u"CurrentAlternate"));
        ReleaseAll();
    }
}

TEST_F(ConfigurationTest, PipesAndPacketSizeComeFromTheSelectedEndpoints) {
    Unit& u = Plug(sim::Pmc7rDescriptors(0x002B, 16));
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    FDO_EXTENSION* ext = Fdo(u);
    EXPECT_EQ(16u, ext->MaxPacketSize);
    EXPECT_NE(nullptr, ext->BulkInPipe);
    EXPECT_NE(nullptr, ext->BulkOutPipe);
    EXPECT_NE(ext->BulkInPipe, ext->BulkOutPipe);
    auto* info = (PUSBD_INTERFACE_INFORMATION)ext->InterfaceInfo;
    ASSERT_NE(nullptr, info);
    EXPECT_EQ(2u, info->NumberOfPipes);
    EXPECT_EQ(0x2B, ext->VendorProductId & 0xFFFF);
    // The descriptor was read twice: its header, then all of it.
    auto* config = (PUSB_CONFIGURATION_DESCRIPTOR)ext->ConfigurationDescriptor;
    EXPECT_EQ(sim::Pmc7rDescriptors().configuration.size(), config->wTotalLength);
}

TEST_F(ConfigurationTest, TheLastEndpointOfEachDirectionWins) {
    sim::Descriptors d = sim::Pmc7rDescriptors();
    d.configuration = ConfigurationWith({InterfaceDescriptor(2, 1, 3), EndpointDescriptor(0x81, 2, 64),
                                         EndpointDescriptor(0x82, 3, 32), EndpointDescriptor(0x01, 2, 64)});
    Unit& u = Plug(d);
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    auto* info = (PUSBD_INTERFACE_INFORMATION)Fdo(u)->InterfaceInfo;
    ASSERT_EQ(3u, info->NumberOfPipes);
    EXPECT_EQ(info->Pipes[1].PipeHandle, Fdo(u)->BulkInPipe);
    EXPECT_EQ(info->Pipes[2].PipeHandle, Fdo(u)->BulkOutPipe);
    EXPECT_EQ(32u, Fdo(u)->MaxPacketSize);
}

TEST_F(ConfigurationTest, PacketSizeIsNeverRaisedByALaterStart) {
    Unit& u = Plug(sim::Pmc7rDescriptors(0x002A, 32));
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    EXPECT_EQ(32u, Fdo(u)->MaxPacketSize);
    ASSERT_EQ(STATUS_SUCCESS, Start(u));  // a second start selects again
    EXPECT_EQ(32u, Fdo(u)->MaxPacketSize);
}

struct BadDescriptorCase {
    const char* what;
    std::vector<uint8_t> configuration;
    NTSTATUS status;
};

TEST_F(ConfigurationTest, DescriptorsThatLieNeverLeadOutOfBounds) {
    std::vector<uint8_t> endpointsPastTheEnd =
        ConfigurationWith({InterfaceDescriptor(2, 1, 2), EndpointDescriptor(0x81, 2, 64),
                           EndpointDescriptor(0x02, 2, 64)});
    endpointsPastTheEnd[2] -= 7;  // wTotalLength leaves out the last endpoint
    std::vector<uint8_t> countTooLarge =
        ConfigurationWith({InterfaceDescriptor(2, 1, 9), EndpointDescriptor(0x81, 2, 64)});
    std::vector<uint8_t> totalTooLarge =
        ConfigurationWith({InterfaceDescriptor(2, 1, 2), EndpointDescriptor(0x81, 2, 64),
                           EndpointDescriptor(0x02, 2, 64)});
    totalTooLarge[2] = 0xFF;
    totalTooLarge[3] = 0x01;
    std::vector<uint8_t> zeroLength = ConfigurationWith({InterfaceDescriptor(2, 1, 0)});
    zeroLength[0] = 0;
    const BadDescriptorCase cases[] = {
        {"no bytes at all", {}, STATUS_DEVICE_DATA_ERROR},
        {"shorter than its header", {9, 2, 9, 0}, STATUS_DEVICE_DATA_ERROR},
        // The stack itself refuses to select these (any failure will do).
        {"endpoints past wTotalLength", endpointsPastTheEnd, STATUS_INVALID_PARAMETER},
        {"more endpoints than there are", countTooLarge, STATUS_INVALID_PARAMETER},
        {"wTotalLength past the data", totalTooLarge, STATUS_SUCCESS},
        {"bLength 0 is taken as 9", zeroLength, STATUS_SUCCESS},
        {"no such interface", ConfigurationWith({InterfaceDescriptor(1, 0, 0)}), STATUS_UNSUCCESSFUL},
    };
    for (const BadDescriptorCase& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Descriptors d = sim::Pmc7rDescriptors();
        d.configuration = c.configuration;
        Unit& u = Plug(d);
        EXPECT_EQ(c.status, Start(u));
        if (!NT_SUCCESS(c.status)) {
            EXPECT_EQ(nullptr, Fdo(u)->BulkOutPipe);
            EXPECT_EQ(128u, Fdo(u)->MaxPacketSize);
        }
        if (c.configuration.size() >= 9 && Fdo(u)->ConfigurationDescriptor) {
            auto* stored = (PUSB_CONFIGURATION_DESCRIPTOR)Fdo(u)->ConfigurationDescriptor;
            EXPECT_LE(stored->wTotalLength, c.configuration.size());
            EXPECT_NE(0, stored->bLength);
        }
    }
}

// The driver's own walk, on a descriptor the stack would have taken: endpoints that would
// run past the end make the interface not found. The copy is exactly as long as it says,
// so a read beyond it is caught.
TEST_F(ConfigurationTest, AnInterfaceWhoseEndpointsRunPastTheEndIsNotFound) {
    Unit& u = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    std::vector<uint8_t> lying = ConfigurationWith({InterfaceDescriptor(2, 1, 3), EndpointDescriptor(0x81, 2, 8),
                                                    EndpointDescriptor(0x02, 2, 8)});
    FDO_EXTENSION* ext = Fdo(u);
    PVOID copy = ExAllocatePoolWithTag(NonPagedPool, lying.size(), 'tseT');
    memcpy(copy, lying.data(), lying.size());
    PUSB_CONFIGURATION_DESCRIPTOR kept = ext->ConfigurationDescriptor;
    ext->ConfigurationDescriptor = PUSB_CONFIGURATION_DESCRIPTOR(copy);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SelectInterface(u.fdo, 2, 1));
    EXPECT_EQ(64u, ext->MaxPacketSize);  // nothing of the lying interface was taken
    ext->ConfigurationDescriptor = kept;
    ExFreePool(copy);
}

// Pipes that could not be recorded leave the unit without them: the selection fails.
TEST_F(ConfigurationTest, PipesThatCannotBeRecordedFailTheSelection) {
    Unit& u = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    host::faults::FailAfter(host::faults::Op::Pool, 1);  // the request's URB, not the pipes' copy
    EXPECT_EQ(STATUS_NO_MEMORY, SelectInterface(u.fdo, 2, 1));
    host::faults::Clear();
    EXPECT_EQ(nullptr, Fdo(u)->InterfaceInfo);
    EXPECT_EQ(STATUS_SUCCESS, SelectInterface(u.fdo, 2, 1));
    EXPECT_NE(nullptr, Fdo(u)->InterfaceInfo);
}

}  // namespace
