#include "sim/unit_replies.h"

namespace sim {
namespace {

int Digit(const std::string& s, size_t i) {
    return i < s.size() && s[i] >= '0' && s[i] <= '9' ? s[i] - '0' : 0;
}

}  // namespace

int FirmwareNumber(const std::string& firmware) {
    return Digit(firmware, 0) * 100 + Digit(firmware, 2) * 10 + Digit(firmware, 3);
}

std::vector<uint8_t> IdentityReply(const std::string& firmware) {
    std::vector<uint8_t> reply = {0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x00, 0x01, 0x75,
                                  0x2A, 0x00,   // family
                                  0x01, 0x00};  // member
    for (size_t i = 0; i < 4; ++i) reply.push_back(i < firmware.size() ? static_cast<uint8_t>(firmware[i]) : ' ');
    reply.push_back(0xF7);
    return reply;
}

std::vector<uint8_t> DeviceIdReply(uint8_t deviceId) {
    return {0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F, 0x52, 0x02, 0x01, 0x00, deviceId, 0xF7};
}

std::vector<uint8_t> Shaped(std::vector<uint8_t> reply, ReplyShape shape) {
    switch (shape) {
    case ReplyShape::Normal:
        break;
    case ReplyShape::Truncated:
        reply.resize(reply.size() - 2);
        break;
    case ReplyShape::Overlong:
        reply.insert(reply.end() - 1, 0x00);
        break;
    case ReplyShape::RealTimeInside:
        reply.insert(reply.begin() + 5, 0xF8);
        break;
    }
    return reply;
}

}  // namespace sim
