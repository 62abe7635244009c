// Requests through a handle: read, write and device control with the device's buffering and
// the control code's method, the caller's buffers probed for user-mode requests, and the
// tokens of asynchronous requests.
#include <algorithm>
#include <cstring>
#include <map>

#include "io_file.h"
#include "kernel.h"

using host::files::File;
using host::files::Token;

namespace host::detail::iom {
namespace {

constexpr ULONG kSystemBufferTag = 'fSoI';

struct Tokens {
    std::map<Token, FileRequestPtr> live;
    Token next = 0;
    std::vector<FileRequestPtr> abandoned;  // still inside a driver when their session ended
};

Tokens& Table() {
    static Tokens table;
    return table;
}

// Completion passed the top location: buffered output goes back to the caller and the
// platform takes the request back to free it when nobody can cancel it any more.
NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* r = static_cast<FileRequest*>(context);
    host::io::Result result{irp->IoStatus.Status, irp->IoStatus.Information};
    size_t n = std::min<size_t>(result.information, r->outputLength);
    if (r->system && r->output && n && !NT_ERROR(result.status)) {
        if (!r->userOutput)
            std::memcpy(r->output, r->system, n);
        else if (!SafeCopy(r->output, r->system, n))
            result.status = STATUS_ACCESS_VIOLATION;  // the caller's buffer went away meanwhile
    }
    if (r->system) ExFreePool(std::exchange(r->system, nullptr));
    FileRequestPtr keep;
    {
        std::lock_guard guard(Lock());
        r->result = result;
        r->completed = true;
        auto& pending = r->file->pending;
        auto it = std::find_if(pending.begin(), pending.end(), [r](const FileRequestPtr& p) { return p.get() == r; });
        if (it != pending.end()) {
            keep = std::move(*it);
            pending.erase(it);
        }
    }
    KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Keeps an open handle's file object while a request is set up and sent.
class Use {
public:
    explicit Use(File* file) {
        std::lock_guard guard(Lock());
        if (!IsOpenLocked(file)) return;
        ReferenceObject(&file->object);
        file_ = file;
    }
    ~Use() {
        if (file_) DereferenceObject(&file_->object);
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    explicit operator bool() const { return file_ != nullptr; }

private:
    File* file_ = nullptr;
};

// The I/O manager buffers by the flags of the device at the top of the stack.
bool Buffered(File* file) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->object.DeviceObject);
    bool buffered = (top->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO)) != 0;
    ObfDereferenceObject(top);
    return buffered;
}

// The I/O manager's own allocation for the caller's request: not the driver's to lose.
void* SystemBuffer(ULONG size) {
    host::faults::Exempt exempt;
    return ExAllocatePoolWithTag(NonPagedPool, size, kSystemBufferTag);
}

// A system buffer holding length bytes of the caller's input (zeroed beyond it).
NTSTATUS BufferInput(FileRequest& r, File* file, const void* input, ULONG inputLength, ULONG size) {
    r.system = SystemBuffer(size);
    if (!r.system) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(r.system, 0, size);
    if (inputLength == 0) return STATUS_SUCCESS;
    if (file->mode != UserMode) {
        std::memcpy(r.system, input, inputLength);
        return STATUS_SUCCESS;
    }
    return SafeCopy(r.system, input, inputLength) ? STATUS_SUCCESS : STATUS_ACCESS_VIOLATION;
}

void CopyBackTo(FileRequest& r, File* file, void* output, ULONG outputLength) {
    r.output = output;
    r.outputLength = outputLength;
    r.userOutput = file->mode == UserMode;
}

FileRequestPtr StartRead(File* file, void* buffer, ULONG length) {
    Use use(file);
    if (!use) return FailedRequest(STATUS_INVALID_HANDLE);
    auto r = std::make_shared<FileRequest>();
    if (Buffered(file) && length) {
        if (file->mode == UserMode && !ProbeForWrite(buffer, length)) return FailedRequest(STATUS_ACCESS_VIOLATION);
        r->system = SystemBuffer(length);
        if (!r->system) return FailedRequest(STATUS_INSUFFICIENT_RESOURCES);
        CopyBackTo(*r, file, buffer, length);
    }
    return SendThrough(file, r, IRP_MJ_READ, file->mode, [&](PIRP irp, PIO_STACK_LOCATION sl) {
        irp->UserBuffer = buffer;
        sl->Parameters.Read.Length = length;
    });
}

