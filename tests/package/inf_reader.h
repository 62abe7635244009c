// Reads a Windows INF file into sections of entries, as Setup sees them: section and key
// names are case-insensitive, `;` starts a comment outside quotes, values are split at
// commas and %name% tokens are replaced from [Strings].
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace inf {

struct Entry {
    std::string key;  // empty for a line without '='
    std::vector<std::string> values;
};

class InfFile {
public:
    // Every line outside a section, and a section named twice, count as errors.
    static InfFile Parse(const std::string& text);

    bool Has(const std::string& section) const;
    const std::vector<Entry>& Section(const std::string& section) const;
    // The first entry with that key, or none.
    std::optional<Entry> Find(const std::string& section, const std::string& key) const;
    // %name% replaced by its [Strings] value; %12% and other numbers stay as written.
    std::string Expand(const std::string& value) const;

    std::vector<std::string> errors;

private:
    std::map<std::string, std::vector<Entry>> sections_;  // by lower-case name
};

std::string Lower(std::string text);

}  // namespace inf
