#include <memory>

#include "driver/public/driver_entry.h"
#include "sim/app_model.h"
#include "sim/kernel_client.h"
#include "sim/midi_client.h"
#include "sim/pmc7r_unit.h"
#include "support/platform_test.h"

using Bytes = std::vector<uint8_t>;
using Messages = std::vector<sim::MidiMessage>;

namespace sim {
void PrintTo(const TaggedRead& read, std::ostream* os) { *os << read.id << ":" << ::testing::PrintToString(read.bytes); }
void PrintTo(const ListedUnit& unit, std::ostream* os) { *os << unit.id << ":" << unit.firmware; }
}  // namespace sim

TEST(MidiClientParserTest, SplitsStreamsIntoMessages) {
    struct Case {
        const char* name;
        Bytes stream;
        Messages messages;
        size_t dropped;
    } cases[] = {
        {"note on, then running status", {0x90, 0x3C, 0x64, 0x3E, 0x00}, {{0x90, 0x3C, 0x64}, {0x90, 0x3E, 0x00}}, 0},
        {"one data byte kinds", {0xC0, 0x05, 0x06, 0xD1, 0x10}, {{0xC0, 0x05}, {0xC0, 0x06}, {0xD1, 0x10}}, 0},
        {"pitch bend and control change", {0xE0, 0x00, 0x40, 0xB3, 0x07, 0x7F}, {{0xE0, 0x00, 0x40}, {0xB3, 0x07, 0x7F}}, 0},
        {"real time inside a message", {0x90, 0xF8, 0x3C, 0xFE, 0x64}, {{0xF8}, {0xFE}, {0x90, 0x3C, 0x64}}, 0},
        {"real time inside SysEx", {0xF0, 0x7E, 0xF8, 0x7F, 0xF7}, {{0xF8}, {0xF0, 0x7E, 0x7F, 0xF7}}, 0},
        {"SysEx ends running status", {0x90, 0x3C, 0x64, 0xF0, 0x01, 0xF7, 0x3C, 0x64},
         {{0x90, 0x3C, 0x64}, {0xF0, 0x01, 0xF7}}, 2},
        {"system common ends running status", {0x90, 0x3C, 0x64, 0xF3, 0x01, 0x3C}, {{0x90, 0x3C, 0x64}, {0xF3, 0x01}}, 1},
        {"song position and tune request", {0xF2, 0x10, 0x20, 0xF6}, {{0xF2, 0x10, 0x20}, {0xF6}}, 0},
        {"data before any status", {0x3C, 0x64, 0x80, 0x3C, 0x40}, {{0x80, 0x3C, 0x40}}, 2},
        {"a status cuts a message short", {0x90, 0x3C, 0xB0, 0x07, 0x7F}, {{0xB0, 0x07, 0x7F}}, 2},
        {"a status cuts SysEx short", {0xF0, 0x01, 0x02, 0x90, 0x3C, 0x64}, {{0xF0, 0x01, 0x02}, {0x90, 0x3C, 0x64}}, 0},
        {"an end without a start", {0xF7, 0x3C}, {}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::MidiClientParser parser;
        parser.Feed(c.stream);
        EXPECT_EQ(c.messages, parser.Messages());
        EXPECT_EQ(c.dropped, parser.Dropped());
    }
}

TEST(MidiClientParserTest, MessagesContinueAcrossFeedsAndTakesEmpty) {
    sim::MidiClientParser parser;
    parser.Feed(Bytes{0x90, 0x3C});
    EXPECT_TRUE(parser.Messages().empty());
    parser.Feed(Bytes{0x64, 0x3E});
    EXPECT_EQ((Messages{{0x90, 0x3C, 0x64}}), parser.TakeMessages());
    parser.Feed(Bytes{0x00});
    EXPECT_EQ((Messages{{0x90, 0x3E, 0x00}}), parser.Messages());
}

// The pmc7r driver and the MIDI client on the simulated bus, with units 0 (the master) and 2.
class MidiClientModelTest : public PlatformTest {
protected:
    void SetUp() override {
        bus_ = std::make_unique<sim::UsbBus>();
        pnp_ = std::make_unique<sim::PnpManager>(*bus_);
        client_ = std::make_unique<sim::MidiClient>();
        ASSERT_NE(nullptr, pnp_->LoadDriver(u"pmc7r", DriverEntry, {u"USB\\VID_0C5B&PID_002A", u"USB\\VID_0C5B&PID_002B"}));
        ASSERT_NE(nullptr, client_->Load(*pnp_));
    }
    void TearDown() override {
        pnp_.reset();
        client_.reset();
        bus_.reset();
        PlatformTest::TearDown();
    }

    std::shared_ptr<sim::Pmc7rUnit> ArriveUnit(uint8_t id, sim::PnpNode** node = nullptr) {
        sim::UnitOptions options;
        options.deviceId = id;
        options.product = id == 0 ? 0x002A : 0x002B;
        auto unit = std::make_shared<sim::Pmc7rUnit>(options);
        sim::PnpNode* arrived = pnp_->Arrive(bus_->Plug(unit));
        EXPECT_TRUE(arrived->Started());
        if (node) *node = arrived;
        return unit;
    }
    void ArriveBoth() {
        master_ = ArriveUnit(0, &masterNode_);
        slave_ = ArriveUnit(2, &slaveNode_);
        ASSERT_TRUE(client_->Attached());
    }
    // What reaches the unit's MIDI out from now on, once there are count bytes.
    static Bytes AwaitMidiOut(sim::Pmc7rUnit& unit, size_t count) {
        Bytes out;
        host::WaitUntil([&] {
            Bytes more = unit.TakeMidiOut();
            out.insert(out.end(), more.begin(), more.end());
            return out.size() >= count;
        }, host::Ms(2000), "MIDI out");
        return out;
    }
    // Opening a unit asks for its identity; the replies reach the client's stream too.
    void OpenAllAndSettle() {
        ASSERT_EQ(STATUS_SUCCESS, client_->OpenAll());
        host::Advance(host::Ms(100));
        client_->TakeReads();
        for (uint32_t id : {0u, 2u}) {
            client_->TakeReceived(id);
            client_->TakeMessages(id);
        }
        master_->TakeMidiOut();
        slave_->TakeMidiOut();
    }

    std::unique_ptr<sim::UsbBus> bus_;
    std::unique_ptr<sim::PnpManager> pnp_;
    std::unique_ptr<sim::MidiClient> client_;
    std::shared_ptr<sim::Pmc7rUnit> master_, slave_;
    sim::PnpNode* masterNode_ = nullptr;
    sim::PnpNode* slaveNode_ = nullptr;
};

TEST_F(MidiClientModelTest, AttachesOnTheMastersChildOnly) {
    ArriveUnit(2);
    EXPECT_FALSE(client_->Attached());
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, client_->OpenAll());
    sim::PnpNode* master = nullptr;
    ArriveUnit(0, &master);
    ASSERT_TRUE(client_->Attached());
    ASSERT_EQ(1u, master->children.size());
    EXPECT_EQ(client_->Device(), master->children[0]->Top());
    EXPECT_EQ(client_->Device()->DriverObject, master->children[0]->driver);
}

