// The client side of the driver: units on the simulated bus that hold slots of the unit
// table, the master's child device (built here, as the master's start will build it), and
// requests sent to the child and the function devices.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "client/client.h"
#include "unit_world.h"

class ClientWorld : public UnitStackTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A started unit with running reads that holds the slot of its device ID; the master
    // gets the child.
    Unit& Register(ULONG id, ULONG firmware = 100);
    // A bulk-in packet from the unit, handed on before this returns.
    void Arrive(Unit& u, std::vector<uint8_t> bytes);
    // An internal request to the child, completed before this returns.
    host::io::Result Internal(ULONG code, void* block, ULONG inputLength, ULONG outputLength);

    // A read of the child's stream that may be parked; the platform frees its request.
    struct Read {
        PIRP irp = nullptr;
        UCHAR data[64] = {};
        UNIT_DATA_BLOCK block = {0, 0, 0, nullptr};
        std::atomic<int> completions{0};
        NTSTATUS status = 0;
        ULONG_PTR information = 0;
        std::vector<uint8_t> Bytes() const { return {data, data + block.ByteCount}; }
    };
    NTSTATUS StartRead(Read& r, LONG capacity);
    // Sends an internal read on a request the caller owns.
    NTSTATUS SendRead(PIRP irp, UNIT_DATA_BLOCK* block);

    // The enabled interface link of the unit, for file handles.
    std::u16string LinkOf(const Unit& u);
    // The bytes queued in the unit's output ring, oldest first.
    static std::vector<uint8_t> Queued(const Unit& u);

    PDEVICE_OBJECT childDevice_ = nullptr;
    PDO_EXTENSION* child_ = nullptr;
};

// A completion routine that keeps the request for the test that owns it, counting.
NTSTATUS NTAPI KeepOwnedRequest(PDEVICE_OBJECT, PIRP, PVOID completions);
