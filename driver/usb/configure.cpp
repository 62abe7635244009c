#include "usb/usb.h"

#define CONFIG_HEADER_SIZE sizeof(USB_CONFIGURATION_DESCRIPTOR)
#define CONFIG_READ_ATTEMPTS 4
#define DRIVER_KEY_ACCESS (KEY_READ | KEY_WRITE)

NTSTATUS WriteRegistryDword(HANDLE Key, PCWSTR ValueName, ULONG Value) {
    MAY_WAIT();
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    return ZwSetValueKey(Key, &name, 0, REG_DWORD, &Value, sizeof(Value));
}

// Reads the configuration descriptor into ConfigurationDescriptor: first its 9-byte header,
// then as many bytes as it says it has. A device may say anything, so the copy's
// wTotalLength is cut to the bytes that really arrived; nothing later reads past it.
static NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    MAY_WAIT();
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
    ULONG size = CONFIG_HEADER_SIZE;
    ULONG received = 0;
    for (ULONG attempt = 0; attempt < CONFIG_READ_ATTEMPTS; ++attempt) {
        if (ext->ConfigurationDescriptor) {
            ExFreePool(ext->ConfigurationDescriptor);
        }
        ext->ConfigurationDescriptor =
            (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG);
        if (!ext->ConfigurationDescriptor) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        FillDescriptorRequest(Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, ext->ConfigurationDescriptor,
                              size);
        SubmitUrbSync(DeviceObject, Urb);
        received = Urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (received > size) {
            received = size;
        }
        if (received < CONFIG_HEADER_SIZE) {
            break;
        }
        USHORT total = ext->ConfigurationDescriptor->wTotalLength;
        if (total <= size) {
            break;
        }
        size = total;
    }
    // A descriptor that did not arrive whole is not parsed.
    if (received < CONFIG_HEADER_SIZE) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = ext->ConfigurationDescriptor;
    if (descriptor->wTotalLength > received) {
        descriptor->wTotalLength = (USHORT)received;
    }
    if (descriptor->bLength == 0) {
        descriptor->bLength = CONFIG_HEADER_SIZE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
    MAY_WAIT();
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, DESCRIPTOR_URB_SIZE, POOL_TAG);
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = ReadConfigurationDescriptor(DeviceObject, urb);
    ExFreePool(urb);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return SelectConfiguration(
        DeviceObject, (PUSB_CONFIGURATION_DESCRIPTOR)FdoExtension(DeviceObject)->ConfigurationDescriptor);
}

// The registry picks the alternate setting and keeps a record of the choice.
static ULONG ChooseAlternate(FDO_EXTENSION* Extension) {
    MAY_WAIT();
    HANDLE key = NULL;
    if (IoOpenDeviceRegistryKey(Extension->PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER,
                                DRIVER_KEY_ACCESS, &key) != STATUS_SUCCESS) {
        return Settings.Alternate;
    }
    ULONG mode = ReadRegistryDword(key, WIDE("UsbBulkMode"), 0);
    WriteRegistryDword(key, WIDE("CurrentUsbMode"), mode);
    WriteRegistryDword(key, WIDE("CurrentInterface"), Settings.Interface);
    ULONG alternate = mode != 0 ? Settings.AlternateBulk : Settings.Alternate;
    WriteRegistryDword(key, WIDE("CurrentAlternate"), alternate);
    ZwClose(key);
    return alternate;
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR Descriptor) {
    MAY_WAIT();
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(Descriptor, &size);
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.Hdr.Length = size;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = Descriptor;
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        ext->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        ULONG alternate = ChooseAlternate(ext);
        status = SelectInterface(DeviceObject, (UCHAR)Settings.Interface, (UCHAR)alternate);
    }
    ExFreePool(urb);
    return status;
}
