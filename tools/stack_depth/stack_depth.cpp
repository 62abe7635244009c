// stack_depth BOUND DIR: the driver's worst stack depth from the compiler's own numbers. GCC's
// -fcallgraph-info=su leaves one .ci file (VCG) per object: each function with its frame size
// and the calls it makes. The depth of a function is its frame plus the deepest of its
// callees; routines outside the driver (the kernel's exports) count 0 here, as the platform's
// share of the stack is outside the driver's budget. Prints the deepest chain with each
// frame, and exits 1 when it is above BOUND bytes, when a frame is dynamic (alloca, arrays of
// variable length) or when the driver recurses (no bound can be computed).
#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// GCC's labels lose the name of clones and variadic routines; the title keeps the symbol
// ("file:symbol" for a local one).
std::string NameOf(const std::string& title) {
    std::string symbol = title.substr(title.rfind(':') + 1);
    // The x86 decorations: stdcall's "@N" suffix, fastcall's leading '@'.
    size_t at = symbol.rfind('@');
    if (at != std::string::npos && at > 0 && symbol.find_first_not_of("0123456789", at + 1) == std::string::npos)
        symbol.erase(at);
    if (!symbol.empty() && symbol[0] == '@') symbol.erase(0, 1);
    int status = 0;
    char* plain = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
    std::string name = status == 0 && plain ? plain : symbol;
    std::free(plain);
    return name;
}

struct Function {
    std::string name;   // demangled
    std::string where;  // file:line
    long bytes = -1;    // -1: not defined in the driver
    bool dynamic = false;
    std::set<std::string> callees;
};

std::map<std::string, Function> functions;

void ReadGraph(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    std::regex node(R"re(node: \{ title: "([^"]+)" label: "([^"\\]*)\\n([^"\\]*)(?:\\n(\d+) bytes \(([^)]*)\))?")re");
    for (std::sregex_iterator i(s.begin(), s.end(), node), end; i != end; ++i) {
        Function& f = functions[(*i)[1]];
        f.name = NameOf((*i)[1]);
        if ((*i)[4].matched) {
            f.where = (*i)[3];
            f.bytes = std::max(f.bytes, std::atol((*i)[4].str().c_str()));
            if ((*i)[5].str().find("dynamic") != std::string::npos &&
                (*i)[5].str().find("bounded") == std::string::npos)
                f.dynamic = true;
        }
    }
    std::regex edge(R"re(edge: \{ sourcename: "([^"]+)" targetname: "([^"]+)")re");
    for (std::sregex_iterator i(s.begin(), s.end(), edge), end; i != end; ++i)
        functions[(*i)[1]].callees.insert((*i)[2]);
}

struct Depth {
    long bytes = 0;
    std::string next;  // the callee on the deepest chain
};

std::map<std::string, Depth> depths;
std::set<std::string> open;
std::vector<std::string> recursion;

const Depth& DepthOf(const std::string& key) {
    if (auto it = depths.find(key); it != depths.end()) return it->second;
    Depth d;
    const Function& f = functions[key];
    if (open.count(key)) {
        recursion.push_back(f.name);
        return depths[key] = d;
    }
    open.insert(key);
    for (const std::string& callee : f.callees) {
        const Depth& c = DepthOf(callee);
        if (c.bytes > d.bytes) d = {c.bytes, callee};
    }
    open.erase(key);
    d.bytes += std::max(f.bytes, 0L);
    if (d.next.empty() && !f.callees.empty()) d.next = *f.callees.begin();
    return depths[key] = d;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: stack_depth BOUND DIR\n");
        return 2;
    }
    long bound = std::atol(argv[1]);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[2]))
        if (entry.path().extension() == ".ci") ReadGraph(entry.path());
    std::string deepest;
    for (const auto& [key, f] : functions)
        if (f.bytes >= 0 && (deepest.empty() || DepthOf(key).bytes > DepthOf(deepest).bytes)) deepest = key;
    if (deepest.empty()) {
        std::fprintf(stderr, "stack_depth: no call graph (.ci) under %s\n", argv[2]);
        return 1;
    }
    long total = DepthOf(deepest).bytes;
    std::printf("deepest stack: %ld bytes (bound %ld)\n", total, bound);
    for (std::string key = deepest; !key.empty(); key = depths[key].next) {
        const Function& f = functions[key];
        if (f.bytes >= 0)
            std::printf("  %5ld  %s  (%s)\n", f.bytes, f.name.c_str(), f.where.c_str());
        else
            std::printf("         %s  (outside the driver)\n", f.name.c_str());
    }
    int status = 0;
    for (const auto& [key, f] : functions)
        if (f.dynamic) {
            std::fprintf(stderr, "stack_depth: %s (%s) has a dynamic frame\n", f.name.c_str(), f.where.c_str());
            status = 1;
        }
    for (const std::string& name : recursion) {
        std::fprintf(stderr, "stack_depth: %s recurses: no bound\n", name.c_str());
        status = 1;
    }
    if (total > bound) {
        std::fprintf(stderr, "stack_depth: %ld bytes is above the bound of %ld\n", total, bound);
        status = 1;
    }
    return status;
}
