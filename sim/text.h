// Small text conversions shared by the simulation and the simulator program: the platform's
// strings are UTF-16, the reports and scenario files 7-bit text.
#pragma once

#include <string>
#include <string_view>

namespace sim {

inline std::u16string Widen(std::string_view text) { return std::u16string(text.begin(), text.end()); }

// Characters beyond 7 bits show as '?'.
inline std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? char(c) : '?';
    return out;
}

inline std::string TrimTrailingBlanks(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace sim
