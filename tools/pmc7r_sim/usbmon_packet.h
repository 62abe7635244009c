// One event in the layout of Linux's binary usbmon interface (the 64-byte header of pcap link
// type 220, LINKTYPE_USB_LINUX_MMAPPED), followed by its data.
#pragma once

#include <cstdint>
#include <vector>

namespace capture {

enum class TransferType : uint8_t { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3 };

inline constexpr int kEinprogress = -115;  // a submission's status

struct UsbmonPacket {
    uint64_t id = 0;  // the same for a submission and its completion
    char type = 'S';  // 'S' submission, 'C' completion
    TransferType transfer = TransferType::Bulk;
    uint8_t endpoint = 0;  // with 0x80 for IN
    uint8_t device = 0;
    uint16_t bus = 1;
    bool hasSetup = false;
    uint8_t setup[8] = {};
    int64_t time = 0;  // 100 ns units
    int32_t status = 0;
    uint32_t length = 0;  // requested in a submission, actual in a completion
    int32_t interval = 0;
    std::vector<uint8_t> data;
};

// The header and data as the capture holds them, little-endian.
std::vector<uint8_t> EncodeUsbmon(const UsbmonPacket& packet);

}  // namespace capture
