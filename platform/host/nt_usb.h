// USB: descriptors as they travel on the wire, the URB and its requests, the internal USB
// control codes, and the USB driver library (usbd) the driver imports. Names, constants
// and layouts follow usb.h, usbspec.h, usbioctl.h and usbdlib.h.
#pragma once

#include "nt_io.h"

// ---- Descriptors (packed: their bytes are the device's) -------------------------------------

#pragma pack(push, 1)

typedef struct _USB_COMMON_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
} USB_COMMON_DESCRIPTOR, *PUSB_COMMON_DESCRIPTOR;
static_assert(sizeof(USB_COMMON_DESCRIPTOR) == 2);

typedef struct _USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idVendor) == 8);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bNumConfigurations) == 17);

typedef struct _USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength) == 2);
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, MaxPower) == 8);

typedef struct _USB_INTERFACE_ASSOCIATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bFirstInterface;
    UCHAR bInterfaceCount;
    UCHAR bFunctionClass;
    UCHAR bFunctionSubClass;
    UCHAR bFunctionProtocol;
    UCHAR iFunction;
} USB_INTERFACE_ASSOCIATION_DESCRIPTOR, *PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR;
static_assert(sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR) == 8);

typedef struct _USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(offsetof(USB_INTERFACE_DESCRIPTOR, bNumEndpoints) == 4);

typedef struct _USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
} USB_ENDPOINT_DESCRIPTOR, *PUSB_ENDPOINT_DESCRIPTOR;
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize) == 4);

typedef struct _USB_STRING_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    WCHAR bString[1];
} USB_STRING_DESCRIPTOR, *PUSB_STRING_DESCRIPTOR;
static_assert(sizeof(USB_STRING_DESCRIPTOR) == 4);

// The setup packet of a control transfer.
// As in the DDK, the bit fields are a nested type only: code reads B.
typedef union _BM_REQUEST_TYPE {
    struct _BM {
        UCHAR Recipient : 2;
        UCHAR Reserved : 3;
        UCHAR Type : 2;
        UCHAR Dir : 1;
    };
    UCHAR B;
} BM_REQUEST_TYPE, *PBM_REQUEST_TYPE;

typedef struct _USB_DEFAULT_PIPE_SETUP_PACKET {
    BM_REQUEST_TYPE bmRequestType;
    UCHAR bRequest;
    union _wValue {
        struct {
            UCHAR LowByte;
            UCHAR HiByte;
        };
        USHORT W;
    } wValue;
    union _wIndex {
        struct {
            UCHAR LowByte;
            UCHAR HiByte;
        };
        USHORT W;
    } wIndex;
    USHORT wLength;
} USB_DEFAULT_PIPE_SETUP_PACKET, *PUSB_DEFAULT_PIPE_SETUP_PACKET;
static_assert(sizeof(USB_DEFAULT_PIPE_SETUP_PACKET) == 8);
static_assert(offsetof(USB_DEFAULT_PIPE_SETUP_PACKET, wLength) == 6);

#pragma pack(pop)

#define USB_DEVICE_DESCRIPTOR_TYPE 0x01
#define USB_CONFIGURATION_DESCRIPTOR_TYPE 0x02
#define USB_STRING_DESCRIPTOR_TYPE 0x03
#define USB_INTERFACE_DESCRIPTOR_TYPE 0x04
#define USB_ENDPOINT_DESCRIPTOR_TYPE 0x05
#define USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE 0x06
#define USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE 0x07
#define USB_INTERFACE_POWER_DESCRIPTOR_TYPE 0x08
#define USB_OTG_DESCRIPTOR_TYPE 0x09
#define USB_DEBUG_DESCRIPTOR_TYPE 0x0a
#define USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE 0x0b
#define USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(d, i) ((USHORT)(((USHORT)(d)) << 8 | (i)))

#define USB_REQUEST_GET_STATUS 0x00
#define USB_REQUEST_CLEAR_FEATURE 0x01
#define USB_REQUEST_SET_FEATURE 0x03
#define USB_REQUEST_SET_ADDRESS 0x05
#define USB_REQUEST_GET_DESCRIPTOR 0x06
#define USB_REQUEST_SET_DESCRIPTOR 0x07
#define USB_REQUEST_GET_CONFIGURATION 0x08
#define USB_REQUEST_SET_CONFIGURATION 0x09
#define USB_REQUEST_GET_INTERFACE 0x0a
#define USB_REQUEST_SET_INTERFACE 0x0b
#define USB_REQUEST_SYNC_FRAME 0x0c

