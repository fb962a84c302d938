// VoiceFeeder: the read-ahead half of one playing channel. It decodes the sound, folds it to
// stereo, resamples it to the output rate when the rates differ, and pushes the frames into the
// voice's ring, never past the sound's announced length.
//
// Threads: every method runs on a control thread holding the engine's mutex: the read-ahead
// thread, the GUI thread (set-up on play, seek requests) or the test's thread in offline mode.
// It is the ring's only producer.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

class Decoder;
class Resampler;
class Voice;

class VoiceFeeder
{
public:
    VoiceFeeder(Decoder& decoder, int outputRate);
    ~VoiceFeeder();
    VoiceFeeder(const VoiceFeeder&) = delete;
    VoiceFeeder& operator=(const VoiceFeeder&) = delete;

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
    // Refills the staging buffer; false when nothing more will come.
    bool produce();
    size_t toStereo(const float* in, size_t frames, float* out) const;

    Decoder& decoder;
    std::unique_ptr<Resampler> resampler;
    const int channels;
    const int64_t lengthFrames;

    int64_t framesRead = 0;
    int64_t pendingSeek = -1;
    bool decoderDone = false;
    bool drained = false;
    bool endSignalled = false;

    std::vector<float> decoded; // interleaved as the decoder gives it
    std::vector<float> stereo;  // stereo frames waiting for the resampler
    size_t stereoPos = 0;
    size_t stereoLen = 0;
    std::vector<float> staged; // stereo frames at the output rate, waiting for the ring
    size_t stagedPos = 0;
    size_t stagedLen = 0;
    size_t stagedCapacity = 0;
};
