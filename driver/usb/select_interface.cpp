#include "transfer/transfer.h"
#include "usb/usb.h"

#define ENDPOINT_STEP sizeof(USB_ENDPOINT_DESCRIPTOR)
#define INTERFACE_PART_SIZE(n) (sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) + \
                                (n) * sizeof(USBD_PIPE_INFORMATION))
#define SELECT_INTERFACE_SIZE(n) (FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface) + \
                                  INTERFACE_PART_SIZE(n))

// The endpoint descriptors follow the interface descriptor directly. An interface whose
// endpoints would run past the descriptor's end counts as not found.
static BOOLEAN EndpointsFit(PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                            PUSB_INTERFACE_DESCRIPTOR Interface) {
    ULONG offset = (ULONG)((PUCHAR)Interface - (PUCHAR)Configuration);
    ULONG end = offset + Interface->bLength + Interface->bNumEndpoints * ENDPOINT_STEP;
    return offset + sizeof(USB_INTERFACE_DESCRIPTOR) <= Configuration->wTotalLength &&
           end <= Configuration->wTotalLength;
}

// Every packet of the unit passes through a transfer slot's buffer: an endpoint with larger
// packets cannot be served.
static BOOLEAN PacketsFit(PUSB_INTERFACE_DESCRIPTOR Interface) {
    PUCHAR endpoints = (PUCHAR)Interface + Interface->bLength;
    for (ULONG i = 0; i < Interface->bNumEndpoints; ++i) {
        PUSB_ENDPOINT_DESCRIPTOR endpoint = (PUSB_ENDPOINT_DESCRIPTOR)(endpoints + i * ENDPOINT_STEP);
        if ((endpoint->wMaxPacketSize & 0x7FF) > PACKET_BUFFER_SIZE) {
            return FALSE;
        }
    }
    return TRUE;
}

static ULONG PipeTypeOf(UCHAR Attributes) {
    return Attributes <= UsbdPipeTypeInterrupt ? Attributes : 0;
}

static VOID FillPipes(FDO_EXTENSION* Extension, PUSB_INTERFACE_DESCRIPTOR Interface,
                      PUSBD_INTERFACE_INFORMATION Info) {
    PUCHAR endpoints = (PUCHAR)Interface + Interface->bLength;
    for (ULONG i = 0; i < Interface->bNumEndpoints; ++i) {
        PUSB_ENDPOINT_DESCRIPTOR endpoint = (PUSB_ENDPOINT_DESCRIPTOR)(endpoints + i * ENDPOINT_STEP);
        PUSBD_PIPE_INFORMATION pipe = &Info->Pipes[i];
        USHORT packet = endpoint->wMaxPacketSize;
        pipe->MaximumPacketSize = packet;
        pipe->EndpointAddress = endpoint->bEndpointAddress;
        pipe->Interval = endpoint->bInterval;
        pipe->PipeType = (USBD_PIPE_TYPE)PipeTypeOf(endpoint->bmAttributes);
        if (packet < Extension->MaxPacketSize) {
            Extension->MaxPacketSize = packet;
        }
        pipe->MaximumTransferSize = Extension->MaxPacketSize;
    }
}

NTSTATUS SelectInterface(PDEVICE_OBJECT DeviceObject, UCHAR InterfaceNumber,
                         UCHAR AlternateSetting) {
    MAY_WAIT();
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
    PUSB_CONFIGURATION_DESCRIPTOR configuration = ext->ConfigurationDescriptor;
    PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
        configuration, configuration, InterfaceNumber, AlternateSetting, -1, -1, -1);
    if (!interface || !EndpointsFit(configuration, interface)) {
        return STATUS_UNSUCCESSFUL;
    }
    if (!PacketsFit(interface)) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    ULONG pipes = interface->bNumEndpoints;
    ULONG size = SELECT_INTERFACE_SIZE(pipes);
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG);
    if (!urb) {
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(urb, size);
    urb->UrbSelectInterface.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbSelectInterface.Hdr.Length = (USHORT)size;
    urb->UrbSelectInterface.ConfigurationHandle = ext->ConfigurationHandle;

    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectInterface.Interface;
    info->Length = (USHORT)INTERFACE_PART_SIZE(pipes);
    info->InterfaceNumber = InterfaceNumber;
    info->AlternateSetting = AlternateSetting;
    info->Class = interface->bInterfaceClass;
    info->SubClass = interface->bInterfaceSubClass;
    info->Protocol = interface->bInterfaceProtocol;
    info->NumberOfPipes = pipes;
    FillPipes(ext, interface, info);

    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        // The stack may only fill in what was sent; the copy never grows past it.
        info->Length = (USHORT)INTERFACE_PART_SIZE(pipes);
        info->NumberOfPipes = pipes;
        status = RecordPipes(DeviceObject, info);
    }
    ExFreePool(urb);
    return status;
}

NTSTATUS RecordPipes(PDEVICE_OBJECT DeviceObject, PUSBD_INTERFACE_INFORMATION Interface) {
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
    if (ext->InterfaceInfo) {
        ExFreePool(ext->InterfaceInfo);
        ext->InterfaceInfo = NULL;
    }
    PUSBD_INTERFACE_INFORMATION copy =
        (PUSBD_INTERFACE_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, Interface->Length, POOL_TAG);
    if (!copy) {
        return STATUS_NO_MEMORY;
    }
    RtlCopyMemory(copy, Interface, Interface->Length);
    ext->InterfaceInfo = copy;
    ext->BulkInPipe = NULL;
    ext->BulkOutPipe = NULL;
    for (ULONG i = 0; i < copy->NumberOfPipes; ++i) {
        PUSBD_PIPE_INFORMATION pipe = &copy->Pipes[i];
        if (pipe->EndpointAddress & 0x80) {
            ext->BulkInPipe = pipe->PipeHandle;
        } else {
            ext->BulkOutPipe = pipe->PipeHandle;
        }
    }
    // Open pipes gate the driver's own power changes; each abort lowers the count again.
    InterlockedExchange(&ext->OpenPipeCount, (LONG)copy->NumberOfPipes);
    return STATUS_SUCCESS;
}
