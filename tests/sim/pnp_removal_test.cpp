#include "sim/pnp_fixture.h"

using sim::PnpState;
using Lines = std::vector<std::string>;

TEST_F(PnpManagerTest, QueryRemoveAsksChildrenFirstAndCancelsEveryStackAsked) {
    sim::PnpNode* unit = ArriveUnit();
    pnptest::ClearLog();
    EXPECT_EQ(STATUS_SUCCESS, pnp_->QueryRemoveThenCancel(unit));
    EXPECT_EQ((Lines{"cfdo QUERY_REMOVE", "pdo QUERY_REMOVE", "fdo QUERY_REMOVE", "fdo CANCEL_REMOVE",
                     "cfdo CANCEL_REMOVE", "pdo CANCEL_REMOVE"}),
              pnptest::Log());
    EXPECT_TRUE(unit->Started());
    EXPECT_TRUE(unit->children.at(0)->Started());
    EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(unit));
}

TEST_F(PnpManagerTest, OrderlyRemovalRemovesChildrenFirstThenTheBusDeletesThePdo) {
    sim::PnpNode* unit = ArriveUnit();
    sim::PnpNode* child = unit->children.at(0);
    pnptest::ClearLog();
    EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(unit));
    EXPECT_EQ((Lines{"cfdo QUERY_REMOVE", "pdo QUERY_REMOVE", "fdo QUERY_REMOVE", "cfdo REMOVE", "pdo REMOVE",
                     "fdo REMOVE"}),
              pnptest::Log());
    EXPECT_EQ(PnpState::Removed, unit->state.load());
    EXPECT_EQ(PnpState::Removed, child->state.load());
    EXPECT_TRUE(pnp_->Nodes().empty());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, pnp_->Remove(unit));  // removed once only
    EXPECT_EQ(1u, Count("fdo REMOVE"));
}

TEST_F(PnpManagerTest, ARefusedQueryRemoveIsCancelledAndTheUnitStays) {
    sim::PnpNode* unit = ArriveUnit();
    pnptest::ClearLog();
    pnptest::Config().refuseQueryRemove = true;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, pnp_->Remove(unit));
    EXPECT_EQ((Lines{"cfdo QUERY_REMOVE", "pdo QUERY_REMOVE", "fdo QUERY_REMOVE", "fdo CANCEL_REMOVE",
                     "cfdo CANCEL_REMOVE", "pdo CANCEL_REMOVE"}),
              pnptest::Log());
    EXPECT_TRUE(unit->Started());
    EXPECT_EQ(2u, pnp_->Nodes().size());
    pnptest::Config().refuseQueryRemove = false;
    EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(unit));
}

TEST_F(PnpManagerTest, SurpriseRemovalWithoutHandlesRemovesAtOnce) {
    sim::PnpNode* unit = ArriveUnit();
    pnptest::ClearLog();
    EXPECT_TRUE(pnp_->Unplug(unit));
    EXPECT_EQ((Lines{"cfdo SURPRISE", "pdo SURPRISE", "fdo SURPRISE", "cfdo REMOVE", "pdo REMOVE", "fdo REMOVE"}),
              pnptest::Log());
    EXPECT_EQ(PnpState::Removed, unit->state.load());
    EXPECT_TRUE(pnp_->Nodes().empty());
}

TEST_F(PnpManagerTest, SurpriseRemovalWaitsForTheLastHandle) {
    sim::PnpNode* unit = ArriveUnit();
    sim::PnpNode* child = unit->children.at(0);
    NTSTATUS opened = STATUS_UNSUCCESSFUL;
    host::files::File* file = host::files::Open(pnptest::ChildName(child->pdo), KernelMode, &opened);
    ASSERT_EQ(STATUS_SUCCESS, opened);
    pnptest::ClearLog();

    EXPECT_FALSE(pnp_->Unplug(unit));
    EXPECT_FALSE(pnp_->WaitRemoved(unit, host::Ms(500)));
    EXPECT_EQ((Lines{"cfdo SURPRISE", "pdo SURPRISE", "fdo SURPRISE"}), pnptest::Log());
    EXPECT_EQ(PnpState::SurpriseRemoved, unit->state.load());
    EXPECT_EQ(PnpState::SurpriseRemoved, child->state.load());

    EXPECT_EQ(STATUS_SUCCESS, host::files::Close(file));
    EXPECT_TRUE(pnp_->WaitRemoved(unit, host::Ms(500)));
    EXPECT_EQ((Lines{"cfdo SURPRISE", "pdo SURPRISE", "fdo SURPRISE", "cfdo REMOVE", "pdo REMOVE", "fdo REMOVE"}),
              pnptest::Log());
    EXPECT_EQ(PnpState::Removed, child->state.load());
    EXPECT_TRUE(pnp_->Nodes().empty());
}

TEST_F(PnpManagerTest, TheManagersEndRemovesWhatIsLeftAndUnloadsTheDrivers) {
    ArriveUnit();
    ArriveUnit();
    pnptest::ClearLog();
    pnp_.reset();
    EXPECT_EQ(2u, Count("fdo REMOVE"));
    EXPECT_EQ(0u, Count("fdo QUERY_REMOVE"));  // nobody is asked
    EXPECT_EQ(2, pnptest::Unloads());
}
