// Counted strings, memory comparison, and the UTF-16/UTF-8 helpers the platform shares.
#include <cstring>

#include "internal.h"

namespace host::detail {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Upcasing as the platform's table does it for ASCII and Latin-1 (and y with diaeresis,
// whose capital lies in Latin Extended-A).
char16_t Upcase(char16_t c) {
    if (c >= u'a' && c <= u'z') return c - 0x20;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
    if (c == 0xFF) return 0x178;
    return c;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void AppendUtf16(std::u16string& out, uint32_t cp) {
    if (cp < 0x10000) {
        out += static_cast<char16_t>(cp);
    } else {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 | (cp >> 10));
        out += static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
    }
}

// Decodes one UTF-8 sequence at s[i]; advances i. Malformed input yields U+FFFD.
uint32_t DecodeUtf8(const std::string& s, size_t& i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char lead = byte(i++);
    if (lead < 0x80) return lead;
    int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    if (extra < 0 || lead > 0xF4) return kReplacement;
    uint32_t cp = lead & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
        if (i >= s.size() || (byte(i) & 0xC0) != 0x80) return kReplacement;
        cp = (cp << 6) | (byte(i++) & 0x3F);
    }
    static constexpr uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
    return cp;
}

}  // namespace

std::string Narrow(const std::u16string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00));
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            AppendUtf8(out, kReplacement);
        } else {
            AppendUtf8(out, c);
        }
    }
    return out;
}

std::u16string Widen(const std::string& s) {
    std::u16string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) AppendUtf16(out, DecodeUtf8(s, i));
    return out;
}

std::u16string FromCounted(PCUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr) return {};
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Upcase(a[i]) != Upcase(b[i])) return false;
    }
    return true;
}

}  // namespace host::detail

using host::detail::EqualNoCase;
using host::detail::FromCounted;

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t units = std::char_traits<char16_t>::length(SourceString);
    DestinationString->Length = static_cast<USHORT>(units * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>(DestinationString->Length + sizeof(WCHAR));
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                       ? SourceString->Length
                       : DestinationString->MaximumLength;
    bytes &= ~static_cast<USHORT>(1);
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    // The platform terminates the copy when the destination has room for it.
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    std::u16string a = FromCounted(String1), b = FromCounted(String2);
    return CaseInSensitive ? EqualNoCase(a, b) : a == b;
}

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto a = static_cast<const unsigned char*>(Source1);
    auto b = static_cast<const unsigned char*>(Source2);
    SIZE_T same = 0;
    while (same < Length && a[same] == b[same]) ++same;
    return same;
}
