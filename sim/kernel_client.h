// A kernel-mode client of one unit: it opens the unit's function device in kernel mode,
// fetches the direct-call table with IOCTL_UNIT_GET_DIRECT_CALLS and calls the unit's
// entries through it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/host/control.h"
#include "sim/unit_client_interface.h"

namespace sim {

class KernelClient {
public:
    KernelClient() = default;
    ~KernelClient();
    KernelClient(const KernelClient&) = delete;
    KernelClient& operator=(const KernelClient&) = delete;

    // Through the unit's enabled interface link (STATUS_OBJECT_NAME_NOT_FOUND without one).
    NTSTATUS Open(PDEVICE_OBJECT unitPdo);
    NTSTATUS OpenPath(const std::u16string& path);
    bool IsOpen() const { return file_ != nullptr; }

    // Sends the request with a fresh block ('EMG1', reserved field 0) and keeps the table
    // when it succeeds.
    NTSTATUS GetDirectCalls();
    bool HasDirectCalls() const { return block_.DirectWrite != nullptr; }
    const DIRECT_CALL_BLOCK& Block() const { return block_; }

    // Calls through the table (passive level); without a table they return 0 and
    // STATUS_INVALID_DEVICE_STATE.
    ULONG DirectWrite(const std::vector<uint8_t>& bytes);
    NTSTATUS DirectSetMode(ULONG selector);
    ULONG DirectWriteEx(ULONG reserved, const std::vector<uint8_t>& bytes);

    // Forgets the table and closes the handle.
    NTSTATUS Close();

private:
    host::files::File* file_ = nullptr;
    DIRECT_CALL_BLOCK block_{};
};

}  // namespace sim
