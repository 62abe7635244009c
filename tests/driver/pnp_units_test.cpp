// Units arriving, starting, restarting and leaving under the Plug and Play manager: the
// bring-up's outcomes on each display, the unit table, the master's child.
#include <atomic>
#include <string>

#include "client/client.h"
#include "core/unit_table.h"
#include "pnp/pnp.h"
#include "pnp_world.h"

namespace {

std::string Line(const std::shared_ptr<sim::Pmc7rUnit>& model, int line) {
    std::string text = model->DisplayLine(line);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

TEST_F(UnitPnpTest, EightUnitsArriveAndTakeTheirSlots) {
    for (uint8_t id = 0; id < MAX_UNITS; ++id) Plug(Id(id));
    for (uint8_t id = 0; id < MAX_UNITS; ++id) {
        SCOPED_TRACE(int(id));
        Unit& u = *units_[id];
        ASSERT_TRUE(u.node->Started());
        std::string role = id == 0 ? "MASTER" : "SLAVE";
        EXPECT_EQ("Firmware V2.24, ID " + std::to_string(id) + " [" + role + "]", Line(u.model, 0));
        EXPECT_EQ("Version 224", Line(u.model, 1));
        EXPECT_EQ(Fdo(u), UnitTable[id].UnitExtension);
        EXPECT_EQ(&UnitTable[id], Fdo(u)->UnitSlot);
        EXPECT_EQ(id == 0, !u.node->children.empty());
        EXPECT_EQ(0u, Fdo(u)->OpenCount) << "the bring-up closes the unit again";
    }
    sim::PnpNode* child = ChildNode(*units_[0]);
    ASSERT_NE(nullptr, child);
    EXPECT_TRUE(child->Started());
    EXPECT_EQ(u"USB\\{0C5B002A-5E73-11d3-9D4E-00A0C9E17B35}", child->hardwareIds.at(0));
    EXPECT_EQ(u"{0C5B002A-5E73-11d3-9D4E-00A0C9E17B35}", child->instanceId);
    EXPECT_EQ(u"Orvalis Instruments PMC-7R USB", child->description);
    EXPECT_TRUE(child->capabilitiesRead);
    EXPECT_TRUE(child->capabilities.Removable);
    EXPECT_TRUE(ClientAttached(child->pdo));
    EXPECT_EQ(Fdo(*units_[0])->Child->DeviceObject, child->pdo);
}

TEST_F(UnitPnpTest, TheBringUpsOutcomes) {
    struct Case {
        const char* what;
        sim::UnitOptions options;
        std::string line0, line1;
        int slot;  // -1: none
    };
    sim::UnitOptions silent = Id(5);
    silent.silent = true;
    const Case cases[] = {
        {"a slave", Id(3), "Firmware V2.24, ID 3 [SLAVE]", "Version 224", 3},
        {"an invalid ID", Id(9), "Invalid Device ID 9!", "Version 224", -1},
        {"old firmware asks no ID", Id(4, "2.23"), "Firmware V2.23, ID 0 [MASTER]", "Version 223", 0},
        {"a silent unit", silent, "Firmware V1.00, ID 0 [MASTER]", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Unit& u = Plug(c.options);
        ASSERT_TRUE(u.node->Started());
        EXPECT_EQ(c.line0, Line(u.model, 0));
        EXPECT_EQ(c.line1, Line(u.model, 1));
        if (c.slot < 0) {
            EXPECT_EQ(nullptr, Fdo(u)->UnitSlot);
            for (const UNIT_SLOT& s : UnitTable) EXPECT_NE(Fdo(u), s.UnitExtension);
        } else {
            EXPECT_EQ(Fdo(u), UnitTable[c.slot].UnitExtension);
        }
        EXPECT_EQ(c.slot == 0, !u.node->children.empty());
        EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(u.node));
        for (const UNIT_SLOT& s : UnitTable) EXPECT_EQ(nullptr, s.UnitExtension);
    }
}

TEST_F(UnitPnpTest, AConflictLeavesTheHolderItsSlotUntilItIsRemoved) {
    Unit& holder = Plug(Id(0));
    Unit& second = Plug(Id(0));
    // Without a carriage return the text overwrites the start of what the line showed.
    EXPECT_EQ("Device ID 0 already used!", Line(second.model, 0).substr(0, 25));
    EXPECT_EQ("Select different ID and reconnect", Line(second.model, 1));
    EXPECT_EQ("Device ID conflict!", Line(holder.model, 0));
    EXPECT_EQ(Fdo(holder), UnitTable[0].UnitExtension);
    EXPECT_EQ(nullptr, Fdo(second)->UnitSlot);
    EXPECT_TRUE(second.node->children.empty());
    ASSERT_EQ(1u, holder.node->children.size());

    // The loser's removal leaves the holder's slot alone.
    EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(second.node));
    EXPECT_EQ(Fdo(holder), UnitTable[0].UnitExtension);
    // The holder's removal frees the ID for the next unit, which becomes the master.
    EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(holder.node));
    EXPECT_EQ(nullptr, UnitTable[0].UnitExtension);
    EXPECT_EQ(nullptr, ChildList);
    Unit& next = Plug(Id(0));
    EXPECT_EQ("Firmware V2.24, ID 0 [MASTER]", Line(next.model, 0));
    EXPECT_EQ(Fdo(next), UnitTable[0].UnitExtension);
    EXPECT_EQ(1u, next.node->children.size());
}

