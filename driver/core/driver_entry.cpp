#include "core/core.h"
#include "core/unit_table.h"
#include "client/client.h"
#include "pnp/pnp.h"
#include "power/power.h"
#include "transfer/transfer.h"

DRIVER_SETTINGS Settings = {DEFAULT_INTERFACE, DEFAULT_ALTERNATE, DEFAULT_ALTERNATE_BULK};

ULONG ReadRegistryDword(HANDLE Key, PCWSTR ValueName, ULONG Default) {
    MAY_WAIT();
    // 100 bytes of result, aligned for the information header.
    union {
        KEY_VALUE_PARTIAL_INFORMATION Info;
        UCHAR Bytes[100];
    } result;
    UNICODE_STRING name;
    ULONG resultLength = 0;
    ULONG value;

    RtlInitUnicodeString(&name, ValueName);
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, &result,
                                      sizeof(result), &resultLength);
    // The type is not looked at: any value of exactly four bytes is taken as the number.
    if (status != STATUS_SUCCESS || result.Info.DataLength != sizeof(ULONG)) {
        return Default;
    }
    RtlCopyMemory(&value, result.Info.Data, sizeof(value));
    return value;
}

static void ReadSettings(PUNICODE_STRING RegistryPath) {
    MAY_WAIT();
    OBJECT_ATTRIBUTES attributes;
    HANDLE key = NULL;

    InitializeObjectAttributes(&attributes, RegistryPath, OBJ_CASE_INSENSITIVE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
        return;
    }
    Settings.Alternate = ReadRegistryDword(key, WIDE("Alternate"), Settings.Alternate);
    Settings.AlternateBulk = ReadRegistryDword(key, WIDE("AlternateBulk"), Settings.AlternateBulk);
    Settings.Interface = ReadRegistryDword(key, WIDE("Interface"), Settings.Interface);
    ZwClose(key);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    MAY_WAIT();
    // A freshly loaded image starts from the defaults; so does every load on the host.
    Settings.Interface = DEFAULT_INTERFACE;
    Settings.Alternate = DEFAULT_ALTERNATE;
    Settings.AlternateBulk = DEFAULT_ALTERNATE_BULK;
    ResetUnitTable();
    ReadSettings(RegistryPath);

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

// Every device is gone through Plug and Play removal before the driver can unload, and the
// driver holds nothing else.
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
}