#define BMREQUEST_HOST_TO_DEVICE 0
#define BMREQUEST_DEVICE_TO_HOST 1
#define BMREQUEST_STANDARD 0
#define BMREQUEST_CLASS 1
#define BMREQUEST_VENDOR 2
#define BMREQUEST_TO_DEVICE 0
#define BMREQUEST_TO_INTERFACE 1
#define BMREQUEST_TO_ENDPOINT 2
#define BMREQUEST_TO_OTHER 3

#define USB_FEATURE_ENDPOINT_STALL 0x00
#define USB_FEATURE_REMOTE_WAKEUP 0x01
#define USB_FEATURE_TEST_MODE 0x02

#define USB_GETSTATUS_SELF_POWERED 0x01
#define USB_GETSTATUS_REMOTE_WAKEUP_ENABLED 0x02

#define USB_DEVICE_CLASS_RESERVED 0x00
#define USB_DEVICE_CLASS_AUDIO 0x01
#define USB_DEVICE_CLASS_COMMUNICATIONS 0x02
#define USB_DEVICE_CLASS_HUMAN_INTERFACE 0x03
#define USB_DEVICE_CLASS_MONITOR 0x04
#define USB_DEVICE_CLASS_PHYSICAL_INTERFACE 0x05
#define USB_DEVICE_CLASS_POWER 0x06
#define USB_DEVICE_CLASS_PRINTER 0x07
#define USB_DEVICE_CLASS_STORAGE 0x08
#define USB_DEVICE_CLASS_HUB 0x09
#define USB_DEVICE_CLASS_APPLICATION_SPECIFIC 0xfe
#define USB_DEVICE_CLASS_VENDOR_SPECIFIC 0xff

#define USB_CONFIG_POWERED_MASK 0xc0
#define USB_CONFIG_BUS_POWERED 0x80
#define USB_CONFIG_SELF_POWERED 0x40
#define USB_CONFIG_REMOTE_WAKEUP 0x20
#define USB_CONFIG_RESERVED 0x1f

#define USB_ENDPOINT_DIRECTION_MASK 0x80
#define USB_ENDPOINT_DIRECTION_OUT(addr) (!((addr) & USB_ENDPOINT_DIRECTION_MASK))
#define USB_ENDPOINT_DIRECTION_IN(addr) ((addr) & USB_ENDPOINT_DIRECTION_MASK)
#define USB_ENDPOINT_ADDRESS_MASK 0x0f
#define USB_ENDPOINT_TYPE_MASK 0x03
#define USB_ENDPOINT_TYPE_CONTROL 0x00
#define USB_ENDPOINT_TYPE_ISOCHRONOUS 0x01
#define USB_ENDPOINT_TYPE_BULK 0x02
#define USB_ENDPOINT_TYPE_INTERRUPT 0x03

#define MAXIMUM_USB_STRING_LENGTH 255
#define USB_DEFAULT_DEVICE_ADDRESS 0
#define USB_DEFAULT_ENDPOINT_ADDRESS 0
#define USB_DEFAULT_MAX_PACKET 64
#define USBDI_VERSION 0x00000600

// ---- USBD status ----------------------------------------------------------------------------

typedef LONG USBD_STATUS;
#define USBD_SUCCESS(Status) ((USBD_STATUS)(Status) >= 0)
#define USBD_PENDING(Status) ((ULONG)(Status) >> 30 == 1)
#define USBD_ERROR(Status) ((USBD_STATUS)(Status) < 0)

