#include "sim/midi_client.h"

#include <algorithm>

#include "sim/midi_client_state.h"

namespace sim {

const std::vector<std::u16string>& MidiClient::HardwareIds() {
    static const std::vector<std::u16string> ids = {
        u"USB\\{0C5B002A-5E73-11d3-9D4E-00A0C9E17B35}",
        u"USB\\{0C5B002B-5E73-11d3-9D4E-00A0C9E17B35}",
        u"USB\\{0C5BFFFF-5E73-11d3-9D4E-00A0C9E17B35}",
    };
    return ids;
}

MidiClient::State::State() {
    KeInitializeEvent(&control, SynchronizationEvent, TRUE);
    KeInitializeEvent(&progress, NotificationEvent, FALSE);
}

MidiClientDevice* MidiClient::State::Acquire(NTSTATUS* status) {
    std::lock_guard guard(mutex);
    if (!device) {
        *status = STATUS_NO_SUCH_DEVICE;
        return nullptr;
    }
    if (device->removing) {
        *status = STATUS_DELETE_PENDING;
        return nullptr;
    }
    InterlockedIncrement(&device->ioCount);
    *status = STATUS_SUCCESS;
    return device;
}

void MidiClient::State::Release(MidiClientDevice* d) {
    if (InterlockedDecrement(&d->ioCount) == 0) KeSetEvent(&d->drained, IO_NO_INCREMENT, FALSE);
}

void MidiClient::State::LockControl() { KeWaitForSingleObject(&control, Executive, KernelMode, FALSE, nullptr); }
void MidiClient::State::UnlockControl() { KeSetEvent(&control, IO_NO_INCREMENT, FALSE); }

// Sent from kernel mode with the block in Type3InputBuffer, as the child's requests expect.
NTSTATUS MidiClient::State::Send(MidiClientDevice* d, ULONG code, void* block, ULONG inputLength,
                                 ULONG outputLength, ULONG_PTR* information) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp;
    {
        host::faults::Exempt exempt;  // the client's request, not the driver's
        irp = IoBuildDeviceIoControlRequest(code, d->lower, block, inputLength, nullptr, outputLength, TRUE, &done, &iosb);
    }
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(d->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (information) *information = iosb.Information;
    return status;
}

MidiClient::MidiClient() : state_(std::make_unique<State>()) {}

MidiClient::~MidiClient() {
    State* self = state_.get();
    loadedMidiClient.compare_exchange_strong(self, nullptr);
    state_->LockControl();
    state_->StopReader();
    state_->UnlockControl();
    std::lock_guard guard(state_->mutex);
    if (state_->device) state_->device->owner = nullptr;
}

PDRIVER_OBJECT MidiClient::Load(PnpManager& pnp) {
    loadedMidiClient = state_.get();
    return pnp.LoadDriver(kService, MidiClientEntry, HardwareIds());
}

bool MidiClient::Attached() const { return Device() != nullptr; }

PDEVICE_OBJECT MidiClient::Device() const {
    std::lock_guard guard(state_->mutex);
    return state_->device ? state_->device->self : nullptr;
}

NTSTATUS MidiClient::OpenAll() {
    NTSTATUS status;
    MidiClientDevice* d = state_->Acquire(&status);
    if (!d) return status;
    status = state_->Send(d, IOCTL_UNIT_OPEN_ALL, nullptr, 0, 0);
    if (NT_SUCCESS(status)) {
        state_->LockControl();
        status = state_->StartReader(d);
        state_->UnlockControl();
    }
    state_->Release(d);
    return status;
}

NTSTATUS MidiClient::CloseAll() {
    NTSTATUS status;
    MidiClientDevice* d = state_->Acquire(&status);
    if (!d) return status;
    state_->LockControl();
    state_->StopReader();
    state_->UnlockControl();
    status = state_->Send(d, IOCTL_UNIT_CLOSE_ALL, nullptr, 0, 0);
    state_->Release(d);
    return status;
}

std::vector<ListedUnit> MidiClient::List(NTSTATUS* status) {
    NTSTATUS result;
    std::vector<ListedUnit> units;
    if (MidiClientDevice* d = state_->Acquire(&result)) {
        UNIT_LIST_ENTRY entries[MAX_UNITS] = {};
        result = state_->Send(d, IOCTL_UNIT_LIST, entries, 0, UNIT_LIST_SIZE);
        state_->Release(d);
        for (uint32_t id = 0; NT_SUCCESS(result) && id < MAX_UNITS; ++id)
            if (entries[id].FirmwareVersion) units.push_back({id, entries[id].FirmwareVersion});
    }
    if (status) *status = result;
    return units;
}

NTSTATUS MidiClient::Write(uint32_t id, const std::vector<uint8_t>& bytes, uint32_t* queued) {
    if (queued) *queued = 0;
    NTSTATUS status;
    MidiClientDevice* d = state_->Acquire(&status);
    if (!d) return status;
    std::vector<uint8_t> data = bytes;
    UNIT_DATA_BLOCK block{id, static_cast<ULONG>(data.size()), 0, data.data()};
    status = state_->Send(d, IOCTL_UNIT_WRITE, &block, sizeof block, 0);
    state_->Release(d);
    // The answer is in the block on success and on the warning of a short write; an error
    // queued nothing.
    if (queued && !NT_ERROR(status)) *queued = block.ByteCount;
    return status;
}

NTSTATUS MidiClient::WriteMaster(const std::vector<uint8_t>& bytes, uint32_t* queued) {
    if (queued) *queued = 0;
    NTSTATUS status;
    MidiClientDevice* d = state_->Acquire(&status);
    if (!d) return status;
    std::vector<uint8_t> data = bytes;
    ULONG_PTR information = 0;
    status = state_->Send(d, IOCTL_UNIT_WRITE_MASTER, data.empty() ? nullptr : data.data(),
                          static_cast<ULONG>(data.size()), 0, &information);
    state_->Release(d);
    if (queued && !NT_ERROR(status)) *queued = uint32_t(information);
    return status;
}

void MidiClient::SetCapacity(int32_t capacity) { state_->capacity = std::max<int32_t>(capacity, 1); }

bool MidiClient::Reading() const { return state_->running.load(); }

std::vector<uint8_t> MidiClient::Received(uint32_t id) const {
    std::lock_guard guard(state_->mutex);
    auto it = state_->streams.find(id);
    return it == state_->streams.end() ? std::vector<uint8_t>{} : it->second.bytes;
}

std::vector<uint8_t> MidiClient::TakeReceived(uint32_t id) {
    std::lock_guard guard(state_->mutex);
    std::vector<uint8_t> out;
    out.swap(state_->streams[id].bytes);
    return out;
}

std::vector<MidiMessage> MidiClient::Messages(uint32_t id) const {
    std::lock_guard guard(state_->mutex);
    auto it = state_->streams.find(id);
    return it == state_->streams.end() ? std::vector<MidiMessage>{} : it->second.parser.Messages();
}

std::vector<MidiMessage> MidiClient::TakeMessages(uint32_t id) {
    std::lock_guard guard(state_->mutex);
    return state_->streams[id].parser.TakeMessages();
}

std::vector<TaggedRead> MidiClient::Reads() const {
    std::lock_guard guard(state_->mutex);
    return state_->reads;
}

std::vector<TaggedRead> MidiClient::TakeReads() {
    std::lock_guard guard(state_->mutex);
    std::vector<TaggedRead> out;
    out.swap(state_->reads);
    return out;
}

std::vector<TimedRead> MidiClient::TakeTimedReads() {
    std::lock_guard guard(state_->mutex);
    std::vector<TimedRead> out;
    out.swap(state_->timedReads);
    return out;
}

std::vector<std::pair<int64_t, TaggedRead>> MidiClient::TakeReadsWithTimes() {
    std::lock_guard guard(state_->mutex);
    std::vector<std::pair<int64_t, TaggedRead>> out;
    // Record adds to both under the mutex: the last reads are the last times.
    size_t skip = state_->timedReads.size() - std::min(state_->timedReads.size(), state_->reads.size());
    for (size_t i = 0; i < state_->reads.size(); ++i) {
        size_t t = i + skip;
        out.emplace_back(t < state_->timedReads.size() ? state_->timedReads[t].time : host::Now(),
                         std::move(state_->reads[i]));
    }
    state_->reads.clear();
    state_->timedReads.clear();
    return out;
}

std::vector<NTSTATUS> MidiClient::Errors() const {
    std::lock_guard guard(state_->mutex);
    return state_->errors;
}

bool MidiClient::WaitReceived(uint32_t id, size_t count, int64_t timeout100ns) const {
    return host::WaitUntil([&] { return Received(id).size() >= count; }, timeout100ns, "MIDI client input");
}

}  // namespace sim
