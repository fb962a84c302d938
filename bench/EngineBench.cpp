// Engine benchmark: what the engine costs, each figure measured once, as medians and ratios of
// one run. Prints the figures as JSON on stdout (bench/whole_player.py puts them into the
// report), its progress on stderr.
//  1. Play: how long SoundPlayer::Play takes to return (stop the old channel, free its sound,
//     open the file with its exact length, start a channel) against decoding the same file
//     whole: 1-, 10- and 60-minute tones as MP3 (LAME VBR with a Xing header, and without one)
//     and Ogg Vorbis; music-like noise as MP3 with and without its Xing header; FLAC, whole and
//     cut short; and MP3 podcasts of 2 and 4 hours at 128 kbit/s CBR without an Info header;
//  2. an offline render of a 10-minute 44.1 kHz MP3 (the tone, and the noise) through the engine
//     as it plays a track (the output follows the track's rate: decode and mix), and held at
//     48 kHz (decode, resample, mix, as when a track starts over another's fade-out), against
//     decoding it alone with libmpg123, and against libsoxr alone on as many frames;
//  3. seeks to 100 random points through the engine (seek, then refill the ring) in the longest
//     tone and noise MP3, the longest Ogg Vorbis file and the 4-hour podcast;
//  4. resident memory while the longest MP3 and Ogg Vorbis files play, against the idle process
//     (in a fresh copy of this program, so that the file writer's heap does not count);
//  5. the window's calls while the engine works: every difficult file (chained, damaged, cut,
//     lying) and a long MP3 played in turn, each at another rate than the last, so that every
//     change drains a stream and opens another, with seeks; meanwhile the calling thread reads
//     the position every millisecond. The slowest call of many beside the median: a call that
//     waited for a decode step or the sound server shows as the slowest;
//  6. Play on files that lie about what follows their audio (FileCorpus's rows with a bound on
//     the bytes read: a download left unfinished, random bytes or zeros after the audio, frames
//     of another bitrate spliced in, a 200 MB cover picture): how long Play takes, the bytes it
//     reads, the length it finds, and the loudest sample a whole decode gives (above 1 is noise
//     decoded from what is not audio).
//
// Run: build/bench/EngineBench [--quick] [--dir FOLDER] [--calls SECONDS] [--lying]
//   --quick          10-minute files where the others take 60, and 5 s of calls
//   --dir FOLDER     keeps the files (BenchFiles) in FOLDER for the next run
//   --calls SECONDS  runs only measurement 5, for SECONDS
//   --lying          runs only measurement 6
// With a sound server at PULSE_SERVER (or the desktop's) the player opens its streams there;
// without one the engine keeps time on its own clock.
#include "AudioFixtures.h"
#include "AudioSystem.h"
#include "BenchFiles.h"
#include "BenchTiming.h"
#include "Channel.h"
#include "Decoder.h"
#include "DifficultFiles.h"
#include "FileCorpus.h"
#include "FormatSniffer.h"
#include "OfflineEngine.h"
#include "Resampler.h"
#include "Sound.h"
#include "SoundPlayer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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

QJsonArray rounded(const std::vector<double>& values)
{
    QJsonArray array;
    for (const double value : values)
        array.append(std::round(value * 1000) / 1000);
    return array;
}

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

struct File {
    std::string name;
    std::string label;
    std::string variant;
};

// 1. Play against a whole decode of the same file.
QJsonObject benchPlay(SoundPlayer& player, const std::string& path, const File& file)
{
    // The page cache serves both sides.
    const int64_t frames = decodeWhole(path);
    // First-use set-up of the libraries is not counted.
    for (int i = 0; i < 3; ++i) {
        player.Play(path.c_str());
        player.Stop();
    }
    std::vector<double> plays;
    uint32_t length = 0;
    for (int i = 0; i < 9; ++i) {
        plays.push_back(millisecondsOf([&] { player.Play(path.c_str()); }));
        length = player.GetLength();
        // Let the read-ahead settle, as it has when a user picks the next track.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        player.Stop();
    }
    const int64_t minutes = frames / 44100 / 60;
    std::vector<double> decodes;
    for (int i = 0; i < (minutes >= 120 ? 1 : minutes >= 60 ? 3 : 5); ++i)
        decodes.push_back(millisecondsOf([&] { decodeWhole(path); }));
    QJsonObject row{{"file", QString::fromStdString(file.name)},
                    {"label", QString::fromStdString(file.label)},
                    {"variant", QString::fromStdString(file.variant)},
                    {"play_ms", median(plays)},
                    {"all_play_ms", rounded(plays)},
                    {"decode_ms", median(decodes)},
                    {"length_ms", static_cast<double>(length)},
                    {"decoded_ms", static_cast<double>(frames * 1000 / 44100)}};
    std::fprintf(stderr, "  Play %s: %.2f ms, whole decode %.0f ms\n", file.name.c_str(),
                 median(plays), median(decodes));
    return row;
}

