// The manager's thread and its operations: each caller's operation is queued for the thread
// and waited for, so every PnP request comes from one system thread, one at a time.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "sim/pnp_state.h"

namespace sim {
namespace {

using State = PnpManager::State;

// Takes the next job, or false once the manager stops and nothing is left.
bool NextJob(State& s, std::function<void()>* job) {
    std::lock_guard guard(s.mutex);
    if (s.jobs.empty()) return false;
    *job = std::move(s.jobs.front());
    s.jobs.pop_front();
    return true;
}

bool Unheld(State& s) {
    return std::any_of(s.awaitingFiles.begin(), s.awaitingFiles.end(), [&s](PnpNode* n) { return !s.FilesOpen(*n); });
}

void NTAPI ManagerThread(PVOID context) {
    State& s = *static_cast<State*>(context);
    for (;;) {
        host::WaitUntil(
            [&s] {
                {
                    std::lock_guard guard(s.mutex);
                    if (s.stop || !s.jobs.empty()) return true;
                }
                return Unheld(s);
            },
            0, "PnP manager's work");
        std::function<void()> job;
        while (NextJob(s, &job)) job();
        s.DepartUnheld();
        std::lock_guard guard(s.mutex);
        if (s.stop && s.jobs.empty()) return;
    }
}

bool Arrived(const PnpNode* node) { return node && !node->parent && node->state.load() != PnpState::Removed; }

void Collect(PnpNode* node, std::vector<PnpNode*>* out) {
    out->push_back(node);
    for (PnpNode* child : node->children) Collect(child, out);
}

}  // namespace

void State::Run(const std::function<void()>& job) {
    std::atomic<bool> done{false};
    {
        std::lock_guard guard(mutex);
        jobs.push_back([this, &job, &done] {
            job();
            done = true;  // the caller may return from here on: touch neither again
            Changed();
        });
    }
    Changed();
    host::WaitUntil([&done] { return done.load(); }, 0, "PnP operation");
}

void State::DepartUnheld() {
    for (PnpNode* node : std::vector<PnpNode*>(awaitingFiles)) {
        if (FilesOpen(*node)) continue;
        std::erase(awaitingFiles, node);
        Depart(*node);
    }
}

PnpManager::PnpManager(UsbBus& bus) : state_(std::make_unique<State>(bus)) {
    KeInitializeEvent(&state_->changed, SynchronizationEvent, FALSE);
    host::NameObject(&state_->changed, "PnP manager");
    NTSTATUS status;
    {
        host::faults::Exempt exempt;  // the simulation's own thread
        status = PsCreateSystemThread(&state_->thread, 0, nullptr, nullptr, nullptr, ManagerThread, state_.get());
    }
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "PnP manager: no thread (0x%lx)\n", static_cast<unsigned long>(status));
        std::abort();
    }
}

PnpManager::~PnpManager() {
    State& s = *state_;
    s.Run([&s] {
        for (PnpNode* root : std::vector<PnpNode*>(s.roots)) {
            bool held = std::find(s.awaitingFiles.begin(), s.awaitingFiles.end(), root) != s.awaitingFiles.end();
            if (!held) s.Depart(*root);
        }
        for (auto it = s.drivers.rbegin(); it != s.drivers.rend(); ++it) {
            if (it->unloaded || it->object->DeviceObject) continue;
            host::io::UnloadDriver(it->object);
            it->unloaded = true;
        }
    });
    {
        std::lock_guard guard(s.mutex);
        s.stop = true;
    }
    s.Changed();
    PVOID thread = nullptr;
    if (NT_SUCCESS(ObReferenceObjectByHandle(s.thread, 0, nullptr, KernelMode, &thread, nullptr))) {
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(thread);
    }
    ZwClose(s.thread);
    // An image whose driver stays loaded (devices left, for the report) stays mapped.
    for (pnp::Driver& d : s.drivers)
        if (d.image && d.unloaded) host::image::Unload(d.image);
    // Nodes held a reference on their PDOs; those still standing keep theirs for the report.
}

std::u16string PnpManager::ServiceKey(const std::u16string& service) {
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
}

PDRIVER_OBJECT PnpManager::LoadDriver(const std::u16string& service, PDRIVER_INITIALIZE entry,
                                      const std::vector<std::u16string>& hardwareIds,
                                      const std::vector<ServiceDword>& values, NTSTATUS* status) {
    std::u16string key = ServiceKey(service);
    host::registry::CreateKey(key);
    for (const ServiceDword& v : values) host::registry::SetDword(key, v.first, v.second);
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS result = STATUS_SUCCESS;
    State& s = *state_;
    s.Run([&] {
        driver = host::io::LoadDriver(u"\\Driver\\" + service, entry, key, &result);
        if (driver) s.drivers.push_back({driver, hardwareIds});
    });
    if (status) *status = result;
    return driver;
}

PDRIVER_OBJECT PnpManager::LoadDriverImage(const std::u16string& service, const std::string& path,
                                           const std::vector<std::u16string>& hardwareIds,
                                           const std::vector<ServiceDword>& values, std::string* error) {
    host::image::Image* image = host::image::Load(path, error);
    if (!image) return nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    PDRIVER_OBJECT driver = LoadDriver(service, host::image::Entry(image), hardwareIds, values, &status);
    if (!driver) {
        host::image::Unload(image);
        *error = path + ": DriverEntry failed with status " + std::to_string(status);
        return nullptr;
    }
    State& s = *state_;
    s.Run([&] {
        driver->DriverStart = host::image::Base(image);
        driver->DriverSize = host::image::Size(image);
        s.drivers.back().image = image;
    });
    return driver;
}

