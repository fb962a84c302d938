// Decoder benchmark: how long opening a file (exact length included) takes against decoding it
// whole, for 1-, 10- and 60-minute MP3 and Ogg Vorbis files, and how long seeks into a 60-minute
// MP3 take. Prints medians; the files are generated into a temporary folder first, which takes
// a few minutes for the long ones.
//
// Run: build/bench/DecoderBench [--quick]   (--quick leaves out the 60-minute files)
#include "AudioFixtures.h"
#include "Decoder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

double millisecondsOf(const std::function<void()>& work)
{
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

int64_t decodeWhole(const std::string& path)
{
    auto decoder = Decoder::open(path.c_str());
    if (!decoder)
        return -1;
    std::vector<float> buffer(4096 * static_cast<size_t>(decoder->channels()));
    int64_t frames = 0;
    for (int64_t got; (got = decoder->read(buffer.data(), 4096)) > 0;)
        frames += got;
    return frames;
}

bool generate(const std::string& path, AudioFixtures::Format format, int minutes)
{
    AudioFixtures::Tone tone;
    tone.seconds = minutes * 60.0;
    std::printf("  writing %s ...", path.c_str());
    std::fflush(stdout);
    bool ok = false;
    const double ms = millisecondsOf([&] { ok = AudioFixtures::writeTone(path, format, tone); });
    std::printf(" %s, %.0f s, %.1f MB\n", ok ? "done" : "FAILED", ms / 1000,
                ok ? std::filesystem::file_size(path) / 1e6 : 0.0);
    return ok;
}

struct Row {
    std::string name;
    double openMs = 0;
    double decodeMs = 0;
};

} // namespace

int main(int argc, char** argv)
{
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    std::string pattern = (std::filesystem::temp_directory_path() / "decoderbench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path dir = pattern;
    struct Cleanup {
        std::filesystem::path dir;
        ~Cleanup() { std::filesystem::remove_all(dir); }
    } cleanup{dir};

    std::vector<int> durations{1, 10};
    if (!quick)
        durations.push_back(60);

    struct Kind {
        const char* label;
        AudioFixtures::Format format;
    };
    const std::vector<Kind> kinds{{"MP3 (Xing)", AudioFixtures::Format::Mp3},
                                  {"Ogg Vorbis", AudioFixtures::Format::OggVorbis},
                                  {"MP3 (no Xing)", AudioFixtures::Format::Mp3WithoutXing}};

    std::printf("Generating fixtures in %s\n", dir.c_str());
    std::vector<Row> rows;
    std::string longestMp3;
    for (const Kind& kind : kinds) {
        for (const int minutes : durations) {
            const std::string path = (dir / (std::to_string(minutes) + "min-" +
                                             std::to_string(static_cast<int>(kind.format)) +
                                             AudioFixtures::suffix(kind.format)))
                                         .string();
            if (!generate(path, kind.format, minutes))
                return 1;
            if (kind.format == AudioFixtures::Format::Mp3)
                longestMp3 = path;

            // Warm the page cache, so both sides read from memory.
            const int64_t wholeFrames = decodeWhole(path);
            std::vector<double> opens;
            int64_t length = 0;
            for (int i = 0; i < 15; ++i)
                opens.push_back(millisecondsOf([&] {
                    auto decoder = Decoder::open(path.c_str());
                    length = decoder ? decoder->lengthFrames() : -1;
                }));
            std::vector<double> decodes;
            for (int i = 0; i < (minutes >= 60 ? 3 : 5); ++i)
                decodes.push_back(millisecondsOf([&] { decodeWhole(path); }));
            if (length != wholeFrames)
                std::printf("  LENGTH MISMATCH: open says %lld, decode gives %lld\n",
                            static_cast<long long>(length), static_cast<long long>(wholeFrames));
            rows.push_back(
                {std::to_string(minutes) + " min " + kind.label, median(opens), median(decodes)});
        }
    }

    std::printf("\n| file | open (ms, median of 15) | full decode (ms, median) | ratio |\n");
    std::printf("|---|---|---|---|\n");
    for (const Row& row : rows)
        std::printf("| %s | %.2f | %.0f | %.0fx |\n", row.name.c_str(), row.openMs, row.decodeMs,
                    row.decodeMs / row.openMs);

    // Seeks: 100 random points of the longest MP3 with a Xing header, in a fresh decoder (the
    // first seeks also build the frame index), then the same points again.
    auto decoder = Decoder::open(longestMp3.c_str());
    if (!decoder)
        return 1;
    std::mt19937 random(42);
    std::uniform_int_distribution<int64_t> anywhere(0, decoder->lengthFrames() - 1);
    std::vector<int64_t> points(100);
    for (int64_t& point : points)
        point = anywhere(random);
    std::vector<float> buffer(4096 * static_cast<size_t>(decoder->channels()));
    for (const char* pass : {"first pass", "second pass"}) {
        std::vector<double> seeks;
        std::vector<double> seekAndRead;
        for (const int64_t point : points) {
            double seekMs = 0;
            const double totalMs = millisecondsOf([&] {
                seekMs = millisecondsOf([&] { decoder->seek(point); });
                decoder->read(buffer.data(), 4096);
            });
            seeks.push_back(seekMs);
            seekAndRead.push_back(totalMs);
        }
        std::printf("\nSeek to 100 random points of the %d-minute MP3 (Xing), %s:\n",
                    durations.back(), pass);
        std::printf("  seek: median %.2f ms, max %.2f ms\n", median(seeks),
                    *std::max_element(seeks.begin(), seeks.end()));
        std::printf("  seek + read 4096 frames: median %.2f ms, max %.2f ms\n", median(seekAndRead),
                    *std::max_element(seekAndRead.begin(), seekAndRead.end()));
    }
    return 0;
}
