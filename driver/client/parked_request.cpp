#include "client/client.h"

// The cancel routine is set under the platform's cancel spin lock, so a cancel that comes
// at the same moment either finds it or is seen here.
static BOOLEAN ArmCancelRoutine(PIRP Irp, PDRIVER_CANCEL Routine) {
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    IoSetCancelRoutine(Irp, Routine);
    BOOLEAN cancelledAlready = Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL;
    IoReleaseCancelSpinLock(cancelIrql);
    return !cancelledAlready;
}

// Everything is in place before the cancel routine is: from then on a delivery or the
// cancel routine may take the request at any moment.
BOOLEAN ParkRequest(PIRP* Parked, PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    DISPATCH_SAFE();
    *Parked = Irp;
    IoMarkIrpPending(Irp);
    if (!ArmCancelRoutine(Irp, CancelRoutine)) {
        *Parked = NULL;
        return FALSE;
    }
    return TRUE;
}

NTSTATUS PendingUnlessCancelled(PIRP Irp, BOOLEAN Parked) {
    DISPATCH_SAFE();
    if (!Parked) {
        CompleteRequest(Irp, STATUS_CANCELLED, 0);
    }
    return STATUS_PENDING;
}

// A request whose cancel routine has started is the cancel routine's to end.
PIRP UnparkRequest(PIRP* Parked) {
    DISPATCH_SAFE();
    PIRP irp = *Parked;
    if (!irp || IoSetCancelRoutine(irp, NULL) == NULL) {
        return NULL;
    }
    *Parked = NULL;
    return irp;
}

VOID ForgetCancelledRequest(PIRP* Parked, PIRP Irp) {
    DISPATCH_SAFE();
    if (*Parked == Irp) {
        *Parked = NULL;
    }
}
