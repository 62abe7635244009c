#include "pnp/pnp.h"

static inline ULONG ProductKey(const PRODUCT_RECORD* Record) {
    return (ULONG)Record->ProductId + (ULONG)Record->VendorId * 65536;
}

// The last record, with key 0, ends the walk and answers for every other device.
const PRODUCT_RECORD ProductTable[PRODUCT_RECORD_COUNT] = {
    {0x002A, 0x0C5B, WIDE("\\Device\\QUIRVEN_USB_PMC7R_0"), WIDE("\\??\\QUIRVEN_USB_PMC7R_1"),
     WIDE("Orvalis Instruments PMC-7R USB"),
     WIDE("USB\\{0C5B002A-5E73-11d3-9D4E-00A0C9E17B35}\0")},
    {0x002B, 0x0C5B, WIDE("\\Device\\QUIRVEN_USB_PMC7REX_0"), WIDE("\\??\\QUIRVEN_USB_PMC7EXR_1"),
     WIDE("Orvalis Instruments PMC-7R Expansion USB"),
     WIDE("USB\\{0C5B002B-5E73-11d3-9D4E-00A0C9E17B35}\0")},
    {0, 0, WIDE("\\Device\\QUIRVEN_UNKNOWN_0"), WIDE("\\??\\QUIRVEN_UNKNOWN_1"),
     WIDE("Unsupported Device"), WIDE("USB\\{0C5BFFFF-5E73-11d3-9D4E-00A0C9E17B35}\0")},
};

PCWSTR LookupProductString(PDEVICE_OBJECT FunctionDevice, ULONG StringNumber) {
    FDO_EXTENSION* ext = FdoExtension(FunctionDevice);
    if (!ext->ProductRecord) {
        const PRODUCT_RECORD* record = ProductTable;
        while (ProductKey(record) != 0 && ProductKey(record) != ext->VendorProductId) {
            ++record;
        }
        ext->ProductRecord = record;
    }
    const PRODUCT_RECORD* record = ext->ProductRecord;
    switch (StringNumber) {
    case PRODUCT_DEVICE_NAME: return record->DeviceName;
    case PRODUCT_ALIAS_NAME: return record->AliasName;
    case PRODUCT_DESCRIPTION: return record->Description;
    default: return record->HardwareId;
    }
}
