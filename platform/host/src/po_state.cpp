// PoSetPowerState: the power states drivers record for their devices.
#include <map>

#include "power_internal.h"

namespace host::detail::power {
namespace {

struct Recorded {
    SYSTEM_POWER_STATE system = PowerSystemUnspecified;
    DEVICE_POWER_STATE device = PowerDeviceUnspecified;
};

struct States {
    std::mutex lock;
    std::map<uint64_t, Recorded> byDevice;  // by device serial
};

States& S() {
    static auto* s = new States;
    return *s;
}

Recorded Find(PDEVICE_OBJECT device) {
    uint64_t serial = DeviceSerial(device);
    std::lock_guard guard(S().lock);
    auto it = S().byDevice.find(serial);
    return it == S().byDevice.end() ? Recorded{} : it->second;
}

}  // namespace

void ResetStates() {
    std::lock_guard guard(S().lock);
    S().byDevice.clear();
}

}  // namespace host::detail::power

using namespace host::detail;
using namespace host::detail::power;

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    uint64_t serial = DeviceSerial(DeviceObject);
    std::lock_guard guard(S().lock);
    Recorded& r = S().byDevice[serial];
    POWER_STATE previous{};
    if (Type == SystemPowerState) {
        previous.SystemState = std::exchange(r.system, State.SystemState);
    } else {
        previous.DeviceState = std::exchange(r.device, State.DeviceState);
    }
    return previous;
}

DEVICE_POWER_STATE host::power::DeviceState(PDEVICE_OBJECT device) { return Find(device).device; }

SYSTEM_POWER_STATE host::power::SystemState(PDEVICE_OBJECT device) { return Find(device).system; }