#define USBD_STATUS_SUCCESS ((USBD_STATUS)0x00000000)
#define USBD_STATUS_PENDING ((USBD_STATUS)0x40000000)
#define USBD_STATUS_CRC ((USBD_STATUS)0xc0000001)
#define USBD_STATUS_BTSTUFF ((USBD_STATUS)0xc0000002)
#define USBD_STATUS_DATA_TOGGLE_MISMATCH ((USBD_STATUS)0xc0000003)
#define USBD_STATUS_STALL_PID ((USBD_STATUS)0xc0000004)
#define USBD_STATUS_DEV_NOT_RESPONDING ((USBD_STATUS)0xc0000005)
#define USBD_STATUS_PID_CHECK_FAILURE ((USBD_STATUS)0xc0000006)
#define USBD_STATUS_UNEXPECTED_PID ((USBD_STATUS)0xc0000007)
#define USBD_STATUS_DATA_OVERRUN ((USBD_STATUS)0xc0000008)
#define USBD_STATUS_DATA_UNDERRUN ((USBD_STATUS)0xc0000009)
#define USBD_STATUS_RESERVED1 ((USBD_STATUS)0xc000000a)
#define USBD_STATUS_RESERVED2 ((USBD_STATUS)0xc000000b)
#define USBD_STATUS_BUFFER_OVERRUN ((USBD_STATUS)0xc000000c)
#define USBD_STATUS_BUFFER_UNDERRUN ((USBD_STATUS)0xc000000d)
#define USBD_STATUS_NOT_ACCESSED ((USBD_STATUS)0xc000000f)
#define USBD_STATUS_FIFO ((USBD_STATUS)0xc0000010)
#define USBD_STATUS_XACT_ERROR ((USBD_STATUS)0xc0000011)
#define USBD_STATUS_BABBLE_DETECTED ((USBD_STATUS)0xc0000012)
#define USBD_STATUS_DATA_BUFFER_ERROR ((USBD_STATUS)0xc0000013)
#define USBD_STATUS_ENDPOINT_HALTED ((USBD_STATUS)0xc0000030)
#define USBD_STATUS_INVALID_URB_FUNCTION ((USBD_STATUS)0x80000200)
#define USBD_STATUS_INVALID_PARAMETER ((USBD_STATUS)0x80000300)
#define USBD_STATUS_ERROR_BUSY ((USBD_STATUS)0x80000400)
#define USBD_STATUS_INVALID_PIPE_HANDLE ((USBD_STATUS)0x80000600)
#define USBD_STATUS_NO_BANDWIDTH ((USBD_STATUS)0x80000700)
#define USBD_STATUS_INTERNAL_HC_ERROR ((USBD_STATUS)0x80000800)
#define USBD_STATUS_ERROR_SHORT_TRANSFER ((USBD_STATUS)0x80000900)
#define USBD_STATUS_BAD_START_FRAME ((USBD_STATUS)0xc0000a00)
#define USBD_STATUS_ISOCH_REQUEST_FAILED ((USBD_STATUS)0xc0000b00)
#define USBD_STATUS_FRAME_CONTROL_OWNED ((USBD_STATUS)0xc0000c00)
#define USBD_STATUS_FRAME_CONTROL_NOT_OWNED ((USBD_STATUS)0xc0000d00)
#define USBD_STATUS_NOT_SUPPORTED ((USBD_STATUS)0xc0000e00)
#define USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR ((USBD_STATUS)0xc0000f00)
#define USBD_STATUS_INSUFFICIENT_RESOURCES ((USBD_STATUS)0xc0001000)
#define USBD_STATUS_SET_CONFIG_FAILED ((USBD_STATUS)0xc0002000)
#define USBD_STATUS_BUFFER_TOO_SMALL ((USBD_STATUS)0xc0003000)
#define USBD_STATUS_INTERFACE_NOT_FOUND ((USBD_STATUS)0xc0004000)
#define USBD_STATUS_INAVLID_PIPE_FLAGS ((USBD_STATUS)0xc0005000)
#define USBD_STATUS_TIMEOUT ((USBD_STATUS)0xc0006000)
#define USBD_STATUS_DEVICE_GONE ((USBD_STATUS)0xc0007000)
#define USBD_STATUS_STATUS_NOT_MAPPED ((USBD_STATUS)0xc0008000)
#define USBD_STATUS_HUB_INTERNAL_ERROR ((USBD_STATUS)0xc0009000)
#define USBD_STATUS_CANCELED ((USBD_STATUS)0xc0010000)
#define USBD_STATUS_ISO_NOT_ACCESSED_BY_HW ((USBD_STATUS)0xc0020000)
#define USBD_STATUS_ISO_TD_ERROR ((USBD_STATUS)0xc0030000)
#define USBD_STATUS_ISO_NA_LATE_USBPORT ((USBD_STATUS)0xc0040000)
#define USBD_STATUS_ISO_NOT_ACCESSED_LATE ((USBD_STATUS)0xc0050000)
#define USBD_STATUS_BAD_DESCRIPTOR ((USBD_STATUS)0xc0100000)
#define USBD_STATUS_BAD_DESCRIPTOR_BLEN ((USBD_STATUS)0xc0100001)
#define USBD_STATUS_BAD_DESCRIPTOR_TYPE ((USBD_STATUS)0xc0100002)
#define USBD_STATUS_BAD_INTERFACE_DESCRIPTOR ((USBD_STATUS)0xc0100003)
#define USBD_STATUS_BAD_ENDPOINT_DESCRIPTOR ((USBD_STATUS)0xc0100004)
#define USBD_STATUS_BAD_INTERFACE_ASSOC_DESCRIPTOR ((USBD_STATUS)0xc0100005)
#define USBD_STATUS_BAD_CONFIG_DESC_LENGTH ((USBD_STATUS)0xc0100006)
#define USBD_STATUS_BAD_NUMBER_OF_INTERFACES ((USBD_STATUS)0xc0100007)
#define USBD_STATUS_BAD_NUMBER_OF_ENDPOINTS ((USBD_STATUS)0xc0100008)
#define USBD_STATUS_BAD_ENDPOINT_ADDRESS ((USBD_STATUS)0xc0100009)

