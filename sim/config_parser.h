// The bus's own reading of a configuration descriptor set: every descriptor is checked against
// the bytes that are really there before a field is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim::bus {

struct EndpointInfo {
    uint8_t address;
    uint8_t attributes;
    uint16_t maxPacket;
    uint8_t interval;
};

struct InterfaceInfo {
    uint8_t number;
    uint8_t alternate;
    uint8_t interfaceClass;
    uint8_t subClass;
    uint8_t protocol;
    std::vector<EndpointInfo> endpoints;
};

struct ConfigInfo {
    uint8_t value = 0;
    uint8_t interfaceCount = 0;  // bNumInterfaces
    std::vector<InterfaceInfo> interfaces;  // every alternate setting
};

// Reads the first min(wTotalLength, size) bytes. False when the header is not a
// configuration descriptor, a descriptor runs past the end, or an interface has fewer
// endpoint descriptors than it declares.
bool ParseConfiguration(const uint8_t* bytes, size_t size, ConfigInfo* out);
const InterfaceInfo* FindInterface(const ConfigInfo& config, uint8_t number, uint8_t alternate);
// The declared wTotalLength, or 0 when fewer than 4 bytes are there.
size_t TotalLength(const uint8_t* bytes, size_t size);

}  // namespace sim::bus
