#pragma once
// What the benchmarks measure with: the process's CPU time and a median.

#include <algorithm>
#include <ctime>
#include <vector>

namespace bench {

// CPU time of the whole process (every thread, the simulated devices' too), in ms.
inline double cpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace bench