// ---- Pipes, interfaces, configurations ------------------------------------------------------

typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

#define USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE 0xffffffff

typedef struct _USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;
    ULONG Supported_USB_Version;
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;

typedef enum _USBD_PIPE_TYPE {
    UsbdPipeTypeControl,
    UsbdPipeTypeIsochronous,
    UsbdPipeTypeBulk,
    UsbdPipeTypeInterrupt
} USBD_PIPE_TYPE;

#define USBD_PIPE_DIRECTION_IN(pipeInformation) \
    ((pipeInformation)->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK)

typedef struct _USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
} USBD_PIPE_INFORMATION, *PUSBD_PIPE_INFORMATION;

#define USBD_PF_CHANGE_MAX_PACKET 0x00000001
#define USBD_PF_SHORT_PACKET_OPT 0x00000002
#define USBD_PF_ENABLE_RT_THREAD_ACCESS 0x00000004
#define USBD_PF_MAP_ADD_TRANSFERS 0x00000008

typedef struct _USBD_INTERFACE_INFORMATION {
    USHORT Length;  // of this record with its pipes
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
} USBD_INTERFACE_INFORMATION, *PUSBD_INTERFACE_INFORMATION;

// ---- URBs -----------------------------------------------------------------------------------

#define URB_FUNCTION_SELECT_CONFIGURATION 0x0000
#define URB_FUNCTION_SELECT_INTERFACE 0x0001
#define URB_FUNCTION_ABORT_PIPE 0x0002
#define URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL 0x0003
#define URB_FUNCTION_RELEASE_FRAME_LENGTH_CONTROL 0x0004
#define URB_FUNCTION_GET_FRAME_LENGTH 0x0005
#define URB_FUNCTION_SET_FRAME_LENGTH 0x0006
#define URB_FUNCTION_GET_CURRENT_FRAME_NUMBER 0x0007
#define URB_FUNCTION_CONTROL_TRANSFER 0x0008
#define URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER 0x0009
#define URB_FUNCTION_ISOCH_TRANSFER 0x000a
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE 0x000b
#define URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE 0x000c
#define URB_FUNCTION_SET_FEATURE_TO_DEVICE 0x000d
#define URB_FUNCTION_SET_FEATURE_TO_INTERFACE 0x000e
#define URB_FUNCTION_SET_FEATURE_TO_ENDPOINT 0x000f
#define URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE 0x0010
#define URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE 0x0011
#define URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT 0x0012
#define URB_FUNCTION_GET_STATUS_FROM_DEVICE 0x0013
#define URB_FUNCTION_GET_STATUS_FROM_INTERFACE 0x0014
#define URB_FUNCTION_GET_STATUS_FROM_ENDPOINT 0x0015
#define URB_FUNCTION_RESERVED_0X0016 0x0016
#define URB_FUNCTION_VENDOR_DEVICE 0x0017
#define URB_FUNCTION_VENDOR_INTERFACE 0x0018
#define URB_FUNCTION_VENDOR_ENDPOINT 0x0019
#define URB_FUNCTION_CLASS_DEVICE 0x001a
#define URB_FUNCTION_CLASS_INTERFACE 0x001b
#define URB_FUNCTION_CLASS_ENDPOINT 0x001c
#define URB_FUNCTION_RESERVE_0X001D 0x001d
#define URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL 0x001e
#define URB_FUNCTION_CLASS_OTHER 0x001f
#define URB_FUNCTION_VENDOR_OTHER 0x0020
#define URB_FUNCTION_GET_STATUS_FROM_OTHER 0x0021
#define URB_FUNCTION_CLEAR_FEATURE_TO_OTHER 0x0022
#define URB_FUNCTION_SET_FEATURE_TO_OTHER 0x0023
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT 0x0024
#define URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT 0x0025
#define URB_FUNCTION_GET_CONFIGURATION 0x0026
#define URB_FUNCTION_GET_INTERFACE 0x0027
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE 0x0028
#define URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE 0x0029
#define URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR 0x002a
#define URB_FUNCTION_SYNC_RESET_PIPE 0x0030
#define URB_FUNCTION_SYNC_CLEAR_STALL 0x0031
#define URB_FUNCTION_CONTROL_TRANSFER_EX 0x0032
#define URB_FUNCTION_RESET_PIPE URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL

