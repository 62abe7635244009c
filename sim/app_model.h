// An application with a handle on one unit's function device, opened as a file through the
// unit's device interface link (user mode).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/control.h"

namespace sim {

class Application {
public:
    struct ReadResult {
        NTSTATUS status;
        std::vector<uint8_t> bytes;
    };

    Application() = default;
    // Closes the handle if it is open, then, as the end of the application's thread, cancels
    // a read still running and waits for it.
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // The enabled interface link registered on the unit's PDO, or "" when there is none.
    static std::u16string LinkOf(PDEVICE_OBJECT unitPdo);

    // STATUS_OBJECT_NAME_NOT_FOUND when the unit has no enabled link; STATUS_INVALID_DEVICE_STATE
    // when this application already holds a handle.
    NTSTATUS Open(PDEVICE_OBJECT unitPdo);
    NTSTATUS OpenPath(const std::u16string& path);
    bool IsOpen() const { return file_ != nullptr; }

    // A read of at most length bytes that waits until it ends.
    ReadResult Read(ULONG length);
    // A read left running: Wait ends it, Cancel asks the driver to. One at a time; false when
    // one is already running or no handle is open.
    bool StartRead(ULONG length);
    bool ReadPending() const { return pending_.has_value(); }
    // Has the running read ended? (Wait then returns at once.)
    bool ReadDone() const { return pending_ && host::files::Done(*pending_); }
    ReadResult Wait();  // STATUS_INVALID_DEVICE_STATE when no read is running
    bool Cancel();

    NTSTATUS Write(const std::vector<uint8_t>& bytes, ULONG_PTR* written = nullptr);
    // Closes the handle. A running read is not cancelled by the close: the driver's cleanup
    // may end it; its result stays for Wait.
    NTSTATUS Close();

private:
    host::files::File* file_ = nullptr;
    std::optional<host::files::Token> pending_;
    std::vector<uint8_t> buffer_;
};

}  // namespace sim
