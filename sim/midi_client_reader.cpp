// The client's reader: one IOCTL_UNIT_READ in flight from a system thread of its own. The
// thread sends, waits and records, then sends again; the completion routine only signals,
// as a read completed in the send would otherwise recurse into the next.
#include "sim/midi_client_state.h"

#include <algorithm>

namespace sim {
namespace {

NTSTATUS NTAPI ReadDone(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID NTAPI ReaderMain(PVOID context) {
    auto* state = static_cast<MidiClient::State*>(context);
    MidiClientDevice* device = state->readerDevice;
    state->RunReader(device);
    state->running = false;
    state->Release(device);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

void MidiClient::State::RunReader(MidiClientDevice* d) {
    for (;;) {
        int32_t wanted = capacity.load();
        std::vector<uint8_t> data(static_cast<size_t>(wanted));
        UNIT_DATA_BLOCK block{0, 0, wanted, data.data()};
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp;
        {
            host::faults::Exempt exempt;  // the client's request
            irp = IoAllocateIrp(d->lower->StackSize, FALSE);
        }
        if (!irp) {
            RecordError(STATUS_INSUFFICIENT_RESOURCES);
            return;
        }
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_UNIT_READ;
        next->Parameters.DeviceIoControl.Type3InputBuffer = &block;
        next->Parameters.DeviceIoControl.OutputBufferLength = sizeof(UNIT_DATA_BLOCK);
        IoSetCompletionRoutine(irp, ReadDone, &done, TRUE, TRUE, TRUE);
        {
            std::lock_guard guard(mutex);
            if (stopping) {
                IoFreeIrp(irp);
                return;
            }
            inFlight = irp;
        }
        IoCallDriver(d->lower, irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        {
            std::lock_guard guard(mutex);
            inFlight = nullptr;
        }
        NTSTATUS status = irp->IoStatus.Status;
        IoFreeIrp(irp);
        if (status == STATUS_CANCELLED) return;
        if (!NT_SUCCESS(status)) {
            RecordError(status);
            return;
        }
        Record(block.DeviceId, data.data(), std::min<size_t>(block.ByteCount, data.size()));
    }
}

NTSTATUS MidiClient::State::StartReader(MidiClientDevice* d) {
    if (reader && running) return STATUS_SUCCESS;
    StopReader();  // one that ended on an error
    {
        std::lock_guard guard(mutex);
        if (d->removing) return STATUS_DELETE_PENDING;
        stopping = false;
        InterlockedIncrement(&d->ioCount);  // the reader's, dropped when it ends
    }
    readerDevice = d;
    running = true;
    HANDLE handle = nullptr;
    NTSTATUS status;
    {
        host::faults::Exempt exempt;  // the client's thread
        status = PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, ReaderMain, this);
    }
    if (NT_SUCCESS(status)) {
        PVOID thread = nullptr;
        status = ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr);
        ZwClose(handle);
        reader = static_cast<PKTHREAD>(thread);
    }
    if (!NT_SUCCESS(status)) {
        readerDevice = nullptr;
        running = false;
        Release(d);
    }
    return status;
}

// A read sent just before the stop may not yet hold a cancel routine when it is cancelled;
// it is cancelled again until the thread is seen to end.
void MidiClient::State::StopReader() {
    if (!reader) return;
    {
        std::lock_guard guard(mutex);
        stopping = true;
    }
    for (;;) {
        {
            std::lock_guard guard(mutex);
            if (inFlight) IoCancelIrp(inFlight);
        }
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10 * 10000;
        if (KeWaitForSingleObject(reader, Executive, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT) break;
    }
    ObDereferenceObject(reader);
    reader = nullptr;
    readerDevice = nullptr;
}

void MidiClient::State::Record(uint32_t id, const uint8_t* data, size_t count) {
    {
        std::lock_guard guard(mutex);
        Stream& stream = streams[id];
        stream.bytes.insert(stream.bytes.end(), data, data + count);
        for (size_t i = 0; i < count; ++i) stream.parser.Feed(data[i]);
        reads.push_back({id, std::vector<uint8_t>(data, data + count)});
        timedReads.push_back({host::Now(), id, uint32_t(count)});
    }
    KeSetEvent(&progress, IO_NO_INCREMENT, FALSE);
    KeResetEvent(&progress);
}

void MidiClient::State::RecordError(NTSTATUS status) {
    std::lock_guard guard(mutex);
    errors.push_back(status);
}

}  // namespace sim
