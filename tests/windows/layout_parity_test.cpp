// The host's headers against mingw-w64's DDK: the layout probe compiled by both toolchains
// (cmake/layout_probe.cmake) must give the same numbers, and the probe list must name every
// structure, field and constant of the platform that the driver's sources use. 32-bit only:
// the driver's ABI is 32-bit x86.
#include <gtest/gtest.h>

#if defined(__i386__)

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string WithoutComments(std::string text) {
    text = std::regex_replace(text, std::regex(R"(//[^\n]*)"), "");
    return std::regex_replace(text, std::regex(R"(/\*[\s\S]*?\*/)"), "");
}

// "kind name" -> the numbers, from a probe's assembly.
std::map<std::string, std::string> Probes(const fs::path& assembly) {
    std::map<std::string, std::string> probes;
    std::ifstream in(assembly);
    std::string line;
    std::regex probe(R"(#PROBE (\w+) (.+) = (.+))");
    for (std::smatch m; std::getline(in, line);)
        if (std::regex_search(line, m, probe)) probes[m[1].str() + " " + m[2].str()] = m[3].str();
    return probes;
}

const fs::path kLayout = fs::path(PMC7R_BINARY_DIR) / "layout";

TEST(LayoutParity, EveryProbeHasTheDdksNumbers) {
    std::map<std::string, std::string> ddk = Probes(kLayout / "ddk.s");
    std::map<std::string, std::string> host = Probes(kLayout / "host.s");
    ASSERT_GT(ddk.size(), 100u) << "no probes in " << kLayout / "ddk.s";
    for (const auto& [name, numbers] : ddk) {
        auto found = host.find(name);
        if (found == host.end()) {
            ADD_FAILURE() << name << ": probed on the DDK, not on the host";
            continue;
        }
        // Fields give "offset size", bit fields their first bit, constants their value,
        // routines 0 cdecl, 1 stdcall, 2 fastcall.
        EXPECT_EQ(numbers, found->second) << name << ": DDK " << numbers << ", host " << found->second;
    }
    EXPECT_EQ(ddk.size(), host.size());
}

struct PlatformNames {
    std::set<std::string> fields, constants, types;
};

// What the host's headers declare: fields of records, object-like macros, enumerators and
// type names.
PlatformNames Declared() {
    PlatformNames names;
    std::set<std::string> conventionMacros = {"NTAPI", "FASTCALL", "NTAPI_CDECL", "DDKAPI",
                                              "IN", "OUT", "OPTIONAL"};
    for (const auto& entry : fs::directory_iterator(fs::path(PMC7R_SOURCE_DIR) / "platform/host")) {
        if (entry.path().extension() != ".h") continue;
        std::string text = WithoutComments(ReadFile(entry.path()));
        std::regex field(R"((\w+)\s*(?:\[[^\]\n]*\])?\s*(?::\s*\d+)?\s*;)");
        for (std::sregex_iterator i(text.begin(), text.end(), field), end; i != end; ++i)
            names.fields.insert((*i)[1]);
        std::regex macro(R"(#define\s+(\w+)[ \t]+\S)");
        for (std::sregex_iterator i(text.begin(), text.end(), macro), end; i != end; ++i)
            if (!conventionMacros.count((*i)[1])) names.constants.insert((*i)[1]);
        std::regex enumBody(R"(enum\s*\w*\s*\{([^}]*)\})");
        for (std::sregex_iterator i(text.begin(), text.end(), enumBody), end; i != end; ++i) {
            std::string body = (*i)[1];
            std::regex enumerator(R"((\w+)\s*(?:=[^,]*)?(?:,|$))");
            for (std::sregex_iterator j(body.begin(), body.end(), enumerator); j != end; ++j)
                names.constants.insert((*j)[1]);
        }
        std::regex typeName(R"(\}\s*(\w+)\s*[,;])");
        for (std::sregex_iterator i(text.begin(), text.end(), typeName), end; i != end; ++i)
            names.types.insert((*i)[1]);
    }
    return names;
}

// What the probe list covers: every component of a probed field, every probed constant and
// type (a struct probed as "struct _X" counts as _X).
PlatformNames Probed() {
    PlatformNames names;
    std::string text = WithoutComments(ReadFile(fs::path(PMC7R_SOURCE_DIR) / "tools/layout_probe/probes.inc"));
    std::regex probe(R"(PROBE_(\w+)\(([^)]*)\))");
    for (std::sregex_iterator i(text.begin(), text.end(), probe), end; i != end; ++i) {
        std::string kind = (*i)[1], args = (*i)[2];
        std::regex word(R"(\w+)");
        if (kind == "CONVENTION") continue;
        bool field = kind == "FIELD" || kind == "BIT";
        std::set<std::string>& into = field ? names.fields : kind == "CONST" ? names.constants : names.types;
        for (std::sregex_iterator j(args.begin(), args.end(), word); j != end; ++j) into.insert((*j)[0]);
        if (field) names.types.insert(args.substr(0, args.find(',')));
    }
    return names;
}

TEST(LayoutParity, ProbesCoverWhatTheDriverUses) {
    PlatformNames declared = Declared(), probed = Probed();
    std::set<std::string> missing;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(PMC7R_SOURCE_DIR) / "driver")) {
        if (!entry.is_regular_file()) continue;
        std::string text = WithoutComments(ReadFile(entry.path()));
        std::regex member(R"((?:->|\.)\s*([A-Za-z_]\w*))");
        for (std::sregex_iterator i(text.begin(), text.end(), member), end; i != end; ++i)
            if (declared.fields.count((*i)[1]) && !probed.fields.count((*i)[1]))
                missing.insert("field " + (*i)[1].str());
        std::regex word(R"(\b[A-Za-z_]\w*\b)");
        for (std::sregex_iterator i(text.begin(), text.end(), word), end; i != end; ++i) {
            std::string name = (*i)[0];
            if (declared.constants.count(name) && !probed.constants.count(name)) missing.insert("constant " + name);
            if (declared.types.count(name) && !probed.types.count(name) && !probed.fields.count(name)) missing.insert("type " + name);
        }
    }
    for (const std::string& name : missing)
        ADD_FAILURE() << "the driver uses " << name << " of the platform; tools/layout_probe/probes.inc does not probe it";
}

}  // namespace

#endif
