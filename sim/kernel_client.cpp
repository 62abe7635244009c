#include "sim/kernel_client.h"

#include "sim/app_model.h"

namespace sim {

KernelClient::~KernelClient() { Close(); }

NTSTATUS KernelClient::Open(PDEVICE_OBJECT unitPdo) {
    std::u16string link = Application::LinkOf(unitPdo);
    if (link.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    return OpenPath(link);
}

NTSTATUS KernelClient::OpenPath(const std::u16string& path) {
    if (file_) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = STATUS_SUCCESS;
    file_ = host::files::Open(path, KernelMode, &status);
    return status;
}

NTSTATUS KernelClient::GetDirectCalls() {
    if (!file_) return STATUS_INVALID_DEVICE_STATE;
    DIRECT_CALL_BLOCK block{};
    block.Magic = DIRECT_CALL_MAGIC;
    NTSTATUS status = host::files::DeviceIoControl(file_, IOCTL_UNIT_GET_DIRECT_CALLS, &block, 0, nullptr,
                                                   sizeof block);
    if (NT_SUCCESS(status)) block_ = block;
    return status;
}

ULONG KernelClient::DirectWrite(const std::vector<uint8_t>& bytes) {
    if (!block_.DirectWrite) return 0;
    return block_.DirectWrite(block_.Context, bytes.data(), static_cast<ULONG>(bytes.size()));
}

NTSTATUS KernelClient::DirectSetMode(ULONG selector) {
    if (!block_.DirectSetMode) return STATUS_INVALID_DEVICE_STATE;
    return block_.DirectSetMode(block_.Context, selector);
}

ULONG KernelClient::DirectWriteEx(ULONG reserved, const std::vector<uint8_t>& bytes) {
    if (!block_.DirectWriteEx) return 0;
    return block_.DirectWriteEx(block_.Context, reserved, bytes.data(), static_cast<ULONG>(bytes.size()));
}

NTSTATUS KernelClient::Close() {
    block_ = {};
    if (!file_) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = host::files::Close(file_);
    file_ = nullptr;
    return status;
}

}  // namespace sim