FileRequestPtr StartWrite(File* file, const void* buffer, ULONG length) {
    Use use(file);
    if (!use) return FailedRequest(STATUS_INVALID_HANDLE);
    auto r = std::make_shared<FileRequest>();
    if (Buffered(file) && length) {
        NTSTATUS status = BufferInput(*r, file, buffer, length, length);
        if (!NT_SUCCESS(status)) return FailedRequest(status);
    }
    return SendThrough(file, r, IRP_MJ_WRITE, file->mode, [&](PIRP irp, PIO_STACK_LOCATION sl) {
        irp->UserBuffer = const_cast<void*>(buffer);
        sl->Parameters.Write.Length = length;
    });
}

// METHOD_BUFFERED: one system buffer for input and output. The direct methods have no MDLs
// here: their input is buffered and their output is the caller's buffer, probed as the MDL's
// lock would. METHOD_NEITHER: both addresses as given, unprobed.
FileRequestPtr StartControl(File* file, ULONG code, const void* input, ULONG inputLength, void* output,
                            ULONG outputLength) {
    Use use(file);
    if (!use) return FailedRequest(STATUS_INVALID_HANDLE);
    auto r = std::make_shared<FileRequest>();
    ULONG method = METHOD_FROM_CTL_CODE(code);
    if (method != METHOD_NEITHER) {
        if (file->mode == UserMode && outputLength) {
            bool ok = method == METHOD_IN_DIRECT ? ProbeForRead(output, outputLength)
                                                 : ProbeForWrite(output, outputLength);
            if (!ok) return FailedRequest(STATUS_ACCESS_VIOLATION);
        }
        ULONG size = method == METHOD_BUFFERED ? std::max(inputLength, outputLength) : inputLength;
        if (size) {
            NTSTATUS status = BufferInput(*r, file, input, inputLength, size);
            if (!NT_SUCCESS(status)) return FailedRequest(status);
        }
        if (method == METHOD_BUFFERED && outputLength) CopyBackTo(*r, file, output, outputLength);
    }
    return SendThrough(file, r, IRP_MJ_DEVICE_CONTROL, file->mode, [&](PIRP irp, PIO_STACK_LOCATION sl) {
        irp->UserBuffer = output;
        sl->Parameters.DeviceIoControl.IoControlCode = code;
        sl->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        sl->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        if (method == METHOD_NEITHER) sl->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
    });
}

// The issuer has its result: a handle closed meanwhile may now let its file object go.
host::io::Result Finish(const FileRequestPtr& r, ULONG_PTR* information) {
    AwaitRequest(*r);
    if (r->file) ReleaseIfDone(r->file);
    if (information) *information = r->result.information;
    return r->result;
}

Token Remember(FileRequestPtr r) {
    std::lock_guard guard(Lock());
    Token token = ++Table().next;
    Table().live[token] = std::move(r);
    return token;
}

// A request still inside a driver keeps its record (its completion routine may yet run);
// its IRP is reported by the request tracker. With all, also those of an ended session,
// whose IRPs and pool went with it.
void Abandon(const FileRequestPtr& r, bool all) {
    if (r->completed && !all) return;
    r->irp = nullptr;
    r->system = nullptr;
    Table().abandoned.push_back(r);
}

}  // namespace

FileRequest::~FileRequest() {
    if (irp) IoFreeIrp(irp);
    if (system) ExFreePool(system);
}

FileRequestPtr FailedRequest(NTSTATUS status) {
    auto r = std::make_shared<FileRequest>();
    r->result = {status, 0};
    r->completed = true;
    KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
    return r;
}

