// Handles on devices: resolving a path to a device, the file object behind a handle, and the
// create, cleanup and close requests that open and end it.
#include <algorithm>
#include <set>

#include "io_file.h"

using host::files::File;

namespace host::detail::iom {
namespace {

struct Files {
    std::set<File*> open;  // handles not yet closed
    std::set<File*> live;  // file objects not yet destroyed
};

Files& Table() {
    static Files table;
    return table;
}

constexpr ULONG kFileOpen = 1;  // the create disposition: open an existing object
// How long Close waits for a cancelled request before calling it a driver fault (virtual time).
constexpr int64_t kCancelWait = 5 * 60 * 10000000LL;

// "\\?\" is how applications spell the object manager's "\??\".
std::u16string Normalized(const std::u16string& path) {
    if (path.rfind(u"\\\\?\\", 0) == 0) return u"\\??\\" + path.substr(4);
    return path;
}

// name, or name followed by "\rest": the rest is the file name the driver sees.
bool Names(const std::u16string& name, const std::u16string& path, std::u16string* rest) {
    if (path.size() < name.size() || !EqualNoCase(path.substr(0, name.size()), name)) return false;
    if (path.size() > name.size() && path[name.size()] != u'\\') return false;
    *rest = path.substr(name.size());
    return true;
}

// The device a path names, referenced, or null with the status.
PDEVICE_OBJECT Resolve(const std::u16string& path, std::u16string* rest, NTSTATUS* status) {
    std::u16string wanted = Normalized(path);
    PDEVICE_OBJECT device = nullptr;
    *status = STATUS_OBJECT_NAME_NOT_FOUND;
    for (const host::io::InterfaceLink& l : host::io::Interfaces()) {
        if (!l.enabled || !Names(l.link, wanted, rest)) continue;
        device = l.pdo;
        break;
    }
    std::lock_guard guard(Lock());
    if (!device) {
        // The longest device name that starts the path.
        for (size_t end = wanted.size(); end != 0 && end != std::u16string::npos;
             end = wanted.rfind(u'\\', end - 1)) {
            device = NamedDeviceLocked(wanted.substr(0, end));
            if (!device) continue;
            *rest = wanted.substr(end);
            break;
        }
    }
    _DEVOBJ_EXTENSION* r = device ? DeviceRecordLocked(device) : nullptr;
    if (!r || r->deleted) return nullptr;
    if (device->Flags & DO_DEVICE_INITIALIZING) {
        *status = STATUS_NO_SUCH_DEVICE;
        return nullptr;
    }
    ReferenceObject(device);
    *status = STATUS_SUCCESS;
    return device;
}

host::io::Result SendAndAwait(File* file, UCHAR major, KPROCESSOR_MODE mode, const Setup& setup) {
    FileRequestPtr r = SendThrough(file, std::make_shared<FileRequest>(), major, mode, setup, true);
    AwaitRequest(*r);
    return r->result;
}

// The last reference to the file object went: a handle that was opened gets its close.
void Destroy(File* file) {
    // The I/O manager sends cleanup and close on its own behalf; their status is not the
    // caller's, so a driver without handlers for them (the prefilled "invalid device
    // request") still closes.
    if (file->created) SendAndAwait(file, IRP_MJ_CLOSE, KernelMode, nullptr);
    {
        std::lock_guard guard(Lock());
        Table().live.erase(file);
    }
    DereferenceObject(file->object.DeviceObject);
    delete file;
    NotifyStateChange();  // a surprise-removed stack may wait for its last file object
}

// Windows sends IRP_MJ_CLEANUP when the last handle to a file object is closed and cancels
// nothing: requests still pending through it stay with the thread that issued them (ended by
// the driver, a cancel, or that thread's end). Each pending request keeps the file object, so
// IRP_MJ_CLOSE follows only once the last of them has completed (the WDK's IRP_MJ_CLEANUP
// page: the file object may outlive its last handle while requests are outstanding).
NTSTATUS CloseFile(File* file) {
    {
        std::lock_guard guard(Lock());
        if (!IsOpenLocked(file)) return STATUS_INVALID_HANDLE;
        file->closing = true;
    }
    SendAndAwait(file, IRP_MJ_CLEANUP, KernelMode, nullptr);
    {
        std::lock_guard guard(Lock());
        Table().open.erase(file);
    }
    ReleaseIfDone(file);
    return STATUS_SUCCESS;
}

}  // namespace

// A thread that ends with requests pending has them cancelled, and the I/O manager waits
// for them (the WDK's "Canceling IRPs": the system cancels the IRPs of a thread that exits,
// and one not completed within five minutes counts as timed out; here it is reported).
void CancelThreadRequests(const void* thread) {
    std::vector<FileRequestPtr> pending;
    std::vector<File*> files;
    {
        std::lock_guard guard(Lock());
        for (File* file : Table().live) {
            for (const FileRequestPtr& r : file->pending)
                if (r->thread == thread && !r->completed) pending.push_back(r);
        }
    }
    if (pending.empty()) return;
    for (const FileRequestPtr& r : pending) IoCancelIrp(r->irp);
    for (const FileRequestPtr& r : pending) {
        if (AwaitRequest(*r, kCancelWait)) {
            ReleaseIfDone(r->file);
            continue;
        }
        std::string detail;
        {
            std::lock_guard guard(Lock());
            TrackerPtr t = FindIrpLocked(r->irp);
            detail = t ? DescribeIrp(*t) : "IRP " + PointerText(r->irp);
        }
        Violate(rules::kThreadRequestNotCancelled, detail);
    }
}

void ReleaseIfDone(File* file) {
    {
        std::lock_guard guard(Lock());
        if (!Table().live.count(file) || file->released || Table().open.count(file) || !file->pending.empty())
            return;
        file->released = true;
    }
    DereferenceObject(&file->object);
}

bool IsOpenLocked(const File* file) {
    return Table().open.count(const_cast<File*>(file)) != 0 && !file->closing;
}

void ResetFiles() {
    {
        std::lock_guard guard(Lock());
        for (File* file : Table().open) AbandonLocked(file, true);
        Table().open.clear();
        Table().live.clear();
    }
    DropTokens(true);
}

std::string FileLeaks() {
    std::vector<File*> open;
    {
        std::lock_guard guard(Lock());
        open.assign(Table().open.begin(), Table().open.end());
    }
    std::string report;
    for (File* file : open) {
        report += "file not closed: " + Narrow(file->path) + "\n";
        bool standing;
        {
            std::lock_guard guard(Lock());
            _DEVOBJ_EXTENSION* r = DeviceRecordLocked(file->object.DeviceObject);
            standing = r && !r->deleted;
        }
        // A deleted device's driver may be gone: nothing is sent to it, and the file object
        // stays with the device's reference.
        if (standing) {
            CloseFile(file);
        } else {
            std::lock_guard guard(Lock());
            AbandonLocked(file, false);
            Table().open.erase(file);
        }
    }
    std::vector<File*> held;
    {
        std::lock_guard guard(Lock());
        for (File* file : Table().live)
            if (file->created && !file->released && !Table().open.count(file)) held.push_back(file);
    }
    for (File* file : held) {
        report += "file object kept after its handle was closed, by a request still pending: " + Narrow(file->path) + "\n";
        std::lock_guard guard(Lock());
        AbandonLocked(file, false);
    }
    DropTokens(false);
    return report;
}

}  // namespace host::detail::iom

