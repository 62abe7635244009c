#include <functional>

#include "sim/pnp_fixture.h"

// Each bad answer is reported under its rule; the manager carries on and frees what it took.
TEST_F(PnpManagerTest, BadAnswersAreReported) {
    struct Case {
        const char* rule;
        std::function<void(pnptest::Behaviour&)> misbehave;
    } cases[] = {
        {"PnP ID or text not from paged pool", [](pnptest::Behaviour& b) { b.childIdPool = NonPagedPool; }},
        {"PnP ID not well formed", [](pnptest::Behaviour& b) { b.childIdsOneZero = true; }},
        {"device relations entry not referenced", [](pnptest::Behaviour& b) { b.referenceRelations = false; }},
        {"device still initializing after AddDevice", [](pnptest::Behaviour& b) { b.childStaysInitializing = true; }},
        {"PnP answer not from pool", [](pnptest::Behaviour& b) { b.childTextUnpooled = true; }},
        {"device text not NUL-terminated", [](pnptest::Behaviour& b) { b.childTextUnterminated = true; }},
        {"device relations not from pool", [](pnptest::Behaviour& b) { b.relationsUnpooled = true; }},
        {"device relations larger than their buffer", [](pnptest::Behaviour& b) { b.relationsOvercount = true; }},
        {"device relations entry is not a live device", [](pnptest::Behaviour& b) { b.relationsNullEntry = true; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        pnptest::Config() = {};
        c.misbehave(pnptest::Config());
        host::verifier::Record(true);
        sim::PnpNode* unit = ArriveUnit();
        EXPECT_TRUE(host::verifier::Fired(c.rule));
        host::verifier::Record(false);
        EXPECT_EQ(1u, unit->children.size());
        pnptest::Config() = {};
        EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(unit));
    }
}

TEST_F(PnpManagerTest, WellFormedAnswersAreNotReported) {
    host::verifier::Record(true);
    sim::PnpNode* unit = ArriveUnit();
    EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(unit));
    EXPECT_TRUE(host::verifier::Take().empty());
    host::verifier::Record(false);
}