#define USBD_TRANSFER_DIRECTION 0x00000001
#define USBD_SHORT_TRANSFER_OK 0x00000002
#define USBD_START_ISO_TRANSFER_ASAP 0x00000004
#define USBD_DEFAULT_PIPE_TRANSFER 0x00000008
#define USBD_TRANSFER_DIRECTION_FLAG(flags) ((flags) & USBD_TRANSFER_DIRECTION)
#define USBD_TRANSFER_DIRECTION_OUT 0
#define USBD_TRANSFER_DIRECTION_IN 1
#define VALID_TRANSFER_FLAGS_MASK                                                  \
    (USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION | USBD_START_ISO_TRANSFER_ASAP | \
     USBD_DEFAULT_PIPE_TRANSFER)

#define URB_FROM_IRP(Irp) ((IoGetCurrentIrpStackLocation(Irp))->Parameters.Others.Argument1)

struct _URB;

// The host controller's own scratch space in a transfer.
struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct _URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct _URB_SELECT_INTERFACE {
    struct _URB_HEADER Hdr;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_SELECT_CONFIGURATION {
    struct _URB_HEADER Hdr;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // NULL unconfigures the device
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;  // the first of a packed run of interfaces
};

struct _URB_PIPE_REQUEST {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct _URB_FRAME_LENGTH_CONTROL {
    struct _URB_HEADER Hdr;
};

struct _URB_GET_FRAME_LENGTH {
    struct _URB_HEADER Hdr;
    ULONG FrameLength;
    ULONG FrameNumber;
};

struct _URB_SET_FRAME_LENGTH {
    struct _URB_HEADER Hdr;
    LONG FrameLengthDelta;
};

struct _URB_GET_CURRENT_FRAME_NUMBER {
    struct _URB_HEADER Hdr;
    ULONG FrameNumber;
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

struct _URB_CONTROL_GET_STATUS_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Reserved1[4];
    USHORT Index;
    USHORT Reserved2;
};

struct _URB_CONTROL_FEATURE_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved2;
    ULONG Reserved3;
    PVOID Reserved4;
    PMDL Reserved5;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved0;
    USHORT FeatureSelector;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_CONTROL_GET_INTERFACE_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Reserved1[4];
    USHORT Interface;
    USHORT Reserved2;
};

struct _URB_CONTROL_GET_CONFIGURATION_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Reserved1[8];
};

struct _URB_OS_FEATURE_DESCRIPTOR_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Recipient : 5;
    UCHAR Reserved1 : 3;
    UCHAR Reserved2;
    UCHAR InterfaceNumber;
    UCHAR MS_PageIndex;
    USHORT MS_FeatureDescriptorIndex;
    USHORT Reserved3;
};

