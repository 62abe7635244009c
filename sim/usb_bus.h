// The simulated USB bus: a bus driver ("\Driver\simusb") whose physical device objects stand
// for plugged devices. Requests reach it through the platform's IofCallDriver like any other;
// transfers complete from the bus's own thread on 1 ms frames of virtual time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/nt_usb.h"
#include "sim/device_model.h"

namespace sim {

inline constexpr int64_t kFrame = 10000;  // 1 ms in host::Now() units

struct UrbRecord {
    enum class Event { Submitted, Completed };
    Event event;
    int64_t time;
    PDEVICE_OBJECT pdo;
    USHORT function;
    uint8_t endpoint;  // transfers and pipe requests; 0 otherwise
    bool in;           // a transfer from the device (descriptor reads count as IN)
    ULONG length;      // TransferBufferLength as submitted, or as written back
    NTSTATUS status;   // STATUS_PENDING in a submission record
    USBD_STATUS usbdStatus;
    std::vector<uint8_t> data;  // OUT data when submitted, IN data when completed
};

class UsbBus {
public:
    UsbBus();
    ~UsbBus();  // unplugs and deletes every device, ends the frame thread, unloads the driver
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // Creates the device's PDO with its instance path (default USB\VID_v&PID_p\N) and a driver
    // key under the USB class key (...\Class\{36FC9E60-...}\NNNN).
    PDEVICE_OBJECT Plug(std::shared_ptr<DeviceModel> model, const std::u16string& instancePath = u"");
    // The device is pulled out: pending transfers fail as on a disconnected device, later
    // requests fail too. The PDO stays until Delete.
    void Unplug(PDEVICE_OBJECT pdo);
    // Forgets and deletes the PDO (after the function driver detached); unplugs first.
    void Delete(PDEVICE_OBJECT pdo);
    // A race made deterministic: the next IN transfer sent to the device is held on its way
    // and reaches its pipe only right after the next abort of that pipe has completed, as a
    // transfer sent down just after the abort would.
    void HoldNextInAfterAbort(PDEVICE_OBJECT pdo);

    std::vector<UrbRecord> Log();
    DEVICE_POWER_STATE PowerState(PDEVICE_OBJECT pdo);
    // From now on the bus fails the device's IRP_MN_START_DEVICE with the status (a port
    // that cannot be reset or enumerated); STATUS_SUCCESS starts it again.
    void FailStarts(PDEVICE_OBJECT pdo, NTSTATUS status);
    std::u16string DriverKey(PDEVICE_OBJECT pdo);  // the registry path Plug gave the device

    // The bus's own refusals, for fault sweeps, counted over every device from the moment a
    // plan is set. Stall and BusError: a URB that reaches a device (descriptor read,
    // configuration or interface selection, transfer) fails as a stalled or a garbled
    // transaction; a data pipe that failed so stays halted until it is reset or selected
    // again. Hang: a transfer the device never answers (it NAKs), holding its pipe's queue
    // until it is cancelled or the pipe aborted.
    enum class Refusal { Stall, BusError, Hang, Count };
    void PlanRefusals(Refusal kind, std::function<bool(uint64_t call)> fail);
    uint64_t RefusalCalls(Refusal kind);
    PDRIVER_OBJECT Driver() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace sim
