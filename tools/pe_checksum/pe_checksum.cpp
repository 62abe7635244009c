// pe_checksum FILE: writes the CheckSum field of a PE image's optional header, which the
// Windows loader verifies for drivers. The sum is the one the image helper library computes:
// 16-bit words added with end-around carry, the field itself counted as zero, plus the
// file's length.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

namespace {

uint32_t Read32(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t(bytes[at + 3]) << 24;
}

// The file offset of the CheckSum field, if this is a PE image at all.
std::optional<size_t> ChecksumOffset(const std::vector<uint8_t>& image) {
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') return std::nullopt;
    size_t pe = Read32(image, 0x3c);
    size_t field = pe + 4 + 20 + 64;  // signature, file header, optional header up to CheckSum
    if (field + 4 > image.size() || Read32(image, pe) != 0x00004550) return std::nullopt;
    return field;
}

uint32_t Checksum(std::vector<uint8_t> image, size_t field) {
    for (size_t i = 0; i < 4; ++i) image[field + i] = 0;
    uint32_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        sum += image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return ((sum & 0xffff) + (sum >> 16)) + uint32_t(image.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pe_checksum FILE\n");
        return 2;
    }
    std::vector<uint8_t> image;
    {
        std::ifstream in(argv[1], std::ios::binary);
        image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::optional<size_t> field = ChecksumOffset(image);
    if (!field) {
        std::fprintf(stderr, "pe_checksum: %s is not a PE image\n", argv[1]);
        return 1;
    }
    uint32_t sum = Checksum(image, *field);
    char bytes[4] = {char(sum), char(sum >> 8), char(sum >> 16), char(sum >> 24)};
    std::fstream out(argv[1], std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(std::streamoff(*field));
    out.write(bytes, sizeof(bytes));
    if (!out) {
        std::fprintf(stderr, "pe_checksum: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
