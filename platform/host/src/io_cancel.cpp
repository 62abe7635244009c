// Cancel: one global cancel spin lock, and IoCancelIrp handing the request to the cancel
// routine the driver set, with the lock held.
#include <atomic>

#include "io_internal.h"

namespace host::detail::iom {
namespace {

KSPIN_LOCK cancelLock;
// Which thread holds the cancel lock, so a cancel routine that keeps it can be named.
std::atomic<uintptr_t> cancelOwner{0};

}  // namespace

void ResetCancel() {
    KeInitializeSpinLock(&cancelLock);
    cancelOwner = 0;
}

}  // namespace host::detail::iom

using namespace host::detail;
using namespace host::detail::iom;

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    *Irql = KfAcquireSpinLock(&cancelLock);
    cancelOwner = ThreadToken();
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    cancelOwner = 0;
    KfReleaseSpinLock(&cancelLock, Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    if (cancelOwner == ThreadToken()) {
        Violate(rules::kCancelRoutineKeptLock,
                "IRP " + PointerText(Irp) + ", routine " + PointerText(reinterpret_cast<const void*>(routine)));
        IoReleaseCancelSpinLock(irql);  // so a recording run can go on
    }
    return TRUE;
}
