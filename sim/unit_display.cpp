#include "sim/unit_display.h"

namespace sim {

UnitDisplay::UnitDisplay() { Clear(); }

void UnitDisplay::Clear() {
    for (std::string& line : lines_) line.assign(kColumns, ' ');
}

void UnitDisplay::Write(int position, const std::vector<uint8_t>& text) {
    int line = position / kStride;
    int column = position % kStride;
    for (uint8_t c : text) {
        if (line >= kLines) return;  // past the last line nothing shows
        if (c == 0x0D || c == 0x0A) {
            if (c == 0x0A) ++line;
            column = 0;
            if (line < kLines) lines_[line].assign(kColumns, ' ');
            continue;
        }
        if (column < kColumns) lines_[line][column] = static_cast<char>(c);
        ++column;
    }
}

std::string UnitDisplay::Line(int line) const {
    if (line < 0 || line >= kLines) return "";
    const std::string& s = lines_[line];
    return s.substr(0, s.find_last_not_of(' ') + 1);
}

}  // namespace sim
