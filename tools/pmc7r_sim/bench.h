// pmc7r-sim bench: fixed workloads on virtual time, each figure with its bound. Latencies
// and throughput are exact on the virtual clock; only the simulator's own speed depends on
// the machine.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace simtool {

struct BenchOptions {
    bool json = false;
    // A short run that produces every figure from smaller workloads (for the test suite);
    // its figures are not the bench's.
    bool brief = false;
};

struct Bound {
    enum class Kind { AtMost, AtLeast };
    Kind kind;
    double limit;
    bool Holds(double value) const { return kind == Kind::AtMost ? value <= limit : value >= limit; }
};

struct BenchRow {
    std::string group;  // "input latency", "flood", ...
    std::string name;   // what was measured, e.g. "IN packet -> client read, p50"
    std::string unit;   // "ms", "B/s", "bytes", "x"
    double value = 0;
    Bound bound{Bound::Kind::AtMost, 0};
    bool produced = false;  // the workload measured it
    bool broken = false;    // measured, but incomplete or on a run that went wrong (see note)
    std::string note;       // what else the reader should know
    bool Holds() const { return produced && !broken && bound.Holds(value); }
};

std::vector<BenchRow> RunBenchRows(const BenchOptions& options);
void PrintBenchTable(const std::vector<BenchRow>& rows, std::FILE* out);
void PrintBenchJson(const std::vector<BenchRow>& rows, std::FILE* out);
// The command: runs the rows and prints them; 0 when every figure was produced, 1 when a
// workload failed to produce one (a bound that does not hold is reported, not an error).
int RunBench(const BenchOptions& options, std::FILE* out);

}  // namespace simtool
