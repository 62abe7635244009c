// The function symbols of a native image from its own COFF symbol table (mingw's linker
// keeps it in an unstripped image): each function's address and its name, undecorated
// (the i386 leading underscore or fastcall '@', the stdcall "@N") and demangled.
#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "image_internal.h"

namespace host::detail::image {
namespace {

std::string Undecorate(std::string name) {
    if (!name.empty() && (name[0] == '_' || name[0] == '@')) name.erase(0, 1);
    size_t at = name.rfind('@');
    if (at != std::string::npos && at > 0 && name.find_first_not_of("0123456789", at + 1) == std::string::npos)
        name.erase(at);
    if (name.rfind("_Z", 0) == 0) {
        int status = 0;
        char* plain = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
        if (status == 0 && plain) {
            name = plain;
            size_t paren = name.find('(');
            if (paren != std::string::npos) name.erase(paren);
        }
        std::free(plain);
    }
    return name;
}

}  // namespace

std::vector<Symbol> ReadSymbols(const std::vector<uint8_t>& file, uint32_t table, uint32_t count,
                                const std::vector<uint32_t>& sectionRvas) {
    std::vector<Symbol> symbols;
    constexpr size_t kEntry = 18;
    if (table == 0 || table > file.size() || count > (file.size() - table) / kEntry) return symbols;
    size_t strings = table + size_t(count) * kEntry;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = file.data() + table + size_t(i) * kEntry;
        uint32_t value, zero, offset;
        int16_t section;
        uint16_t type;
        std::memcpy(&value, e + 8, 4);
        std::memcpy(&section, e + 12, 2);
        std::memcpy(&type, e + 14, 2);
        uint8_t aux = e[17];
        if ((type >> 4) == 2 && section > 0 && size_t(section) <= sectionRvas.size()) {
            std::string name;
            std::memcpy(&zero, e, 4);
            if (zero != 0) {
                name.assign(reinterpret_cast<const char*>(e), strnlen(reinterpret_cast<const char*>(e), 8));
            } else {
                std::memcpy(&offset, e + 4, 4);
                if (strings + offset < file.size()) {
                    const char* text = reinterpret_cast<const char*>(file.data() + strings + offset);
                    name.assign(text, strnlen(text, file.size() - strings - offset));
                }
            }
            symbols.push_back({sectionRvas[section - 1] + value, Undecorate(name)});
        }
        i += aux;
    }
    std::sort(symbols.begin(), symbols.end(), [](const Symbol& a, const Symbol& b) { return a.rva < b.rva; });
    return symbols;
}

}  // namespace host::detail::image