void PnpManager::UnloadDrivers() {
    State& s = *state_;
    s.Run([&s] {
        for (auto it = s.drivers.rbegin(); it != s.drivers.rend(); ++it) {
            if (it->unloaded) continue;
            // A driver with devices left is reported by the unload and stays loaded.
            bool empty = it->object->DeviceObject == nullptr;
            host::io::UnloadDriver(it->object);
            it->unloaded = empty;
        }
    });
}

PnpNode* PnpManager::Arrive(PDEVICE_OBJECT pdo) {
    PnpNode* node = nullptr;
    State& s = *state_;
    s.Run([&] {
        ObfReferenceObject(pdo);
        node = s.NewNode(pdo, nullptr);
        s.roots.push_back(node);
        s.Build(*node);
    });
    return node;
}

void PnpManager::Reenumerate(PnpNode* node) {
    State& s = *state_;
    s.Run([&] {
        if (node->Started()) s.Enumerate(*node);
    });
}

NTSTATUS PnpManager::Restart(PnpNode* node) {
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    State& s = *state_;
    s.Run([&] {
        if (!node->Started()) return;
        status = pnp::Send(node->pdo, IRP_MN_QUERY_STOP_DEVICE).status;
        if (!NT_SUCCESS(status)) {
            pnp::Send(node->pdo, IRP_MN_CANCEL_STOP_DEVICE);
            return;
        }
        pnp::Send(node->pdo, IRP_MN_STOP_DEVICE);
        node->state = PnpState::Stopped;
        s.Changed();
        status = s.Start(*node);
    });
    return status;
}

NTSTATUS PnpManager::QueryRemoveThenCancel(PnpNode* node) {
    NTSTATUS status = STATUS_SUCCESS;
    State& s = *state_;
    s.Run([&] {
        std::vector<PnpNode*> asked;
        status = s.QueryRemoveTree(*node, &asked);
        s.CancelRemove(asked);
    });
    return status;
}

NTSTATUS PnpManager::QueryRemove(PnpNode* node) {
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    State& s = *state_;
    s.Run([&] {
        if (!node->Started()) return;
        std::vector<PnpNode*> asked;
        status = s.QueryRemoveTree(*node, &asked);
        if (!NT_SUCCESS(status)) {
            s.CancelRemove(asked);
            return;
        }
        node->removalAsked = std::move(asked);
    });
    return status;
}

NTSTATUS PnpManager::CancelRemove(PnpNode* node) {
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    State& s = *state_;
    s.Run([&] {
        if (node->removalAsked.empty()) return;
        s.CancelRemove(std::exchange(node->removalAsked, {}));
        status = STATUS_SUCCESS;
    });
    return status;
}

NTSTATUS PnpManager::QueryStop(PnpNode* node) {
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    State& s = *state_;
    s.Run([&] {
        if (!node->Started()) return;
        status = pnp::Send(node->pdo, IRP_MN_QUERY_STOP_DEVICE).status;
        // A refused query-stop is cancelled, as the rebalance that asked it gives up.
        if (!NT_SUCCESS(status)) pnp::Send(node->pdo, IRP_MN_CANCEL_STOP_DEVICE);
    });
    return status;
}

NTSTATUS PnpManager::CancelStop(PnpNode* node) {
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    State& s = *state_;
    s.Run([&] {
        if (!node->Started()) return;
        status = pnp::Send(node->pdo, IRP_MN_CANCEL_STOP_DEVICE).status;
    });
    return status;
}

void PnpManager::Settle() {
    State& s = *state_;
    s.Run([&s] { s.DepartUnheld(); });
}

NTSTATUS PnpManager::Remove(PnpNode* node) {
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    State& s = *state_;
    s.Run([&] {
        if (!Arrived(node) || node->state.load() == PnpState::SurpriseRemoved) return;
        node->removalAsked.clear();
        std::vector<PnpNode*> asked;
        status = s.QueryRemoveTree(*node, &asked);
        if (!NT_SUCCESS(status)) {
            s.CancelRemove(asked);
            return;
        }
        s.Depart(*node);
    });
    return status;
}

bool PnpManager::Unplug(PnpNode* node) {
    bool removed = false;
    State& s = *state_;
    s.Run([&] {
        if (!Arrived(node) || node->state.load() == PnpState::SurpriseRemoved) return;
        s.bus.Unplug(node->pdo);
        s.SurpriseTree(*node);
        if (s.FilesOpen(*node)) {
            s.awaitingFiles.push_back(node);
            return;
        }
        s.Depart(*node);
        removed = true;
    });
    return removed;
}

bool PnpManager::WaitRemoved(PnpNode* node, int64_t timeout100ns) {
    return host::WaitUntil([node] { return node->state.load() == PnpState::Removed; }, timeout100ns,
                           "PnP removal");
}

std::vector<PnpNode*> PnpManager::Nodes() const {
    std::vector<PnpNode*> out;
    State& s = *state_;
    s.Run([&] {
        for (PnpNode* root : s.roots) Collect(root, &out);
    });
    return out;
}

PnpNode* PnpManager::Find(PDEVICE_OBJECT pdo) const {
    for (PnpNode* node : Nodes())
        if (node->pdo == pdo) return node;
    return nullptr;
}

}  // namespace sim
