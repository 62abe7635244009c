#include "sim/app_model.h"

#include <algorithm>

namespace sim {

// The application's end is its thread's: what it left pending is cancelled and waited for.
Application::~Application() {
    Close();
    if (pending_) {
        Cancel();
        Wait();
    }
}

std::u16string Application::LinkOf(PDEVICE_OBJECT unitPdo) {
    for (const host::io::InterfaceLink& link : host::io::Interfaces())
        if (link.pdo == unitPdo && link.enabled) return link.link;
    return {};
}

NTSTATUS Application::Open(PDEVICE_OBJECT unitPdo) {
    std::u16string link = LinkOf(unitPdo);
    if (link.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    return OpenPath(link);
}

NTSTATUS Application::OpenPath(const std::u16string& path) {
    if (file_) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = STATUS_SUCCESS;
    file_ = host::files::Open(path, UserMode, &status);
    return status;
}

Application::ReadResult Application::Read(ULONG length) {
    if (!StartRead(length)) return {STATUS_INVALID_DEVICE_STATE, {}};
    return Wait();
}

bool Application::StartRead(ULONG length) {
    if (!file_ || pending_) return false;
    buffer_.assign(length, 0);
    pending_ = host::files::ReadAsync(file_, buffer_.empty() ? nullptr : buffer_.data(), length);
    return true;
}

Application::ReadResult Application::Wait() {
    if (!pending_) return {STATUS_INVALID_DEVICE_STATE, {}};
    host::io::Result result = host::files::Wait(*pending_);
    pending_.reset();
    size_t count = std::min<size_t>(result.information, buffer_.size());
    return {result.status, std::vector<uint8_t>(buffer_.begin(), buffer_.begin() + count)};
}

bool Application::Cancel() { return pending_ && host::files::Cancel(*pending_); }

NTSTATUS Application::Write(const std::vector<uint8_t>& bytes, ULONG_PTR* written) {
    if (!file_) return STATUS_INVALID_DEVICE_STATE;
    return host::files::Write(file_, bytes.empty() ? nullptr : bytes.data(), static_cast<ULONG>(bytes.size()),
                              written);
}

NTSTATUS Application::Close() {
    if (!file_) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = host::files::Close(file_);
    file_ = nullptr;
    return status;
}

}  // namespace sim
