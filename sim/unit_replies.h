// The replies a PMC-7R unit sends, and the ways a faulty unit gets them wrong.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/pmc7r_unit.h"

namespace sim {

// "2.24" -> 224; a character that is not a digit counts as 0.
int FirmwareNumber(const std::string& firmware);
std::vector<uint8_t> IdentityReply(const std::string& firmware);
std::vector<uint8_t> DeviceIdReply(uint8_t deviceId);
std::vector<uint8_t> Shaped(std::vector<uint8_t> reply, ReplyShape shape);

}  // namespace sim
