// The driver's side of the unit protocol against the simulated unit's firmware: the
// handshake's messages and replies, the display, input, and the busy hold-back.
#include "core/unit_table.h"
#include "sim/pmc7r_unit.h"
#include "unit/unit.h"
#include "unit_world.h"

namespace {

class UnitProtocolTest : public UnitStackTest {
protected:
    // A unit opened as a client open would: reads running, mode 1.
    Unit& Open(sim::UnitOptions options) {
        unit_ = std::make_shared<sim::Pmc7rUnit>(options);
        Unit& u = PlugAndStart(unit_);
        StartReads(u);
        SetUnitMode(Fdo(u), UNIT_MODE_ACTIVE);
        host::Advance(host::Ms(10));  // the replies to the mode switch's requests arrive
        return u;
    }
    ULONG Exchange(Unit& u, const UCHAR* message, ULONG length) {
        reply_.assign(1024, 0);
        return ExchangeMessage(u.fdo, message, length, reply_.data(), 1024, 0);
    }

    std::shared_ptr<sim::Pmc7rUnit> unit_;
    std::vector<uint8_t> reply_;
};

TEST_F(UnitProtocolTest, TheHandshakeMessagesAndReplies) {
    sim::UnitOptions options;
    options.deviceId = 3;
    Unit& u = Open(options);
    BulkWrite(u.fdo, DisplaySetupMessage, DISPLAY_SETUP_LENGTH);
    SendDisplayText(u.fdo, 0, "\rInitializing USB Connection...");
    EXPECT_EQ("Initializing USB Connection...", unit_->DisplayLine(0));

    ASSERT_EQ(ULONG(IDENTITY_REPLY_LENGTH), Exchange(u, IdentityRequest, IDENTITY_REQUEST_LENGTH));
    ULONG version = FirmwareVersionFromReply(reply_.data());
    EXPECT_EQ(224u, version);
    SendDisplayText(u.fdo, 64, "Version %d", version);
    EXPECT_EQ("Version 224", unit_->DisplayLine(1));

    ASSERT_EQ(ULONG(DEVICE_ID_REPLY_LENGTH), Exchange(u, DeviceIdQuery, DEVICE_ID_QUERY_LENGTH));
    EXPECT_EQ(3u, DeviceIdFromReply(reply_.data()));
    SendDisplayText(u.fdo, 0, "\rFirmware V%d.%02d, ID %d [SLAVE]", version / 100, version % 100, 3);
    EXPECT_EQ("Firmware V2.24, ID 3 [SLAVE]", unit_->DisplayLine(0));
    EXPECT_EQ("Version 224", unit_->DisplayLine(1));

    SendDisplayText(u.fdo, 0, "Device ID %d already used!\nSelect different ID and reconnect", 3);
    // Without a carriage return the text overwrites the line from its start.
    EXPECT_EQ("Device ID 3 already used!", unit_->DisplayLine(0).substr(0, 25));
    EXPECT_EQ("Select different ID and reconnect", unit_->DisplayLine(1));
    EXPECT_EQ(0u, unit_->ProtocolErrors());
    EXPECT_TRUE(unit_->MidiOut().empty());  // the unit consumed all of it
}

// What matters to the handshake is the length: only 17 and 12 are answers.
TEST_F(UnitProtocolTest, RepliesTheHandshakeMustNotTrust) {
    struct Case {
        const char* what;
        std::string firmware;
        bool silent;
        sim::ReplyShape shape;
        bool identityAnswered, deviceIdAnswered;
    };
    const Case cases[] = {
        {"old firmware has no device-ID reply", "2.23", false, sim::ReplyShape::Normal, true, false},
        {"a silent unit", "2.24", true, sim::ReplyShape::Normal, false, false},
        {"truncated replies", "2.24", false, sim::ReplyShape::Truncated, false, false},
        {"overlong replies", "2.24", false, sim::ReplyShape::Overlong, false, false},
        {"a timing clock inside", "2.24", false, sim::ReplyShape::RealTimeInside, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::UnitOptions options;
        options.firmware = c.firmware;
        options.silent = c.silent;
        options.replyShape = c.shape;
        Unit& u = Open(options);
        EXPECT_EQ(c.identityAnswered, Exchange(u, IdentityRequest, IDENTITY_REQUEST_LENGTH) == IDENTITY_REPLY_LENGTH);
        ULONG idLength = Exchange(u, DeviceIdQuery, DEVICE_ID_QUERY_LENGTH);
        EXPECT_EQ(c.deviceIdAnswered, idLength == DEVICE_ID_REPLY_LENGTH);
        if (c.silent) EXPECT_EQ(0u, idLength);
        EXPECT_EQ(nullptr, Fdo(u)->PendingExchange);
        ReleaseAll();
    }
}

TEST_F(UnitProtocolTest, InputFromTheUnitLandsInTheRing) {
    Unit& u = Open({});
    ULONG before = Fdo(u)->InputWriteIndex;
    unit_->Send({0xB0, 0x07, 0x64, 0x90, 0x3C, 0x64});
    host::Advance(host::Ms(3));
    EXPECT_EQ((std::vector<uint8_t>{0xB0, 0x07, 0x64, 0x90, 0x3C, 0x64}), RingFrom(u, before));
}

TEST_F(UnitProtocolTest, AFullUnitHoldsTheWriterBackAndNothingIsLost) {
    sim::UnitOptions options;
    options.midiOutCapacity = 512;
    options.busyHeadroom = 256;
    Unit& u = Open(options);
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 1000; ++i) bytes.push_back(uint8_t(i % 3 == 0 ? 0x90 : i & 0x7F));
    int64_t t = host::Now();
    ASSERT_EQ(STATUS_SUCCESS, BulkWrite(u.fdo, bytes.data(), ULONG(bytes.size())));
    EXPECT_GT(host::Now() - t, host::Ms(200));  // the wire takes 320 us a byte
    host::WaitUntil([&] { return unit_->BufferedBytes() == 0; }, host::Ms(2000));
    EXPECT_EQ(0u, unit_->OverflowBytes());
    EXPECT_EQ(bytes, unit_->MidiOut());
}

}  // namespace
