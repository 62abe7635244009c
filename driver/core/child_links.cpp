#include "client/client.h"
#include "core/unit_table.h"

static KSPIN_LOCK ChildLock;

VOID InitializeChildLinks(void) { KeInitializeSpinLock(&ChildLock); }

VOID LinkChild(FDO_EXTENSION* Master, PDO_EXTENSION* Child) {
    KIRQL irql;
    KeAcquireSpinLock(&ChildLock, &irql);
    Child->NextChild = ChildList;
    ChildList = Child;
    Child->Parent = Master;
    Master->Child = Child;
    KeReleaseSpinLock(&ChildLock, irql);
}

PDO_EXTENSION* FindChild(PCWSTR ObjectName) {
    KIRQL irql;
    KeAcquireSpinLock(&ChildLock, &irql);
    PDO_EXTENSION* child = ChildList;
    while (child && child->ObjectName != ObjectName) {
        child = child->NextChild;
    }
    KeReleaseSpinLock(&ChildLock, irql);
    return child;
}

static VOID RemoveFromList(PDO_EXTENSION* Child) {
    for (PDO_EXTENSION** link = &ChildList; *link; link = &(*link)->NextChild) {
        if (*link == Child) {
            *link = Child->NextChild;
            Child->NextChild = NULL;
            return;
        }
    }
}

BOOLEAN UnlinkChild(PDO_EXTENSION* Child) {
    KIRQL irql;
    KeAcquireSpinLock(&ChildLock, &irql);
    BOOLEAN named = Child->Parent && Child->Parent->Child == Child;
    if (named) {
        Child->Parent->Child = NULL;
    }
    RemoveFromList(Child);
    KeReleaseSpinLock(&ChildLock, irql);
    return named;
}

PDO_EXTENSION* TakeChild(FDO_EXTENSION* Master) {
    KIRQL irql;
    KeAcquireSpinLock(&ChildLock, &irql);
    PDO_EXTENSION* child = Master->Child;
    Master->Child = NULL;
    if (child) {
        RemoveFromList(child);
    }
    KeReleaseSpinLock(&ChildLock, irql);
    return child;
}

PIRP DeliverToMasterChild(FDO_EXTENSION* Master, UNIT_SLOT* Slot, FDO_EXTENSION* Unit) {
    DISPATCH_SAFE();
    KIRQL irql;
    KeAcquireSpinLock(&ChildLock, &irql);
    PDO_EXTENSION* child = Master->Child;
    PIRP delivered = child ? DeliverToChild(child, Slot, Unit) : NULL;
    KeReleaseSpinLock(&ChildLock, irql);
    return delivered;
}
