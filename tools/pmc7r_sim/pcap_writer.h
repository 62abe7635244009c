// Writes the simulated bus's URB log as a USB capture that Wireshark and tshark read (pcap,
// link type 220: Linux usbmon, memory-mapped header). Every submission and completion that
// reaches the wire becomes one packet; requests the host stack keeps to itself (abort pipe,
// reset pipe, frame number) are left out.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/usb_bus.h"
#include "tools/pmc7r_sim/usbmon_packet.h"

namespace capture {

class PcapWriter {
public:
    // What the log cannot say about a device: its configuration value, the interface and
    // alternate setting it selects (for the rebuilt control setups) and the types of that
    // alternate's endpoints. Undescribed devices get configuration 1, interface and alternate
    // 0 and bulk endpoints.
    void DescribeDevice(PDEVICE_OBJECT pdo, const std::vector<uint8_t>& configuration,
                        uint8_t interfaceNumber, uint8_t alternate);

    std::vector<UsbmonPacket> Translate(const std::vector<sim::UrbRecord>& records) const;
    std::vector<uint8_t> Encode(const std::vector<sim::UrbRecord>& records) const;
    // False with a message when the file cannot be written.
    bool WriteFile(const std::string& path, const std::vector<sim::UrbRecord>& records,
                   std::string* error) const;

private:
    struct Endpoint {
        TransferType type = TransferType::Bulk;
        int32_t interval = 0;
    };
    struct Device {
        uint8_t configurationValue = 1;
        uint8_t interfaceNumber = 0;
        uint8_t alternate = 0;
        std::map<uint8_t, Endpoint> endpoints;
    };
    const Device& DeviceOf(PDEVICE_OBJECT pdo) const;
    void Describe(const sim::UrbRecord& record, const Device& device, const sim::UrbRecord* completion,
                  UsbmonPacket* packet) const;

    std::map<PDEVICE_OBJECT, Device> devices_;
};

// The Linux errno a completion's status stands for (0 on success).
int32_t LinuxStatus(NTSTATUS status, USBD_STATUS usbd);

}  // namespace capture
