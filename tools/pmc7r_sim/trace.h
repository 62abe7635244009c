// --trace: every request that crosses the driver's boundary (Plug and Play, power, device
// and internal controls, URBs to the bus) and the status each ends with, on the timeline.
#pragma once

#include <cstdio>

namespace simtool {

class Tracer {
public:
    explicit Tracer(std::FILE* out);  // null: no tracing
    ~Tracer();
    Tracer(const Tracer&) = delete;
    Tracer& operator=(const Tracer&) = delete;

private:
    bool on_;
};

}  // namespace simtool
