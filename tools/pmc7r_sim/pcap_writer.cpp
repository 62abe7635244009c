#include "tools/pmc7r_sim/pcap_writer.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <fstream>
#include <tuple>

namespace capture {
namespace {

constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr uint32_t kSnapLength = 0x40000;

bool OnTheWire(USHORT function) {
    switch (function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_SELECT_INTERFACE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_CLEAR_STALL: return true;
    default: return false;
    }
}

void SetSetup(UsbmonPacket* p, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
              uint16_t length) {
    const uint8_t setup[8] = {requestType, request, uint8_t(value), uint8_t(value >> 8),
                              uint8_t(index), uint8_t(index >> 8), uint8_t(length), uint8_t(length >> 8)};
    std::memcpy(p->setup, setup, sizeof(setup));
    p->hasSetup = true;
}

// The log does not keep the descriptor type asked for; the answer's own type byte says it,
// and without an answer a device descriptor is the one read at its 18 bytes.
uint8_t DescriptorType(const sim::UrbRecord& submission, const sim::UrbRecord* completion) {
    if (completion && completion->data.size() >= 2) return completion->data[1];
    return submission.length == 18 ? 1 : 2;
}

// bmAttributes numbers the types differently from usbmon.
TransferType FromAttributes(uint8_t attributes) {
    constexpr TransferType kByAttributes[] = {TransferType::Control, TransferType::Isochronous, TransferType::Bulk,
                                              TransferType::Interrupt};
    return kByAttributes[attributes & 3];
}

template <typename T>
void Append(std::vector<uint8_t>* out, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) out->push_back(uint8_t(uint64_t(value) >> (8 * i)));
}

}  // namespace

int32_t LinuxStatus(NTSTATUS status, USBD_STATUS usbd) {
    if (NT_SUCCESS(status)) return 0;
    if (status == STATUS_CANCELLED || usbd == USBD_STATUS_CANCELED) return -ENOENT;
    switch (usbd) {
    case USBD_STATUS_STALL_PID:
    case USBD_STATUS_ENDPOINT_HALTED: return -EPIPE;
    case USBD_STATUS_DEVICE_GONE: return -ESHUTDOWN;
    case USBD_STATUS_CRC:
    case USBD_STATUS_BTSTUFF:
    case USBD_STATUS_DATA_TOGGLE_MISMATCH:
    case USBD_STATUS_PID_CHECK_FAILURE:
    case USBD_STATUS_UNEXPECTED_PID:
    case USBD_STATUS_DEV_NOT_RESPONDING:
    case USBD_STATUS_XACT_ERROR:
    case USBD_STATUS_TIMEOUT: return -EPROTO;
    case USBD_STATUS_DATA_OVERRUN:
    case USBD_STATUS_BUFFER_OVERRUN:
    case USBD_STATUS_BABBLE_DETECTED: return -EOVERFLOW;
    case USBD_STATUS_NOT_SUPPORTED: return -EOPNOTSUPP;
    default: break;
    }
    if (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE) return -ESHUTDOWN;
    if (status == STATUS_INVALID_PARAMETER) return -EINVAL;
    return -EIO;
}

void PcapWriter::DescribeDevice(PDEVICE_OBJECT pdo, const std::vector<uint8_t>& configuration,
                                uint8_t interfaceNumber, uint8_t alternate) {
    Device device{1, interfaceNumber, alternate, {}};
    bool chosen = false;
    for (size_t at = 0; at + 2 <= configuration.size() && configuration[at] >= 2; at += configuration[at]) {
        const uint8_t* d = &configuration[at];
        size_t left = configuration.size() - at;
        if (d[1] == 2 && left >= 6) device.configurationValue = d[5];
        if (d[1] == 4 && left >= 4) chosen = d[2] == interfaceNumber && d[3] == alternate;
        if (d[1] == 5 && left >= 7 && chosen)
            device.endpoints[d[2]] = {FromAttributes(d[3]), d[6]};
    }
    devices_[pdo] = std::move(device);
}

const PcapWriter::Device& PcapWriter::DeviceOf(PDEVICE_OBJECT pdo) const {
    static const Device undescribed;
    auto found = devices_.find(pdo);
    return found == devices_.end() ? undescribed : found->second;
}

