#include "tools/pmc7r_sim/scenario_help.h"

#include <sstream>
#include <string_view>
#include <vector>

#include "tools/pmc7r_sim/scenario_parser.h"

namespace scenario {
namespace {

constexpr size_t kWidth = 80;
constexpr size_t kIndent = 2;
constexpr size_t kColumn = 30;  // where the descriptions start

bool Blank(const std::string& line) { return line.find_first_not_of(' ') == std::string::npos; }

// Adds the words of `text` to the last of `lines`; a word that would pass the width starts a
// new line at column `indent`.
void Flow(std::vector<std::string>& lines, std::string_view text, size_t indent) {
    std::istringstream words{std::string(text)};
    for (std::string word; words >> word;) {
        if (!Blank(lines.back()) && lines.back().size() + 1 + word.size() > kWidth)
            lines.push_back(std::string(indent, ' '));
        else if (!Blank(lines.back()) && lines.back().back() != ' ')
            lines.back() += ' ';
        lines.back() += word;
    }
}

// A short usage has its description beside it; a longer one, when both fit on the line;
// otherwise the description starts below.
std::vector<std::string> FormLines(const CommandForm& form) {
    std::string_view usage = form.usage;
    std::vector<std::string> lines{std::string(kIndent, ' ')};
    // A long usage goes on under its first option.
    size_t option = usage.find(" [");
    Flow(lines, usage, kIndent + (option == std::string_view::npos ? usage.find(' ') : option) + 1);
    std::string_view description = form.description;
    if (description.empty()) return lines;
    std::string& last = lines.back();
    if (last.size() + 2 <= kColumn) {
        last.resize(kColumn, ' ');
    } else if (last.size() + 2 + description.size() <= kWidth) {
        last += "  ";
    } else {
        lines.push_back(std::string(kColumn, ' '));
    }
    Flow(lines, description, kColumn);
    return lines;
}

}  // namespace

std::string CommandsHelp() {
    std::string text;
    for (const CommandForm& form : CommandForms())
        for (const std::string& line : FormLines(form)) text += line + "\n";
    return text;
}

}  // namespace scenario
