#include "VoiceFeeder.h"

#include "Decoder.h"
#include "Resampler.h"
#include "Voice.h"

#include <algorithm>
#include <cmath>

namespace
{
// Source frames decoded at a time: small enough to keep the engine's mutex briefly.
constexpr size_t ChunkFrames = 2048;
} // namespace

VoiceFeeder::VoiceFeeder(Decoder& source, int rate, Resampler::Factory make)
    : decoder(source), makeResampler(std::move(make)), outputRate(rate),
      lengthFrames(source.lengthFrames())
{
    decoded.resize(ChunkFrames * static_cast<size_t>(source.channels()));
    stereo.resize(ChunkFrames);
    // Room for what a chunk of the lowest rate becomes at the output rate.
    double ratio = 1.0;
    for (const Decoder::Format& format : source.formats())
        ratio = std::max(ratio, static_cast<double>(outputRate) / format.rate);
    stagedCapacity = static_cast<size_t>(std::ceil(ChunkFrames * ratio)) + 1024;
    staged.resize(stagedCapacity);
    current = source.format();
    if (!convertFrom(current.rate))
        playSilenceToTheEnd();
}

VoiceFeeder::~VoiceFeeder() = default;

bool VoiceFeeder::canFeed(const Decoder& decoder, std::initializer_list<int> outputRates,
                          const Resampler::Factory& make)
{
    // Making a resampler designs its filter, which costs: each pair of rates is tried once.
    std::vector<std::pair<int, int>> tried;
    for (const int outputRate : outputRates) {
        for (const Decoder::Format& format : decoder.formats()) {
            const std::pair pair{format.rate, outputRate};
            if (format.rate == outputRate || std::ranges::find(tried, pair) != tried.end())
                continue;
            tried.push_back(pair);
            const std::unique_ptr<Resampler> trial = make(format.rate, outputRate);
            if (!trial || !trial->valid())
                return false;
        }
    }
    return true;
}

bool VoiceFeeder::convertFrom(int rate)
{
    current.rate = rate;
    drained = false;
    if (rate == outputRate) {
        resampler.reset();
        return true;
    }
    resampler = makeResampler(rate, outputRate);
    if (resampler && resampler->valid())
        return true;
    resampler.reset();
    return false;
}

void VoiceFeeder::playSilenceToTheEnd()
{
    const int64_t left = std::max<int64_t>(lengthFrames - decoder.position(), 0);
    silenceLeft = left * outputRate / decoder.sampleRate();
    decoderDone = true;
    drained = true;
    resampler.reset();
    stereoPos = stereoLen = 0;
}

void VoiceFeeder::requestSeek(int64_t frame)
{
    pendingSeek = std::clamp<int64_t>(frame, 0, lengthFrames);
    endSignalled = false;
}

void VoiceFeeder::seekNow(int64_t frame)
{
    // A decoder that cannot seek ends the sound rather than playing from the wrong place.
    decoderDone = frame >= lengthFrames || !decoder.seek(frame);
    drained = decoderDone;
    endSignalled = false;
    silenceLeft = 0;
    stereoPos = stereoLen = 0;
    stagedPos = stagedLen = 0;
    if (decoderDone)
        return;
    const Decoder::Format landed = decoder.format();
    current.channels = landed.channels;
    if (landed.rate == current.rate && resampler)
        resampler->reset();
    else if (!convertFrom(landed.rate))
        playSilenceToTheEnd();
}