// A restart keeps the unit's own slot and child, with no conflict shown to itself; an open
// unit's input flows again after it.
TEST_F(UnitPnpTest, ARestartKeepsTheSlotAndResumesAnOpenUnitsInput) {
    Unit& master = Plug(Id(0));
    Unit& slave = Plug(Id(2));
    PDEVICE_OBJECT child = Fdo(master)->Child->DeviceObject;
    ASSERT_EQ(1u, OpenUnit(Fdo(slave)));
    for (Unit* u : {&master, &slave}) {
        EXPECT_EQ(STATUS_SUCCESS, pnp_->Restart(u->node));
        EXPECT_TRUE(u->node->Started());
    }
    EXPECT_EQ("Firmware V2.24, ID 0 [MASTER]", Line(master.model, 0));
    EXPECT_EQ("Firmware V2.24, ID 2 [SLAVE]", Line(slave.model, 0));
    EXPECT_EQ(Fdo(master), UnitTable[0].UnitExtension);
    EXPECT_EQ(Fdo(slave), UnitTable[2].UnitExtension);
    EXPECT_EQ(child, Fdo(master)->Child->DeviceObject);
    EXPECT_EQ(nullptr, ChildList->NextChild);

    FDO_EXTENSION* ext = Fdo(slave);
    EXPECT_EQ(1u, ext->OpenCount);
    ULONG from = ReadShared(&ext->InputWriteIndex);
    slave.model->Send({0xB0, 0x07, 0x40});
    ASSERT_TRUE(host::WaitUntil([&] { return ReadShared(&ext->InputWriteIndex) == ((from + 3) & 127); },
                                host::Ms(100)));
    CloseUnit(ext);
}

TEST_F(UnitPnpTest, RemovalClosesAUnitThatIsStillOpen) {
    Unit& u = Plug(Id(1));
    FDO_EXTENSION* ext = Fdo(u);
    ASSERT_EQ(1u, OpenUnit(ext));
    ASSERT_EQ(2u, OpenUnit(ext));
    std::vector<uint8_t> bytes(300, 0x40);
    EnqueueOutput(ext->DeviceObject, 0, bytes.data(), ULONG(bytes.size()));
    EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(u.node));
    EXPECT_EQ(nullptr, UnitTable[1].UnitExtension);
    // The session's end finds no pump thread, request or pool left.
}

TEST_F(UnitPnpTest, SurpriseRemovalInTheMiddleOfTraffic) {
    Unit& master = Plug(Id(0));
    Unit& a = Plug(Id(1));
    Unit& b = Plug(Id(2));
    for (Unit* u : {&master, &a, &b}) ASSERT_NE(0u, OpenUnit(Fdo(*u)));
    std::atomic<bool> stop = false;
    std::vector<std::unique_ptr<host::Thread>> traffic;
    for (Unit* u : {&master, &a, &b}) {
        PDEVICE_OBJECT fdo = Fdo(*u)->DeviceObject;
        std::shared_ptr<sim::Pmc7rUnit> model = u->model;
        traffic.push_back(std::make_unique<host::Thread>("traffic", [fdo, model, &stop] {
            std::vector<uint8_t> note = {0x90, 0x3C, 0x64};
            while (!stop) {
                model->Send({0xB0, 0x01, 0x20});
                EnqueueOutput(fdo, 0, note.data(), ULONG(note.size()));
                host::Advance(host::Ms(3));
            }
        }));
    }
    host::Advance(host::Ms(50));
    stop = true;  // the producers stop before their units go, as clients do on removal
    for (auto& t : traffic) t->Join();
    EXPECT_TRUE(pnp_->Unplug(master.node));
    EXPECT_TRUE(pnp_->Unplug(a.node));
    EXPECT_EQ(nullptr, UnitTable[0].UnitExtension);
    EXPECT_EQ(nullptr, ChildList);
    EXPECT_EQ(Fdo(b), UnitTable[2].UnitExtension);
    b.model->Send({0xB0, 0x02, 0x20});
    host::Advance(host::Ms(20));  // input of a unit with no master reaches nobody, harmlessly
    CloseUnit(Fdo(b));
}

