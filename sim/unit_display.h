// The unit's display: two lines of 40 characters, addressed as 64 columns per line.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class UnitDisplay {
public:
    static constexpr int kLines = 2;
    static constexpr int kColumns = 40;
    static constexpr int kStride = 64;  // positions per line

    UnitDisplay();
    void Clear();
    // Writes text from position (line * 64 + column); CR and LF clear the line they move to.
    void Write(int position, const std::vector<uint8_t>& text);
    // The line's characters without trailing blanks.
    std::string Line(int line) const;

private:
    std::array<std::string, kLines> lines_;
};

}  // namespace sim
