// The kernel's bounded formatting export and the printf engine behind it and DbgPrint.
#include "format.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "internal.h"

namespace host::detail {
namespace {

enum class Size { Default, Char, Short, Long, LongLong, Int64, Pointer, Wide };

struct Spec {
    std::string flags;
    int width = -1;
    int precision = -1;
    Size size = Size::Default;
    char conversion = 0;
};

// The platform's counted 8-bit string, for %Z.
struct CountedAnsi {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
};

std::string Printf(const char* format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(n > 0 ? n : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), n + 1, format, again);
    va_end(again);
    return text;
}

// The host printf spec for a numeric conversion, always with a long long argument.
std::string HostSpec(const Spec& s, const char* length) {
    std::string spec = "%" + s.flags;
    if (s.width >= 0) spec += std::to_string(s.width);
    if (s.precision >= 0) spec += "." + std::to_string(s.precision);
    return spec + length + s.conversion;
}

std::string Pad(std::string text, const Spec& s) {
    if (s.width > 0 && text.size() < static_cast<size_t>(s.width)) {
        std::string fill(s.width - text.size(), ' ');
        text = s.flags.find('-') != std::string::npos ? text + fill : fill + text;
    }
    return text;
}

std::string Wide(const char16_t* text, size_t units, const Spec& s) {
    if (text == nullptr) return Pad("(null)", s);
    if (s.precision >= 0 && units > static_cast<size_t>(s.precision)) units = s.precision;
    return Pad(Narrow(std::u16string(text, units)), s);
}

std::string Narrow8(const char* text, size_t bytes, const Spec& s) {
    if (text == nullptr) return Pad("(null)", s);
    if (s.precision >= 0 && bytes > static_cast<size_t>(s.precision)) bytes = s.precision;
    return Pad(std::string(text, bytes), s);
}

size_t WideLength(const char16_t* text, const Spec& s) {
    size_t n = 0;
    while (text && (s.precision < 0 || n < static_cast<size_t>(s.precision)) && text[n]) ++n;
    return n;
}

size_t NarrowLength(const char* text, const Spec& s) {
    size_t n = 0;
    while (text && (s.precision < 0 || n < static_cast<size_t>(s.precision)) && text[n]) ++n;
    return n;
}

long long SignedArg(Size size, va_list* ap) {
    switch (size) {
    case Size::Char: return static_cast<signed char>(va_arg(*ap, int));
    case Size::Short: return static_cast<short>(va_arg(*ap, int));
    case Size::LongLong:
    case Size::Int64: return va_arg(*ap, long long);
    case Size::Pointer: return va_arg(*ap, intptr_t);
    default: return va_arg(*ap, int32_t);
    }
}

unsigned long long UnsignedArg(Size size, va_list* ap) {
    switch (size) {
    case Size::Char: return static_cast<unsigned char>(va_arg(*ap, int));
    case Size::Short: return static_cast<unsigned short>(va_arg(*ap, int));
    case Size::LongLong:
    case Size::Int64: return va_arg(*ap, unsigned long long);
    case Size::Pointer: return va_arg(*ap, uintptr_t);
    default: return va_arg(*ap, uint32_t);
    }
}

// Is this conversion one of the UTF-16 ones the platform allows only at PASSIVE_LEVEL?
bool IsUnicode(const Spec& s) {
    bool wide = s.size == Size::Wide || s.size == Size::Long;
    switch (s.conversion) {
    case 'c':
    case 's': return wide;
    case 'C':
    case 'S': return s.size != Size::Short;
    case 'Z': return s.size == Size::Wide;
    default: return false;
    }
}

std::string Text(const Spec& s, va_list* ap) {
    bool wide = IsUnicode(s);
    switch (s.conversion) {
    case 'd':
    case 'i': return Printf(HostSpec(s, "ll").c_str(), SignedArg(s.size, ap));
    case 'u':
    case 'o':
    case 'x':
    case 'X': return Printf(HostSpec(s, "ll").c_str(), UnsignedArg(s.size, ap));
    case 'c':
    case 'C': {
        int c = va_arg(*ap, int);
        if (!wide) return Pad(std::string(1, static_cast<char>(c)), s);
        char16_t unit = static_cast<char16_t>(c);
        return Pad(Narrow(std::u16string(1, unit)), s);
    }
    case 's':
    case 'S': {
        if (wide) {
            auto text = va_arg(*ap, const char16_t*);
            return Wide(text, WideLength(text, s), s);
        }
        auto text = va_arg(*ap, const char*);
        return Narrow8(text, NarrowLength(text, s), s);
    }
    case 'Z': {
        if (wide) {
            auto string = va_arg(*ap, PCUNICODE_STRING);
            if (string == nullptr) return Pad("(null)", s);
            return Wide(string->Buffer, string->Length / sizeof(WCHAR), s);
        }
        auto string = va_arg(*ap, const CountedAnsi*);
        if (string == nullptr) return Pad("(null)", s);
        return Narrow8(string->Buffer, string->Length, s);
    }
    case 'p': {
        int digits = static_cast<int>(sizeof(void*) * 2);
        return Pad(Printf("%0*" PRIXPTR, digits, reinterpret_cast<uintptr_t>(va_arg(*ap, void*))), s);
    }
    case 'n': va_arg(*ap, void*); return "";
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A': return Printf(HostSpec(s, "").c_str(), va_arg(*ap, double));
    default: return {};
    }
}

// Reads flags, width, precision and size after a '%'; returns false at a cut-off spec.
bool Parse(const char*& p, Spec* s, va_list* ap) {
    while (*p && std::strchr("-+ #0", *p)) s->flags += *p++;
    if (*p == '*') {
        s->width = va_arg(*ap, int);
        if (s->width < 0) {
            s->flags += '-';
            s->width = -s->width;
        }
        ++p;
    } else {
        while (*p >= '0' && *p <= '9') s->width = (s->width < 0 ? 0 : s->width * 10) + (*p++ - '0');
    }
    if (*p == '.') {
        ++p;
        s->precision = 0;
        if (*p == '*') {
            s->precision = va_arg(*ap, int);
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') s->precision = s->precision * 10 + (*p++ - '0');
        }
    }
    if (std::strncmp(p, "I64", 3) == 0) {
        s->size = Size::Int64, p += 3;
    } else if (std::strncmp(p, "I32", 3) == 0) {
        s->size = Size::Long, p += 3;
    } else if (std::strncmp(p, "hh", 2) == 0) {
        s->size = Size::Char, p += 2;
    } else if (std::strncmp(p, "ll", 2) == 0) {
        s->size = Size::LongLong, p += 2;
    } else if (*p == 'I' || *p == 'z') {
        s->size = Size::Pointer, ++p;
    } else if (*p == 'h') {
        s->size = Size::Short, ++p;
    } else if (*p == 'l') {
        s->size = Size::Long, ++p;
    } else if (*p == 'w') {
        s->size = Size::Wide, ++p;
    }
    if (*p == '\0') return false;
    s->conversion = *p++;
    return true;
}

}  // namespace