// Input of every unit flows while the master goes away under it.
TEST_F(UnitPnpTest, TheMasterLeavesWhileInputArrives) {
    Unit& master = Plug(Id(0));
    Unit& slave = Plug(Id(3));
    ASSERT_NE(0u, OpenUnit(Fdo(slave)));
    ASSERT_NE(0u, OpenUnit(Fdo(master)));
    std::atomic<bool> stop = false;
    std::shared_ptr<sim::Pmc7rUnit> model = slave.model;
    host::Thread sender("input", [&stop, model] {
        while (!stop) {
            model->Send({0x90, 0x40, 0x7F});
            host::Advance(host::Ms(1));
        }
    });
    host::Advance(host::Ms(10));
    EXPECT_TRUE(pnp_->Unplug(master.node));
    stop = true;
    sender.Join();
    CloseUnit(Fdo(slave));
}

// A start the bus fails, or a configuration the driver cannot serve, fails with its status:
// the Plug and Play manager takes the node down, nothing reached the unit, no slot is taken,
// and the next unit with the ID is the master.
TEST_F(UnitPnpTest, AStartThatFailsIsReportedAndRunsNoBringUp) {
    struct Case {
        const char* what;
        uint16_t packet;
        bool busFails;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"the bus fails the start", 64, true, STATUS_IO_DEVICE_ERROR},
        {"packets larger than the driver's buffer", 512, false, STATUS_DEVICE_CONFIGURATION_ERROR},
        {"packets of 129 bytes", 129, false, STATUS_DEVICE_CONFIGURATION_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::UnitOptions options = Id(0);
        options.packet = c.packet;
        auto model = std::make_shared<sim::Pmc7rUnit>(options);
        PDEVICE_OBJECT pdo = bus_->Plug(model);
        if (c.busFails) bus_->FailStarts(pdo, c.status);
        sim::PnpNode* node = pnp_->Arrive(pdo);
        EXPECT_FALSE(node->Started());
        EXPECT_EQ(sim::PnpProblem::FailedStart, node->problem.load());
        EXPECT_EQ(c.status, node->problemStatus);
        EXPECT_EQ("", Line(model, 0));
        for (const UNIT_SLOT& s : UnitTable) EXPECT_EQ(nullptr, s.UnitExtension);
        EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(node));
    }
    Unit& master = Plug(Id(0));
    ASSERT_TRUE(master.node->Started());
    EXPECT_EQ(Fdo(master), UnitTable[0].UnitExtension);
}

// While a query-remove or query-stop is pending the reads end as they complete; its cancel
// gives an open unit two reads again and starts its busy state afresh.
TEST_F(UnitPnpTest, ACancelledQueryGivesAnOpenUnitItsReadsBackAndClearsItsBusyState) {
    for (bool removal : {true, false}) {
        SCOPED_TRACE(removal ? "query-remove" : "query-stop");
        Unit& u = Plug(Id(removal ? 1 : 2));
        FDO_EXTENSION* ext = Fdo(u);
        ASSERT_NE(0u, OpenUnit(ext));
        host::Advance(host::Ms(20));  // the unit's answers to the mode switch
        EXPECT_EQ(2u, ReadShared(&ext->ReadsInFlight));
        ASSERT_EQ(STATUS_SUCCESS, removal ? pnp_->QueryRemove(u.node) : pnp_->QueryStop(u.node));
        for (uint8_t note : {1, 2}) {
            u.model->Send({0x90, note, 0x40});
            host::Advance(host::Ms(5));
        }
        EXPECT_EQ(0u, ReadShared(&ext->ReadsInFlight));
        SetFlags(&ext->Flags, UNIT_BUSY);  // its ready report came while no read was there
        ASSERT_EQ(STATUS_SUCCESS, removal ? pnp_->CancelRemove(u.node) : pnp_->CancelStop(u.node));
        EXPECT_EQ(2u, ReadShared(&ext->ReadsInFlight));
        EXPECT_FALSE(ReadShared(&ext->Flags) & UNIT_BUSY);
        EXPECT_TRUE(IsDeviceReady(u.node->Top()));
        CloseUnit(ext);
    }
}

TEST_F(UnitPnpTest, AStartWithoutADeviceDescriptorFails) {
    auto model = std::make_shared<sim::Pmc7rUnit>(Id(0));
    PDEVICE_OBJECT pdo = bus_->Plug(model);
    sim::PnpNode* node = pnp_->Arrive(pdo);
    ASSERT_TRUE(node->Started());
    FDO_EXTENSION* ext = FdoExtension(node->Top());
    PUSB_DEVICE_DESCRIPTOR descriptor = ext->DeviceDescriptor;
    ext->DeviceDescriptor = nullptr;  // as if it could not be read when the device was added
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, StartDevice(node->Top()));
    ext->DeviceDescriptor = descriptor;
}

}  // namespace
