// The native image loader. As the platform's loader does for a driver: the headers must be
// a PE32 image for i386 with the native subsystem and an entry point; the sections are
// mapped at their addresses with the protections their characteristics ask for, the base
// relocations applied for wherever the image landed, and every import resolved by name
// against the modules it names. An import nobody exports refuses the whole load before any
// of the image runs, as the platform's loader refuses a driver with an unresolved import.
// Layout references: the PE format's headers, section table, .reloc (IMAGE_REL_BASED_HIGHLOW)
// and import directory.
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include "image_internal.h"

namespace host::detail::image {
namespace {

constexpr uint32_t kPage = 4096;

class Reader {
public:
    explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    bool Has(size_t at, size_t n) const { return at <= bytes_.size() && n <= bytes_.size() - at; }
    uint16_t U16(size_t at) const { return Has(at, 2) ? uint16_t(bytes_[at] | bytes_[at + 1] << 8) : 0; }
    uint32_t U32(size_t at) const { return Has(at, 4) ? uint32_t(U16(at) | uint32_t(U16(at + 2)) << 16) : 0; }

private:
    const std::vector<uint8_t>& bytes_;
};

struct Section {
    uint32_t rva, virtualSize, rawSize, rawOffset, characteristics;
};

struct Headers {
    uint32_t entry, imageBase, sectionAlignment, sizeOfImage, sizeOfHeaders;
    uint32_t importRva, importSize, relocRva, relocSize;
    uint32_t symbolTable, symbolCount;
    std::vector<Section> sections;
};

bool ParseHeaders(const std::vector<uint8_t>& file, Headers* h, std::string* error) {
    Reader r(file);
    if (r.U16(0) != 0x5A4D) return *error = "no MZ header", false;
    uint32_t pe = r.U32(0x3C);
    if (r.U32(pe) != 0x00004550) return *error = "no PE signature", false;
    size_t fileHeader = pe + 4, optional = fileHeader + 20;
    if (r.U16(fileHeader) != 0x14C) return *error = "not an i386 image", false;
    if (!(r.U16(fileHeader + 18) & 0x0002)) return *error = "not an executable image", false;
    if (r.U16(optional) != 0x10B) return *error = "not a PE32 image", false;
    if (r.U16(optional + 68) != 1) return *error = "not a native (kernel-mode) image", false;
    h->entry = r.U32(optional + 16);
    h->imageBase = r.U32(optional + 28);
    h->sectionAlignment = r.U32(optional + 32);
    h->sizeOfImage = r.U32(optional + 56);
    h->sizeOfHeaders = r.U32(optional + 60);
    uint32_t directories = r.U32(optional + 92);
    auto directory = [&](unsigned i, uint32_t* rva, uint32_t* size) {
        *rva = i < directories ? r.U32(optional + 96 + 8 * i) : 0;
        *size = i < directories ? r.U32(optional + 100 + 8 * i) : 0;
    };
    directory(1, &h->importRva, &h->importSize);
    directory(5, &h->relocRva, &h->relocSize);
    h->symbolTable = r.U32(fileHeader + 8);
    h->symbolCount = r.U32(fileHeader + 12);
    if (h->entry == 0 || h->entry >= h->sizeOfImage) return *error = "no entry point", false;
    if (h->sectionAlignment % kPage != 0)
        return *error = "section alignment below the page size: sections cannot have their own protection", false;
    if (h->sizeOfHeaders > h->sizeOfImage || !r.Has(0, h->sizeOfHeaders)) return *error = "headers out of bounds", false;
    size_t table = optional + r.U16(fileHeader + 16);
    for (unsigned i = 0, n = r.U16(fileHeader + 2); i < n; ++i) {
        size_t s = table + 40 * i;
        if (!r.Has(s, 40)) return *error = "section table out of bounds", false;
        Section sec{r.U32(s + 12), r.U32(s + 8), r.U32(s + 16), r.U32(s + 20), r.U32(s + 36)};
        uint32_t span = std::max(sec.virtualSize, sec.rawSize);
        if (sec.rva % kPage != 0 || sec.rva < h->sizeOfHeaders || sec.rva > h->sizeOfImage ||
            span > h->sizeOfImage - sec.rva)
            return *error = "section " + std::to_string(i) + " outside the image", false;
        if (sec.rawSize && !r.Has(sec.rawOffset, sec.rawSize))
            return *error = "section " + std::to_string(i) + " outside the file", false;
        h->sections.push_back(sec);
    }
    return true;
}

bool Relocate(uint8_t* base, const Headers& h, std::string* error) {
    uint32_t delta = uint32_t(reinterpret_cast<uintptr_t>(base)) - h.imageBase;
    if (delta == 0) return true;
    if (h.relocRva == 0) return *error = "no base relocations and the preferred base is taken", false;
    for (uint32_t at = h.relocRva; at + 8 <= h.relocRva + h.relocSize;) {
        uint32_t page, blockSize;
        std::memcpy(&page, base + at, 4);
        std::memcpy(&blockSize, base + at + 4, 4);
        if (blockSize < 8 || at + blockSize > h.relocRva + h.relocSize) return *error = "malformed relocation block", false;
        for (uint32_t e = 8; e + 2 <= blockSize; e += 2) {
            uint16_t entry;
            std::memcpy(&entry, base + at + e, 2);
            uint32_t type = entry >> 12, target = page + (entry & 0xFFF);
            if (type == 0) continue;  // IMAGE_REL_BASED_ABSOLUTE: padding
            if (type != 3 || target + 4 > h.sizeOfImage)
                return *error = "relocation type " + std::to_string(type) + " at " + std::to_string(target), false;
            uint32_t value;
            std::memcpy(&value, base + target, 4);
            value += delta;
            std::memcpy(base + target, &value, 4);
        }
        at += blockSize;
    }
    return true;
}

std::string CString(const uint8_t* base, uint32_t rva, uint32_t limit) {
    std::string s;
    while (rva < limit && base[rva]) s += char(base[rva++]);
    return s;
}

// Every import bound, or none: the missing ones are all named.
bool BindImports(uint8_t* base, const Headers& h, std::string* error) {
    std::vector<std::string> missing;
    for (uint32_t d = h.importRva; h.importRva && d + 20 <= h.sizeOfImage; d += 20) {
        uint32_t lookup, nameRva, iat;
        std::memcpy(&lookup, base + d, 4);
        std::memcpy(&nameRva, base + d + 12, 4);
        std::memcpy(&iat, base + d + 16, 4);
        if (nameRva == 0 && iat == 0) break;
        std::string module = CString(base, nameRva, h.sizeOfImage);
        if (lookup == 0) lookup = iat;
        for (uint32_t i = 0;; i += 4) {
            if (lookup + i + 4 > h.sizeOfImage || iat + i + 4 > h.sizeOfImage) return *error = "import table out of bounds", false;
            uint32_t thunk;
            std::memcpy(&thunk, base + lookup + i, 4);
            if (thunk == 0) break;
            if (thunk & 0x80000000u) {
                missing.push_back(module + "!#" + std::to_string(thunk & 0xFFFF) + " (by ordinal)");
                continue;
            }
            std::string name = CString(base, thunk + 2, h.sizeOfImage);
            const Export* e = FindExport(module, name);
            if (!e) {
                missing.push_back(module + "!" + name);
                continue;
            }
            uint32_t address = uint32_t(reinterpret_cast<uintptr_t>(e->routine));
            std::memcpy(base + iat + i, &address, 4);
        }
    }
    if (missing.empty()) return true;
    *error = "imports the host does not export:";
    for (const std::string& m : missing) *error += " " + m;
    return false;
}

int Protection(uint32_t characteristics) {
    int prot = 0;
    if (characteristics & 0x40000000u) prot |= PROT_READ;
    if (characteristics & 0x80000000u) prot |= PROT_WRITE;
    if (characteristics & 0x20000000u) prot |= PROT_EXEC | PROT_READ;
    return prot;
}

bool Protect(uint8_t* base, const Headers& h, std::string* error) {
    if (mprotect(base, (h.sizeOfHeaders + kPage - 1) / kPage * kPage, PROT_READ) != 0)
        return *error = "cannot protect the headers", false;
    for (const Section& s : h.sections) {
        uint32_t span = (std::max(s.virtualSize, s.rawSize) + kPage - 1) / kPage * kPage;
        if (span && mprotect(base + s.rva, span, Protection(s.characteristics)) != 0)
            return *error = "cannot protect a section", false;
    }
    return true;
}

std::mutex& ImagesLock() {
    static std::mutex lock;
    return lock;
}

std::vector<host::image::Image*>& Images() {
    static std::vector<host::image::Image*> images;
    return images;
}

}  // namespace

std::vector<Symbol> ReadSymbols(const std::vector<uint8_t>& file, uint32_t table, uint32_t count,
                                const std::vector<uint32_t>& sectionRvas);

bool Contains(uintptr_t address) {
    std::lock_guard guard(ImagesLock());
    for (host::image::Image* i : Images())
        if (address >= uintptr_t(i->base) && address < uintptr_t(i->base) + i->size) return true;
    return false;
}

// Without the lock: the fault reporter runs where the lock may be held.
const host::image::Image* ImageAt(uintptr_t address) {
    for (host::image::Image* i : Images())
        if (address >= uintptr_t(i->base) && address < uintptr_t(i->base) + i->size) return i;
    return nullptr;
}

}  // namespace host::detail::image

