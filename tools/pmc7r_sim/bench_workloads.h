// The bench's workloads. Each runs in its own platform session on a fresh machine and adds
// its rows; a workload that cannot measure a figure still adds its row, not produced.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/pmc7r_sim/bench.h"

namespace simtool::bench {

struct Sizes {
    int inputMessages;   // spread over eight units
    int outputSamples;   // idle-wire writes, spread over eight units
    double floodSeconds; // of traffic per flood configuration
};

void InputLatency(const Sizes& sizes, std::vector<BenchRow>* rows);
void OutputLatency(const Sizes& sizes, std::vector<BenchRow>* rows);
void Floods(const Sizes& sizes, std::vector<BenchRow>* rows);
void LifeCycle(const Sizes& sizes, std::vector<BenchRow>* rows);

// A row helper: value in its unit against the bound.
BenchRow Row(std::string group, std::string name, std::string unit, Bound bound);
inline constexpr double kMs = 10000.0;  // host::Now() units per millisecond

}  // namespace simtool::bench
