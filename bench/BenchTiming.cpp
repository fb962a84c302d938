#include "BenchTiming.h"

#include "Decoder.h"
#include "FormatSniffer.h"

#include <algorithm>
#include <chrono>

double BenchTiming::millisecondsOf(const std::function<void()>& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

double BenchTiming::median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

int64_t BenchTiming::decodeWhole(const std::string& path)
{
    auto decoder = FormatSniffer::open(path.c_str());
    if (!decoder)
        return -1;
    std::vector<float> buffer(4096 * static_cast<size_t>(decoder->channels()));
    int64_t frames = 0;
    for (int64_t got; (got = decoder->read(buffer.data(), 4096)) > 0;)
        frames += got;
    return frames;
}