struct _URB_CONTROL_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_CONTROL_TRANSFER_EX {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    ULONG Timeout;
#if UINTPTR_MAX != 0xFFFFFFFF
    ULONG Pad;
#endif
    struct _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
};

typedef struct _USBD_ISO_PACKET_DESCRIPTOR {
    ULONG Offset;
    ULONG Length;
    USBD_STATUS Status;
} USBD_ISO_PACKET_DESCRIPTOR, *PUSBD_ISO_PACKET_DESCRIPTOR;

struct _URB_ISOCH_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    ULONG StartFrame;
    ULONG NumberOfPackets;
    ULONG ErrorCount;
    USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};

typedef struct _URB {
    union {
        struct _URB_HEADER UrbHeader;
        struct _URB_SELECT_INTERFACE UrbSelectInterface;
        struct _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
        struct _URB_PIPE_REQUEST UrbPipeRequest;
        struct _URB_FRAME_LENGTH_CONTROL UrbFrameLengthControl;
        struct _URB_GET_FRAME_LENGTH UrbGetFrameLength;
        struct _URB_SET_FRAME_LENGTH UrbSetFrameLength;
        struct _URB_GET_CURRENT_FRAME_NUMBER UrbGetCurrentFrameNumber;
        struct _URB_CONTROL_TRANSFER UrbControlTransfer;
        struct _URB_CONTROL_TRANSFER_EX UrbControlTransferEx;
        struct _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
        struct _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
        struct _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
        struct _URB_CONTROL_GET_STATUS_REQUEST UrbControlGetStatusRequest;
        struct _URB_CONTROL_FEATURE_REQUEST UrbControlFeatureRequest;
        struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
        struct _URB_CONTROL_GET_INTERFACE_REQUEST UrbControlGetInterfaceRequest;
        struct _URB_CONTROL_GET_CONFIGURATION_REQUEST UrbControlGetConfigurationRequest;
        struct _URB_OS_FEATURE_DESCRIPTOR_REQUEST UrbOSFeatureDescriptorRequest;
    };
} URB, *PURB;

// What the USB stack reads: the 32-bit layouts.
#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeType) == 4);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8);
static_assert(offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize) == 12);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeFlags) == 16);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 36);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Class) == 4);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, InterfaceHandle) == 8);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes) == 12);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 16);
static_assert(sizeof(struct _URB_HCD_AREA) == 32);
static_assert(sizeof(struct _URB_HEADER) == 16);
static_assert(offsetof(struct _URB_HEADER, Status) == 4);
static_assert(offsetof(struct _URB_HEADER, UsbdDeviceHandle) == 8);
static_assert(offsetof(struct _URB_HEADER, UsbdFlags) == 12);
static_assert(sizeof(struct _URB_SELECT_INTERFACE) == 56);
static_assert(offsetof(struct _URB_SELECT_INTERFACE, Interface) == 20);
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 60);
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle) == 20);
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, Interface) == 24);
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24);
static_assert(offsetof(struct _URB_PIPE_REQUEST, PipeHandle) == 16);
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80);
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) == 24);
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer) == 28);
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, UrbLink) == 36);
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, hca) == 40);
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 74);
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 75);
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) == 76);
static_assert(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST) == 80);
static_assert(sizeof(struct _URB_CONTROL_FEATURE_REQUEST) == 80);
static_assert(offsetof(struct _URB_CONTROL_FEATURE_REQUEST, FeatureSelector) == 74);
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags) == 20);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 73);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 74);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 76);
static_assert(sizeof(struct _URB_CONTROL_TRANSFER) == 80);
static_assert(offsetof(struct _URB_CONTROL_TRANSFER, SetupPacket) == 72);
static_assert(sizeof(struct _URB_CONTROL_TRANSFER_EX) == 80);
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle) == 16);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags) == 20);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == 24);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer) == 28);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL) == 32);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink) == 36);
static_assert(sizeof(struct _URB_OS_FEATURE_DESCRIPTOR_REQUEST) == 80);
static_assert(sizeof(struct _URB_ISOCH_TRANSFER) == 96);
static_assert(sizeof(URB) == 96);
#endif

