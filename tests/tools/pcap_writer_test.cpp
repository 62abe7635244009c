#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim/pmc7r_descriptors.h"
#include "tools/pmc7r_sim/pcap_writer.h"

namespace {

using sim::UrbRecord;
constexpr auto S = UrbRecord::Event::Submitted;
constexpr auto C = UrbRecord::Event::Completed;

const PDEVICE_OBJECT kMaster = reinterpret_cast<PDEVICE_OBJECT>(uintptr_t(0x1000));
const PDEVICE_OBJECT kSlave = reinterpret_cast<PDEVICE_OBJECT>(uintptr_t(0x2000));

std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
    std::vector<uint8_t> bytes(n, 0xFF);
    for (size_t i = 0; i < n && i < 3; ++i) bytes[i] = uint8_t(first + i);
    return bytes;
}

UrbRecord Record(UrbRecord::Event event, int64_t ms, PDEVICE_OBJECT pdo, USHORT function, uint8_t endpoint,
                 bool in, ULONG length, NTSTATUS status = STATUS_SUCCESS, USBD_STATUS usbd = USBD_STATUS_SUCCESS,
                 std::vector<uint8_t> data = {}) {
    if (event == S) status = STATUS_PENDING;
    return {event, ms * 10000, pdo, function, endpoint, in, length, status, usbd, std::move(data)};
}

// A master's start and first transfers, a cancelled read, a slave that is pulled out and a
// descriptor read that stalls.
std::vector<UrbRecord> Log() {
    std::vector<uint8_t> device = Bytes(18, 0x12);
    device[1] = 1;
    return {
        Record(S, 1, kMaster, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0, true, 18),
        Record(C, 2, kMaster, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0, true, 18, STATUS_SUCCESS,
               USBD_STATUS_SUCCESS, device),
        Record(S, 3, kMaster, URB_FUNCTION_SELECT_CONFIGURATION, 0, false, 0),
        Record(C, 3, kMaster, URB_FUNCTION_SELECT_CONFIGURATION, 0, false, 0),
        Record(S, 4, kMaster, URB_FUNCTION_SELECT_INTERFACE, 0, false, 0),
        Record(C, 4, kMaster, URB_FUNCTION_SELECT_INTERFACE, 0, false, 0),
        Record(S, 5, kMaster, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x81, true, 64),
        Record(S, 5, kMaster, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x81, true, 64),
        Record(S, 6, kMaster, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x02, false, 64, 0, 0, Bytes(64, 0xF0)),
        Record(C, 7, kMaster, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x02, false, 64),
        Record(C, 8, kMaster, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x81, true, 3, STATUS_SUCCESS,
               USBD_STATUS_SUCCESS, {0x90, 0x3C, 0x7F}),
        Record(S, 9, kMaster, URB_FUNCTION_ABORT_PIPE, 0, false, 0),
        Record(C, 9, kMaster, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x81, true, 0, STATUS_CANCELLED,
               USBD_STATUS_CANCELED),
        Record(C, 9, kMaster, URB_FUNCTION_ABORT_PIPE, 0, false, 0),
        Record(S, 1500, kSlave, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x02, false, 8, 0, 0, Bytes(8, 0x80)),
        Record(C, 1501, kSlave, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x02, false, 0, STATUS_DEVICE_NOT_CONNECTED,
               USBD_STATUS_DEVICE_GONE),
        Record(S, 1502, kSlave, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0, true, 9),
        Record(C, 1502, kSlave, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0, true, 0, STATUS_UNSUCCESSFUL,
               USBD_STATUS_STALL_PID),
    };
}

capture::PcapWriter MasterDescribed() {
    capture::PcapWriter writer;
    writer.DescribeDevice(kMaster, sim::Pmc7rDescriptors(0x002A, 64).configuration, 2, 1);
    return writer;
}

// What tshark shows of each packet: URB id, type, transfer type, endpoint, device, status,
// URB length, data length, setup request.
const char* const kExpectedRows[] = {
    "0x0000000000000001,'S',0x02,0x80,1,-115,18,0,6",
    "0x0000000000000001,'C',0x02,0x80,1,0,18,18,",
    "0x0000000000000002,'S',0x02,0x00,1,-115,0,0,9",
    "0x0000000000000002,'C',0x02,0x00,1,0,0,0,",
    "0x0000000000000003,'S',0x02,0x00,1,-115,0,0,11",
    "0x0000000000000003,'C',0x02,0x00,1,0,0,0,",
    "0x0000000000000004,'S',0x01,0x81,1,-115,64,0,",
    "0x0000000000000005,'S',0x01,0x81,1,-115,64,0,",
    "0x0000000000000006,'S',0x01,0x02,1,-115,64,64,",
    "0x0000000000000006,'C',0x01,0x02,1,0,64,0,",
    "0x0000000000000004,'C',0x01,0x81,1,0,3,3,",
    "0x0000000000000005,'C',0x01,0x81,1,-2,0,0,",
    "0x0000000000000007,'S',0x03,0x02,2,-115,8,8,",
    "0x0000000000000007,'C',0x03,0x02,2,-108,0,0,",
    "0x0000000000000008,'S',0x02,0x80,2,-115,9,0,6",
    "0x0000000000000008,'C',0x02,0x80,2,-32,0,0,",
};

