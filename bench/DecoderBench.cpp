// Decoder benchmark: how long opening a file (exact length included) takes against decoding it
// whole, for 1-, 10- and 60-minute MP3 and Ogg Vorbis files, and how long seeks into a 60-minute
// MP3 and Ogg Vorbis file take. Prints medians; the files are generated into a temporary folder
// first, which takes a few minutes for the long ones.
//
// Run: build/bench/DecoderBench [--quick]   (--quick leaves out the 60-minute files)
#include "AudioFixtures.h"
#include "BenchFiles.h"
#include "BenchTiming.h"
#include "Decoder.h"
#include "FormatSniffer.h"
#include "Mpg123Decoder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace
{

constexpr auto decodeWhole = &BenchTiming::decodeWhole;
constexpr auto median = &BenchTiming::median;
constexpr auto millisecondsOf = &BenchTiming::millisecondsOf;

// Copies an MP3 without its first frame, the Xing/Info header, so that opening it has to count
// the frames.
bool stripXingFrame(const std::string& from, const std::string& to)
{
    std::ifstream in(from, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    const auto probe =
        Mpg123Decoder::findFrames(bytes.data(), std::min<size_t>(bytes.size(), 65536));
    const size_t first = probe.firstFrame;
    if (probe.sync != Mpg123Decoder::Sync::Strong || first + 4 > bytes.size())
        return false;
    // The next header with the same sync, version, layer and rate ends the Xing frame.
    for (size_t next = first + 4; next + 4 <= bytes.size(); ++next) {
        if (bytes[next] == bytes[first] && bytes[next + 1] == bytes[first + 1] &&
            (bytes[next + 2] & 0x0C) == (bytes[first + 2] & 0x0C) && (bytes[next + 2] >> 4) != 0 &&
            (bytes[next + 2] >> 4) != 15) {
            std::ofstream out(to, std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data() + next),
                      static_cast<std::streamsize>(bytes.size() - next));
            return static_cast<bool>(out);
        }
    }
    return false;
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
    const auto measure = [](const std::string& name, const std::string& path, int minutes) {
        // Warm the page cache, so both sides read from memory.
        const int64_t wholeFrames = decodeWhole(path);
        std::vector<double> opens;
        int64_t length = 0;
        for (int i = 0; i < 15; ++i)
            opens.push_back(millisecondsOf([&] {
                auto decoder = FormatSniffer::open(path.c_str());
                length = decoder ? decoder->lengthFrames() : -1;
            }));
        std::vector<double> decodes;
        for (int i = 0; i < (minutes >= 60 ? 3 : 5); ++i)
            decodes.push_back(millisecondsOf([&] { decodeWhole(path); }));
        if (length != wholeFrames)
            std::printf("  LENGTH MISMATCH: open says %lld, decode gives %lld\n",
                        static_cast<long long>(length), static_cast<long long>(wholeFrames));
        return Row{name, median(opens), median(decodes)};
    };

    std::printf("Generating fixtures in %s\n", dir.c_str());
    std::vector<Row> rows;
    std::string longestMp3;
    std::string longestOgg;
    for (const Kind& kind : kinds) {
        for (const int minutes : durations) {
            const std::string path = (dir / (std::to_string(minutes) + "min-" +
                                             std::to_string(static_cast<int>(kind.format)) +
                                             AudioFixtures::suffix(kind.format)))
                                         .string();
            if (!BenchFiles::writeTone(path, kind.format, minutes))
                return 1;
            if (kind.format == AudioFixtures::Format::Mp3)
                longestMp3 = path;
            if (kind.format == AudioFixtures::Format::OggVorbis)
                longestOgg = path;
            rows.push_back(measure(std::to_string(minutes) + " min " + kind.label, path, minutes));
        }
    }
    const int longest = durations.back();
    // A FLAC cut short announces more frames than it holds: opening it has to find its real end.
    const std::string flac = (dir / "long.flac").string();
    if (!BenchFiles::writeTone(flac, AudioFixtures::Format::Flac, longest))
        return 1;
    rows.push_back(measure(std::to_string(longest) + " min FLAC", flac, longest));
    const std::string cutFlac = (dir / "cut.flac").string();
    std::filesystem::copy_file(flac, cutFlac);
    std::filesystem::resize_file(cutFlac, std::filesystem::file_size(flac) * 6 / 10);
    rows.push_back(measure(std::to_string(longest) + " min FLAC cut to 60%", cutFlac, longest));

    const std::string noiseMp3 = (dir / "noise.mp3").string();
    if (!BenchFiles::writeNoiseMp3(noiseMp3, longest))
        return 1;
    const auto kbps = std::filesystem::file_size(noiseMp3) * 8 / 1000 / (longest * 60);
    rows.push_back(measure(std::to_string(longest) + " min MP3 (Xing), noise at " +
                               std::to_string(kbps) + " kbit/s",
                           noiseMp3, longest));
    const std::string noiseWithoutXing = (dir / "noise-without-xing.mp3").string();
    if (!stripXingFrame(noiseMp3, noiseWithoutXing))
        return 1;
    rows.push_back(measure(std::to_string(longest) + " min MP3 (no Xing), noise at " +
                               std::to_string(kbps) + " kbit/s",
                           noiseWithoutXing, longest));

    std::printf("\n| file | open (ms, median of 15) | full decode (ms, median) | ratio |\n");
    std::printf("|---|---|---|---|\n");
    for (const Row& row : rows)
        std::printf("| %s | %.2f | %.0f | %.0fx |\n", row.name.c_str(), row.openMs, row.decodeMs,
                    row.decodeMs / row.openMs);

    // Seeks: 100 random points of the longest MP3s with a Xing header and of the longest Ogg, in a
    // fresh decoder (the first MP3 seeks also build the frame index), then the same points again.
    for (const std::string& path : {longestMp3, noiseMp3, longestOgg}) {
        auto decoder = FormatSniffer::open(path.c_str());
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
            std::printf("\nSeek to 100 random points of %s (%d min), %s:\n",
                        std::filesystem::path(path).filename().c_str(), longest, pass);
            std::printf("  seek(): median %.2f ms, max %.2f ms\n", median(seeks),
                        *std::max_element(seeks.begin(), seeks.end()));
            std::printf("  seek() + read() of the first 4096 frames: median %.2f ms, max %.2f ms\n",
                        median(seekAndRead),
                        *std::max_element(seekAndRead.begin(), seekAndRead.end()));
        }
    }
    return 0;
}