// 2. Offline render against decoding alone.
QJsonObject benchRender(const std::string& path, const File& file)
{
    std::vector<double> decodes;
    std::vector<double> following;
    std::vector<double> held;
    std::vector<double> resamples;
    int64_t decoded = 0;
    for (int i = 0; i < 3; ++i) {
        decodes.push_back(millisecondsOf([&] { decoded = decodeWithMpg123(path); }));
        following.push_back(millisecondsOf([&] { renderWhole(path, 48000, true); }));
        held.push_back(millisecondsOf([&] { renderWhole(path, 48000, false); }));
        // The resampler's share: as many frames through libsoxr alone.
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
    std::fprintf(stderr, "  render %s: %.0f ms, libmpg123 alone %.0f ms\n", file.name.c_str(),
                 median(following), median(decodes));
    return {{"file", QString::fromStdString(file.name)},
            {"label", QString::fromStdString(file.label)},
            {"decode_ms", median(decodes)},
            {"engine_ms", median(following)},
            {"held_48k_ms", median(held)},
            {"soxr_ms", median(resamples)}};
}

// 3. Seeks through the engine, following the track's rate as the player does.
QJsonObject benchSeeks(const std::string& path, const File& file)
{
    const OfflineEngine engine(48000, true);
    Sound* sound = engine.open(path);
    Channel* channel = engine.play(sound);
    const uint32_t length = OfflineEngine::lengthOf(sound);
    std::mt19937 random(42);
    std::uniform_int_distribution<uint32_t> anywhere(0, std::max(length, 1u) - 1);
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
    const double slowest = *std::max_element(seeks.begin(), seeks.end());
    std::fprintf(stderr, "  seeks %s: median %.2f ms, max %.2f ms\n", file.name.c_str(),
                 median(seeks), slowest);
    return {{"file", QString::fromStdString(file.name)},
            {"label", QString::fromStdString(file.label)},
            {"median_ms", median(seeks)},
            {"max_ms", slowest}};
}

// 4. Memory while `path` plays, in a fresh process.
QJsonObject benchMemory(const std::string& path, const File& file)
{
    const std::string command = "'" + std::filesystem::read_symlink("/proc/self/exe").string() +
                                "' --memory '" + path + "'";
    FILE* child = popen(command.c_str(), "r");
    long idle = 0;
    long peak = 0;
    unsigned position = 0;
    long after = 0;
    const bool ok =
        child && std::fscanf(child, "%ld %ld %u %ld", &idle, &peak, &position, &after) == 4;
    if (child)
        pclose(child);
    if (!ok)
        return {{"file", QString::fromStdString(file.name)}, {"error", "measurement failed"}};
    return {{"file", QString::fromStdString(file.name)},
            {"label", QString::fromStdString(file.label)},
            {"idle_mb", idle / 1024.0},
            {"playing_mb", peak / 1024.0},
            {"after_plays_mb", after / 1024.0},
            {"position_ms", static_cast<double>(position)}};
}

double microsecondsOf(const std::function<void()>& call)
{
    const auto start = Clock::now();
    call();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// 5. The calls of the window while the engine decodes difficult files and switches streams.
QJsonObject benchCallsUnderLoad(const std::filesystem::path& dir, double seconds)
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
            return {{"error", "cannot write the tones"}};
    }
    size_t tones = 0;
    for (const DifficultFiles::Case which : DifficultFiles::all()) {
        const std::string path =
            (dir / (std::string("difficult-") + std::to_string(static_cast<int>(which)) +
                    DifficultFiles::suffix(which)))
                .string();
        if (!DifficultFiles::write(path, which).ok)
            return {{"error", QString("cannot write ") + DifficultFiles::name(which)}};
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

    QJsonArray calls;
    for (const auto& [name, values] :
         {std::pair<const char*, std::vector<double>&>{"getPosition", positions},
          {"getLength", lengths},
          {"setPosition", seeks},
          {"setPaused", pauses},
          {"stop", stops},
          {"createSound + playSound", plays}}) {
        std::sort(values.begin(), values.end());
        if (values.empty())
            continue;
        calls.append(QJsonObject{{"call", name},
                                 {"count", static_cast<double>(values.size())},
                                 {"median_us", values[values.size() / 2]},
                                 {"p99_us", values[values.size() * 99 / 100]},
                                 {"slowest_us", values.back()}});
    }
    std::fprintf(stderr, "  calls: %d changes of track in %.0f s\n", changes, seconds);
    return {{"seconds", seconds},  {"files", static_cast<double>(files.size())},
            {"changes", changes},  {"looks_on_device", onDevice},
            {"looks", looks / 50}, {"release_ms", quitting},
            {"calls", calls}};
}

// 6. Play on the files of the corpus that lie about what follows their audio.
QJsonArray benchLyingFiles(const std::filesystem::path& dir)
{
    QJsonArray rows;
    SoundPlayer player;
    int index = 0;
    for (const FileCorpus::Row& row : FileCorpus::rows()) {
        const std::filesystem::path folder = dir / ("lying-" + std::to_string(++index));
        std::filesystem::create_directories(folder);
        const FileCorpus::Expected expected = row.make(folder.string(), 1.0);
        if (expected.mostBytesRead == 0 || !expected.written)
            continue;
        std::vector<double> plays;
        int64_t read = 0;
        for (int i = 0; i < 5; ++i) {
            const int64_t before = FileCorpus::bytesRead();
            plays.push_back(millisecondsOf([&] { player.Play(expected.path.c_str()); }));
            read = FileCorpus::bytesRead() - before;
            player.Stop();
        }
        const uint32_t length = player.GetLength();
        float loudest = 0;
        if (std::unique_ptr<Decoder> decoder = FormatSniffer::open(expected.path.c_str())) {
            std::vector<float> block(4096 * static_cast<size_t>(decoder->channels()));
            for (int64_t got; (got = decoder->read(block.data(), 4096)) > 0;) {
                for (int64_t i = 0; i < got * decoder->format().channels; ++i)
                    loudest = std::max(loudest, std::abs(block[static_cast<size_t>(i)]));
            }
        }
        std::filesystem::remove_all(folder);
        rows.append(QJsonObject{{"file", QString::fromStdString(row.name)},
                                {"play_ms", median(plays)},
                                {"bytes_read_by_play", static_cast<double>(read)},
                                {"length_ms", static_cast<double>(length)},
                                {"loudest", std::round(loudest * 100) / 100}});
        std::fprintf(stderr, "  %s: Play %.2f ms, %lld bytes read, %u ms, loudest %.2f\n",
                     row.name.c_str(), median(plays), static_cast<long long>(read), length,
                     loudest);
    }
    return rows;
}

void print(const QJsonObject& figures)
{
    std::fputs(QJsonDocument(figures).toJson().constData(), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--memory") == 0)
        return measureMemory(argv[2]);

    bool quick = false;
    bool lyingOnly = false;
    std::string keep;
    double callSeconds = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (std::strcmp(argv[i], "--lying") == 0)
            lyingOnly = true;
        else if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc)
            keep = argv[++i];
        else if (std::strcmp(argv[i], "--calls") == 0 && i + 1 < argc)
            callSeconds = std::atof(argv[++i]);
    }
    std::filesystem::path dir = keep;
    if (keep.empty()) {
        std::string pattern = std::filesystem::temp_directory_path() / "enginebench-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            return 1;
        }
        dir = pattern;
    }
    struct Cleanup {
        std::filesystem::path dir;
        bool active;
        ~Cleanup()
        {
            if (active)
                std::filesystem::remove_all(dir);
        }
    } cleanup{dir, keep.empty()};
    if (callSeconds > 0) {
        print({{"calls", benchCallsUnderLoad(dir, callSeconds)}});
        return 0;
    }
    if (lyingOnly) {
        print({{"lying", benchLyingFiles(dir)}});
        return 0;
    }

    const std::vector<int> durations =
        quick ? std::vector<int>{1, 10} : std::vector<int>{1, 10, 60};
    const std::string longest = std::to_string(durations.back()) + "min";
    const std::string longestText = std::to_string(durations.back()) + " min";
    // Each row of Play: a file, a group of rows, and what tells it from the others of its group.
    std::vector<File> playFiles;
    for (const auto& [suffix, label] :
         {std::pair<const char*, const char*>{".mp3", "MP3 (VBR, Xing)"},
          {"-noxing.mp3", "MP3 (VBR, no Xing)"},
          {".ogg", "Ogg Vorbis"}}) {
        for (const int minutes : durations)
            playFiles.push_back({"tone-" + std::to_string(minutes) + "min" + suffix, label,
                                 std::to_string(minutes) + " min"});
    }
    const std::string noise = "MP3 of music-like noise, " + longestText;
    playFiles.push_back({"noise-" + longest + ".mp3", noise, "Xing"});
    playFiles.push_back({"noise-" + longest + "-noxing.mp3", noise, "no Xing"});
    const std::string flac = "FLAC, " + longestText;
    playFiles.push_back({"tone-" + longest + ".flac", flac, "whole"});
    playFiles.push_back({"tone-" + longest + "-cut.flac", flac, "cut to 60 %"});
    const std::string podcast = "podcast MP3 (CBR 128 kbit/s, no Xing)";
    playFiles.push_back({"cbr-120min.mp3", podcast, "2 h"});
    playFiles.push_back({"cbr-240min.mp3", podcast, "4 h"});
    const std::vector<File> renderFiles{{"tone-10min.mp3", "tone", ""},
                                        {"noise-10min.mp3", "music-like noise", ""}};
    const std::vector<File> seekFiles{{"tone-" + longest + ".mp3", longestText + " MP3", ""},
                                      {"noise-" + longest + ".mp3", longestText + " noise MP3", ""},
                                      {"tone-" + longest + ".ogg", longestText + " Ogg", ""},
                                      {"cbr-240min.mp3", "4 h podcast", ""}};
    const std::vector<File> memoryFiles{{"tone-" + longest + ".mp3", longestText + " MP3", ""},
                                        {"tone-" + longest + ".ogg", longestText + " Ogg", ""}};
    std::vector<File> needed = playFiles;
    needed.insert(needed.end(), renderFiles.begin(), renderFiles.end());
    for (const File& file : needed) {
        if (BenchFiles::ensure(dir, file.name).empty())
            return 1;
    }
    auto pathOf = [&](const File& file) { return (dir / file.name).string(); };

    QJsonObject figures;
    QJsonArray rows;
    {
        std::fputs("Play against a whole decode\n", stderr);
        SoundPlayer player;
        for (const File& file : playFiles)
            rows.append(benchPlay(player, pathOf(file), file));
    }
    figures["play"] = rows;
    rows = {};
    std::fputs("Offline render\n", stderr);
    for (const File& file : renderFiles)
        rows.append(benchRender(pathOf(file), file));
    figures["render"] = rows;
    rows = {};
    std::fputs("Seeks through the engine\n", stderr);
    for (const File& file : seekFiles)
        rows.append(benchSeeks(pathOf(file), file));
    figures["seek"] = rows;
    rows = {};
    std::fputs("Memory, each in a fresh process\n", stderr);
    for (const File& file : memoryFiles)
        rows.append(benchMemory(pathOf(file), file));
    figures["memory"] = rows;
    std::fputs("The window's calls while the engine works\n", stderr);
    figures["calls"] = benchCallsUnderLoad(dir, quick ? 5.0 : 20.0);
    std::fputs("Play on files that lie about what follows their audio\n", stderr);
    figures["lying"] = benchLyingFiles(dir);
    print(figures);
    return 0;
}