std::string RunTshark(const std::string& path) {
    std::string command = "tshark -r '" + path +
                          "' -T fields -E separator=, -e usb.urb_id -e usb.urb_type -e usb.transfer_type"
                          " -e usb.endpoint_address -e usb.device_address -e usb.urb_status -e usb.urb_len"
                          " -e usb.data_len -e usb.setup.bRequest 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string output;
    std::array<char, 4096> chunk;
    while (size_t n = fread(chunk.data(), 1, chunk.size(), pipe.get())) output.append(chunk.data(), n);
    return output;
}

TEST(PcapCapture, TsharkReadsEverySubmissionAndCompletionAsLogged) {
    if (std::system("tshark --version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed (Debian package tshark)";
    std::string path = testing::TempDir() + "pmc7r_capture_test.pcap";
    std::string error;
    ASSERT_TRUE(MasterDescribed().WriteFile(path, Log(), &error)) << error;

    std::string output = RunTshark(path);
    std::string expected;
    for (const char* row : kExpectedRows) expected += std::string(row) + "\n";
    EXPECT_EQ(output, expected);
    std::remove(path.c_str());
}

TEST(PcapCapture, ControlSetupsAreRebuiltFromTheDeviceDescription) {
    std::vector<capture::UsbmonPacket> packets = MasterDescribed().Translate(Log());
    ASSERT_EQ(packets.size(), std::size(kExpectedRows));
    struct Setup {
        size_t packet;
        std::array<uint8_t, 8> bytes;
    };
    const Setup setups[] = {
        {0, {0x80, 6, 0, 1, 0, 0, 18, 0}},    // GET_DESCRIPTOR(device), 18 bytes
        {2, {0x00, 9, 1, 0, 0, 0, 0, 0}},     // SET_CONFIGURATION(1)
        {4, {0x01, 11, 1, 0, 2, 0, 0, 0}},    // SET_INTERFACE(2, alternate 1)
        {14, {0x80, 6, 0, 2, 0, 0, 9, 0}},    // GET_DESCRIPTOR(configuration): its answer stalled
    };
    for (const Setup& setup : setups) {
        const capture::UsbmonPacket& p = packets[setup.packet];
        ASSERT_TRUE(p.hasSetup) << setup.packet;
        EXPECT_EQ(std::vector<uint8_t>(p.setup, p.setup + 8),
                  std::vector<uint8_t>(setup.bytes.begin(), setup.bytes.end()))
            << setup.packet;
    }
    EXPECT_FALSE(packets[1].hasSetup);
    EXPECT_EQ(packets[6].interval, 1);  // interrupt endpoints of alternate 1
    EXPECT_EQ(packets[12].interval, 0);
    EXPECT_EQ(packets[10].data, (std::vector<uint8_t>{0x90, 0x3C, 0x7F}));
    EXPECT_EQ(packets[12].time, 1500 * 10000);
}

TEST(PcapCapture, FileHeaderNamesTheUsbmonLinkTypeAndRecordsCarryVirtualTime) {
    std::vector<uint8_t> file = MasterDescribed().Encode(Log());
    auto word = [&](size_t at) {
        return uint32_t(file[at]) | uint32_t(file[at + 1]) << 8 | uint32_t(file[at + 2]) << 16 |
               uint32_t(file[at + 3]) << 24;
    };
    EXPECT_EQ(word(0), 0xA1B2C3D4u);
    EXPECT_EQ(word(20), 220u);
    // The first record: at 1 ms, a 64-byte header without data.
    EXPECT_EQ(word(24), 0u);
    EXPECT_EQ(word(28), 1000u);
    EXPECT_EQ(word(32), 64u);
    EXPECT_EQ(word(36), 64u);
}

TEST(PcapCapture, CompletionStatusesBecomeLinuxErrnos) {
    struct Case {
        NTSTATUS status;
        USBD_STATUS usbd;
        int32_t expected;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0},
        {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, -EPIPE},
        {STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED, -EPIPE},
        {STATUS_CANCELLED, USBD_STATUS_CANCELED, -ENOENT},
        {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, -ESHUTDOWN},
        {STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, -EPROTO},
        {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE, -EINVAL},
        {STATUS_UNSUCCESSFUL, USBD_STATUS_BABBLE_DETECTED, -EOVERFLOW},
        {STATUS_UNSUCCESSFUL, USBD_STATUS_SUCCESS, -EIO},
    };
    for (const Case& c : cases)
        EXPECT_EQ(capture::LinuxStatus(c.status, c.usbd), c.expected) << std::hex << c.status << ' ' << c.usbd;
}

}  // namespace
