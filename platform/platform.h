// The one header the driver includes: the real DDK on Windows, the host emulation elsewhere.
#pragma once

#if defined(PMC7R_WINDOWS)
#include "windows/nt_windows.h"
#else
#include "host/nt_io.h"
#include "host/nt_usb.h"
#endif
