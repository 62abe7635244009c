#include "client_world.h"

void ClientWorld::SetUp() {
    UnitStackTest::SetUp();
    LoadDriver();
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, sizeof(PDO_EXTENSION), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                             FALSE, &childDevice_));
    child_ = (PDO_EXTENSION*)childDevice_->DeviceExtension;
    child_->Signature = PDO_SIGNATURE;
    child_->DeviceObject = childDevice_;
    KeInitializeSpinLock(&child_->ReadLock);
    childDevice_->Flags &= ~DO_DEVICE_INITIALIZING;
}

void ClientWorld::TearDown() {
    UnlinkChild(child_);
    for (auto& u : units_)
        if (u->fdo) ReleaseUnitSlot(Fdo(*u));
    IoDeleteDevice(childDevice_);
    UnitStackTest::TearDown();
}

ClientWorld::Unit& ClientWorld::Register(ULONG id, ULONG firmware) {
    Unit& u = Plug();
    EXPECT_EQ(STATUS_SUCCESS, Start(u));
    Fdo(u)->DeviceId = id;
    Fdo(u)->FirmwareVersion = firmware;
    EXPECT_TRUE(ClaimUnitSlot(Fdo(u), id));
    if (id == MASTER_DEVICE_ID) LinkChild(Fdo(u), child_);
    StartReads(u);
    return u;
}

void ClientWorld::Arrive(Unit& u, std::vector<uint8_t> bytes) {
    bytes.resize(64, 0xFF);
    u.device->Push(0x81, bytes);
    host::Advance(host::Ms(3));
}

host::io::Result ClientWorld::Internal(ULONG code, void* block, ULONG inputLength, ULONG outputLength) {
    return host::io::SendAndWait(childDevice_, [&](PIRP, PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        s->Parameters.DeviceIoControl.IoControlCode = code;
        s->Parameters.DeviceIoControl.Type3InputBuffer = block;
        s->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        s->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    });
}

NTSTATUS ClientWorld::SendRead(PIRP irp, UNIT_DATA_BLOCK* block) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_UNIT_READ;
    next->Parameters.DeviceIoControl.Type3InputBuffer = block;
    next->Parameters.DeviceIoControl.OutputBufferLength = sizeof(UNIT_DATA_BLOCK);
    return IoCallDriver(childDevice_, irp);
}

NTSTATUS ClientWorld::StartRead(Read& r, LONG capacity) {
    r.block = {0xEE, 0xEE, capacity, r.data};
    r.irp = host::io::NewRequest(childDevice_->StackSize, [&r](PIRP irp) {
        r.status = irp->IoStatus.Status;
        r.information = irp->IoStatus.Information;
        r.completions++;
    });
    return SendRead(r.irp, &r.block);
}

std::u16string ClientWorld::LinkOf(const Unit& u) {
    for (auto& link : host::io::Interfaces())
        if (link.pdo == u.pdo && link.enabled) return link.link;
    ADD_FAILURE() << "no enabled link";
    return {};
}

std::vector<uint8_t> ClientWorld::Queued(const Unit& u) {
    FDO_EXTENSION* ext = Fdo(u);
    std::vector<uint8_t> out;
    for (ULONG i = 0; i < ext->OutputCount; ++i)
        out.push_back(ext->OutputRing[(ext->OutputReadIndex + i) % OUTPUT_RING_SIZE]);
    return out;
}

NTSTATUS NTAPI KeepOwnedRequest(PDEVICE_OBJECT, PIRP, PVOID completions) {
    ++*(std::atomic<int>*)completions;
    return STATUS_MORE_PROCESSING_REQUIRED;
}
