// VoiceFeeder: the read-ahead half of one playing channel. It decodes the sound, folds it to
// stereo, resamples it to the output rate when the rates differ, and pushes the frames into the
// voice's ring; the decoder stops at the sound's length.
//
// A sound whose links change format (a chained Ogg file, joined MP3 files) is followed link by
// link: where the channel count changes the fold follows; where the rate changes, the resampler
// in use is drained of what it still holds and one for the new rate takes over, so each link
// lasts exactly its own duration. When libsoxr refuses to make a resampler, the rest of the sound
// plays as silence of its duration and ends, never stalling the feeder.
//
// States: feeding -> (format change: draining -> feeding) -> draining at the end -> ended; a
// refused resampler goes to silence -> ended. A seek request returns to feeding from any state.
//
// Threads: every method runs on a control thread holding the engine's mutex: the read-ahead
// thread, the GUI thread (set-up on play, seek requests) or the test's thread in offline mode.
// It is the ring's only producer. canFeed() touches no feeder and may run anywhere.
#pragma once

#include "Decoder.h"
#include "Resampler.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

class Voice;

class VoiceFeeder
{
public:
    VoiceFeeder(Decoder& decoder, int outputRate, Resampler::Factory make = Resampler::make);
    ~VoiceFeeder();
    VoiceFeeder(const VoiceFeeder&) = delete;
    VoiceFeeder& operator=(const VoiceFeeder&) = delete;

    // Whether `make` gives a working resampler from every rate of `decoder`'s links to each of
    // `outputRates` that differs from it.
    static bool canFeed(const Decoder& decoder, std::initializer_list<int> outputRates,
                        const Resampler::Factory& make);

    // Pushes up to `maxFrames` output frames into the voice's ring (less when the ring is full or
    // the sound is over). Signals the end to the voice once everything is pushed. Returns the
    // frames pushed.
    size_t fill(Voice& voice, size_t maxFrames);

    // The next fill() starts at source frame `frame` (clamped to the length). The caller has
    // already flushed the voice.
    void requestSeek(int64_t frame);

    // True once the end has been signalled and no seek is pending: nothing more to do.
    bool finished() const { return endSignalled && pendingSeek < 0; }

private:
    void seekNow(int64_t frame);
    // Makes the conversion from `rate` to the output rate ready (none when they are equal);
    // false when libsoxr refuses.
    bool convertFrom(int rate);
    // The rest of the sound, from the decoder's position, as silence.
    void playSilenceToTheEnd();
    // Refills the staging buffer; false when nothing more will come.
    bool produce();
    size_t toStereo(const float* in, size_t frames, StereoFrame* out) const;

    Decoder& decoder;
    const Resampler::Factory makeResampler;
    std::unique_ptr<Resampler> resampler;
    const int outputRate;
    const int64_t lengthFrames;
    Decoder::Format current; // the format the fold and the resampler are set up for

    int64_t pendingSeek = -1;
    bool decoderDone = false;
    bool drained = false;
    bool endSignalled = false;
    int64_t silenceLeft = 0; // output frames of silence still to push

    std::vector<float> decoded;      // interleaved as the decoder gives it
    std::vector<StereoFrame> stereo; // waiting for the resampler
    size_t stereoPos = 0;
    size_t stereoLen = 0;
    std::vector<StereoFrame> staged; // at the output rate, waiting for the ring
    size_t stagedPos = 0;
    size_t stagedLen = 0;
    size_t stagedCapacity = 0;
};
