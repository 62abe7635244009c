#include "package/inf_reader.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace inf {
namespace {

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string StripComment(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (line[i] == ';' && !quoted) return line.substr(0, i);
    }
    return line;
}

std::string Unquote(const std::string& text) {
    std::string t = Trim(text);
    if (t.size() >= 2 && t.front() == '"' && t.back() == '"') return t.substr(1, t.size() - 2);
    return t;
}

std::vector<std::string> SplitValues(const std::string& text) {
    std::vector<std::string> values;
    std::string current;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') quoted = !quoted;
        if (c == ',' && !quoted) {
            values.push_back(Unquote(current));
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    values.push_back(Unquote(current));
    return values;
}

}  // namespace

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

InfFile InfFile::Parse(const std::string& text) {
    InfFile file;
    std::istringstream lines(text);
    std::vector<Entry>* section = nullptr;
    int number = 0;
    for (std::string raw; std::getline(lines, raw);) {
        ++number;
        std::string line = Trim(StripComment(raw));
        if (line.empty()) continue;
        if (line.front() == '[') {
            if (line.back() != ']') {
                file.errors.push_back("line " + std::to_string(number) + ": unclosed section name");
                continue;
            }
            std::string name = Lower(Trim(line.substr(1, line.size() - 2)));
            if (file.sections_.count(name)) file.errors.push_back("line " + std::to_string(number) + ": [" + name + "] again");
            section = &file.sections_[name];
            continue;
        }
        if (!section) {
            file.errors.push_back("line " + std::to_string(number) + ": outside any section");
            continue;
        }
        Entry entry;
        size_t equals = line.find('=');
        if (equals != std::string::npos && line.find('"') > equals) {
            entry.key = Unquote(line.substr(0, equals));
            entry.values = SplitValues(line.substr(equals + 1));
        } else {
            entry.values = SplitValues(line);
        }
        section->push_back(std::move(entry));
    }
    return file;
}

bool InfFile::Has(const std::string& section) const { return sections_.count(Lower(section)) != 0; }

const std::vector<Entry>& InfFile::Section(const std::string& section) const {
    static const std::vector<Entry> none;
    auto found = sections_.find(Lower(section));
    return found == sections_.end() ? none : found->second;
}

std::optional<Entry> InfFile::Find(const std::string& section, const std::string& key) const {
    for (const Entry& entry : Section(section))
        if (Lower(entry.key) == Lower(key)) return entry;
    return std::nullopt;
}

std::string InfFile::Expand(const std::string& value) const {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        size_t close = value[i] == '%' ? value.find('%', i + 1) : std::string::npos;
        if (close == std::string::npos) {
            out.push_back(value[i]);
            continue;
        }
        std::string name = value.substr(i + 1, close - i - 1);
        std::optional<Entry> string = Find("Strings", name);
        out += string && !string->values.empty() ? string->values[0] : value.substr(i, close - i + 1);
        i = close;
    }
    return out;
}

}  // namespace inf
