// A bus with one plugged PMC-7R unit, and requests sent straight to its PDO through
// IofCallDriver: synchronously, or held by the test until the bus completes them.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

#include "sim/pmc7r_descriptors.h"
#include "sim/usb_bus.h"
#include "support/platform_test.h"

struct Sent {
    PIRP irp = nullptr;
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    KIRQL irql = PASSIVE_LEVEL;
    PKTHREAD thread = nullptr;
    int64_t time = -1;
};

inline void SetUrb(PIO_STACK_LOCATION sl, void* urb) {
    sl->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    sl->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    sl->Parameters.Others.Argument1 = urb;
}

// A URB of any size, pointer-aligned.
class UrbBuffer {
public:
    explicit UrbBuffer(size_t size) : words_((size + 7) / 8 + 1) { Urb()->UrbHeader.Length = static_cast<USHORT>(size); }
    URB* Urb() { return reinterpret_cast<URB*>(words_.data()); }
    uint8_t* Bytes() { return reinterpret_cast<uint8_t*>(words_.data()); }

private:
    std::vector<uint64_t> words_;
};

class UsbBusTest : public PlatformTest {
protected:
    void SetUp() override {
        bus_ = std::make_unique<sim::UsbBus>();
        device_ = std::make_shared<sim::RecordingDevice>(sim::Pmc7rDescriptors());
        pdo_ = bus_->Plug(device_);
        ASSERT_NE(nullptr, pdo_);
    }
    void TearDown() override {
        bus_.reset();
        PlatformTest::TearDown();
    }

    host::io::Result Send(void* urb) {
        return host::io::SendAndWait(pdo_, [urb](PIRP, PIO_STACK_LOCATION sl) { SetUrb(sl, urb); });
    }
    host::io::Result SendIrp(UCHAR major, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup = {}) {
        return host::io::SendAndWait(pdo_, [&](PIRP, PIO_STACK_LOCATION sl) {
            sl->MajorFunction = major;
            sl->MinorFunction = minor;
            if (setup) setup(sl);
        });
    }

    // Sends without waiting; the bus completes it later.
    std::shared_ptr<Sent> Submit(void* urb) {
        auto sent = std::make_shared<Sent>();
        sent->irp = host::io::NewRequest(pdo_->StackSize, [sent](PIRP irp) {
            sent->status = irp->IoStatus.Status;
            sent->irql = KeGetCurrentIrql();
            sent->thread = KeGetCurrentThread();
            sent->time = host::Now();
            sent->done = true;
        });
        sent->irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        SetUrb(IoGetNextIrpStackLocation(sent->irp), urb);
        IofCallDriver(pdo_, sent->irp);
        return sent;
    }
    static bool Finished(const std::shared_ptr<Sent>& sent, int64_t within = host::Ms(50)) {
        return host::WaitUntil([&] { return sent->done.load(); }, within, "transfer");
    }

    // Selects configuration 1 with interface 2 in the given alternate and keeps its pipes.
    NTSTATUS Configure(int alternate = 0) {
        const size_t head = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
        const size_t withPipes = head + 2 * sizeof(USBD_PIPE_INFORMATION);
        UrbBuffer buffer(offsetof(_URB_SELECT_CONFIGURATION, Interface) + 2 * head + withPipes);
        URB* urb = buffer.Urb();
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb->UrbSelectConfiguration.ConfigurationDescriptor =
            reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
        uint8_t* at = reinterpret_cast<uint8_t*>(&urb->UrbSelectConfiguration.Interface);
        for (int i = 0; i < 3; ++i) {
            auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
            info->Length = static_cast<USHORT>(i == 2 ? withPipes : head);
            info->InterfaceNumber = static_cast<UCHAR>(i);
            info->AlternateSetting = static_cast<UCHAR>(i == 2 ? alternate : 0);
            at += info->Length;
        }
        host::io::Result r = Send(urb);
        configHandle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
        auto last = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at - withPipes);
        interface_ = *last;
        pipes_[0] = last->Pipes[0];
        pipes_[1] = last->Pipes[1];
        return r.status;
    }
    // Selects an alternate of interface 2; the URB keeps what the bus wrote back.
    NTSTATUS SelectInterface(int alternate, int number = 2, USBD_CONFIGURATION_HANDLE config = nullptr) {
        UrbBuffer buffer(GET_SELECT_INTERFACE_REQUEST_SIZE(2));
        URB* urb = buffer.Urb();
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
        urb->UrbSelectInterface.ConfigurationHandle = config ? config : configHandle_;
        PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectInterface.Interface;
        info->Length = static_cast<USHORT>(offsetof(USBD_INTERFACE_INFORMATION, Pipes) + 2 * sizeof(USBD_PIPE_INFORMATION));
        info->InterfaceNumber = static_cast<UCHAR>(number);
        info->AlternateSetting = static_cast<UCHAR>(alternate);
        lastStatus_ = urb->UrbHeader.Status = 0x12345678;
        NTSTATUS status = Send(urb).status;
        lastStatus_ = urb->UrbHeader.Status;
        if (NT_SUCCESS(status)) {
            interface_ = *info;
            pipes_[0] = info->Pipes[0];
            pipes_[1] = info->Pipes[1];
        }
        return status;
    }
    USBD_PIPE_HANDLE InPipe() const { return pipes_[0].PipeHandle; }
    USBD_PIPE_HANDLE OutPipe() const { return pipes_[1].PipeHandle; }

    static void Transfer(URB* urb, USBD_PIPE_HANDLE pipe, bool in, void* buffer, ULONG length) {
        *urb = URB{};
        urb->UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
        urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe;
        urb->UrbBulkOrInterruptTransfer.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0;
        urb->UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    }
    static void PipeRequest(URB* urb, USHORT function, USBD_PIPE_HANDLE pipe) {
        *urb = URB{};
        urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
        urb->UrbHeader.Function = function;
        urb->UrbPipeRequest.PipeHandle = pipe;
    }

    std::unique_ptr<sim::UsbBus> bus_;
    std::shared_ptr<sim::RecordingDevice> device_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::vector<uint8_t> config_ = sim::Pmc7rDescriptors().configuration;
    USBD_CONFIGURATION_HANDLE configHandle_ = nullptr;
    USBD_INTERFACE_INFORMATION interface_{};
    USBD_PIPE_INFORMATION pipes_[2]{};
    USBD_STATUS lastStatus_ = 0;
};
