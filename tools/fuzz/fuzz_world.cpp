#include "tools/fuzz/fuzz_world.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "driver/public/driver_entry.h"

namespace fuzz {
namespace {

// PMC7R_FUZZ_ECHO=1 shows the driver's debug output, to see what an input does.
bool echo = false;

}  // namespace

std::vector<uint8_t> Bytes::Take(size_t n) {
    n = std::min(n, Left());
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
}

Machine::Machine(const std::vector<sim::ServiceDword>& service) : session_("fuzz") {
    host::debug::Echo(echo);
    bus_ = std::make_unique<sim::UsbBus>();
    client_ = std::make_unique<sim::MidiClient>();
    pnp_ = std::make_unique<sim::PnpManager>(*bus_);
    if (!pnp_->LoadDriver(u"pmc7r", DriverEntry, {u"USB\\VID_0C5B&PID_002A", u"USB\\VID_0C5B&PID_002B"},
                          service)) {
        std::fprintf(stderr, "fuzz: the driver did not load\n");
        std::abort();
    }
    client_->Load(*pnp_);
}

Machine::~Machine() {
    pnp_.reset();  // removes what is left and unloads the drivers
    bus_.reset();
    client_.reset();
    std::string leaks = session_.Finish();
    if (!leaks.empty()) {
        std::fprintf(stderr, "fuzz: the run left something behind:\n%s", leaks.c_str());
        std::abort();
    }
}

sim::PnpNode* Machine::Plug(std::shared_ptr<sim::DeviceModel> model, int64_t bulkMode) {
    PDEVICE_OBJECT pdo = bus_->Plug(std::move(model));
    if (!pdo) return nullptr;
    if (bulkMode >= 0) host::registry::SetDword(bus_->DriverKey(pdo), u"UsbBulkMode", uint32_t(bulkMode));
    sim::PnpNode* node = pnp_->Arrive(pdo);
    Note("plugged: %s%s", NodeText(node), node && !node->children.empty() ? ", with a child" : "");
    return node;
}

sim::PnpNode* Machine::PlugUnit(uint8_t id, std::shared_ptr<sim::Pmc7rUnit>* model) {
    sim::UnitOptions options;
    options.deviceId = id;
    auto unit = std::make_shared<sim::Pmc7rUnit>(options);
    if (model) *model = unit;
    return Plug(unit);
}

void Machine::Unplug(sim::PnpNode* node) {
    if (node) pnp_->Unplug(node);
}

void Note(const char* format, ...) {
    if (!echo) return;
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "fuzz %9.3f ms: ", double(host::Now()) / 10000.0);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

const char* NodeText(const sim::PnpNode* node) {
    static char text[64];
    if (!node) return "none";
    if (node->Started()) return "started";
    std::snprintf(text, sizeof text, "problem %u (0x%08X)", unsigned(node->problem.load()), unsigned(node->problemStatus));
    return text;
}

void Initialize() { echo = std::getenv("PMC7R_FUZZ_ECHO") != nullptr; }

}  // namespace fuzz
