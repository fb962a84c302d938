#include "BenchFiles.h"

#include "AudioFixtures.h"
#include "BenchTiming.h"
#include "Mpg123Decoder.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <regex>
#include <sndfile.h>
#include <vector>

namespace
{

std::vector<unsigned char> readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool writeAll(const std::string& path, const unsigned char* bytes, size_t size, int times = 1)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (int i = 0; i < times; ++i)
        out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    return size > 0 && static_cast<bool>(out);
}

// Stereo frames from `next` (which fills a block of 8192 and says how many it filled, 0 at the
// end) through libsndfile; MP3 at LAME's variable bitrate with compression `level`.
bool writeFrames(const std::string& path, int format, int rate, double level,
                 const std::function<int(float*)>& next)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file)
        return false;
    if ((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) {
        int mode = SF_BITRATE_MODE_VARIABLE;
        sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
        sf_command(file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
    }
    std::vector<float> block(8192 * 2);
    bool ok = true;
    for (int frames; ok && (frames = next(block.data())) > 0;)
        ok = sf_writef_float(file, block.data(), frames) == frames;
    return sf_close(file) == 0 && ok;
}

bool writeNoise(const std::string& path, int format, int minutes)
{
    std::mt19937 random(1);
    std::normal_distribution<float> noise(0.0f, 0.15f);
    float left = 0;
    float right = 0;
    long long remaining = minutes * 60LL * 44100;
    return writeFrames(path, format, 44100, 0.2, [&](float* block) {
        const int frames = static_cast<int>(std::min<long long>(8192, remaining));
        for (int i = 0; i < frames; ++i) {
            left = 0.7f * left + 0.3f * noise(random);
            right = 0.7f * right + 0.3f * noise(random);
            block[2 * i] = left;
            block[2 * i + 1] = right;
        }
        remaining -= frames;
        return frames;
    });
}

// The stepped tone, written as WAV by its own writer, then encoded to MP3.
bool writeSteps(const std::string& path)
{
    const std::string wav = path + ".wav";
    if (!BenchFiles::steps().writeWav(wav))
        return false;
    SF_INFO info{};
    SNDFILE* in = sf_open(wav.c_str(), SFM_READ, &info);
    const bool ok = in && writeFrames(path, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III,
                                      info.samplerate, 0.5, [&](float* block) {
                                          return static_cast<int>(sf_readf_float(in, block, 8192));
                                      });
    if (in)
        sf_close(in);
    std::filesystem::remove(wav);
    return ok;
}

// A copy of an MP3 without its first frame, the Xing/Info header.
bool stripXingFrame(const std::string& from, const std::string& to)
{
    const std::vector<unsigned char> bytes = readAll(from);
    const auto probe =
        Mpg123Decoder::findFrames(bytes.data(), std::min<size_t>(bytes.size(), 65536));
    const size_t first = probe.firstFrame;
    if (probe.sync != Mpg123Decoder::Sync::Strong || first + 4 > bytes.size())
        return false;
    // The next header with the same sync, version, layer and rate ends the Xing frame.
    for (size_t next = first + 4; next + 4 <= bytes.size(); ++next) {
        if (bytes[next] == bytes[first] && bytes[next + 1] == bytes[first + 1] &&
            (bytes[next + 2] & 0x0C) == (bytes[first + 2] & 0x0C) && (bytes[next + 2] >> 4) != 0 &&
            (bytes[next + 2] >> 4) != 15)
            return writeAll(to, bytes.data() + next, bytes.size() - next);
    }
    return false;
}

// Two minutes encoded once and repeated, which decodes as one stream since LAME starts each
// encoding with an empty bit reservoir.
bool writeConstantBitrate(const std::string& path, int minutes)
{
    const std::string part = path + ".two.mp3";
    AudioFixtures::Tone tone;
    tone.seconds = 120.0;
    if (!AudioFixtures::writeConstantBitrateMp3(part, tone, 128, false))
        return false;
    const std::vector<unsigned char> bytes = readAll(part);
    std::filesystem::remove(part);
    return writeAll(path, bytes.data(), bytes.size(), minutes / 2);
}

bool write(const std::string& dir, const std::string& name, const std::string& path)
{
    static const std::regex lengthed("(tone|noise|cbr)-(\\d+)min(-noxing|-cut)?\\.(mp3|ogg|flac)");
    static const std::regex pitched("pitch-(\\d+)-(\\d+)\\.mp3");
    std::smatch match;
    if (name == "steps.mp3")
        return writeSteps(path);
    if (std::regex_match(name, match, pitched)) {
        AudioFixtures::Tone tone;
        tone.frequency = std::stoi(match[1]);
        tone.sampleRate = std::stoi(match[2]);
        tone.seconds = 120;
        return AudioFixtures::writeTone(path, AudioFixtures::Format::Mp3, tone);
    }
    if (!std::regex_match(name, match, lengthed))
        return false;
    const std::string kind = match[1];
    const int minutes = std::stoi(match[2]);
    const std::string variant = match[3];
    const std::string type = match[4];
    const std::string whole = kind + "-" + match[2].str() + "min." + type;
    if (variant == "-noxing" && kind == "noise" && type == "mp3")
        return stripXingFrame(BenchFiles::ensure(dir, whole), path);
    if (variant == "-cut" && kind == "tone" && type == "flac") {
        const std::string from = BenchFiles::ensure(dir, whole);
        return !from.empty() && std::filesystem::copy_file(from, path) &&
               (std::filesystem::resize_file(path, std::filesystem::file_size(from) * 6 / 10),
                true);
    }
    if (kind == "cbr" && type == "mp3" && variant.empty() && minutes % 2 == 0)
        return writeConstantBitrate(path, minutes);
    if (kind == "noise" && variant.empty() && type != "flac")
        return writeNoise(path,
                          type == "ogg" ? SF_FORMAT_OGG | SF_FORMAT_VORBIS
                                        : SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III,
                          minutes);
    if (kind != "tone" || variant == "-cut" || (variant == "-noxing" && type != "mp3"))
        return false;
    AudioFixtures::Tone tone;
    tone.seconds = minutes * 60.0;
    const AudioFixtures::Format format = variant == "-noxing"
                                             ? AudioFixtures::Format::Mp3WithoutXing
                                         : type == "mp3" ? AudioFixtures::Format::Mp3
                                         : type == "ogg" ? AudioFixtures::Format::OggVorbis
                                                         : AudioFixtures::Format::Flac;
    return AudioFixtures::writeTone(path, format, tone);
}

} // namespace

std::string BenchFiles::ensure(const std::string& dir, const std::string& name)
{
    const std::string path = (std::filesystem::path(dir) / name).string();
    if (std::filesystem::exists(path))
        return path;
    std::filesystem::create_directories(dir);
    std::fprintf(stderr, "  writing %s ...\n", path.c_str());
    // Written under another name first, so that an interrupted run leaves no short file behind.
    const std::string part = path + ".part";
    bool ok = false;
    const double ms = BenchTiming::millisecondsOf([&] { ok = write(dir, name, part); });
    ok = ok && std::filesystem::file_size(part) > 0;
    if (ok)
        std::filesystem::rename(part, path);
    else
        std::filesystem::remove(part);
    std::fprintf(stderr, "  %s %s, %.0f s, %.1f MB\n", ok ? "wrote" : "FAILED to write",
                 name.c_str(), ms / 1000, ok ? std::filesystem::file_size(path) / 1e6 : 0.0);
    return ok ? path : std::string();
}

SteppedTone BenchFiles::steps()
{
    SteppedTone tone;
    tone.seconds = 40;
    return tone;
}
