#include "BenchFiles.h"

#include "BenchTiming.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sndfile.h>
#include <vector>

namespace
{

void reportWriting(const std::string& path)
{
    std::printf("  writing %s ...", path.c_str());
    std::fflush(stdout);
}

bool reportWritten(const std::string& path, bool ok, double ms)
{
    std::printf(" %s, %.0f s, %.1f MB\n", ok ? "done" : "FAILED", ms / 1000,
                ok ? std::filesystem::file_size(path) / 1e6 : 0.0);
    return ok;
}

bool writeNoise(const std::string& path, int minutes)
{
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file)
        return false;
    int mode = SF_BITRATE_MODE_VARIABLE;
    double level = 0.2;
    sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
    sf_command(file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
    std::mt19937 random(1);
    std::normal_distribution<float> noise(0.0f, 0.15f);
    std::vector<float> block(8192 * 2);
    float left = 0;
    float right = 0;
    bool ok = true;
    for (long long done = 0; ok && done < minutes * 60LL * 44100; done += 8192) {
        for (size_t i = 0; i < block.size(); i += 2) {
            left = 0.7f * left + 0.3f * noise(random);
            right = 0.7f * right + 0.3f * noise(random);
            block[i] = left;
            block[i + 1] = right;
        }
        ok = sf_writef_float(file, block.data(), 8192) == 8192;
    }
    return sf_close(file) == 0 && ok;
}

} // namespace

bool BenchFiles::writeTone(const std::string& path, AudioFixtures::Format format, int minutes)
{
    AudioFixtures::Tone tone;
    tone.seconds = minutes * 60.0;
    reportWriting(path);
    bool ok = false;
    const double ms =
        BenchTiming::millisecondsOf([&] { ok = AudioFixtures::writeTone(path, format, tone); });
    return reportWritten(path, ok, ms);
}

bool BenchFiles::writeNoiseMp3(const std::string& path, int minutes)
{
    reportWriting(path);
    bool ok = false;
    const double ms = BenchTiming::millisecondsOf([&] { ok = writeNoise(path, minutes); });
    return reportWritten(path, ok, ms);
}

bool BenchFiles::writeLongConstantBitrateMp3(const std::string& path, int minutes)
{
    reportWriting(path);
    bool ok = false;
    const double ms = BenchTiming::millisecondsOf([&] {
        const std::string part = path + ".part.mp3";
        AudioFixtures::Tone tone;
        tone.seconds = 120.0;
        if (!AudioFixtures::writeConstantBitrateMp3(part, tone, 128, false))
            return;
        std::ifstream in(part, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        std::filesystem::remove(part);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        for (int i = 0; i < minutes / 2; ++i)
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        ok = !bytes.empty() && static_cast<bool>(out);
    });
    return reportWritten(path, ok, ms);
}
