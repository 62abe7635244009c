#include "core/core.h"

VOID IoIncrement(PDEVICE_OBJECT DeviceObject) {
    DISPATCH_SAFE();
    FDO_EXTENSION* extension = FdoExtension(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&extension->IoCountLock, &irql);
    InterlockedIncrement(&extension->IoCount);
    KeReleaseSpinLock(&extension->IoCountLock, irql);
}

// The count change and its signal are one step under the lock, so an increment cannot
// come between the drop to 1 or 0 and the event.
LONG IoDecrement(PDEVICE_OBJECT DeviceObject) {
    DISPATCH_SAFE();
    FDO_EXTENSION* extension = FdoExtension(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&extension->IoCountLock, &irql);
    LONG count = InterlockedDecrement(&extension->IoCount);
    if (count == 1) {
        KeSetEvent(&extension->IdleEvent, EVENT_INCREMENT, FALSE);
    }
    if (count == 0) {
        KeSetEvent(&extension->RemoveEvent, EVENT_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&extension->IoCountLock, irql);
    return count;
}

// Reads only Flags, which both extensions keep in their second field.
BOOLEAN IsDeviceReady(PDEVICE_OBJECT DeviceObject) {
    ULONG flags = ReadShared(&FdoExtension(DeviceObject)->Flags);
    ULONG state = flags & (DEVICE_REMOVED | DEVICE_REMOVE_PENDING | DEVICE_STOP_PENDING |
                           DEVICE_STARTED);
    return state == DEVICE_STARTED;
}

ULONG SetFlags(volatile ULONG* Flags, ULONG Bits) {
    return (ULONG)InterlockedOr((volatile LONG*)Flags, (LONG)Bits);
}

ULONG ClearFlags(volatile ULONG* Flags, ULONG Bits) {
    return (ULONG)InterlockedAnd((volatile LONG*)Flags, (LONG)~Bits);
}
