#include "client/client.h"
#include "transfer/input_ring.h"

// A handle never sees input that arrived before its open.
OPEN_CONTEXT* AllocateOpenContext(FDO_EXTENSION* Extension) {
    OPEN_CONTEXT* context =
        (OPEN_CONTEXT*)ExAllocatePoolWithTag(NonPagedPool, sizeof(OPEN_CONTEXT), POOL_TAG);
    if (!context) {
        return NULL;
    }
    RtlZeroMemory(context, sizeof(OPEN_CONTEXT));
    context->ReadCursor = InputPosition(Extension);
    KIRQL irql;
    KeAcquireSpinLock(&Extension->OpenContextLock, &irql);
    context->Next = Extension->OpenContextList;
    Extension->OpenContextList = context;
    KeReleaseSpinLock(&Extension->OpenContextLock, irql);
    return context;
}

// A context that is not on the list is left alone.
VOID FreeOpenContext(FDO_EXTENSION* Extension, OPEN_CONTEXT* Context) {
    BOOLEAN found = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->OpenContextLock, &irql);
    for (OPEN_CONTEXT** link = &Extension->OpenContextList; *link; link = &(*link)->Next) {
        if (*link == Context) {
            *link = Context->Next;
            found = TRUE;
            break;
        }
    }
    KeReleaseSpinLock(&Extension->OpenContextLock, irql);
    if (found) {
        ExFreePool(Context);
    }
}

VOID FreeAllOpenContexts(FDO_EXTENSION* Extension) {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&Extension->OpenContextLock, &irql);
        OPEN_CONTEXT* context = Extension->OpenContextList;
        KeReleaseSpinLock(&Extension->OpenContextLock, irql);
        if (!context) {
            return;
        }
        EndParkedFileRead(Extension, context);
        if (context->FileObject) {
            context->FileObject->FsContext = NULL;
        }
        FreeOpenContext(Extension, context);
    }
}
