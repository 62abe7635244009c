// A read-only view of a 32-bit PE image: the header fields, exports and imports that the
// Windows loader looks at when it loads a driver. Every read is bounds-checked; a malformed
// image throws std::runtime_error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class PeImage {
public:
    explicit PeImage(std::vector<uint8_t> bytes);

    uint16_t Machine() const { return U16(fileHeader_); }
    uint16_t Magic() const { return U16(optionalHeader_); }
    uint32_t EntryPoint() const { return U32(optionalHeader_ + 16); }
    uint32_t Checksum() const { return U32(ChecksumOffset()); }
    uint16_t Subsystem() const { return U16(optionalHeader_ + 68); }
    // The sum the loader compares with Checksum().
    uint32_t ComputeChecksum() const;

    struct Export {
        std::string name;
        uint32_t rva;
    };
    std::vector<Export> Exports() const;
    std::vector<std::string> ImportedModules() const;

private:
    struct Directory {
        uint32_t rva;
        uint32_t size;
    };
    uint16_t U16(size_t at) const;
    uint32_t U32(size_t at) const;
    size_t ChecksumOffset() const { return optionalHeader_ + 64; }
    Directory DataDirectory(unsigned index) const;
    size_t FileOffset(uint32_t rva, size_t length) const;
    std::string CString(uint32_t rva) const;

    std::vector<uint8_t> bytes_;
    size_t fileHeader_ = 0;
    size_t optionalHeader_ = 0;
    size_t sections_ = 0;
    unsigned sectionCount_ = 0;
};
