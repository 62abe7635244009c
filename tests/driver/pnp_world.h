// Simulated units on the simulated bus, brought to life by the Plug and Play manager with the
// driver loaded for their hardware IDs, and a small client driver that attaches on the
// master's child, as the MIDI client driver will.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/core.h"
#include "sim/pmc7r_unit.h"
#include "sim/pnp_manager.h"
#include "sim/usb_bus.h"
#include "support/platform_test.h"

class UnitPnpTest : public PlatformTest {
protected:
    struct Unit {
        std::shared_ptr<sim::Pmc7rUnit> model;
        PDEVICE_OBJECT pdo = nullptr;
        sim::PnpNode* node = nullptr;
    };

    void SetUp() override;
    void TearDown() override;

    Unit& Plug(sim::UnitOptions options = {});
    static sim::UnitOptions Id(uint8_t id, const char* firmware = "2.24");
    static FDO_EXTENSION* Fdo(const Unit& u);
    // The child node of the master's stack, or none.
    sim::PnpNode* ChildNode(const Unit& master) const;
    // Is the stub client attached on this child device?
    static bool ClientAttached(PDEVICE_OBJECT child);

    std::unique_ptr<sim::UsbBus> bus_;
    std::unique_ptr<sim::PnpManager> pnp_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDRIVER_OBJECT client_ = nullptr;
    std::vector<std::unique_ptr<Unit>> units_;
};