// ---- Internal USB control codes -------------------------------------------------------------

#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#define USB_SUBMIT_URB 0
#define USB_RESET_PORT 1
#define USB_GET_ROOTHUB_PDO 3
#define USB_GET_PORT_STATUS 4
#define USB_ENABLE_PORT 5
#define USB_GET_HUB_COUNT 6
#define USB_CYCLE_PORT 7
#define USB_GET_HUB_NAME 8
#define USB_IDLE_NOTIFICATION 9
#define USB_RECORD_FAILURE 10
#define USB_GET_BUS_INFO 264
#define USB_GET_CONTROLLER_NAME 265
#define USB_GET_BUSGUID_INFO 266
#define USB_GET_PARENT_HUB_INFO 267
#define USB_GET_DEVICE_HANDLE 268

#define IOCTL_INTERNAL_USB_SUBMIT_URB \
    CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_RESET_PORT \
    CTL_CODE(FILE_DEVICE_USB, USB_RESET_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_ROOTHUB_PDO, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_PORT_STATUS, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_ENABLE_PORT \
    CTL_CODE(FILE_DEVICE_USB, USB_ENABLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_HUB_COUNT \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_HUB_COUNT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_CYCLE_PORT \
    CTL_CODE(FILE_DEVICE_USB, USB_CYCLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_HUB_NAME \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_HUB_NAME, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_BUS_INFO \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_BUS_INFO, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_CONTROLLER_NAME, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_BUSGUID_INFO \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_BUSGUID_INFO, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_PARENT_HUB_INFO \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_PARENT_HUB_INFO, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION \
    CTL_CODE(FILE_DEVICE_USB, USB_IDLE_NOTIFICATION, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_DEVICE_HANDLE \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_DEVICE_HANDLE, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_RECORD_FAILURE \
    CTL_CODE(FILE_DEVICE_USB, USB_RECORD_FAILURE, METHOD_NEITHER, FILE_ANY_ACCESS)
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003);
static_assert(IOCTL_INTERNAL_USB_RESET_PORT == 0x220007);
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x220013);
static_assert(IOCTL_INTERNAL_USB_CYCLE_PORT == 0x22001f);

// IOCTL_INTERNAL_USB_GET_PORT_STATUS reports these bits.
#define USBD_PORT_ENABLED 0x00000001
#define USBD_PORT_CONNECTED 0x00000002

// ---- The USB driver library ------------------------------------------------------------------

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;  // set by USBD_CreateConfigurationRequestEx
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

#define URB_STATUS(urb) ((urb)->UrbHeader.Status)

#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)     \
    (sizeof(struct _URB_SELECT_CONFIGURATION) +                                \
     (((totalInterfaces) - 1) * sizeof(USBD_INTERFACE_INFORMATION)) +          \
     (((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION)))
#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
    (sizeof(struct _URB_SELECT_INTERFACE) + (((totalPipes) - 1) * sizeof(USBD_PIPE_INFORMATION)))
#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                           \
    (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) - \
     sizeof(USBD_PIPE_INFORMATION))
#define GET_ISO_URB_SIZE(n) \
    (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * (n))

inline VOID UsbBuildInterruptOrBulkTransferRequest(PURB urb, USHORT length,
                                                   USBD_PIPE_HANDLE pipeHandle,
                                                   PVOID transferBuffer, PMDL transferBufferMDL,
                                                   ULONG transferBufferLength,
                                                   ULONG transferFlags, PURB link) {
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbHeader.Length = length;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipeHandle;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = transferBufferLength;
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = transferBufferMDL;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = transferBuffer;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = transferFlags;
    urb->UrbBulkOrInterruptTransfer.UrbLink = link;
}

inline VOID UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR descriptorType,
                                         UCHAR descriptorIndex, USHORT languageId,
                                         PVOID transferBuffer, PMDL transferBufferMDL,
                                         ULONG transferBufferLength, PURB link) {
    urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->UrbHeader.Length = length;
    urb->UrbControlDescriptorRequest.TransferBufferLength = transferBufferLength;
    urb->UrbControlDescriptorRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlDescriptorRequest.TransferBuffer = transferBuffer;
    urb->UrbControlDescriptorRequest.DescriptorType = descriptorType;
    urb->UrbControlDescriptorRequest.Index = descriptorIndex;
    urb->UrbControlDescriptorRequest.LanguageId = languageId;
    urb->UrbControlDescriptorRequest.UrbLink = link;
}

inline VOID UsbBuildGetStatusRequest(PURB urb, USHORT op, USHORT index, PVOID transferBuffer,
                                     PMDL transferBufferMDL, PURB link) {
    urb->UrbHeader.Function = op;
    urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    urb->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);
    urb->UrbControlGetStatusRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlGetStatusRequest.TransferBuffer = transferBuffer;
    urb->UrbControlGetStatusRequest.Index = index;
    urb->UrbControlGetStatusRequest.UrbLink = link;
}