using namespace host::detail;
using namespace host::detail::iom;

File* host::files::Open(const std::u16string& path, KPROCESSOR_MODE mode, NTSTATUS* status) {
    NTSTATUS result;
    auto file = std::make_unique<File>();
    PDEVICE_OBJECT device = Resolve(path, &file->fileName, &result);
    if (!device) {
        if (status) *status = result;
        return nullptr;
    }
    file->path = path;
    file->mode = mode;
    PFILE_OBJECT object = &file->object;
    object->Type = 5;  // IO_TYPE_FILE
    object->Size = sizeof(FILE_OBJECT);
    object->DeviceObject = device;
    object->ReadAccess = object->WriteAccess = TRUE;
    object->FileName.Buffer = file->fileName.data();
    object->FileName.Length = object->FileName.MaximumLength =
        static_cast<USHORT>(file->fileName.size() * sizeof(WCHAR));
    File* raw = file.release();
    {
        std::lock_guard guard(Lock());
        Table().live.insert(raw);
    }
    RegisterObject(object, ObjectKind::File, [raw] { Destroy(raw); });

    result = SendAndAwait(raw, IRP_MJ_CREATE, mode, [](PIRP, PIO_STACK_LOCATION sl) {
                 sl->Parameters.Create.Options = kFileOpen << 24;
             }).status;
    if (status) *status = result;
    if (!NT_SUCCESS(result)) {
        DereferenceObject(object);  // no cleanup or close for a create that failed
        return nullptr;
    }
    std::lock_guard guard(Lock());
    raw->created = true;
    Table().open.insert(raw);
    return raw;
}

NTSTATUS host::files::Close(File* file) { return CloseFile(file); }

PFILE_OBJECT host::files::FileObject(File* file) { return &file->object; }

size_t host::files::OpenOnStack(PDEVICE_OBJECT pdo) {
    std::lock_guard guard(Lock());
    size_t count = 0;
    for (PDEVICE_OBJECT device = pdo; device; device = device->AttachedDevice) {
        for (const File* file : Table().live)
            if (file->object.DeviceObject == device) ++count;
    }
    return count;
}
