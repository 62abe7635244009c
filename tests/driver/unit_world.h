// Units on the simulated USB bus with their function devices, for tests of the USB side of
// the driver before Plug and Play drives it: the fixture adds, configures and releases the
// devices the way the start and removal paths will.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "core/core.h"
#include "sim/pmc7r_descriptors.h"
#include "sim/usb_bus.h"
#include "support/platform_test.h"
#include "transfer/transfer.h"
#include "usb/usb.h"

class UnitStackTest : public PlatformTest {
protected:
    struct Unit {
        std::shared_ptr<sim::RecordingDevice> device;
        PDEVICE_OBJECT pdo = nullptr;
        PDEVICE_OBJECT fdo = nullptr;
    };

    void SetUp() override;
    void TearDown() override;

    // Releases every unit and unloads the driver, for tests that run several cases.
    void ReleaseAll();
    // Loads the driver with these service-key values.
    void LoadDriver(const std::vector<std::pair<std::u16string, uint32_t>>& settings = {});
    // Plugs a unit and runs AddDevice on it; fdo stays null when AddDevice fails.
    Unit& Plug(sim::Descriptors descriptors = sim::Pmc7rDescriptors(), NTSTATUS* addStatus = nullptr);
    // Plugs any device model and runs AddDevice on it (device stays null).
    Unit& PlugModel(std::shared_ptr<sim::DeviceModel> model);
    // PlugModel, then Start, which must succeed.
    Unit& PlugAndStart(std::shared_ptr<sim::DeviceModel> model);
    // Starts the bus's device, configures the function device and marks it started.
    NTSTATUS Start(Unit& unit);
    // Sends IRP_MJ_WRITE to the function device with the bytes in a system buffer.
    NTSTATUS Write(Unit& unit, const std::vector<uint8_t>& bytes, ULONG_PTR* information = nullptr);
    // A unit plugged, added, started and with its reads running.
    Unit& Open();
    // Starts the two continuous bulk-in reads, as opening the unit does.
    void StartReads(Unit& unit);
    // The bytes of the unit's input ring from a consumer's index up to the write index.
    static std::vector<uint8_t> RingFrom(const Unit& unit, ULONG index);
    // Bulk OUT transfers the unit received.
    std::vector<std::vector<uint8_t>> OutTransfers(Unit& unit);
    std::u16string DriverKey(Unit& unit);

    static FDO_EXTENSION* Fdo(const Unit& u) { return FdoExtension(u.fdo); }

    std::unique_ptr<sim::UsbBus> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<Unit>> units_;

private:
    void Release(Unit& unit);
};

// A configuration descriptor built from parts (after an interface 0 of its own), for
// devices that differ from a PMC-7R unit.
std::vector<uint8_t> ConfigurationWith(
    const std::vector<std::vector<uint8_t>>& interfacesAndEndpoints);
std::vector<uint8_t> InterfaceDescriptor(uint8_t number, uint8_t alternate, uint8_t endpoints);
std::vector<uint8_t> EndpointDescriptor(uint8_t address, uint8_t attributes, uint16_t packet);
