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

VoiceFeeder::VoiceFeeder(Decoder& source, int outputRate)
    : decoder(source), channels(source.channels()), lengthFrames(source.lengthFrames())
{
    const int inputRate = source.sampleRate();
    if (inputRate != outputRate)
        resampler = std::make_unique<Resampler>(inputRate, outputRate);
    decoded.resize(ChunkFrames * static_cast<size_t>(channels));
    stereo.resize(ChunkFrames * 2);
    const double ratio = static_cast<double>(outputRate) / inputRate;
    stagedCapacity = static_cast<size_t>(std::ceil(ChunkFrames * std::max(1.0, ratio))) + 1024;
    staged.resize(stagedCapacity * 2);
}

VoiceFeeder::~VoiceFeeder() = default;

void VoiceFeeder::requestSeek(int64_t frame)
{
    pendingSeek = std::clamp<int64_t>(frame, 0, lengthFrames);
    endSignalled = false;
}

void VoiceFeeder::seekNow(int64_t frame)
{
    framesRead = frame;
    // A decoder that cannot seek ends the sound rather than playing from the wrong place.
    decoderDone = frame >= lengthFrames || !decoder.seek(frame);
    drained = false;
    endSignalled = false;
    stereoPos = stereoLen = 0;
    stagedPos = stagedLen = 0;
    if (resampler)
        resampler->reset();
}

size_t VoiceFeeder::toStereo(const float* in, size_t frames, float* out) const
{
    if (channels == 1) {
        for (size_t i = 0; i < frames; ++i)
            out[2 * i] = out[2 * i + 1] = in[i];
        return frames;
    }
    if (channels == 2) {
        std::copy(in, in + frames * 2, out);
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
        out[2 * i] = left / leftWeight;
        out[2 * i + 1] = right / rightWeight;
    }
    return frames;
}

bool VoiceFeeder::produce()
{
    stagedPos = stagedLen = 0;
    for (;;) {
        if (stereoPos == stereoLen && !decoderDone) {
            const int64_t wanted =
                std::min<int64_t>(ChunkFrames, std::max<int64_t>(0, lengthFrames - framesRead));
            const int64_t got = wanted > 0 ? decoder.read(decoded.data(), wanted) : 0;
            if (got <= 0) {
                // The announced length is reached, or the file ends early (truncated).
                decoderDone = true;
            } else {
                framesRead += got;
                stereoPos = 0;
                stereoLen = toStereo(decoded.data(), static_cast<size_t>(got), stereo.data());
            }
        }
        if (!resampler) {
            if (stereoPos == stereoLen)
                return false;
            // Equal rates: the decoded frames go to the ring untouched.
            std::copy(stereo.begin(), stereo.begin() + static_cast<std::ptrdiff_t>(2 * stereoLen),
                      staged.begin());
            stagedLen = stereoLen;
            stereoPos = stereoLen = 0;
            return true;
        }
        if (stereoPos < stereoLen) {
            size_t used = 0;
            stagedLen = resampler->process(stereo.data() + 2 * stereoPos, stereoLen - stereoPos,
                                           used, staged.data(), stagedCapacity);
            stereoPos += used;
            if (stagedLen > 0)
                return true;
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
        const size_t room = voice.ring.writeAvailable() / 2;
        const size_t n = std::min({stagedLen - stagedPos, room, maxFrames - pushed});
        if (n == 0)
            break;
        voice.ring.push(staged.data() + 2 * stagedPos, n * 2);
        stagedPos += n;
        pushed += n;
    }
    return pushed;
}
