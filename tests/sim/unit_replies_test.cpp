// What a unit answers: the identity reply with its firmware, the device-ID reply from 2.24 on,
// and the ways a faulty unit answers.
#include "sim/unit_fixture.h"

namespace {

Bytes Identity(Bytes revision) {
    return Cat({{0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x00, 0x01, 0x75, 0x2A, 0x00, 0x01, 0x00}, revision, {0xF7}});
}

TEST_F(SimUnitTest, IdentityReplyCarriesTheFirmwareText) {
    struct Case {
        const char* firmware;
        uint8_t device;  // the request's device byte
        Bytes revision;
    };
    const Case cases[] = {
        {"2.24", 0x7F, {0x32, 0x2E, 0x32, 0x34}},
        {"1.05", 0x7F, {0x31, 0x2E, 0x30, 0x35}},
        {"2.24", 0x00, {0x32, 0x2E, 0x32, 0x34}},
        {"2.24", 0x11, {0x32, 0x2E, 0x32, 0x34}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.firmware) + " device " + std::to_string(c.device));
        Make({.firmware = c.firmware});
        Write({0xF0, 0x7E, c.device, 0x06, 0x01, 0xF7});
        std::vector<Bytes> packets = Read();
        ASSERT_EQ(1u, packets.size());
        EXPECT_EQ(Filled(Identity(c.revision), 64), packets[0]);
        EXPECT_TRUE(unit_->MidiOut().empty());
    }
}

TEST_F(SimUnitTest, AReplySpansPacketsOfTheSelectedSize) {
    Make({.packet = 8});
    Write(kIdentityRequest);
    std::vector<Bytes> packets = Read();
    ASSERT_EQ(3u, packets.size());
    for (const Bytes& p : packets) EXPECT_EQ(8u, p.size());
    EXPECT_EQ(Identity({0x32, 0x2E, 0x32, 0x34}), Payload(packets));
}

TEST_F(SimUnitTest, DeviceIdReplyOnlyFromFirmware224) {
    struct Case {
        const char* firmware;
        uint8_t deviceId;
        bool answers;
    };
    const Case cases[] = {
        {"2.24", 0x05, true},
        {"3.01", 0xC8, true},  // an invalid ID goes out as it is
        {"2.23", 0x05, false},
        {"1.99", 0x05, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firmware);
        Make({.firmware = c.firmware, .deviceId = c.deviceId});
        Write(kDeviceIdQuery);
        Bytes reply = {0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F, 0x52, 0x02, 0x01, 0x00, c.deviceId, 0xF7};
        EXPECT_EQ(c.answers ? std::vector<Bytes>{Filled(reply, 64)} : std::vector<Bytes>{}, Read());
        // An older unit takes the query as a message it does not know.
        EXPECT_EQ(c.answers ? 0u : 1u, unit_->VendorMessages().size());
        EXPECT_TRUE(unit_->MidiOut().empty());
    }
}

TEST_F(SimUnitTest, MisshapenReplies) {
    struct Case {
        sim::ReplyShape shape;
        Bytes identity;
        Bytes deviceId;
    };
    const Case cases[] = {
        {sim::ReplyShape::Truncated,
         {0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x00, 0x01, 0x75, 0x2A, 0x00, 0x01, 0x00, 0x32, 0x2E, 0x32},
         {0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F, 0x52, 0x02, 0x01, 0x00}},
        {sim::ReplyShape::Overlong,
         {0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x00, 0x01, 0x75, 0x2A, 0x00, 0x01, 0x00, 0x32, 0x2E, 0x32, 0x34, 0x00, 0xF7},
         {0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F, 0x52, 0x02, 0x01, 0x00, 0x09, 0x00, 0xF7}},
        {sim::ReplyShape::RealTimeInside,
         {0xF0, 0x7E, 0x7F, 0x06, 0x02, 0xF8, 0x00, 0x01, 0x75, 0x2A, 0x00, 0x01, 0x00, 0x32, 0x2E, 0x32, 0x34, 0xF7},
         {0xF0, 0x00, 0x01, 0x75, 0x2A, 0xF8, 0x7F, 0x52, 0x02, 0x01, 0x00, 0x09, 0xF7}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.shape));
        Make({.deviceId = 9, .replyShape = c.shape});
        Write(kIdentityRequest);
        EXPECT_EQ(c.identity, Payload(Read()));
        Write(kDeviceIdQuery);
        EXPECT_EQ(c.deviceId, Payload(Read()));
    }
}

TEST_F(SimUnitTest, ASilentUnitAnswersNothingAndReportsNoStatus) {
    Make({.midiOutCapacity = 8, .silent = true});
    Write(Cat({kIdentityRequest, kDeviceIdQuery, Bytes(20, 0x40)}));
    EXPECT_TRUE(Read().empty());
    EXPECT_EQ(12u, unit_->OverflowBytes());
    // Its display still works.
    Write(DisplayText(0, "quiet"));
    EXPECT_EQ("quiet", unit_->DisplayLine(0));
}

TEST_F(SimUnitBusTest, ADelayedReplyStartsThatMuchLater) {
    Plug({.replyDelayMs = 30});
    auto reading = StartRead();
    int64_t asked = Write(kIdentityRequest);
    // Input from the controls meanwhile is not held back by the reply.
    host::Advance(host::Ms(10));
    unit_->Send({0xB0, 0x10, 0x41});
    ASSERT_TRUE(Finished(reading->sent));
    EXPECT_EQ(Filled({0xB0, 0x10, 0x41}, 64), reading->Data());
    reading = StartRead();
    ASSERT_TRUE(Finished(reading->sent, host::Ms(100)));
    EXPECT_EQ(asked + host::Ms(30), reading->sent->time);
    EXPECT_EQ(Filled(Identity({0x32, 0x2E, 0x32, 0x34}), 64), reading->Data());
}

}  // namespace
