// Engine benchmark, all figures from one run, as medians and ratios:
//  1. how long SoundPlayer::Play takes to return on 1-, 10- and 60-minute MP3 (LAME VBR with a
//     Xing header) and Ogg Vorbis files, and on a 2-hour 128 kbit/s MP3 without one (a podcast),
//     against decoding the same file whole;
//  2. an offline render of a 10-minute 44.1 kHz MP3 (the tone, and filtered noise that encodes
//     like music) through the engine as it plays a track (the output follows the track's rate,
//     with 48 kHz as the device's preferred rate: decode and mix), and held at 48 kHz (decode,
//     resample, mix, as when a track starts over another's fade-out), against decoding it alone
//     with libmpg123;
//  3. seeks to random points of the 60-minute MP3 through the engine (seek, then refill the ring);
//  4. resident memory while a 60-minute file plays, against the idle process (measured in a
//     fresh copy of this program, so the fixture writer's heap does not count);
//  5. the window's calls while the engine works: every difficult file (chained, damaged, cut,
//     lying) and a long MP3 played in turn through the real output, each at another rate than
//     the last, so that every change drains a stream and opens another, with seeks into later
//     links; meanwhile the calling thread reads the position every millisecond. The slowest
//     call of many beside the median: a call that waited for a decode step or the sound server
//     shows as the slowest.
//
// Run: build/bench/EngineBench [--quick] [--dir FOLDER] [--calls SECONDS]   (about 5 minutes,
//      most of it writing the 60-minute files; with --dir the next run reuses them)
//   --quick          leaves out the 60-minute files
//   --dir FOLDER     keeps the generated files in FOLDER and reuses them on the next run
//   --calls SECONDS  runs only measurement 5, for SECONDS (with a sound server at PULSE_SERVER,
//                    or the desktop's, streams are opened on it; without one the engine keeps
//                    time)
#include "AudioFixtures.h"
#include "AudioSystem.h"
#include "BenchFiles.h"
#include "BenchTiming.h"
#include "Channel.h"
#include "Decoder.h"
#include "DifficultFiles.h"
#include "OfflineEngine.h"
#include "Resampler.h"
#include "Sound.h"
#include "SoundPlayer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mpg123.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

constexpr auto decodeWhole = &BenchTiming::decodeWhole;
constexpr auto median = &BenchTiming::median;
constexpr auto millisecondsOf = &BenchTiming::millisecondsOf;

// Decoding alone, straight through libmpg123 into floats, as the baseline of the render.
int64_t decodeWithMpg123(const std::string& path)
{
    mpg123_handle* handle = mpg123_new(nullptr, nullptr);
    if (!handle)
        return -1;
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_FORCE_FLOAT | MPG123_QUIET, 0);
    int64_t frames = -1;
    if (mpg123_open(handle, path.c_str()) == MPG123_OK) {
        long rate = 0;
        int channels = 0;
        int encoding = 0;
        mpg123_getformat(handle, &rate, &channels, &encoding);
        std::vector<unsigned char> buffer(65536);
        frames = 0;
        for (;;) {
            size_t done = 0;
            const int result = mpg123_read(handle, buffer.data(), buffer.size(), &done);
            frames += static_cast<int64_t>(done / sizeof(float) / std::max(1, channels));
            if (result != MPG123_OK && result != MPG123_NEW_FORMAT)
                break;
        }
        mpg123_close(handle);
    }
    mpg123_delete(handle);
    return frames;
}

long residentKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

// The memory measurement, run in a fresh process: idle, then while `path` plays.
int measureMemory(const char* path)
{
    const long idle = residentKb();
    SoundPlayer player;
    player.Play(path);
    long peak = 0;
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peak = std::max(peak, residentKb());
    }
    player.SetPosition(player.GetLength() / 2);
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peak = std::max(peak, residentKb());
    }
    const uint32_t position = player.GetPosition();
    // Track changes must not leave memory behind: forty more plays of the same file.
    for (int i = 0; i < 40; ++i) {
        player.Play(path);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::printf("%ld %ld %u %ld\n", idle, peak, position, residentKb());
    return 0;
}

