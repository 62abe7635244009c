#include "usb/usb.h"

#define PIPE_REQUEST_SIZE sizeof(struct _URB_PIPE_REQUEST)

static NTSTATUS SendPipeRequest(PDEVICE_OBJECT DeviceObject, USHORT Function, USBD_PIPE_HANDLE Pipe) {
    MAY_WAIT();
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, PIPE_REQUEST_SIZE, POOL_TAG);
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbPipeRequest.Hdr.Length = PIPE_REQUEST_SIZE;
    urb->UrbPipeRequest.Hdr.Function = Function;
    urb->UrbPipeRequest.PipeHandle = Pipe;
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    ExFreePool(urb);
    return status;
}

NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe) {
    MAY_WAIT();
    return SendPipeRequest(DeviceObject, URB_FUNCTION_ABORT_PIPE, Pipe);
}

// A failed data transfer leaves its pipe halted, and the USB stack does not clear that
// itself: the client resets the pipe (and the endpoint's stall) once nothing is pending on
// it ("How to recover from USB pipe errors").
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe) {
    MAY_WAIT();
    return SendPipeRequest(DeviceObject, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe);
}

// A cancelled transfer and one to a device that is gone or suspended leave nothing to clear.
BOOLEAN PipeHalted(USBD_STATUS Status) {
    return USBD_ERROR(Status) && Status != USBD_STATUS_CANCELED && Status != USBD_STATUS_DEVICE_GONE;
}