namespace host::image {

using namespace host::detail::image;

bool Supported() {
#if defined(__i386__)
    return true;
#else
    return false;
#endif
}

Image* Load(const std::string& path, std::string* error) {
    std::string why;
    std::string& e = error ? *error : why;
    if (!Supported()) {
        e = "an x86 image runs only in the 32-bit x86 build of the host (host-x86)";
        return nullptr;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        e = path + ": cannot read";
        return nullptr;
    }
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Headers h{};
    if (!ParseHeaders(file, &h, &e)) {
        e = path + ": " + e;
        return nullptr;
    }
    void* map = mmap(nullptr, h.sizeOfImage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) {
        e = path + ": cannot map " + std::to_string(h.sizeOfImage) + " bytes";
        return nullptr;
    }
    auto* base = static_cast<uint8_t*>(map);
    std::memcpy(base, file.data(), h.sizeOfHeaders);
    std::vector<uint32_t> rvas;
    for (const Section& s : h.sections) {
        std::memcpy(base + s.rva, file.data() + s.rawOffset, std::min(s.rawSize, std::max(s.virtualSize, s.rawSize)));
        rvas.push_back(s.rva);
    }
    if (!Relocate(base, h, &e) || !BindImports(base, h, &e) || !Protect(base, h, &e)) {
        munmap(base, h.sizeOfImage);
        e = path + ": " + e;
        return nullptr;
    }
    auto* image = new Image;
    image->name = path.substr(path.find_last_of('/') + 1);
    image->base = base;
    image->size = h.sizeOfImage;
    image->entry = h.entry;
    image->symbols = ReadSymbols(file, h.symbolTable, h.symbolCount, rvas);
    InstallFaultReporter();
    std::lock_guard guard(ImagesLock());
    Images().push_back(image);
    return image;
}

PDRIVER_INITIALIZE Entry(const Image* image) {
    return reinterpret_cast<PDRIVER_INITIALIZE>(image->base + image->entry);
}

PVOID Base(const Image* image) { return image->base; }
ULONG Size(const Image* image) { return image->size; }

void Unload(Image* image) {
    if (!image) return;
    {
        std::lock_guard guard(ImagesLock());
        auto& all = Images();
        all.erase(std::remove(all.begin(), all.end(), image), all.end());
    }
    munmap(image->base, image->size);
    delete image;
}

std::string Describe(uintptr_t address) {
    std::lock_guard guard(ImagesLock());
    return DescribeIn(ImageAt(address), address);
}

}  // namespace host::image

namespace host::detail::image {

std::string DescribeIn(const host::image::Image* image, uintptr_t address) {
    if (!image) return "";
    uint32_t rva = uint32_t(address - uintptr_t(image->base));
    char text[64];
    snprintf(text, sizeof text, "%s+0x%x", image->name.c_str(), rva);
    std::string out = text;
    auto after = std::upper_bound(image->symbols.begin(), image->symbols.end(), rva,
                                  [](uint32_t r, const Symbol& s) { return r < s.rva; });
    if (after != image->symbols.begin()) {
        const Symbol& s = *(after - 1);
        snprintf(text, sizeof text, "+0x%x)", rva - s.rva);
        out += " (" + s.name + text;
    }
    return out;
}

}  // namespace host::detail::image
