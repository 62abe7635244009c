// The messages the driver builds for a unit and the replies it reads.
#include <string>

#include "unit/unit.h"
#include "unit_world.h"

namespace {

std::vector<uint8_t> Build(LONG position, const char* format, ...) {
    UCHAR message[DISPLAY_MESSAGE_SIZE + 16];
    memset(message, 0xAA, sizeof(message));
    va_list args;
    va_start(args, format);
    ULONG length = BuildDisplayText(message, position, format, args);
    va_end(args);
    EXPECT_EQ(0xAA, message[DISPLAY_MESSAGE_SIZE]) << "wrote past the message buffer";
    return std::vector<uint8_t>(message, message + length);
}

std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 3) out.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(DisplayTextTest, MessagesAsTheUnitReadsThem) {
    EXPECT_EQ(Hex("F0 00 01 75 2A 7F 44 70 00 40 56 65 72 73 69 6F 6E 20 32 32 34 F7"),
              Build(64, "Version %d", 224));
    std::vector<uint8_t> init = Build(0, "\rInitializing USB Connection...");
    EXPECT_EQ(42u, init.size());
    EXPECT_EQ(0x0D, init[10]);
    EXPECT_EQ(0xF7, init.back());
    EXPECT_EQ(Hex("F0 00 01 75 2A 7F 44 70 00 00 F7"), Build(0, ""));
    const std::pair<LONG, std::pair<uint8_t, uint8_t>> positions[] = {
        {256, {0x01, 0x00}}, {300, {0x01, 0x2C}}, {128, {0x00, 0x00}}, {-5, {0x00, 0x7B}}, {64, {0x00, 0x40}}};
    for (auto [position, bytes] : positions) {
        std::vector<uint8_t> m = Build(position, "x");
        EXPECT_EQ(bytes.first, m[8]) << position;
        EXPECT_EQ(bytes.second, m[9]) << position;
    }
}

TEST(DisplayTextTest, ATextTooLongForTheMessageIsCutAndStaysWellFormed) {
    std::string longText(400, 'A');
    for (size_t n : {size_t(288), size_t(289), size_t(290), size_t(400)}) {
        std::vector<uint8_t> m = Build(0, "%s", longText.substr(0, n).c_str());
        EXPECT_EQ(std::min<size_t>(n, 289) + 11, m.size()) << n;
        EXPECT_EQ(0xF7, m.back()) << n;
        EXPECT_EQ('A', m[m.size() - 2]) << n;
    }
}

TEST(UnitRepliesTest, FirmwareVersionAndDeviceId) {
    const std::pair<const char*, ULONG> versions[] = {
        {"2.24", 224}, {"0.99", 199}, {"A.B7", 107}, {"9.99", 999}, {"1.0\x80", 100}};
    for (auto [text, expected] : versions) {
        UCHAR reply[17] = {0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x00, 0x01, 0x75, 0x2A, 0x00, 0x01, 0x00};
        memcpy(reply + 12, text, 4);
        reply[16] = 0xF7;
        EXPECT_EQ(expected, FirmwareVersionFromReply(reply)) << text;
    }
    UCHAR id[12] = {0xF0, 0, 1, 0x75, 0x2A, 0x7F, 0x52, 2, 1, 0, 0x05, 0xF7};
    EXPECT_EQ(5u, DeviceIdFromReply(id));
    id[10] = 0x7F;
    EXPECT_EQ(127u, DeviceIdFromReply(id));
}

using UnitModeTest = UnitStackTest;

TEST_F(UnitModeTest, ModeOneAsksTwiceAndTurnsStatusReportsOn) {
    Unit& u = Plug();
    ASSERT_EQ(STATUS_SUCCESS, Start(u));
    SetUnitMode(Fdo(u), 3);
    EXPECT_EQ(0u, Fdo(u)->UnitMode);
    SetUnitMode(Fdo(u), UNIT_MODE_IDLE);
    EXPECT_EQ(ULONG(UNIT_MODE_IDLE), Fdo(u)->UnitMode);
    EXPECT_TRUE(OutTransfers(u).empty());
    EXPECT_EQ(0u, Fdo(u)->Flags & UNIT_BUSY_REPORTS);

    SetUnitMode(Fdo(u), UNIT_MODE_ACTIVE);
    EXPECT_EQ(ULONG(UNIT_MODE_ACTIVE), Fdo(u)->UnitMode);
    EXPECT_NE(0u, Fdo(u)->Flags & UNIT_BUSY_REPORTS);
    auto out = OutTransfers(u);
    ASSERT_EQ(2u, out.size());
    for (const auto& packet : out) {
        EXPECT_EQ(Hex("F0 7E 7F 06 01 F7"), std::vector<uint8_t>(packet.begin(), packet.begin() + 6));
        EXPECT_EQ(0xFF, packet[6]);
    }
    SetUnitMode(Fdo(u), UNIT_MODE_IDLE);  // leaves the reports on
    EXPECT_NE(0u, Fdo(u)->Flags & UNIT_BUSY_REPORTS);
}

}  // namespace
