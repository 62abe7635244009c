// The layout probe: compiled to assembly by the Windows cross-compiler against the DDK and by
// the host compiler (32-bit) against the host's headers. Each probe leaves one "#PROBE" line
// with its numbers in the assembly; the layout test compares the two files line by line.
#include <array>
#include <bit>

#include "platform/platform.h"
#include "platform/calling_convention.h"

namespace {

template <class T>
constexpr T* Null() {
    return nullptr;
}

// A bit field's position: the first bit set in the record when only the field is 1.
#define BIT_OF(T, F)                                                                  \
    [] {                                                                              \
        T record{};                                                                   \
        record.F = 1;                                                                 \
        auto bytes = std::bit_cast<std::array<unsigned char, sizeof(T)>>(record);     \
        for (size_t i = 0; i < sizeof(T); ++i)                                        \
            for (int b = 0; b < 8; ++b)                                               \
                if (bytes[i] >> b & 1) return int(i * 8 + b);                         \
        return -1;                                                                    \
    }()

}  // namespace

#define PROBE_BIT(T, F) asm volatile("#PROBE bit " #T "." #F " = %c0" ::"i"(BIT_OF(T, F)));
#define PROBE_SIZE(T) asm volatile("#PROBE size " #T " = %c0" ::"i"(sizeof(T)));
#define PROBE_FIELD(T, F)                                                             \
    asm volatile("#PROBE field " #T "." #F " = %c0 %c1" ::"i"(offsetof(T, F)), \
                 "i"(sizeof(Null<T>()->F)));
#define PROBE_CONST(C) asm volatile("#PROBE const " #C " = %c0" ::"i"((long)(C)));
#define PROBE_CONVENTION(F) \
    asm volatile("#PROBE convention " #F " = %c0" ::"i"(CallingConventionOf<decltype(&F)>()));

void LayoutProbes() {
#include "probes.inc"
}
