#include <atomic>

#include "sim/pnp_fixture.h"

using sim::PnpProblem;
using sim::PnpState;
using Lines = std::vector<std::string>;

TEST_F(PnpManagerTest, ArrivalBuildsTheUnitStackAndItsChild) {
    sim::PnpNode* unit = ArriveUnit();
    ASSERT_NE(nullptr, unit);
    EXPECT_TRUE(unit->Started());
    EXPECT_EQ(function_, unit->driver);
    EXPECT_EQ(function_, unit->Top()->DriverObject);
    EXPECT_EQ(u"USB\\VID_0C5B&PID_002A", unit->deviceId);
    ASSERT_EQ(2u, unit->hardwareIds.size());
    EXPECT_EQ(pnptest::kUnitId, unit->hardwareIds[1]);

    ASSERT_EQ(1u, unit->children.size());
    sim::PnpNode* child = unit->children[0];
    EXPECT_EQ(unit, child->parent);
    EXPECT_EQ(pnptest::ChildOf(unit->Top()), child->pdo);
    EXPECT_EQ(pnptest::kChildId, child->deviceId);
    EXPECT_EQ((std::vector<std::u16string>{pnptest::kChildId, u"PNPTEST\\ANY"}), child->hardwareIds);
    EXPECT_TRUE(child->compatibleIds.empty());
    EXPECT_EQ(u"1", child->instanceId);
    EXPECT_EQ(u"PnP test child", child->description);
    ASSERT_TRUE(child->capabilitiesRead);
    EXPECT_EQ(sizeof(DEVICE_CAPABILITIES), child->capabilities.Size);
    EXPECT_EQ(1, child->capabilities.Version);
    EXPECT_EQ(1u, child->capabilities.Removable);
    EXPECT_EQ(1u, child->capabilities.Address);
    EXPECT_EQ(ULONG(-1), child->capabilities.UINumber);  // as the manager supplied it
    EXPECT_TRUE(child->Started());
    EXPECT_EQ(child_, child->Top()->DriverObject);

    EXPECT_EQ((std::vector<sim::PnpNode*>{unit, child}), pnp_->Nodes());
    EXPECT_EQ(child, pnp_->Find(child->pdo));
    uint32_t interface = 0;
    EXPECT_TRUE(host::registry::GetDword(sim::PnpManager::ServiceKey(u"pnptest"), u"Interface", &interface));
    EXPECT_EQ(2u, interface);
    // The child is learnt of after its parent started, and started after its identity.
    EXPECT_EQ((Lines{"fdo START", "fdo RELATIONS", "pdo ID", "pdo ID", "pdo ID", "pdo ID", "pdo TEXT", "pdo TEXT",
                     "pdo CAPABILITIES", "cfdo START", "pdo START", "cfdo RELATIONS", "pdo RELATIONS"}),
              pnptest::Log());
    EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(unit));
}