FileRequestPtr SendThrough(File* file, FileRequestPtr r, UCHAR major, KPROCESSOR_MODE mode, const Setup& setup,
                           bool internal) {
    r->file = file;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->object.DeviceObject);
    PIRP irp = host::io::NewRequest(top->StackSize);
    irp->RequestorMode = mode;
    irp->AssociatedIrp.SystemBuffer = r->system;
    irp->Tail.Overlay.OriginalFileObject = &file->object;
    PIO_STACK_LOCATION sl = IoGetNextIrpStackLocation(irp);
    sl->MajorFunction = major;
    sl->FileObject = &file->object;
    if (setup) setup(irp, sl);
    IoSetCompletionRoutine(irp, Completed, r.get(), TRUE, TRUE, TRUE);
    bool refused;
    {
        // With the closing check, so Close's cancel sees every request that got through.
        std::lock_guard guard(Lock());
        refused = !internal && !IsOpenLocked(file);
        if (!refused) {
            r->irp = irp;
            if (!internal) r->thread = CurrentThread();
            file->pending.push_back(r);
        }
    }
    if (refused) {
        IoFreeIrp(irp);
        ObfDereferenceObject(top);
        return FailedRequest(STATUS_INVALID_HANDLE);
    }
    IofCallDriver(top, irp);
    ObfDereferenceObject(top);
    return r;
}

bool AwaitRequest(FileRequest& request, int64_t timeout100ns) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -timeout100ns;
    return KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE,
                                 timeout100ns ? &timeout : nullptr) != STATUS_TIMEOUT;
}

void AbandonLocked(File* file, bool all) {
    for (const FileRequestPtr& r : file->pending) Abandon(r, all);
}

void DropTokens(bool newSession) {
    std::map<Token, FileRequestPtr> live;
    {
        std::lock_guard guard(Lock());
        for (const auto& [token, r] : Table().live) Abandon(r, newSession);
        live.swap(Table().live);
        if (newSession) Table().abandoned.clear();
    }
}

}  // namespace host::detail::iom

using namespace host::detail;
using namespace host::detail::iom;

NTSTATUS host::files::Read(File* file, void* buffer, ULONG length, ULONG_PTR* transferred) {
    return Finish(StartRead(file, buffer, length), transferred).status;
}

NTSTATUS host::files::Write(File* file, const void* buffer, ULONG length, ULONG_PTR* transferred) {
    return Finish(StartWrite(file, buffer, length), transferred).status;
}

NTSTATUS host::files::DeviceIoControl(File* file, ULONG code, const void* input, ULONG inputLength, void* output,
                                      ULONG outputLength, ULONG_PTR* information) {
    return Finish(StartControl(file, code, input, inputLength, output, outputLength), information).status;
}

Token host::files::ReadAsync(File* file, void* buffer, ULONG length) {
    return Remember(StartRead(file, buffer, length));
}

Token host::files::WriteAsync(File* file, const void* buffer, ULONG length) {
    return Remember(StartWrite(file, buffer, length));
}

Token host::files::DeviceIoControlAsync(File* file, ULONG code, const void* input, ULONG inputLength,
                                        void* output, ULONG outputLength) {
    return Remember(StartControl(file, code, input, inputLength, output, outputLength));
}

host::io::Result host::files::Wait(Token token) {
    FileRequestPtr r;
    {
        std::lock_guard guard(Lock());
        auto it = Table().live.find(token);
        if (it == Table().live.end()) return {STATUS_INVALID_HANDLE, 0};
        r = std::move(it->second);
        Table().live.erase(it);
    }
    return Finish(r, nullptr);
}

bool host::files::Cancel(Token token) {
    FileRequestPtr r;  // keeps the IRP while IoCancelIrp looks at it
    {
        std::lock_guard guard(Lock());
        auto it = Table().live.find(token);
        if (it == Table().live.end() || it->second->completed) return false;
        r = it->second;
    }
    return IoCancelIrp(r->irp) != FALSE;
}

bool host::files::Done(Token token) {
    std::lock_guard guard(Lock());
    auto it = Table().live.find(token);
    return it != Table().live.end() && it->second->completed;
}