TEST_F(MidiClientModelTest, ListsWritesAndReadsEveryUnitByDeviceId) {
    ArriveBoth();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ((std::vector<sim::ListedUnit>{{0, 224}, {2, 224}}), client_->List(&status));
    EXPECT_EQ(STATUS_SUCCESS, status);

    OpenAllAndSettle();
    EXPECT_TRUE(client_->Reading());
    EXPECT_EQ(STATUS_SUCCESS, client_->Write(2, {0x90, 0x3C, 0x64}));
    EXPECT_EQ(STATUS_SUCCESS, client_->WriteMaster({0xB0, 0x07, 0x7F}));
    EXPECT_EQ((Bytes{0x90, 0x3C, 0x64}), AwaitMidiOut(*slave_, 3));
    EXPECT_EQ((Bytes{0xB0, 0x07, 0x7F}), AwaitMidiOut(*master_, 3));
    EXPECT_EQ(STATUS_SUCCESS, client_->Write(5, {0x90, 0x3C, 0x64}));  // no unit 5: dropped

    slave_->Send({0x90, 0x40, 0x7F});
    ASSERT_TRUE(client_->WaitReceived(2, 3, host::Ms(1000)));
    master_->Send({0xC0, 0x05});
    ASSERT_TRUE(client_->WaitReceived(0, 2, host::Ms(1000)));
    slave_->Send({0x40, 0x00});
    ASSERT_TRUE(client_->WaitReceived(2, 5, host::Ms(1000)));
    EXPECT_EQ((std::vector<sim::TaggedRead>{{2, {0x90, 0x40, 0x7F}}, {0, {0xC0, 0x05}}, {2, {0x40, 0x00}}}),
              client_->Reads());
    EXPECT_EQ((Messages{{0x90, 0x40, 0x7F}, {0x90, 0x40, 0x00}}), client_->Messages(2));
    EXPECT_EQ((Messages{{0xC0, 0x05}}), client_->Messages(0));

    size_t asked = master_->IdentityRequests();
    EXPECT_EQ(STATUS_SUCCESS, client_->CloseAll());
    EXPECT_FALSE(client_->Reading());
    EXPECT_TRUE(client_->Errors().empty());
    EXPECT_EQ(asked, master_->IdentityRequests());  // the switch back to mode 2 asks nothing
    ASSERT_EQ(STATUS_SUCCESS, client_->OpenAll());  // and the next open switches to mode 1 again
    EXPECT_EQ(asked + 2, master_->IdentityRequests());
    EXPECT_EQ(STATUS_SUCCESS, client_->CloseAll());
}

