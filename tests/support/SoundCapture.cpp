#include "SoundCapture.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace
{

uint32_t le32(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t le16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

} // namespace

SoundCapture SoundCapture::readWav(const std::string& path)
{
    SoundCapture capture;
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return capture;
    int channels = 0;
    int bits = 0;
    int format = 0;
    size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const unsigned char* chunk = bytes.data() + at;
        uint32_t size = le32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && at + 8 + 16 <= bytes.size()) {
            format = le16(chunk + 8);
            channels = le16(chunk + 10);
            capture.rate = static_cast<int>(le32(chunk + 12));
            bits = le16(chunk + 22);
            if (format == 0xFFFE && at + 8 + 26 <= bytes.size())
                format = le16(chunk + 32); // the sub-format of WAVE_FORMAT_EXTENSIBLE
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            const size_t available = bytes.size() - at - 8;
            if (size == 0 || size > available)
                size = static_cast<uint32_t>(available);
            if (channels <= 0 || (bits != 16 && bits != 32))
                return capture;
            const size_t frameBytes = static_cast<size_t>(channels) * (bits / 8);
            const size_t frames = size / frameBytes;
            capture.samples.resize(frames);
            const unsigned char* data = chunk + 8;
            for (size_t i = 0; i < frames; ++i) {
                const unsigned char* sample = data + i * frameBytes;
                if (bits == 16) {
                    capture.samples[i] = static_cast<int16_t>(le16(sample)) / 32768.0f;
                } else if (format == 3) {
                    const uint32_t raw = le32(sample);
                    float value;
                    std::memcpy(&value, &raw, sizeof value);
                    capture.samples[i] = value;
                } else {
                    capture.samples[i] = static_cast<int32_t>(le32(sample)) / 2147483648.0f;
                }
            }
            return capture;
        }
        at += 8 + size + (size & 1);
    }
    return capture;
}

double SoundCapture::duration() const
{
    return rate > 0 ? static_cast<double>(samples.size()) / rate : 0.0;
}

size_t SoundCapture::index(double seconds) const
{
    if (seconds <= 0 || rate <= 0)
        return 0;
    return std::min(samples.size(), static_cast<size_t>(std::llround(seconds * rate)));
}

double SoundCapture::rms(double from, double to) const
{
    const size_t begin = index(from);
    const size_t end = index(to);
    if (end <= begin)
        return 0.0;
    double sum = 0.0;
    for (size_t i = begin; i < end; ++i)
        sum += static_cast<double>(samples[i]) * samples[i];
    return std::sqrt(sum / static_cast<double>(end - begin));
}

double SoundCapture::frequency(double from, double to) const
{
    const size_t begin = std::max<size_t>(index(from), 1);
    const size_t end = index(to);
    double first = -1;
    double last = -1;
    int crossings = 0;
    for (size_t i = begin; i < end; ++i) {
        const float a = samples[i - 1];
        const float b = samples[i];
        if (a < 0.0f && b >= 0.0f) {
            const double at = static_cast<double>(i - 1) + a / (a - b);
            if (first < 0)
                first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings < 3 || last <= first)
        return 0.0;
    return (crossings - 1) * static_cast<double>(rate) / (last - first);
}

std::vector<SoundCapture::Span> SoundCapture::loudSpans(double threshold) const
{
    std::vector<Span> spans;
    const double window = 0.005;
    bool inside = false;
    for (double t = 0; t + window <= duration(); t += window) {
        const bool loud = rms(t, t + window) >= threshold;
        if (loud && !inside)
            spans.push_back({t, t + window});
        if (loud)
            spans.back().end = t + window;
        inside = loud;
    }
    return spans;
}

double SoundCapture::longestQuietRun(double from, double to, double level) const
{
    const size_t begin = index(from);
    const size_t end = index(to);
    size_t longest = 0;
    size_t run = 0;
    for (size_t i = begin; i < end; ++i) {
        run = std::fabs(samples[i]) < level ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return rate > 0 ? static_cast<double>(longest) / rate : 0.0;
}

double SoundCapture::firstHeard(double from, double to, double hz, double tolerance,
                                double window) const
{
    const double step = 0.002;
    for (double t = from; t + window <= to; t += step) {
        const double measured = frequency(t, t + window);
        if (measured > 0 && std::fabs(measured / hz - 1.0) <= tolerance)
            return t + window / 2;
    }
    return -1;
}
