#include "tools/pmc7r_sim/usbmon_packet.h"

#include <cstring>
#include <type_traits>

namespace capture {
namespace {

constexpr size_t kHeaderSize = 64;
constexpr uint32_t kUrbDirIn = 0x200;

template <typename T>
void Put(std::vector<uint8_t>* out, size_t offset, T value) {
    auto bits = static_cast<std::make_unsigned_t<T>>(value);
    for (size_t i = 0; i < sizeof(T); ++i) (*out)[offset + i] = uint8_t(bits >> (8 * i));
}

// What usbmon puts in place of the data flag when no data follows.
char DataFlag(const UsbmonPacket& p) {
    if (!p.data.empty()) return 0;
    if (p.length == 0) return 'L';
    return (p.endpoint & 0x80) ? '<' : '>';
}

}  // namespace

std::vector<uint8_t> EncodeUsbmon(const UsbmonPacket& p) {
    std::vector<uint8_t> out(kHeaderSize + p.data.size());
    Put(&out, 0, p.id);
    out[8] = uint8_t(p.type);
    out[9] = uint8_t(p.transfer);
    out[10] = p.endpoint;
    out[11] = p.device;
    Put(&out, 12, p.bus);
    out[14] = p.hasSetup ? 0 : '-';
    out[15] = uint8_t(DataFlag(p));
    Put(&out, 16, int64_t(p.time / 10000000));
    Put(&out, 24, int32_t(p.time % 10000000 / 10));
    Put(&out, 28, p.status);
    Put(&out, 32, p.length);
    Put(&out, 36, uint32_t(p.data.size()));
    if (p.hasSetup) std::memcpy(&out[40], p.setup, sizeof(p.setup));
    Put(&out, 48, p.interval);
    Put(&out, 52, int32_t(0));  // start frame
    Put(&out, 56, (p.endpoint & 0x80) ? kUrbDirIn : 0u);
    Put(&out, 60, uint32_t(0));  // isochronous descriptors
    if (!p.data.empty()) std::memcpy(&out[kHeaderSize], p.data.data(), p.data.size());
    return out;
}

}  // namespace capture
