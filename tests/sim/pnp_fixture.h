// A simulated bus with the PnP manager on it, the test function driver loaded for the unit's
// hardware ID and the test child driver for its child's.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "sim/pmc7r_descriptors.h"
#include "sim/pnp_manager.h"
#include "sim/pnp_test_driver.h"
#include "sim/usb_bus.h"
#include "support/platform_test.h"

class PnpManagerTest : public PlatformTest {
protected:
    void SetUp() override {
        pnptest::Reset();
        bus_ = std::make_unique<sim::UsbBus>();
        pnp_ = std::make_unique<sim::PnpManager>(*bus_);
        function_ = pnp_->LoadDriver(u"pnptest", pnptest::FunctionEntry, {pnptest::kUnitId}, {{u"Interface", 2}});
        child_ = pnp_->LoadDriver(u"pnpchild", pnptest::ChildEntry, {pnptest::kChildId});
        ASSERT_NE(nullptr, function_);
        ASSERT_NE(nullptr, child_);
    }
    void TearDown() override {
        pnp_.reset();
        bus_.reset();
        PlatformTest::TearDown();
    }

    PDEVICE_OBJECT Plug(uint16_t product = 0x002A) {
        return bus_->Plug(std::make_shared<sim::RecordingDevice>(sim::Pmc7rDescriptors(product)));
    }
    sim::PnpNode* ArriveUnit(uint16_t product = 0x002A) { return pnp_->Arrive(Plug(product)); }

    // The log entries that start with prefix, in order.
    static std::vector<std::string> Seen(const std::string& prefix = "") {
        std::vector<std::string> out;
        for (const std::string& line : pnptest::Log())
            if (line.rfind(prefix, 0) == 0) out.push_back(line);
        return out;
    }
    // The log without identity and relations queries: the state changes only.
    static std::vector<std::string> Changes() {
        std::vector<std::string> out;
        for (const std::string& line : pnptest::Log()) {
            bool query = line.ends_with(" ID") || line.ends_with(" TEXT") || line.ends_with(" CAPABILITIES") ||
                         line.ends_with(" RELATIONS") || line.ends_with(" OTHER");
            if (!query) out.push_back(line);
        }
        return out;
    }
    static size_t Count(const std::string& line) {
        std::vector<std::string> log = pnptest::Log();
        return static_cast<size_t>(std::count(log.begin(), log.end(), line));
    }

    std::unique_ptr<sim::UsbBus> bus_;
    std::unique_ptr<sim::PnpManager> pnp_;
    PDRIVER_OBJECT function_ = nullptr;
    PDRIVER_OBJECT child_ = nullptr;
};
