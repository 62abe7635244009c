// The descriptor set a PMC-7R unit reports.
#pragma once

#include <cstdint>

#include "sim/device_model.h"

namespace sim {

inline constexpr uint16_t kPmc7rVendor = 0x0C5B;
inline constexpr uint8_t kPmc7rInEndpoint = 0x81;
inline constexpr uint8_t kPmc7rOutEndpoint = 0x02;

// Vendor 0x0C5B, the given product, one configuration (value 1) with three interfaces:
// 0 and 1 without endpoints, 2 with alternate 0 (bulk IN 0x81, bulk OUT 0x02) and
// alternate 1 (interrupt IN 0x81, interrupt OUT 0x02, interval 1), each endpoint of
// `packet` bytes. wTotalLength is exact.
Descriptors Pmc7rDescriptors(uint16_t product = 0x002A, uint16_t packet = 64);

}  // namespace sim
