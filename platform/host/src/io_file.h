// The I/O manager's file side, shared by its files: an open handle's file object, the requests
// sent through it, and safe access to a caller's buffers.
#pragma once

#include <memory>

#include "io_internal.h"

namespace host::detail::iom {

// One request sent through a handle. The platform keeps the IRP (its completion routine at the
// top location takes it back) until nobody can still cancel it, then frees it.
struct FileRequest {
    FileRequest() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
    ~FileRequest();
    FileRequest(const FileRequest&) = delete;
    FileRequest& operator=(const FileRequest&) = delete;

    host::files::File* file = nullptr;
    const void* thread = nullptr;  // the issuer: its end cancels what it left pending
    PIRP irp = nullptr;
    KEVENT done;
    bool completed = false;  // Lock()
    host::io::Result result{STATUS_PENDING, 0};
    // Buffered I/O: the system buffer, and where its output goes back to at completion.
    PVOID system = nullptr;
    void* output = nullptr;
    ULONG outputLength = 0;
    bool userOutput = false;  // the output address is the caller's: copied safely
};
using FileRequestPtr = std::shared_ptr<FileRequest>;

using Setup = std::function<void(PIRP, PIO_STACK_LOCATION)>;
// A request that failed before any driver saw it.
FileRequestPtr FailedRequest(NTSTATUS status);
// Sends a request through the handle to the top of its device's stack. Unless internal (the
// I/O manager's own cleanup and close), a handle that is closing refuses it.
FileRequestPtr SendThrough(host::files::File* file, FileRequestPtr request, UCHAR major,
                           KPROCESSOR_MODE mode, const Setup& setup, bool internal = false);
// Waits for completion (a platform wait); timeout100ns 0 = none. False when it timed out.
bool AwaitRequest(FileRequest& request, int64_t timeout100ns = 0);
bool IsOpenLocked(const host::files::File* file);
// At a session's end (or, with newSession, the next one's start): forgets the tokens nobody
// waited for, and keeps the records of requests still inside a driver (all, with
// newSession) without freeing what they hold.
void DropTokens(bool newSession);
void AbandonLocked(host::files::File* file, bool all);
// The file object's handle reference goes once its handle is closed and no request through
// it is pending any more (the issuer has had its completion); safe to call on a file that is
// gone.
void ReleaseIfDone(host::files::File* file);

// A caller's memory, touched without faulting on a bad address: false when a byte of the
// range cannot be read (or written).
bool SafeCopy(void* to, const void* from, size_t n);
bool ProbeForRead(const void* p, size_t n);
bool ProbeForWrite(void* p, size_t n);

}  // namespace host::detail::iom

struct host::files::File {
    FILE_OBJECT object{};
    std::u16string path;
    std::u16string fileName;  // what follows the device's name, for FILE_OBJECT::FileName
    KPROCESSOR_MODE mode = UserMode;
    bool created = false;
    // Lock():
    bool closing = false;
    bool released = false;  // the handle's reference on the file object is gone
    std::vector<host::detail::iom::FileRequestPtr> pending;
};
