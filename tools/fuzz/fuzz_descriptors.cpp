// A unit whose device and configuration descriptors come from the fuzzer, through add device
// and start (and, when it starts, a little traffic through a file handle and the client).
// Input: flags, the service key's Interface, Alternate and AlternateBulk, the device
// descriptor's length and bytes, then the configuration descriptor (the rest).
//   flags bits 0-2: the unit's device ID; bit 3: a UsbBulkMode value, bit 4 its value;
//   bit 5: the three service values from the input (else the defaults); bit 6: traffic
#include <cstdint>
#include <memory>

#include "sim/app_model.h"
#include "sim/pmc7r_descriptors.h"
#include "tools/fuzz/fuzz_world.h"

namespace {

// The unit's firmware behind descriptors that say anything. Its packets are of the size the
// first OUT endpoint announces, so a unit with an odd MaxPacketSize still talks.
class DescribedUnit : public sim::Pmc7rUnit {
public:
    DescribedUnit(sim::UnitOptions options, sim::Descriptors descriptors)
        : Pmc7rUnit(options), descriptors_(std::move(descriptors)) {}
    sim::Descriptors GetDescriptors() override { return descriptors_; }

private:
    sim::Descriptors descriptors_;
};

uint16_t FirstOutPacket(const std::vector<uint8_t>& c) {
    for (size_t i = 0; i + 6 < c.size();) {
        uint8_t length = c[i];
        if (length < 2) break;
        if (c[i + 1] == 5 && length >= 7 && !(c[i + 2] & 0x80)) {
            uint16_t packet = uint16_t(c[i + 4] | c[i + 5] << 8) & 0x7FF;
            return packet ? packet : 64;
        }
        i += length;
    }
    return 64;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Bytes in(data, size);
    uint8_t flags = in.U8();
    uint8_t iface = in.U8(), alternate = in.U8(), alternateBulk = in.U8();
    sim::Descriptors d;
    d.device = in.Take(in.U8());
    d.configuration = in.Take(in.Left());

    std::vector<sim::ServiceDword> service;
    if (flags & 0x20) service = {{u"Interface", iface}, {u"Alternate", alternate}, {u"AlternateBulk", alternateBulk}};
    fuzz::Machine machine(service);
    sim::UnitOptions options;
    options.deviceId = flags & 7;
    options.packet = FirstOutPacket(d.configuration);
    auto unit = std::make_shared<DescribedUnit>(options, d);
    sim::PnpNode* node = machine.Plug(unit, flags & 0x08 ? (flags >> 4 & 1) : -1);
    if (node && node->Started() && (flags & 0x40)) {
        sim::Application app;
        if (NT_SUCCESS(app.Open(node->pdo))) {
            app.Write({0x90, 0x3C, 0x7F});
            unit->Send({0xB0, 0x07, 0x64});
            app.StartRead(16);
            host::Advance(host::Ms(20));
            app.Cancel();
            app.Wait();
            app.Close();
        }
        if (machine.Client().Attached()) {
            machine.Client().OpenAll();
            machine.Client().Write(options.deviceId, {0xB0, 0x01, 0x02});
            host::Advance(host::Ms(20));
            machine.Client().CloseAll();
        }
    }
    machine.Unplug(node);
    return 0;
}
