// Timing helpers shared by the benchmarks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class BenchTiming
{
public:
    // Wall time of `work`, in milliseconds.
    static double millisecondsOf(const std::function<void()>& work);
    static double median(std::vector<double> values);
    // Frames a whole decode of `path` yields through the engine's decoders; -1 if it won't open.
    static int64_t decodeWhole(const std::string& path);
};
