// The one clock every harness reports in: CLOCK_MONOTONIC nanoseconds, the clock the benchmark
// runner (bench/whole_player.py) reads too, so that times from different processes compare.
//
// Threads: any.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace DriverClock
{

inline int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Prints "name value" on stdout, the harnesses' report format.
inline void print(const char* name, long long value)
{
    std::printf("%s %lld\n", name, value);
    std::fflush(stdout);
}

// Prints "name nanoseconds", the time now.
inline void mark(const char* name)
{
    print(name, static_cast<long long>(nowNs()));
}

// Prints "name nanoseconds detail": the time now and what the step was about (a row, a position).
inline void mark(const char* name, long long detail)
{
    std::printf("%s %lld %lld\n", name, static_cast<long long>(nowNs()), detail);
    std::fflush(stdout);
}

} // namespace DriverClock
