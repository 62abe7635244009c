#include "windows/pe_image.h"

#include <algorithm>
#include <stdexcept>

namespace {
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kOptionalHeaderFixed = 96;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kImportDescriptorSize = 20;
constexpr size_t kMaxName = 256;
constexpr unsigned kExportDirectory = 0;
constexpr unsigned kImportDirectory = 1;

[[noreturn]] void Malformed(const std::string& what) {
    throw std::runtime_error("malformed PE image: " + what);
}
}  // namespace

PeImage::PeImage(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
    if (U16(0) != 0x5a4d) Malformed("no MZ header");
    size_t pe = U32(0x3c);
    if (U32(pe) != kPeSignature) Malformed("no PE signature");
    fileHeader_ = pe + 4;
    sectionCount_ = U16(fileHeader_ + 2);
    optionalHeader_ = fileHeader_ + kFileHeaderSize;
    if (Magic() != 0x10b) Malformed("not a PE32 optional header");
    // The fixed fields, up to the data directory count, are all there.
    if (U16(fileHeader_ + 16) < kOptionalHeaderFixed) Malformed("optional header too short");
    sections_ = optionalHeader_ + U16(fileHeader_ + 16);
    U32(sections_ + sectionCount_ * kSectionHeaderSize - 4);  // the section table is there
}

uint16_t PeImage::U16(size_t at) const {
    if (at > bytes_.size() || bytes_.size() - at < 2) Malformed("read past the end");
    return uint16_t(bytes_[at] | bytes_[at + 1] << 8);
}

uint32_t PeImage::U32(size_t at) const {
    return U16(at) | uint32_t(U16(at + 2)) << 16;
}

uint32_t PeImage::ComputeChecksum() const {
    std::vector<uint8_t> image = bytes_;
    std::fill_n(image.begin() + ptrdiff_t(ChecksumOffset()), 4, 0);  // counted as zero
    if (image.size() % 2 != 0) image.push_back(0);
    uint32_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        sum += image[i] | image[i + 1] << 8;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return (sum & 0xffff) + (sum >> 16) + uint32_t(bytes_.size());
}

PeImage::Directory PeImage::DataDirectory(unsigned index) const {
    if (index >= U32(optionalHeader_ + 92)) return {0, 0};
    size_t entry = optionalHeader_ + kOptionalHeaderFixed + index * 8;
    return {U32(entry), U32(entry + 4)};
}

// Where a span of the loaded image lies in the file; it must lie within one section's data.
size_t PeImage::FileOffset(uint32_t rva, size_t length) const {
    for (unsigned i = 0; i < sectionCount_; ++i) {
        size_t header = sections_ + i * kSectionHeaderSize;
        uint32_t start = U32(header + 12);
        uint32_t rawSize = U32(header + 16);
        if (rva >= start && rva - start < rawSize) {
            if (rawSize - (rva - start) < length) Malformed("data crosses a section's end");
            size_t offset = size_t(U32(header + 20)) + (rva - start);
            if (offset > bytes_.size() || bytes_.size() - offset < length) {
                Malformed("section data past the end of the file");
            }
            return offset;
        }
    }
    Malformed("address outside every section");
}

std::string PeImage::CString(uint32_t rva) const {
    std::string text;
    size_t at = FileOffset(rva, 1);
    while (bytes_[at] != 0) {
        text += char(bytes_[at]);
        if (text.size() > kMaxName) Malformed("name too long");
        at = FileOffset(rva + uint32_t(text.size()), 1);
    }
    return text;
}

std::vector<PeImage::Export> PeImage::Exports() const {
    std::vector<Export> exports;
    Directory dir = DataDirectory(kExportDirectory);
    if (dir.size == 0) return exports;
    size_t table = FileOffset(dir.rva, 40);
    uint32_t functionCount = U32(table + 20);
    uint32_t nameCount = U32(table + 24);
    uint32_t functions = U32(table + 28);
    uint32_t names = U32(table + 32);
    uint32_t ordinals = U32(table + 36);
    for (uint32_t i = 0; i < nameCount; ++i) {
        uint32_t nameRva = U32(FileOffset(names + 4 * i, 4));
        uint16_t ordinal = U16(FileOffset(ordinals + 2 * i, 2));
        if (ordinal >= functionCount) Malformed("export ordinal out of range");
        exports.push_back({CString(nameRva), U32(FileOffset(functions + 4 * ordinal, 4))});
    }
    return exports;
}

std::vector<std::string> PeImage::ImportedModules() const {
    std::vector<std::string> modules;
    Directory dir = DataDirectory(kImportDirectory);
    if (dir.size == 0) return modules;
    for (uint32_t rva = dir.rva;; rva += kImportDescriptorSize) {
        size_t descriptor = FileOffset(rva, kImportDescriptorSize);
        uint32_t name = U32(descriptor + 12);
        if (name == 0) break;  // the all-zero descriptor ends the table
        modules.push_back(CString(name));
    }
    return modules;
}
