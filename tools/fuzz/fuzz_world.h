// What every fuzz target of the driver shares: one execution is one freshly booted machine
// (a new host session, the simulated bus, the Plug and Play manager with the driver and the
// MIDI client driver loaded), and its end is the platform's end-of-test check. Anything left
// over (pool, requests, devices, handles, threads) aborts, so that libFuzzer keeps the input
// as a crash; the verifier's reports abort on their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/host/control.h"
#include "sim/midi_client.h"
#include "sim/pmc7r_unit.h"
#include "sim/pnp_manager.h"
#include "sim/usb_bus.h"

namespace fuzz {

// Reads the fuzzer's bytes front to back; past the end every read gives 0.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    size_t Left() const { return Empty() ? 0 : size_ - pos_; }
    uint8_t U8() { return Empty() ? 0 : data_[pos_++]; }
    uint16_t U16() { return uint16_t(U8() | U8() << 8); }
    uint32_t U32() { return uint32_t(U16()) | uint32_t(U16()) << 16; }
    // Up to n bytes (fewer at the end).
    std::vector<uint8_t> Take(size_t n);

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

class Machine {
public:
    explicit Machine(const std::vector<sim::ServiceDword>& service = {});
    // Takes the world down and aborts on anything the session finds left over.
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    sim::UsbBus& Bus() { return *bus_; }
    sim::PnpManager& Pnp() { return *pnp_; }
    sim::MidiClient& Client() { return *client_; }

    // Plugs the model and lets the Plug and Play manager bring it up (add device, start,
    // the unit's bring-up, its child); bulkMode sets the unit's UsbBulkMode value when >= 0.
    sim::PnpNode* Plug(std::shared_ptr<sim::DeviceModel> model, int64_t bulkMode = -1);
    // A PMC-7R unit with this ID and firmware "2.24".
    sim::PnpNode* PlugUnit(uint8_t id, std::shared_ptr<sim::Pmc7rUnit>* model = nullptr);
    // The unit is pulled out; once the handles on it close, its removal ends.
    void Unplug(sim::PnpNode* node);

private:
    host::Session session_;
    std::unique_ptr<sim::UsbBus> bus_;
    std::unique_ptr<sim::MidiClient> client_;
    std::unique_ptr<sim::PnpManager> pnp_;
};

// The libFuzzer options every target starts with (no echo of the driver's debug output,
// quiet sessions); call from LLVMFuzzerInitialize.
void Initialize();
// With PMC7R_FUZZ_ECHO set: the driver's debug output, and what each step of an input did.
void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "started", or "problem N (status)", or "none" for the timeline of an input.
const char* NodeText(const sim::PnpNode* node);

}  // namespace fuzz
