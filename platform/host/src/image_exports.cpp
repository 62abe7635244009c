// What the host offers a native image: each export of ntoskrnl.exe, HAL.dll and USBD.SYS
// that the host implements, bound by name. On 32-bit x86 each routine's calling convention
// is checked at compile time against the DDK's declaration of it (the layout probe's
// generated header), so a host routine whose convention differs does not build.
#include <cstring>

#include "../../calling_convention.h"
#include "../nt_usb.h"
#include "image_internal.h"

#if defined(PMC7R_DDK_CONVENTIONS)
#include "ddk_conventions.h"
#endif

namespace host::detail::image {
namespace {

#if defined(PMC7R_DDK_CONVENTIONS)
#define CHECK_CONVENTION(routine)                                                                \
    static_assert(CallingConventionOf<decltype(&::routine)>() == PMC7R_DDK_CONVENTION_##routine, \
                  #routine ": the host's calling convention differs from the DDK's");
#else
#define CHECK_CONVENTION(routine)
#endif

#if defined(PMC7R_DDK_CONVENTIONS)
#define CHECK_CONVENTION_OF(routine, ddkRoutine)                                                  \
    static_assert(CallingConventionOf<decltype(&routine)>() == PMC7R_DDK_CONVENTION_##ddkRoutine, \
                  #routine ": the host's calling convention differs from the DDK's " #ddkRoutine);
#else
#define CHECK_CONVENTION_OF(routine, ddkRoutine)
#endif

// The platform returns a 4-byte union in EAX; the host's 32-bit ABI returns it through
// memory. The image gets a routine that returns the state as a number.
ULONG NTAPI PoSetPowerStateForImages(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state) {
    return ULONG(::PoSetPowerState(device, type, state).DeviceState);
}

#define EXPORT(module, routine) CHECK_CONVENTION(routine)
#define EXPORT_AS(module, name, ddkRoutine, routine) CHECK_CONVENTION_OF(routine, ddkRoutine)
#include "image_exports.inc"
#undef EXPORT
#undef EXPORT_AS

// The runtime routines the kernel exports: the C library's own, cdecl as on the platform.
void* NTAPI_CDECL Copy(void* to, const void* from, size_t n) { return std::memcpy(to, from, n); }
void* NTAPI_CDECL Fill(void* to, int value, size_t n) { return std::memset(to, value, n); }
void* NTAPI_CDECL Move(void* to, const void* from, size_t n) { return std::memmove(to, from, n); }

const Export kExports[] = {
#define EXPORT(module, routine) {#module, #routine, reinterpret_cast<void*>(&::routine)},
#define EXPORT_AS(module, name, ddkRoutine, routine) {#module, name, reinterpret_cast<void*>(&routine)},
#include "image_exports.inc"
#undef EXPORT
#undef EXPORT_AS
    {"ntoskrnl.exe", "memcpy", reinterpret_cast<void*>(&Copy)},
    {"ntoskrnl.exe", "memset", reinterpret_cast<void*>(&Fill)},
    {"ntoskrnl.exe", "memmove", reinterpret_cast<void*>(&Move)},
};

}  // namespace

const Export* FindExport(const std::string& module, const std::string& name) {
    for (const Export& e : kExports)
        if (strcasecmp(e.module, module.c_str()) == 0 && name == e.name) return &e;
    return nullptr;
}

}  // namespace host::detail::image
