// The one header the driver includes: the real DDK on Windows, the host emulation elsewhere.
#pragma once

#if defined(PMC7R_WINDOWS)
#include "windows/nt_windows.h"
#else
#include "host/nt_io.h"
#include "host/nt_usb.h"
#endif

// IRQL contracts a routine states at the top of its body. MAY_WAIT: it may wait, so it runs
// below DISPATCH_LEVEL whether or not this call happens to wait. DISPATCH_SAFE: it may run at
// DISPATCH_LEVEL (completion and cancel routines and what they call), never above. Windows
// compiles both to nothing; the host checks them against the current IRQL, so a caller that
// breaks a contract is reported on its first call, not only on the call that waits.
#if defined(PMC7R_WINDOWS)
#define MAY_WAIT() ((void)0)
#define DISPATCH_SAFE() ((void)0)
#else
#define MAY_WAIT() ::host::CheckIrqlContract(APC_LEVEL, __func__)
#define DISPATCH_SAFE() ::host::CheckIrqlContract(DISPATCH_LEVEL, __func__)
#endif
