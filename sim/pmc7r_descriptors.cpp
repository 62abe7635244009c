#include "sim/pmc7r_descriptors.h"

namespace sim {
namespace {

void Put16(std::vector<uint8_t>* out, uint16_t value) {
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

void Interface(std::vector<uint8_t>* out, uint8_t number, uint8_t alternate, uint8_t endpoints) {
    out->insert(out->end(), {9, 4, number, alternate, endpoints, 0xFF, 0x00, 0x00, 0});
}

void Endpoint(std::vector<uint8_t>* out, uint8_t address, uint8_t attributes, uint16_t packet,
              uint8_t interval) {
    out->insert(out->end(), {7, 5, address, attributes});
    Put16(out, packet);
    out->push_back(interval);
}

}  // namespace

Descriptors Pmc7rDescriptors(uint16_t product, uint16_t packet) {
    constexpr uint8_t kBulk = 2, kInterrupt = 3;
    Descriptors d;
    d.device = {18, 1};
    Put16(&d.device, 0x0110);                             // bcdUSB
    d.device.insert(d.device.end(), {0x00, 0x00, 0x00, 8});  // class per interface, EP0 of 8
    Put16(&d.device, kPmc7rVendor);
    Put16(&d.device, product);
    Put16(&d.device, 0x0100);                             // bcdDevice
    d.device.insert(d.device.end(), {1, 2, 0, 1});        // strings, one configuration

    std::vector<uint8_t>& c = d.configuration;
    c = {9, 2, 0, 0, 3, 1, 0, 0xA0, 50};  // bus powered, remote wake-up, 100 mA
    Interface(&c, 0, 0, 0);
    Interface(&c, 1, 0, 0);
    Interface(&c, 2, 0, 2);
    Endpoint(&c, kPmc7rInEndpoint, kBulk, packet, 0);
    Endpoint(&c, kPmc7rOutEndpoint, kBulk, packet, 0);
    Interface(&c, 2, 1, 2);
    Endpoint(&c, kPmc7rInEndpoint, kInterrupt, packet, 1);
    Endpoint(&c, kPmc7rOutEndpoint, kInterrupt, packet, 1);
    c[2] = static_cast<uint8_t>(c.size());
    c[3] = static_cast<uint8_t>(c.size() >> 8);
    return d;
}

}  // namespace sim
