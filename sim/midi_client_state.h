// The MIDI client's inside: its device extension, and the state its operations, its reader
// thread and its PnP handlers share.
#pragma once

#include <atomic>
#include <map>
#include <mutex>

#include "platform/host/control.h"
#include "sim/midi_client.h"
#include "sim/unit_client_interface.h"

namespace sim {

struct MidiClientDevice {
    MidiClient::State* owner;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;  // the child, where every request goes
    LONG ioCount;          // 1 for the device itself, one per operation or reader using it
    KEVENT drained;
    bool removing;         // under the owner's mutex
};

struct MidiClient::State {
    State();

    // Operations take the device with an I/O count, so removal waits for them.
    MidiClientDevice* Acquire(NTSTATUS* status);
    void Release(MidiClientDevice* device);
    NTSTATUS Send(MidiClientDevice* device, ULONG code, void* block, ULONG inputLength, ULONG outputLength,
                  ULONG_PTR* information = nullptr);

    // The reader; start and stop hold the control lock across their waits.
    void LockControl();
    void UnlockControl();
    NTSTATUS StartReader(MidiClientDevice* device);
    void StopReader();
    void RunReader(MidiClientDevice* device);
    void Record(uint32_t id, const uint8_t* data, size_t count);
    void RecordError(NTSTATUS status);

    // PnP: a new device, its surprise removal (stops the reader, refuses new operations),
    // its removal (also waits for the operations still using it).
    void Attach(MidiClientDevice* device);
    void Detach(MidiClientDevice* device, bool drain);

    mutable std::mutex mutex;  // never held across a platform wait
    MidiClientDevice* device = nullptr;
    PIRP inFlight = nullptr;
    bool stopping = false;

    KEVENT control;  // a synchronization event used as a lock
    PKTHREAD reader = nullptr;
    MidiClientDevice* readerDevice = nullptr;
    std::atomic<bool> running{false};  // the reader's thread has not ended
    std::atomic<int32_t> capacity{64};
    KEVENT progress;  // pulsed when a read is recorded, for waiters

    struct Stream {
        std::vector<uint8_t> bytes;
        MidiClientParser parser;
    };
    std::map<uint32_t, Stream> streams;
    std::vector<TaggedRead> reads;
    std::vector<TimedRead> timedReads;
    std::vector<NTSTATUS> errors;
};

// The client loaded last; AddDevice hands its devices to it.
extern std::atomic<MidiClient::State*> loadedMidiClient;
NTSTATUS NTAPI MidiClientEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

}  // namespace sim