size_t VoiceFeeder::toStereo(const float* in, size_t frames, StereoFrame* out) const
{
    const int channels = current.channels;
    if (channels == 1) {
        for (size_t i = 0; i < frames; ++i)
            out[i] = {in[i], in[i]};
        return frames;
    }
    if (channels == 2) {
        for (size_t i = 0; i < frames; ++i)
            out[i] = {in[2 * i], in[2 * i + 1]};
        return frames;
    }
    // More than two channels: the first two are left and right; a centre (third of an odd
    // count, or of 5.1/7.1) goes to both; a 5.1/7.1 LFE is left out; the rest alternate left
    // and right. Each side is scaled by its total weight so the fold cannot clip.
    const bool hasCentre = channels % 2 == 1 || channels >= 6;
    const int lfe = channels == 6 || channels == 8 ? 3 : -1;
    constexpr float side = 0.7071f;
    float leftWeight = 1.0f;
    float rightWeight = 1.0f;
    for (int c = 2, alt = 0; c < channels; ++c) {
        if (c == lfe)
            continue;
        if (c == 2 && hasCentre) {
            leftWeight += side;
            rightWeight += side;
        } else {
            (alt++ % 2 == 0 ? leftWeight : rightWeight) += side;
        }
    }
    for (size_t i = 0; i < frames; ++i) {
        const float* f = in + i * static_cast<size_t>(channels);
        float left = f[0];
        float right = f[1];
        for (int c = 2, alt = 0; c < channels; ++c) {
            if (c == lfe)
                continue;
            if (c == 2 && hasCentre) {
                left += side * f[c];
                right += side * f[c];
            } else {
                (alt++ % 2 == 0 ? left : right) += side * f[c];
            }
        }
        out[i] = {left / leftWeight, right / rightWeight};
    }
    return frames;
}

bool VoiceFeeder::produce()
{
    stagedPos = stagedLen = 0;
    for (;;) {
        if (silenceLeft > 0) {
            stagedLen = static_cast<size_t>(std::min<int64_t>(silenceLeft, stagedCapacity));
            std::fill_n(staged.begin(), stagedLen, StereoFrame{});
            silenceLeft -= static_cast<int64_t>(stagedLen);
            return true;
        }
        if (stereoPos == stereoLen && !decoderDone) {
            const Decoder::Format next = decoder.format();
            if (next.rate != current.rate) {
                // The frames of the old rate still in the resampler go out before the new ones.
                if (resampler && !drained) {
                    stagedLen = resampler->drain(staged.data(), stagedCapacity);
                    if (stagedLen > 0)
                        return true;
                    drained = true;
                }
                if (!convertFrom(next.rate)) {
                    playSilenceToTheEnd();
                    continue;
                }
            }
            current.channels = next.channels;
            const int64_t got = decoder.read(decoded.data(), ChunkFrames);
            if (got <= 0) {
                decoderDone = true;
            } else {
                stereoPos = 0;
                stereoLen = toStereo(decoded.data(), static_cast<size_t>(got), stereo.data());
            }
        }
        if (!resampler) {
            if (stereoPos == stereoLen) {
                if (decoderDone)
                    return false;
                continue;
            }
            // Equal rates: the decoded frames go to the ring untouched.
            std::copy_n(stereo.begin(), stereoLen, staged.begin());
            stagedLen = stereoLen;
            stereoPos = stereoLen = 0;
            return true;
        }
        if (stereoPos < stereoLen) {
            size_t used = 0;
            stagedLen = resampler->process(stereo.data() + stereoPos, stereoLen - stereoPos, used,
                                           staged.data(), stagedCapacity);
            stereoPos += used;
            if (stagedLen > 0)
                return true;
            // A resampler that neither takes nor gives anything would be asked forever.
            if (used == 0)
                playSilenceToTheEnd();
            continue;
        }
        if (decoderDone && !drained) {
            stagedLen = resampler->drain(staged.data(), stagedCapacity);
            if (stagedLen > 0)
                return true;
            drained = true;
        }
        if (decoderDone)
            return false;
    }
}

size_t VoiceFeeder::fill(Voice& voice, size_t maxFrames)
{
    if (pendingSeek >= 0) {
        seekNow(pendingSeek);
        pendingSeek = -1;
    }
    size_t pushed = 0;
    while (pushed < maxFrames && !endSignalled) {
        if (stagedPos == stagedLen && !produce()) {
            voice.producerDone.store(true, std::memory_order_release);
            endSignalled = true;
            break;
        }
        const size_t room = voice.ring.writeAvailable();
        const size_t n = std::min({stagedLen - stagedPos, room, maxFrames - pushed});
        if (n == 0)
            break;
        voice.ring.push(staged.data() + stagedPos, n);
        stagedPos += n;
        pushed += n;
    }
    return pushed;
}
