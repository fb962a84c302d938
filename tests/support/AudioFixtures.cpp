#include "AudioFixtures.h"

#include <cmath>
#include <cstdio>
#include <lame/lame.h>
#include <memory>
#include <numbers>
#include <sndfile.h>
#include <vector>

namespace
{

std::vector<float> toneSamples(const AudioFixtures::Tone& tone, long long firstFrame,
                               long long frames)
{
    std::vector<float> samples(static_cast<size_t>(frames * tone.channels));
    const double step = 2.0 * std::numbers::pi * tone.frequency / tone.sampleRate;
    for (long long i = 0; i < frames; ++i) {
        const float value = static_cast<float>(tone.amplitude * std::sin(step * (firstFrame + i)));
        for (int c = 0; c < tone.channels; ++c)
            samples[static_cast<size_t>(i * tone.channels + c)] = value;
    }
    return samples;
}

long long totalFrames(const AudioFixtures::Tone& tone)
{
    return std::llround(tone.seconds * tone.sampleRate);
}

} // namespace

bool AudioFixtures::writeTone(const std::string& path, Format format, const Tone& tone)
{
    switch (format) {
    case Format::Wav:
        return writeWithSndfile(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, tone);
    case Format::Flac:
        return writeWithSndfile(path, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, tone);
    case Format::OggVorbis:
        return writeWithSndfile(path, SF_FORMAT_OGG | SF_FORMAT_VORBIS, tone);
    case Format::Mp3:
        return writeWithSndfile(path, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, tone);
    case Format::Mp3WithoutXing:
        return writeMp3WithoutXing(path, tone);
    }
    return false;
}

const char* AudioFixtures::suffix(Format format)
{
    switch (format) {
    case Format::Wav:
        return ".wav";
    case Format::Flac:
        return ".flac";
    case Format::OggVorbis:
        return ".ogg";
    case Format::Mp3:
    case Format::Mp3WithoutXing:
        return ".mp3";
    }
    return "";
}

long long AudioFixtures::decodedFrames(const std::string& path)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file)
        return -1;
    std::vector<float> buffer(4096 * static_cast<size_t>(info.channels));
    long long frames = 0;
    for (;;) {
        const sf_count_t got = sf_readf_float(file, buffer.data(), 4096);
        if (got <= 0)
            break;
        frames += got;
    }
    sf_close(file);
    return frames;
}

bool AudioFixtures::writeWithSndfile(const std::string& path, int format, const Tone& tone)
{
    SF_INFO info{};
    info.samplerate = tone.sampleRate;
    info.channels = tone.channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file)
        return false;
    const long long total = totalFrames(tone);
    const long long block = 8192;
    bool ok = true;
    for (long long done = 0; ok && done < total; done += block) {
        const long long frames = std::min(block, total - done);
        const std::vector<float> samples = toneSamples(tone, done, frames);
        ok = sf_writef_float(file, samples.data(), frames) == frames;
    }
    return sf_close(file) == 0 && ok;
}

bool AudioFixtures::writeMp3WithoutXing(const std::string& path, const Tone& tone)
{
    std::unique_ptr<lame_global_flags, decltype(&lame_close)> lame(lame_init(), &lame_close);
    if (!lame)
        return false;
    lame_set_in_samplerate(lame.get(), tone.sampleRate);
    lame_set_out_samplerate(lame.get(), tone.sampleRate);
    lame_set_num_channels(lame.get(), tone.channels);
    lame_set_mode(lame.get(), tone.channels == 1 ? MONO : JOINT_STEREO);
    lame_set_VBR(lame.get(), vbr_default);
    lame_set_VBR_quality(lame.get(), 2);
    lame_set_bWriteVbrTag(lame.get(), 0);
    if (lame_init_params(lame.get()) < 0)
        return false;

    std::unique_ptr<FILE, decltype(&std::fclose)> out(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!out)
        return false;
    const long long total = totalFrames(tone);
    const int block = 4096;
    std::vector<unsigned char> mp3(static_cast<size_t>(1.25 * block + 7200));
    std::vector<float> left(block), right(block);
    for (long long done = 0; done < total; done += block) {
        const int frames = static_cast<int>(std::min<long long>(block, total - done));
        const std::vector<float> samples = toneSamples(tone, done, frames);
        for (int i = 0; i < frames; ++i) {
            left[i] = samples[static_cast<size_t>(i * tone.channels)];
            right[i] = samples[static_cast<size_t>(i * tone.channels + tone.channels - 1)];
        }
        const int bytes =
            lame_encode_buffer_ieee_float(lame.get(), left.data(), right.data(), frames, mp3.data(),
                                          static_cast<int>(mp3.size()));
        if (bytes < 0 || std::fwrite(mp3.data(), 1, static_cast<size_t>(bytes), out.get()) !=
                             static_cast<size_t>(bytes))
            return false;
    }
    const int bytes = lame_encode_flush(lame.get(), mp3.data(), static_cast<int>(mp3.size()));
    if (bytes < 0)
        return false;
    return std::fwrite(mp3.data(), 1, static_cast<size_t>(bytes), out.get()) ==
           static_cast<size_t>(bytes);
}