TEST_F(PnpManagerTest, ArrivalWithoutAStartedStackShowsTheProblem) {
    struct Case {
        const char* name;
        uint16_t product;
        bool failStart;
        PnpProblem problem;
        Lines changes;
    } cases[] = {
        {"no driver for the IDs", 0x0099, false, PnpProblem::NoDriver, {}},
        {"start fails", 0x002A, true, PnpProblem::FailedStart, {"fdo START", "fdo REMOVE"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pnptest::ClearLog();
        pnptest::Config().failStart = c.failStart;
        sim::PnpNode* unit = ArriveUnit(c.product);
        EXPECT_FALSE(unit->Started());
        EXPECT_EQ(PnpState::Present, unit->state.load());
        EXPECT_EQ(c.problem, unit->problem.load());
        EXPECT_EQ(unit->pdo, unit->Top());
        EXPECT_TRUE(unit->children.empty());
        EXPECT_EQ(c.changes, Changes());
        EXPECT_EQ(0u, Count("fdo RELATIONS"));
        EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(unit));
        EXPECT_EQ(PnpState::Removed, unit->state.load());
        EXPECT_EQ(c.failStart ? 1u : 0u, Count("fdo REMOVE"));  // a failed stack is not removed twice
    }
}

TEST_F(PnpManagerTest, RestartStopsAndStartsTheStackAgainUnlessTheStopIsRefused) {
    struct Case {
        bool refuse;
        NTSTATUS status;
        Lines changes;
    } cases[] = {
        {false, STATUS_SUCCESS, {"fdo QUERY_STOP", "fdo STOP", "fdo START"}},
        {true, STATUS_UNSUCCESSFUL, {"fdo QUERY_STOP", "fdo CANCEL_STOP"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refuse ? "refused" : "accepted");
        sim::PnpNode* unit = ArriveUnit();
        sim::PnpNode* child = unit->children.at(0);
        pnptest::ClearLog();
        pnptest::Config().refuseQueryStop = c.refuse;
        EXPECT_EQ(c.status, pnp_->Restart(unit));
        EXPECT_EQ(c.changes, Changes());
        EXPECT_TRUE(unit->Started());
        // The child the restarted unit reports again is the one it had.
        EXPECT_EQ((std::vector<sim::PnpNode*>{child}), unit->children);
        EXPECT_TRUE(child->Started());
        EXPECT_EQ(c.refuse ? 0u : 1u, Count("fdo RELATIONS"));
        pnptest::Config().refuseQueryStop = false;
        EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(unit));
    }
}

TEST_F(PnpManagerTest, AChildNoLongerReportedIsRemovedAndDeletedByItsBus) {
    sim::PnpNode* unit = ArriveUnit();
    sim::PnpNode* child = unit->children.at(0);
    pnptest::ClearLog();
    pnptest::DropChild(unit->Top());
    pnp_->Reenumerate(unit);
    EXPECT_EQ(PnpState::Removed, child->state.load());
    EXPECT_TRUE(unit->children.empty());
    EXPECT_EQ(nullptr, pnptest::ChildOf(unit->Top()));
    EXPECT_EQ((Lines{"cfdo REMOVE", "pdo REMOVE"}), Changes());
    EXPECT_EQ((std::vector<sim::PnpNode*>{unit}), pnp_->Nodes());
    EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(unit));
}

TEST_F(PnpManagerTest, EightUnitsArriveAtOnceAndLeaveEachTheirWay) {
    constexpr int kUnits = 8;
    PDEVICE_OBJECT pdos[kUnits];
    for (PDEVICE_OBJECT& pdo : pdos) pdo = Plug();
    sim::PnpNode* units[kUnits] = {};
    {
        std::vector<std::unique_ptr<host::Thread>> arrivals;
        for (int i = 0; i < kUnits; ++i)
            arrivals.push_back(std::make_unique<host::Thread>("arrival", [&, i] { units[i] = pnp_->Arrive(pdos[i]); }));
    }
    std::vector<sim::PnpNode*> nodes = pnp_->Nodes();
    ASSERT_EQ(2u * kUnits, nodes.size());
    for (size_t i = 0; i < nodes.size(); i += 2) {
        EXPECT_EQ(nullptr, nodes[i]->parent);
        EXPECT_TRUE(nodes[i]->Started());
        EXPECT_EQ(nodes[i], nodes[i + 1]->parent);  // each unit followed by its child
        EXPECT_TRUE(nodes[i + 1]->Started());
    }
    {
        std::vector<std::unique_ptr<host::Thread>> departures;
        for (int i = 0; i < kUnits; ++i)
            departures.push_back(std::make_unique<host::Thread>("departure", [&, i] {
                if (i % 2)
                    EXPECT_TRUE(pnp_->Unplug(units[i]));
                else
                    EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(units[i]));
            }));
    }
    EXPECT_TRUE(pnp_->Nodes().empty());
    EXPECT_EQ(size_t(kUnits), Count("fdo REMOVE"));
    EXPECT_EQ(size_t(kUnits), Count("pdo REMOVE"));
    EXPECT_EQ(size_t(kUnits / 2), Count("fdo SURPRISE"));
}

TEST_F(PnpManagerTest, DriversUnloadOnceTheirDevicesAreGone) {
    sim::PnpNode* unit = ArriveUnit();
    host::verifier::Record(true);
    pnp_->UnloadDrivers();
    EXPECT_TRUE(host::verifier::Fired("driver unloaded with devices"));
    host::verifier::Record(false);
    EXPECT_EQ(0, pnptest::Unloads());
    EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(unit));
    pnp_->UnloadDrivers();
    pnp_->UnloadDrivers();
    EXPECT_EQ(2, pnptest::Unloads());
}
