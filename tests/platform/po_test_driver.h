// Power tests' driver: the I/O test driver with power-request helpers.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "io_test_driver.h"

// What a PoRequestPowerIrp callback was given.
struct PowerDone {
    std::atomic<bool> called{false};
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0xFF;
    POWER_STATE state{};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    PKTHREAD thread = nullptr;

    static VOID NTAPI Callback(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                               PIO_STATUS_BLOCK io) {
        auto* d = static_cast<PowerDone*>(context);
        d->device = device;
        d->minor = minor;
        d->state = state;
        d->status = io->Status;
        d->information = io->Information;
        d->thread = KeGetCurrentThread();
        d->called = true;
    }
    bool Wait() const {
        return host::WaitUntil([this] { return called.load(); }, host::Ms(100), "power callback");
    }
};

// A power request as a dispatch routine saw it.
struct PowerSeen {
    PDEVICE_OBJECT device;
    UCHAR minor;
    POWER_STATE_TYPE type;
    ULONG state;  // the device or system state, or a wait-wake's system state
    POWER_ACTION action;
    KIRQL irql;
    PKTHREAD thread;
};

class PowerLog {
public:
    void Add(PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
        ULONG state = sl->MinorFunction == IRP_MN_WAIT_WAKE ? ULONG(sl->Parameters.WaitWake.PowerState)
                                                            : ULONG(sl->Parameters.Power.State.SystemState);
        std::lock_guard guard(mutex_);
        seen_.push_back({device, sl->MinorFunction, sl->Parameters.Power.Type, state, sl->Parameters.Power.ShutdownType,
                         KeGetCurrentIrql(), KeGetCurrentThread()});
    }
    std::vector<PowerSeen> Seen() {
        std::lock_guard guard(mutex_);
        return seen_;
    }
    void Clear() {
        std::lock_guard guard(mutex_);
        seen_.clear();
    }

private:
    std::mutex mutex_;
    std::vector<PowerSeen> seen_;
};

// Records the request and answers it, as the bottom of a stack does.
inline Dispatch Answers(PowerLog* log, NTSTATUS status = STATUS_SUCCESS) {
    return [log, status](PDEVICE_OBJECT device, PIRP irp) {
        log->Add(device, irp);
        PoStartNextPowerIrp(irp);
        return Complete(irp, status);
    };
}

// Records the request and passes it to the device below, as a function driver does.
inline Dispatch PassesTo(PowerLog* log, PDEVICE_OBJECT* lower) {
    return [log, lower](PDEVICE_OBJECT device, PIRP irp) {
        log->Add(device, irp);
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(*lower, irp);
    };
}

inline POWER_STATE DeviceState(DEVICE_POWER_STATE d) {
    POWER_STATE s{};
    s.DeviceState = d;
    return s;
}

inline POWER_STATE SystemState(SYSTEM_POWER_STATE d) {
    POWER_STATE s{};
    s.SystemState = d;
    return s;
}
