// The capture of a real simulated bus's log: selection, transfers both ways, a read ended by
// pulling the unit out.
#include <gtest/gtest.h>

#include "sim/usb_bus_fixture.h"
#include "tools/pmc7r_sim/pcap_writer.h"

namespace {

class PcapOfBus : public UsbBusTest {};

struct Seen {
    char type;
    capture::TransferType transfer;
    uint8_t endpoint;
    int32_t status;
    uint32_t length;
    size_t data;
    bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Seen& s) {
    return out << s.type << " type " << int(s.transfer) << " ep " << std::hex << int(s.endpoint) << std::dec
               << " status " << s.status << " length " << s.length << " data " << s.data;
}

TEST_F(PcapOfBus, InterruptTransfersAndAPulledOutUnitAppearAsTheBusServedThem) {
    ASSERT_EQ(STATUS_SUCCESS, Configure(1));
    std::vector<uint8_t> out(64, 0xFF);
    out[0] = 0x90;
    URB write;
    Transfer(&write, OutPipe(), false, out.data(), ULONG(out.size()));
    ASSERT_EQ(STATUS_SUCCESS, Send(&write).status);

    device_->Push(0x81, {0x90, 0x3C, 0x7F});
    std::vector<uint8_t> in(64);
    URB first, second;
    Transfer(&first, InPipe(), true, in.data(), ULONG(in.size()));
    ASSERT_EQ(STATUS_SUCCESS, Send(&first).status);
    Transfer(&second, InPipe(), true, in.data(), ULONG(in.size()));
    auto pending = Submit(&second);
    bus_->Unplug(pdo_);
    ASSERT_TRUE(Finished(pending));

    capture::PcapWriter writer;
    writer.DescribeDevice(pdo_, config_, 2, 1);
    std::vector<Seen> seen;
    for (const capture::UsbmonPacket& p : writer.Translate(bus_->Log()))
        seen.push_back({p.type, p.transfer, p.endpoint, p.status, p.length, p.data.size()});
    using T = capture::TransferType;
    const std::vector<Seen> expected = {
        {'S', T::Control, 0x00, -115, 0, 0},   {'C', T::Control, 0x00, 0, 0, 0},
        {'S', T::Interrupt, 0x02, -115, 64, 64}, {'C', T::Interrupt, 0x02, 0, 64, 0},
        {'S', T::Interrupt, 0x81, -115, 64, 0},  {'C', T::Interrupt, 0x81, 0, 3, 3},
        {'S', T::Interrupt, 0x81, -115, 64, 0},  {'C', T::Interrupt, 0x81, -108, 0, 0},
    };
    EXPECT_EQ(seen, expected);
}

}  // namespace
