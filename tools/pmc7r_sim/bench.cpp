#include "tools/pmc7r_sim/bench.h"

#include <cmath>
#include <ctime>

#include "tools/pmc7r_sim/bench_workloads.h"

namespace simtool {
namespace bench {

BenchRow Row(std::string group, std::string name, std::string unit, Bound bound) {
    BenchRow row;
    row.group = std::move(group);
    row.name = std::move(name);
    row.unit = std::move(unit);
    row.bound = bound;
    return row;
}

}  // namespace bench

namespace {

std::string Number(double value, const std::string& unit) {
    char text[32];
    if (unit == "ms")
        std::snprintf(text, sizeof text, "%.3f", value);
    else if (unit == "x")
        std::snprintf(text, sizeof text, "%.2f", value);
    else
        std::snprintf(text, sizeof text, "%.0f", value);
    return text;
}

std::string BoundText(const BenchRow& row) {
    return std::string(row.bound.kind == Bound::Kind::AtMost ? "<= " : ">= ") + Number(row.bound.limit, row.unit) + " " +
           row.unit;
}

std::string Verdict(const BenchRow& row) {
    if (!row.produced) return "not measured";
    return row.Holds() ? "holds" : "DOES NOT HOLD";
}

std::string JsonText(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

std::vector<BenchRow> RunBenchRows(const BenchOptions& options) {
    bench::Sizes sizes = options.brief ? bench::Sizes{40, 16, 0.25} : bench::Sizes{1000, 200, 30};
    std::vector<BenchRow> rows;
    bench::InputLatency(sizes, &rows);
    bench::OutputLatency(sizes, &rows);
    bench::Floods(sizes, &rows);
    bench::LifeCycle(sizes, &rows);
    return rows;
}

void PrintBenchTable(const std::vector<BenchRow>& rows, std::FILE* out) {
    std::string group;
    std::fprintf(out, "%-72s %12s  %-14s %s\n", "figure", "value", "bound", "verdict");
    for (const BenchRow& row : rows) {
        if (row.group != group) {
            group = row.group;
            std::fprintf(out, "%s\n", group.c_str());
        }
        std::string value = row.produced ? Number(row.value, row.unit) + " " + row.unit : "-";
        std::fprintf(out, "  %-70s %12s  %-14s %s%s%s\n", row.name.c_str(), value.c_str(), BoundText(row).c_str(),
                     Verdict(row).c_str(), row.note.empty() ? "" : "  ", row.note.c_str());
    }
    size_t holding = 0;
    for (const BenchRow& row : rows) holding += row.Holds();
    std::fprintf(out, "%zu of %zu bounds hold\n", holding, rows.size());
}

void PrintBenchJson(const std::vector<BenchRow>& rows, std::FILE* out) {
    std::fprintf(out, "[\n");
    for (size_t i = 0; i < rows.size(); ++i) {
        const BenchRow& r = rows[i];
        std::fprintf(out,
                     "  {\"group\": %s, \"name\": %s, \"value\": %s, \"unit\": %s, \"bound\": {\"kind\": \"%s\", "
                     "\"limit\": %.6g}, \"produced\": %s, \"holds\": %s, \"note\": %s}%s\n",
                     JsonText(r.group).c_str(), JsonText(r.name).c_str(),
                     r.produced && std::isfinite(r.value) ? Number(r.value, r.unit).c_str() : "null",
                     JsonText(r.unit).c_str(), r.bound.kind == Bound::Kind::AtMost ? "at_most" : "at_least",
                     r.bound.limit, r.produced ? "true" : "false", r.Holds() ? "true" : "false",
                     JsonText(r.note).c_str(), i + 1 < rows.size() ? "," : "");
    }
    std::fprintf(out, "]\n");
}

int RunBench(const BenchOptions& options, std::FILE* out) {
    std::vector<BenchRow> rows = RunBenchRows(options);
    if (options.json) {
        PrintBenchJson(rows, out);
    } else {
        char date[32];
        std::time_t now = std::time(nullptr);
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
        std::fprintf(out, "pmc7r-sim bench%s, %s\n", options.brief ? " --brief" : "", date);
        PrintBenchTable(rows, out);
    }
    for (const BenchRow& row : rows)
        if (!row.produced) return 1;
    return 0;
}

}  // namespace simtool