void PcapWriter::Describe(const sim::UrbRecord& r, const Device& device, const sim::UrbRecord* completion,
                          UsbmonPacket* p) const {
    bool submission = r.event == sim::UrbRecord::Event::Submitted;
    p->type = submission ? 'S' : 'C';
    p->time = r.time;
    p->status = submission ? kEinprogress : LinuxStatus(r.status, r.usbdStatus);
    p->transfer = TransferType::Control;
    switch (r.function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        p->endpoint = uint8_t((r.endpoint & 0x7F) | (r.in ? 0x80 : 0));
        auto found = device.endpoints.find(p->endpoint);
        Endpoint endpoint = found == device.endpoints.end() ? Endpoint{} : found->second;
        p->transfer = endpoint.type;
        p->interval = endpoint.interval;
        p->length = r.length;
        p->data = r.data;
        return;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        p->endpoint = 0x80;
        p->length = r.length;
        p->data = r.data;
        if (submission) SetSetup(p, 0x80, 6, uint16_t(DescriptorType(r, completion) << 8), 0, uint16_t(r.length));
        return;
    case URB_FUNCTION_SELECT_CONFIGURATION:
        if (submission) SetSetup(p, 0x00, 9, device.configurationValue, 0, 0);
        return;
    case URB_FUNCTION_SELECT_INTERFACE:
        if (submission) SetSetup(p, 0x01, 11, device.alternate, device.interfaceNumber, 0);
        return;
    default:  // a stall cleared: CLEAR_FEATURE(ENDPOINT_HALT)
        if (submission) SetSetup(p, 0x02, 1, 0, r.endpoint, 0);
        return;
    }
}

std::vector<UsbmonPacket> PcapWriter::Translate(const std::vector<sim::UrbRecord>& records) const {
    // The log has no URB identity: a completion ends the oldest open submission of the same
    // kind on the same endpoint, which is how the bus serves each pipe.
    using Key = std::tuple<PDEVICE_OBJECT, USHORT, uint8_t, bool>;
    std::map<Key, std::deque<size_t>> open;
    std::vector<uint64_t> ids(records.size());
    std::vector<const sim::UrbRecord*> completionOf(records.size(), nullptr);
    std::map<PDEVICE_OBJECT, uint8_t> numbers;
    uint64_t nextId = 1;
    for (size_t i = 0; i < records.size(); ++i) {
        const sim::UrbRecord& r = records[i];
        numbers.emplace(r.pdo, uint8_t(numbers.size() + 1));
        if (!OnTheWire(r.function)) continue;
        std::deque<size_t>& queue = open[Key{r.pdo, r.function, r.endpoint, r.in}];
        if (r.event == sim::UrbRecord::Event::Submitted) {
            ids[i] = nextId++;
            queue.push_back(i);
        } else if (queue.empty()) {
            ids[i] = nextId++;
        } else {
            ids[i] = ids[queue.front()];
            completionOf[queue.front()] = &r;
            queue.pop_front();
        }
    }
    std::vector<UsbmonPacket> packets;
    for (size_t i = 0; i < records.size(); ++i) {
        if (!OnTheWire(records[i].function)) continue;
        UsbmonPacket p;
        p.id = ids[i];
        p.device = numbers[records[i].pdo];
        Describe(records[i], DeviceOf(records[i].pdo), completionOf[i], &p);
        packets.push_back(std::move(p));
    }
    return packets;
}

std::vector<uint8_t> PcapWriter::Encode(const std::vector<sim::UrbRecord>& records) const {
    std::vector<uint8_t> out;
    Append(&out, uint32_t(0xA1B2C3D4));
    Append(&out, uint16_t(2));
    Append(&out, uint16_t(4));
    Append(&out, int32_t(0));   // time zone
    Append(&out, uint32_t(0));  // timestamp accuracy
    Append(&out, kSnapLength);
    Append(&out, kLinkTypeUsbLinuxMmapped);
    for (const UsbmonPacket& packet : Translate(records)) {
        std::vector<uint8_t> bytes = EncodeUsbmon(packet);
        Append(&out, uint32_t(packet.time / 10000000));
        Append(&out, uint32_t(packet.time % 10000000 / 10));
        Append(&out, uint32_t(bytes.size()));
        Append(&out, uint32_t(bytes.size()));
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

bool PcapWriter::WriteFile(const std::string& path, const std::vector<sim::UrbRecord>& records,
                           std::string* error) const {
    std::vector<uint8_t> bytes = Encode(records);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (out) out.close();
    if (!out) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace capture