TEST_F(MidiClientModelTest, SmallReadsSplitTheStreamButNotItsMessages) {
    ArriveBoth();
    client_->SetCapacity(2);
    OpenAllAndSettle();
    slave_->Send({0xF0, 0x43, 0x10, 0x4C, 0xF7, 0x90, 0x3C, 0x64});
    ASSERT_TRUE(client_->WaitReceived(2, 8, host::Ms(1000)));
    for (const sim::TaggedRead& read : client_->Reads()) EXPECT_LE(read.bytes.size(), 2u);
    EXPECT_EQ((Messages{{0xF0, 0x43, 0x10, 0x4C, 0xF7}, {0x90, 0x3C, 0x64}}), client_->TakeMessages(2));
    EXPECT_EQ((Bytes{0xF0, 0x43, 0x10, 0x4C, 0xF7, 0x90, 0x3C, 0x64}), client_->TakeReceived(2));
    EXPECT_TRUE(client_->Received(2).empty());
    EXPECT_EQ(STATUS_SUCCESS, client_->CloseAll());
}

TEST_F(MidiClientModelTest, TheMastersDepartureStopsTheReaderAndDetaches) {
    for (bool surprise : {false, true}) {
        SCOPED_TRACE(surprise ? "unplugged" : "removed");
        ArriveBoth();
        OpenAllAndSettle();
        ASSERT_TRUE(client_->Reading());
        if (surprise) {
            EXPECT_TRUE(pnp_->Unplug(masterNode_));
        } else {
            EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(masterNode_));
        }
        EXPECT_FALSE(client_->Attached());
        EXPECT_FALSE(client_->Reading());
        EXPECT_TRUE(client_->Errors().empty());
        EXPECT_EQ(STATUS_NO_SUCH_DEVICE, client_->Write(2, {0x90, 0x3C, 0x64}));
        EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(slaveNode_));
    }
}

TEST_F(MidiClientModelTest, AnApplicationReadsAndWritesOneUnitThroughItsHandle) {
    ArriveBoth();
    sim::Application app;
    ASSERT_EQ(STATUS_SUCCESS, app.Open(slaveNode_->pdo));
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, app.Open(slaveNode_->pdo));
    // The open asked the unit for its identity; whether this handle sees the replies
    // depends on when they came, so they are read away.
    host::Advance(host::Ms(100));
    ASSERT_TRUE(app.StartRead(256));
    app.Cancel();
    app.Wait();

    ASSERT_TRUE(app.StartRead(16));
    EXPECT_FALSE(app.StartRead(16));
    slave_->Send({0x90, 0x3C, 0x64});
    sim::Application::ReadResult read = app.Wait();
    EXPECT_EQ(STATUS_SUCCESS, read.status);
    EXPECT_EQ((Bytes{0x90, 0x3C, 0x64}), read.bytes);

    ASSERT_TRUE(app.StartRead(16));
    EXPECT_TRUE(app.Cancel());
    read = app.Wait();
    EXPECT_EQ(STATUS_CANCELLED, read.status);
    EXPECT_TRUE(read.bytes.empty());

    slave_->TakeMidiOut();
    ULONG_PTR written = 0;
    EXPECT_EQ(STATUS_SUCCESS, app.Write({0x80, 0x3C, 0x40}, &written));
    EXPECT_EQ(3u, written);
    EXPECT_EQ((Bytes{0x80, 0x3C, 0x40}), AwaitMidiOut(*slave_, 3));
    EXPECT_TRUE(master_->TakeMidiOut().empty());

    ASSERT_TRUE(app.StartRead(16));  // a read still parked is ended by the close
    EXPECT_EQ(STATUS_SUCCESS, app.Close());
    EXPECT_FALSE(app.IsOpen());
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, app.Open(client_->Device()));
}

TEST_F(MidiClientModelTest, AKernelClientWritesThroughTheDirectCallsAndSwitchesTheMode) {
    ArriveBoth();
    sim::KernelClient kernel;
    EXPECT_EQ(0u, kernel.DirectWrite({0x90}));
    ASSERT_EQ(STATUS_SUCCESS, kernel.Open(slaveNode_->pdo));
    ASSERT_EQ(STATUS_SUCCESS, kernel.GetDirectCalls());
    ASSERT_TRUE(kernel.HasDirectCalls());
    EXPECT_EQ(slaveNode_->Top(), kernel.Block().Context);
    EXPECT_EQ(0u, kernel.Block().Reserved);

    slave_->TakeMidiOut();
    EXPECT_EQ(3u, kernel.DirectWrite({0x90, 0x3C, 0x64}));
    EXPECT_EQ(2u, kernel.DirectWriteEx(7, {0xC0, 0x05}));
    EXPECT_EQ(0u, kernel.DirectWrite({}));
    EXPECT_EQ((Bytes{0x90, 0x3C, 0x64, 0xC0, 0x05}), AwaitMidiOut(*slave_, 5));

    // Mode 1 asks the unit for its identity twice; mode 2 asks nothing.
    size_t asked = slave_->IdentityRequests();
    EXPECT_EQ(STATUS_SUCCESS, kernel.DirectSetMode(5));
    EXPECT_EQ(asked, slave_->IdentityRequests());
    EXPECT_EQ(STATUS_SUCCESS, kernel.DirectSetMode(0));
    EXPECT_EQ(asked + 2, slave_->IdentityRequests());
    EXPECT_EQ(STATUS_SUCCESS, kernel.Close());
    EXPECT_FALSE(kernel.HasDirectCalls());
}