// The files are kept between runs with --dir: written again only when missing or short.
bool ensureFile(const std::string& path, AudioFixtures::Format format, int minutes)
{
    return (std::filesystem::exists(path) && decodeWhole(path) == int64_t(minutes) * 60 * 44100) ||
           BenchFiles::writeTone(path, format, minutes);
}

bool ensureNoiseMp3(const std::string& path, int minutes)
{
    return (std::filesystem::exists(path) && decodeWhole(path) >= int64_t(minutes) * 60 * 44100) ||
           BenchFiles::writeNoiseMp3(path, minutes);
}

// Renders `path` to its end through an offline engine at `rate` (its preferred rate when it
// follows the track's); returns the frames rendered.
int64_t renderWhole(const std::string& path, int rate, bool followSoundRate)
{
    const OfflineEngine engine(rate, followSoundRate);
    Sound* sound = engine.open(path);
    Channel* channel = engine.play(sound);
    const uint32_t length = OfflineEngine::lengthOf(sound);
    std::vector<float> block(1024 * 2);
    int64_t frames = 0;
    while (OfflineEngine::positionOf(channel) != length) {
        engine.renderBlock(block.data(), 1024);
        frames += 1024;
    }
    return frames;
}

struct Spread {
    size_t count = 0;
    double median = 0;
    double p99 = 0;
    double slowest = 0;
};

Spread spreadOf(std::vector<double> values)
{
    Spread spread;
    if (values.empty())
        return spread;
    std::sort(values.begin(), values.end());
    spread.count = values.size();
    spread.median = values[values.size() / 2];
    spread.p99 = values[values.size() * 99 / 100];
    spread.slowest = values.back();
    return spread;
}

