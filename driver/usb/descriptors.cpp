#include "usb/usb.h"

// Only the fields the USB stack reads are set; the URB comes from pool uncleared.
VOID FillDescriptorRequest(PURB Urb, UCHAR DescriptorType, PVOID Buffer, ULONG Length) {
    struct _URB_CONTROL_DESCRIPTOR_REQUEST* request = &Urb->UrbControlDescriptorRequest;
    request->Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    request->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request->TransferBufferLength = Length;
    request->TransferBuffer = Buffer;
    request->TransferBufferMDL = NULL;
    request->UrbLink = NULL;
    request->Index = 0;
    request->DescriptorType = DescriptorType;
    request->LanguageId = 0;
}

PUSB_DEVICE_DESCRIPTOR GetDeviceDescriptor(PDEVICE_OBJECT DeviceObject) {
    MAY_WAIT();
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, DESCRIPTOR_URB_SIZE, POOL_TAG);
    if (!urb) {
        return NULL;
    }
    PUSB_DEVICE_DESCRIPTOR descriptor =
        (PUSB_DEVICE_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, DEVICE_DESCRIPTOR_SIZE, POOL_TAG);
    if (!descriptor) {
        ExFreePool(urb);
        return NULL;
    }
    FillDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, DEVICE_DESCRIPTOR_SIZE);
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    // A short answer is no descriptor: its vendor and product would be whatever the pool held.
    if (!NT_SUCCESS(status) ||
        urb->UrbControlDescriptorRequest.TransferBufferLength < DEVICE_DESCRIPTOR_SIZE) {
        ExFreePool(descriptor);
        descriptor = NULL;
    }
    ExFreePool(urb);
    return descriptor;
}