std::string FormatKernel(const char* format, va_list* args) {
    std::string out;
    for (const char* p = format; *p;) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += *p++;
            continue;
        }
        Spec spec;
        if (!Parse(p, &spec, args)) {
            out.append(start);
            break;
        }
        if (!std::strchr("diuoxXcCsSZpneEfFgGaA", spec.conversion)) {
            out.append(start, p);
            continue;
        }
        if (IsUnicode(spec) && CurrentIrql() != PASSIVE_LEVEL) {
            Violate(rules::kUnicodeFormatAbovePassive,
                    "%" + std::string(1, spec.conversion) + " in \"" + format + "\" at IRQL " +
                        std::to_string(CurrentIrql()));
            if (spec.conversion == 'c' || spec.conversion == 'C') {
                va_arg(*args, int);
            } else {
                va_arg(*args, void*);
            }
            continue;
        }
        out += Text(spec, args);
    }
    return out;
}

}  // namespace host::detail

extern "C" int _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list Args) {
    va_list args;
    va_copy(args, Args);
    std::string text = host::detail::FormatKernel(Format, &args);
    va_end(args);
    size_t n = text.size();
    if (n < Count) {
        std::memcpy(Buffer, text.data(), n);
        Buffer[n] = '\0';
        return static_cast<int>(n);
    }
    if (Count) std::memcpy(Buffer, text.data(), Count);
    return n == Count ? static_cast<int>(n) : -1;
}
