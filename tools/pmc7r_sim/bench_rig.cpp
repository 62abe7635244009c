#include "tools/pmc7r_sim/bench_rig.h"

#include <algorithm>
#include <cmath>

#include "driver/public/driver_entry.h"

namespace simtool::bench {

Rig::Rig() : bus_(std::make_unique<sim::UsbBus>()) {
    pnp_ = std::make_unique<sim::PnpManager>(*bus_);
    loaded_ = pnp_->LoadDriver(u"pmc7r", DriverEntry, {u"USB\\VID_0C5B&PID_002A", u"USB\\VID_0C5B&PID_002B"}) != nullptr;
    if (loaded_) loaded_ = client_.Load(*pnp_) != nullptr;
}

Rig::~Rig() { pnp_.reset(); }

RigUnit& Rig::Attach(uint8_t id) {
    auto unit = std::make_unique<RigUnit>();
    unit->id = id;
    sim::UnitOptions options;
    options.deviceId = id;
    unit->model = std::make_shared<sim::Pmc7rUnit>(options);
    unit->pdo = bus_->Plug(unit->model);
    units_.push_back(std::move(unit));
    return *units_.back();
}

void Rig::Arrive(RigUnit& unit) { unit.node = pnp_->Arrive(unit.pdo); }

NTSTATUS Rig::OpenAll() {
    NTSTATUS status = client_.OpenAll();
    host::Advance(host::Ms(20));
    client_.TakeReads();
    client_.TakeTimedReads();
    for (uint32_t id = 0; id < 8; ++id) client_.TakeMessages(id), client_.TakeReceived(id);
    return status;
}

std::vector<PDEVICE_OBJECT> Rig::Stacks() const {
    std::vector<PDEVICE_OBJECT> stacks;
    for (sim::PnpNode* node : pnp_->Nodes()) stacks.push_back(node->pdo);
    return stacks;
}

RigUnit* Rig::Unit(uint8_t id) {
    for (auto& unit : units_)
        if (unit->id == id) return unit.get();
    return nullptr;
}

std::vector<uint8_t> PacketInput(const std::vector<uint8_t>& packet) {
    if (packet.size() >= 3 && packet[0] == 0xFE && packet[1] == 0x01) return {};
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < packet.size(); ++i) {
        if (i > 0 && packet[i] == 0xFF) break;
        bytes.push_back(packet[i]);
    }
    return bytes;
}

double Percentile(std::vector<double> samples, double percent) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    size_t rank = size_t(std::ceil(percent / 100.0 * double(samples.size())));
    return samples[std::clamp<size_t>(rank, 1, samples.size()) - 1];
}

double Max(const std::vector<double>& samples) {
    return samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
}

}  // namespace simtool::bench
