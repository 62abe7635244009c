#include "transfer/input_ring.h"
#include "transfer/transfer.h"

// The context lives on this thread's stack: it is published and withdrawn under the
// exchange lock, which the reply collection holds for its whole scan, so the collection
// never touches a context that is gone.
ULONG ExchangeMessage(PDEVICE_OBJECT DeviceObject, const UCHAR* Message, ULONG Length,
                      PUCHAR ReplyBuffer, ULONG ReplyCapacity, ULONG WantedLength) {
    MAY_WAIT();
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
    EXCHANGE_CONTEXT context;
    KIRQL irql;
    for (ULONG attempt = 0; attempt < EXCHANGE_ATTEMPTS; ++attempt) {
        KeInitializeEvent(&context.ReplyDone, SynchronizationEvent, FALSE);
        context.ReplyLength = 0;
        context.ReplyBuffer = ReplyBuffer;
        context.ReplyCapacity = ReplyCapacity;
        context.WantedLength = WantedLength;
        KeAcquireSpinLock(&ext->ExchangeLock, &irql);
        context.ScanIndex = InputPosition(ext);
        ext->PendingExchange = &context;
        KeReleaseSpinLock(&ext->ExchangeLock, irql);

        BulkWrite(DeviceObject, Message, Length);
        if (TimedWait(&context.ReplyDone, EXCHANGE_WAIT_MS) != STATUS_TIMEOUT) {
            return context.ReplyLength;
        }
        KeAcquireSpinLock(&ext->ExchangeLock, &irql);
        // A reply that was finished just as the wait ran out still counts.
        BOOLEAN finished = ext->PendingExchange != &context;
        ext->PendingExchange = NULL;
        KeReleaseSpinLock(&ext->ExchangeLock, irql);
        if (finished) {
            return context.ReplyLength;
        }
    }
    return 0;
}

static BOOLEAN Wanted(const EXCHANGE_CONTEXT* Context) {
    return Context->WantedLength == 0 || Context->ReplyLength == Context->WantedLength;
}

static VOID FinishReply(FDO_EXTENSION* Extension, EXCHANGE_CONTEXT* Context) {
    Extension->PendingExchange = NULL;
    KeSetEvent(&Context->ReplyDone, EVENT_INCREMENT, FALSE);
}

// Picks a SysEx reply out of the bytes that arrived since the last scan; consumes nothing.
// The scan reads a byte at a time, as it stops at the reply's end.
VOID CollectReply(FDO_EXTENSION* Extension) {
    DISPATCH_SAFE();
    KIRQL irql;
    KeAcquireSpinLock(&Extension->ExchangeLock, &irql);
    EXCHANGE_CONTEXT* context = Extension->PendingExchange;
    UCHAR b;
    while (context && CopyInput(Extension, &context->ScanIndex, &b, 1) == 1) {
        if (b >= 0x80) {
            if (context->ReplyLength != 0) {
                // Any status byte ends the reply; only F7 belongs to it.
                if (b == 0xF7 && context->ReplyLength < context->ReplyCapacity) {
                    context->ReplyBuffer[context->ReplyLength++] = b;
                }
                if (Wanted(context)) {
                    FinishReply(Extension, context);
                    context = NULL;
                    continue;
                }
                context->ReplyLength = 0;  // another message than the one asked for
                if (b == 0xF7) {
                    continue;
                }
            }
            if (b == 0xF0 && context->ReplyCapacity != 0) {
                context->ReplyBuffer[0] = b;
                context->ReplyLength = 1;
            }
        } else if (context->ReplyLength != 0) {
            context->ReplyBuffer[context->ReplyLength++] = b;
            if (context->WantedLength != 0 && context->ReplyLength > context->WantedLength) {
                context->ReplyLength = 0;  // longer than the reply: the rest is passed over
            } else if (context->ReplyLength == context->ReplyCapacity) {
                FinishReply(Extension, context);
                context = NULL;
            }
        }
    }
    KeReleaseSpinLock(&Extension->ExchangeLock, irql);
}
