#include "sim/config_parser.h"

#include <algorithm>

namespace sim::bus {
namespace {

constexpr uint8_t kConfigurationType = 2;
constexpr uint8_t kInterfaceType = 4;
constexpr uint8_t kEndpointType = 5;

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

}  // namespace

size_t TotalLength(const uint8_t* bytes, size_t size) { return size < 4 ? 0 : Read16(bytes + 2); }

bool ParseConfiguration(const uint8_t* bytes, size_t size, ConfigInfo* out) {
    *out = ConfigInfo{};
    if (!bytes || size < 9 || bytes[0] < 9 || bytes[1] != kConfigurationType) return false;
    size_t end = std::min(size, TotalLength(bytes, size));
    if (end < 9) return false;
    out->interfaceCount = bytes[4];
    out->value = bytes[5];
    std::vector<uint8_t> declared;
    for (size_t at = bytes[0]; at < end;) {
        if (end - at < 2) return false;
        size_t length = bytes[at];
        if (length < 2 || length > end - at) return false;
        const uint8_t* d = bytes + at;
        if (d[1] == kInterfaceType) {
            if (length < 9) return false;
            out->interfaces.push_back({d[2], d[3], d[5], d[6], d[7], {}});
            declared.push_back(d[4]);
        } else if (d[1] == kEndpointType && !out->interfaces.empty()) {
            if (length < 7) return false;
            out->interfaces.back().endpoints.push_back({d[2], d[3], Read16(d + 4), d[6]});
        }
        at += length;
    }
    for (size_t i = 0; i < declared.size(); ++i)
        if (out->interfaces[i].endpoints.size() < declared[i]) return false;
    // Endpoint descriptors beyond the declared count belong to no pipe.
    for (size_t i = 0; i < declared.size(); ++i) out->interfaces[i].endpoints.resize(declared[i]);
    return true;
}

const InterfaceInfo* FindInterface(const ConfigInfo& config, uint8_t number, uint8_t alternate) {
    for (const InterfaceInfo& i : config.interfaces)
        if (i.number == number && i.alternate == alternate) return &i;
    return nullptr;
}

}  // namespace sim::bus