inline VOID UsbBuildFeatureRequest(PURB urb, USHORT op, USHORT featureSelector, USHORT index,
                                   PURB link) {
    urb->UrbHeader.Function = op;
    urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    urb->UrbControlFeatureRequest.FeatureSelector = featureSelector;
    urb->UrbControlFeatureRequest.Index = index;
    urb->UrbControlFeatureRequest.UrbLink = link;
}

inline VOID UsbBuildSelectConfigurationRequest(PURB urb, USHORT length,
                                               PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor) {
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = length;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;
}

inline VOID UsbBuildSelectInterfaceRequest(PURB urb, USHORT length,
                                           USBD_CONFIGURATION_HANDLE configurationHandle,
                                           UCHAR interfaceNumber, UCHAR alternateSetting) {
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbHeader.Length = length;
    urb->UrbSelectInterface.Interface.AlternateSetting = alternateSetting;
    urb->UrbSelectInterface.Interface.InterfaceNumber = interfaceNumber;
    urb->UrbSelectInterface.Interface.Length =
        (USHORT)(length - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));
    urb->UrbSelectInterface.ConfigurationHandle = configurationHandle;
}

inline VOID UsbBuildVendorRequest(PURB urb, USHORT cmd, USHORT length, ULONG transferFlags,
                                  UCHAR reservedBits, UCHAR request, USHORT value, USHORT index,
                                  PVOID transferBuffer, PMDL transferBufferMDL,
                                  ULONG transferBufferLength, PURB link) {
    urb->UrbHeader.Function = cmd;
    urb->UrbHeader.Length = length;
    urb->UrbControlVendorClassRequest.TransferBufferLength = transferBufferLength;
    urb->UrbControlVendorClassRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlVendorClassRequest.TransferBuffer = transferBuffer;
    urb->UrbControlVendorClassRequest.RequestTypeReservedBits = reservedBits;
    urb->UrbControlVendorClassRequest.Request = request;
    urb->UrbControlVendorClassRequest.Value = value;
    urb->UrbControlVendorClassRequest.Index = index;
    urb->UrbControlVendorClassRequest.TransferFlags = transferFlags;
    urb->UrbControlVendorClassRequest.UrbLink = link;
}

inline VOID UsbBuildOsFeatureDescriptorRequest(PURB urb, USHORT length, UCHAR interfaceNumber,
                                               USHORT index, PVOID transferBuffer,
                                               PMDL transferBufferMDL, ULONG transferBufferLength,
                                               PURB link) {
    urb->UrbHeader.Function = URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR;
    urb->UrbHeader.Length = length;
    urb->UrbOSFeatureDescriptorRequest.TransferBufferLength = transferBufferLength;
    urb->UrbOSFeatureDescriptorRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbOSFeatureDescriptorRequest.TransferBuffer = transferBuffer;
    urb->UrbOSFeatureDescriptorRequest.InterfaceNumber = interfaceNumber;
    urb->UrbOSFeatureDescriptorRequest.MS_FeatureDescriptorIndex = index;
    urb->UrbOSFeatureDescriptorRequest.UrbLink = link;
}

VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);

// The allocating routines run at PASSIVE_LEVEL; their URB is pool memory the caller frees
// with ExFreePool.
PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                           PUSHORT Siz);

// -1 for number, alternate, class, subclass or protocol matches any value.
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber,
    UCHAR AlternateSetting);
PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType);
ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                    PUCHAR BufferEnd);