double microsecondsOf(const std::function<void()>& call)
{
    const auto start = Clock::now();
    call();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Measurement 5: the calls of the window while the engine decodes difficult files and switches
// streams.
int benchCallsUnderLoad(const std::filesystem::path& dir, double seconds)
{
    // Each difficult file (most at 44.1 kHz) is followed by a tone at another rate, so that every
    // change of track changes the stream's rate.
    std::vector<std::string> files;
    const std::vector<int> toneRates{22050, 48000, 96000};
    for (const int rate : toneRates) {
        AudioFixtures::Tone tone;
        tone.seconds = 3.0;
        tone.sampleRate = rate;
        const std::string path = (dir / ("tone-" + std::to_string(rate) + ".wav")).string();
        if (!AudioFixtures::writeTone(path, AudioFixtures::Format::Wav, tone))
            return 1;
    }
    size_t tones = 0;
    for (const DifficultFiles::Case which : DifficultFiles::all()) {
        const std::string path =
            (dir / (std::string("difficult-") + std::to_string(static_cast<int>(which)) +
                    DifficultFiles::suffix(which)))
                .string();
        if (!DifficultFiles::write(path, which).ok) {
            std::printf("  cannot write %s\n", DifficultFiles::name(which));
            return 1;
        }
        files.push_back(path);
        files.push_back(
            (dir / ("tone-" + std::to_string(toneRates[tones++ % toneRates.size()]) + ".wav"))
                .string());
    }
    const std::string noiseMp3 = (dir / "noise-10min.mp3").string();
    if (std::filesystem::exists(noiseMp3))
        files.push_back(noiseMp3);

    AudioSystem* system = nullptr;
    AudioSystem::create(&system);
    system->init();
    std::vector<double> positions;
    std::vector<double> lengths;
    std::vector<double> seeks;
    std::vector<double> pauses;
    std::vector<double> stops;
    std::vector<double> plays;
    std::mt19937 random(7);
    Sound* sound = nullptr;
    Channel* channel = nullptr;
    size_t next = 0;
    int changes = 0;
    int onDevice = 0;
    int looks = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    auto nextChange = Clock::now();
    auto nextSeek = Clock::now();
    while (Clock::now() < end) {
        const auto now = Clock::now();
        if (now >= nextChange) {
            if (channel)
                stops.push_back(microsecondsOf([&] { channel->stop(); }));
            if (sound)
                sound->release();
            const std::string& path = files[next++ % files.size()];
            // Opening the file is the caller's (Play returns once the sound exists).
            plays.push_back(microsecondsOf([&] {
                system->createSound(path.c_str(), AudioSystem::ModeSoftware, nullptr, &sound);
                system->playSound(AudioSystem::FreeChannel, sound, false, &channel);
            }));
            ++changes;
            nextChange = now + std::chrono::milliseconds(400);
        }
        if (now >= nextSeek && sound && channel) {
            uint32_t length = 0;
            sound->getLength(&length);
            const uint32_t target = length > 0 ? random() % length : 0;
            seeks.push_back(microsecondsOf([&] { channel->setPosition(target); }));
            if (random() % 4 == 0) {
                pauses.push_back(microsecondsOf([&] { channel->setPaused(true); }));
                pauses.push_back(microsecondsOf([&] { channel->setPaused(false); }));
            }
            nextSeek = now + std::chrono::milliseconds(90);
        }
        uint32_t ms = 0;
        positions.push_back(microsecondsOf([&] {
            if (channel)
                channel->getPosition(&ms);
        }));
        lengths.push_back(microsecondsOf([&] {
            if (sound)
                sound->getLength(&ms);
        }));
        if (++looks % 50 == 0 && system->usingDevice())
            ++onDevice;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double quitting = millisecondsOf([&] { system->release(); });

    std::printf("\nThe window's calls while the engine decodes %zu difficult files and tones in "
                "turn (%d changes of track, each 400 ms, seeks every 90 ms), %.0f s; on the device "
                "%d of %d looks:\n",
                files.size(), changes, seconds, onDevice, looks / 50);
    std::printf("| call | calls | median (us) | 99th percentile (us) | slowest (us) |\n");
    std::printf("|---|---|---|---|---|\n");
    for (const auto& [label, values] :
         {std::pair<const char*, const std::vector<double>&>{"getPosition", positions},
          {"getLength", lengths},
          {"setPosition", seeks},
          {"setPaused", pauses},
          {"stop", stops},
          {"createSound + playSound (opens the file)", plays}}) {
        const Spread spread = spreadOf(values);
        std::printf("| %s | %zu | %.1f | %.1f | %.1f |\n", label, spread.count, spread.median,
                    spread.p99, spread.slowest);
    }
    std::printf("release(): %.1f ms\n", quitting);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--memory") == 0)
        return measureMemory(argv[2]);

    bool quick = false;
    std::string keep;
    double callSeconds = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc)
            keep = argv[++i];
        else if (std::strcmp(argv[i], "--calls") == 0 && i + 1 < argc)
            callSeconds = std::atof(argv[++i]);
    }
    std::filesystem::path dir;
    bool removeAfter = false;
    if (!keep.empty()) {
        dir = keep;
        std::filesystem::create_directories(dir);
    } else {
        std::string pattern = (std::filesystem::temp_directory_path() / "enginebench-XXXXXX");
        if (!mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            return 1;
        }
        dir = pattern;
        removeAfter = true;
    }
    struct Cleanup {
        std::filesystem::path dir;
        bool active;
        ~Cleanup()
        {
            if (active)
                std::filesystem::remove_all(dir);
        }
    } cleanup{dir, removeAfter};
    if (callSeconds > 0)
        return benchCallsUnderLoad(dir, callSeconds);

    std::vector<int> durations{1, 10};
    if (!quick)
        durations.push_back(60);
    struct Kind {
        const char* label;
        const char* stem;
        AudioFixtures::Format format;
    };
    const std::vector<Kind> kinds{{"MP3 (VBR, Xing)", "mp3", AudioFixtures::Format::Mp3},
                                  {"Ogg Vorbis", "ogg", AudioFixtures::Format::OggVorbis}};
    auto pathOf = [&](const Kind& kind, int minutes) {
        return (dir / (std::string(kind.stem) + "-" + std::to_string(minutes) + "min" +
                       AudioFixtures::suffix(kind.format)))
            .string();
    };

    std::printf("Fixtures in %s (44.1 kHz stereo tones)\n", dir.c_str());
    for (const Kind& kind : kinds) {
        for (const int minutes : durations) {
            if (!ensureFile(pathOf(kind, minutes), kind.format, minutes))
                return 1;
        }
    }

    // 1. Play against a whole decode.
    std::printf(
        "\n| file | Play returns (ms, median of 9) | whole decode (ms, median) | ratio |\n");
    std::printf("|---|---|---|---|\n");
    {
        SoundPlayer player;
        for (const Kind& kind : kinds) {
            for (const int minutes : durations) {
                const std::string path = pathOf(kind, minutes);
                decodeWhole(path);            // the page cache serves both sides
                for (int i = 0; i < 3; ++i) { // first-use set-up of the libraries is not counted
                    player.Play(path.c_str());
                    player.Stop();
                }
                std::vector<double> plays;
                for (int i = 0; i < 9; ++i) {
                    plays.push_back(millisecondsOf([&] { player.Play(path.c_str()); }));
                    // Let the read-ahead settle, as it has when a user picks the next track.
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    player.Stop();
                }
                std::vector<double> decodes;
                for (int i = 0; i < (minutes >= 60 ? 3 : 5); ++i)
                    decodes.push_back(millisecondsOf([&] { decodeWhole(path); }));
                std::printf("| %d min %s | %.2f | %.0f | %.0fx |\n", minutes, kind.label,
                            median(plays), median(decodes), median(decodes) / median(plays));
                std::fflush(stdout);
            }
        }
        // A long file without a Xing header: its length is not written anywhere in it.
        const std::string podcast = (dir / "cbr-120min.mp3").string();
        if (!std::filesystem::exists(podcast) &&
            !BenchFiles::writeLongConstantBitrateMp3(podcast, 120))
            return 1;
        decodeWhole(podcast);
        std::vector<double> plays;
        for (int i = 0; i < 15; ++i) {
            plays.push_back(millisecondsOf([&] { player.Play(podcast.c_str()); }));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            player.Stop();
        }
        const double decode = millisecondsOf([&] { decodeWhole(podcast); });
        std::printf(
            "| 120 min MP3 (CBR 128 kbit/s, no Xing), median of 15 | %.2f | %.0f | %.0fx |\n",
            median(plays), decode, decode / median(plays));
        std::printf("  Play, all 15 (ms):");
        for (const double ms : plays)
            std::printf(" %.1f", ms);
        std::printf("\n");
        std::fflush(stdout);
    }

    // 2. Offline render against decoding alone, on the tone and on music-like noise.
    const std::string noiseMp3 = (dir / "noise-10min.mp3").string();
    if (!ensureNoiseMp3(noiseMp3, 10))
        return 1;
    for (const auto& [label, path] :
         {std::pair<const char*, std::string>{"tone", pathOf(kinds[0], 10)},
          std::pair<const char*, std::string>{"noise, about 200 kbit/s", noiseMp3}}) {
        std::vector<double> decodes;
        std::vector<double> renders48;
        std::vector<double> rendersFollowing;
        std::vector<double> resamples;
        int64_t decoded = 0;
        int64_t rendered = 0;
        for (int i = 0; i < 3; ++i) {
            decodes.push_back(millisecondsOf([&] { decoded = decodeWithMpg123(path); }));
            rendersFollowing.push_back(
                millisecondsOf([&] { rendered = renderWhole(path, 48000, true); }));
            renders48.push_back(millisecondsOf([&] { renderWhole(path, 48000, false); }));
            // The resampler's share: the same number of frames through libsoxr alone.
            resamples.push_back(millisecondsOf([&] {
                Resampler resampler(44100, 48000);
                std::vector<StereoFrame> in(4096, {0.25f, 0.25f});
                std::vector<StereoFrame> out(8192);
                for (int64_t done = 0; done < decoded;) {
                    size_t used = 0;
                    resampler.process(in.data(), 4096, used, out.data(), 8192);
                    done += static_cast<int64_t>(used);
                }
            }));
        }
        std::printf("\nOffline render of the 10-minute MP3 (%s), medians of 3:\n", label);
        std::printf("  libmpg123 decode alone: %.0f ms (%lld frames)\n", median(decodes),
                    static_cast<long long>(decoded));
        std::printf("  engine as it plays a track (output at the track's 44.1 kHz; decode + mix): "
                    "%.0f ms (%lld frames), %.2fx the decode\n",
                    median(rendersFollowing), static_cast<long long>(rendered),
                    median(rendersFollowing) / median(decodes));
        std::printf("  engine held at 48 kHz (decode + resample + mix): %.0f ms, %.2fx the "
                    "decode\n",
                    median(renders48), median(renders48) / median(decodes));
        std::printf("  libsoxr alone, 44.1 to 48 kHz, same frame count: %.0f ms, %.2fx the "
                    "decode\n",
                    median(resamples), median(resamples) / median(decodes));
        std::fflush(stdout);
    }

    // 3. Seeks into the longest MP3 through the engine.
    {
        const std::string path = pathOf(kinds[0], durations.back());
        const OfflineEngine engine(48000);
        Sound* sound = engine.open(path);
        Channel* channel = engine.play(sound);
        const uint32_t length = OfflineEngine::lengthOf(sound);
        std::mt19937 random(42);
        std::uniform_int_distribution<uint32_t> anywhere(0, length - 1);
        std::vector<float> block(480 * 2);
        std::vector<double> seeks;
        for (int i = 0; i < 100; ++i) {
            const uint32_t target = anywhere(random);
            seeks.push_back(millisecondsOf([&] {
                channel->setPosition(target);
                engine.system()->pump();
            }));
            engine.system()->render(block.data(), 480);
        }
        std::printf("\nSeek to 100 random points of the %d-minute MP3 through the engine "
                    "(seek, refill the whole ring):\n  median %.2f ms, max %.2f ms\n",
                    durations.back(), median(seeks), *std::max_element(seeks.begin(), seeks.end()));
    }

    // 4. Memory while playing the longest files, each in a fresh process.
    std::printf("\nResident memory (VmRSS), fresh process, 3 s of playing with a seek:\n");
    for (const Kind& kind : kinds) {
        const std::string path = pathOf(kind, durations.back());
        const std::string command = "'" + std::filesystem::read_symlink("/proc/self/exe").string() +
                                    "' --memory '" + path + "'";
        FILE* child = popen(command.c_str(), "r");
        long idle = 0;
        long peak = 0;
        unsigned position = 0;
        long afterChanges = 0;
        if (!child ||
            std::fscanf(child, "%ld %ld %u %ld", &idle, &peak, &position, &afterChanges) != 4) {
            std::printf("  %s: measurement failed\n", kind.label);
            if (child)
                pclose(child);
            continue;
        }
        pclose(child);
        std::printf("  %d min %s: idle %.1f MB, playing %.1f MB, +%.1f MB (position %u ms); "
                    "after 40 more Plays %.1f MB\n",
                    durations.back(), kind.label, idle / 1024.0, peak / 1024.0,
                    (peak - idle) / 1024.0, position, afterChanges / 1024.0);
    }

    // 5. The window's calls while the engine works.
    if (benchCallsUnderLoad(dir, 20.0) != 0)
        return 1;
    return 0;
}
