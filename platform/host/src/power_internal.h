// The power manager's shared pieces: its worker threads, the per-device gates that keep one
// set/query request of each kind active, and the states drivers record with PoSetPowerState.
// Unlike the PnP manager (sim/pnp_manager.h) it is part of the platform: the driver calls
// its routines itself (PoCallDriver, PoRequestPowerIrp, PoStartNextPowerIrp,
// PoSetPowerState), so they are kernel routines, and the system transitions it sends go
// through the same per-device gates.
#pragma once

#include <functional>

#include "io_internal.h"

namespace host::detail::power {

// Runs work on a power-manager thread at PASSIVE_LEVEL. A worker that blocks inside a driver
// does not hold back later work: another worker takes it.
void Post(std::function<void()> work);
void StopWorkers();  // joins every worker, including those started meanwhile

// Sends a power request down with IofCallDriver without the check that power requests come
// through PoCallDriver. Late: its sender was told STATUS_PENDING already, so the call is
// force pending (the location is marked and completion runs after the call returns), as if
// the device had marked it itself.
NTSTATUS Send(PDEVICE_OBJECT device, PIRP irp, bool late = false);

// The platform's number for a device (never reused in a session); 0 when it is gone.
uint64_t DeviceSerial(const DEVICE_OBJECT* device);

void ResetGates();
std::string GateLeaks();
void ResetStates();
void ResetSystem();

}  // namespace host::detail::power
