// AudioSystem: the engine. It opens sounds, plays them on up to maxChannels channels through one
// mixer and keeps every playing channel's ring topped up from a read-ahead thread. Where the mix
// goes (the default device through cubeb, or a silent clock when there is no device) is the
// OutputController's business; the read-ahead thread is also the thread that drives it.
//
// The output runs at the rate of the track it plays, so a single track is never resampled here:
// the sound server converts it to the device's rate when it has to, as it does for any player.
// The rate changes only while nothing is audible (no live channel, no fade due). A sound started
// while another still plays or fades out takes the current rate and is resampled (libsoxr), as
// is a sound whose rate no stream takes (outside StreamRateMin..StreamRateMax): that one plays
// at the device's preferred rate.
//
// Threads: create(), init(), release(), createSound(), playSound() and the Sound and Channel
// methods are called from one control thread, the one that owns the system (the GUI thread).
// The engine runs its own read-ahead thread and output thread (cubeb's or the clock's); all of
// them, apart from the realtime render, serialise on one mutex. In offline mode there is neither:
// the owning thread also calls pump() and render() itself.
#pragma once

#include "AudioResult.h"
#include "Resampler.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class Channel;
class Mixer;
class OutputController;
class Sound;
class VoiceFeeder;

class AudioSystem
{
public:
    // init() flags.
    static constexpr uint32_t InitNormal = 0;
    // No output and no read-ahead thread: the caller drives pump() and render(). driverData may
    // point to an OfflineSettings.
    static constexpr uint32_t InitOffline = 0x00010000;
    // createSound() mode: software mixing, played once, opened for reading ahead.
    static constexpr uint32_t ModeSoftware = 0x40;
    // playSound() channel index meaning "any free channel".
    static constexpr int FreeChannel = -1;
    // Sample rates a sound may have. Nothing is recorded outside them, and a file that claims one
    // (a damaged header) would make the resampler work thousands of times harder than usual.
    static constexpr int MinSampleRate = 1000;
    static constexpr int MaxSampleRate = 768000;

    // Rates the output stream is opened at to follow a sound.
    static constexpr int StreamRateMin = 8000;
    static constexpr int StreamRateMax = 192000;

    struct OfflineSettings {
        // The rate rendered at, and the preferred rate when following sounds.
        int outputRate = 48000;
        // Render at each sound's rate, as the device output does (off: always at outputRate).
        bool followSoundRate = false;
        // Makes the resamplers; empty for libsoxr's (a test puts one in that libsoxr refuses).
        Resampler::Factory makeResampler;
    };

    static AudioResult create(AudioSystem** system);
    AudioResult init(int maxChannels = 32, uint32_t flags = InitNormal, void* driverData = nullptr);
    // Stops everything, joins the engine's threads, frees every sound and the system itself.
    AudioResult release();

    // Opens `path` (local 8-bit encoding); *sound is null when the file cannot be played.
    AudioResult createSound(const char* path, uint32_t mode, const void* exinfo, Sound** sound);
    // Starts `sound` on a channel (FreeChannel picks one); *channel is null on failure.
    AudioResult playSound(int channelIndex, Sound* sound, bool paused, Channel** channel);

    int outputRate() const;
    // True while the mix is going to cubeb (false on the silent clock, offline or idle).
    bool usingDevice() const;
    // True while an output (device or clock) is running.
    bool outputRunning() const;

    // Offline mode: fills every playing channel's ring on the calling thread, as far as it goes.
    void pump();
    // Offline mode: renders `frames` stereo frames of the mix into `out`.
    void render(float* out, size_t frames);

private:
    friend class Channel;
    friend class Sound;

    struct Slot {
        std::unique_ptr<VoiceFeeder> feeder;
        Sound* sound = nullptr;
        uint32_t generation = 0;
        bool live = false;
        int64_t segmentStart = 0; // source frame the rendered count starts from
    };

    AudioSystem();
    ~AudioSystem();

    AudioResult releaseSound(Sound* sound);
    AudioResult channelStop(int slot, uint32_t generation);
    AudioResult channelSetPaused(int slot, uint32_t generation, bool paused);
    AudioResult channelGetPaused(int slot, uint32_t generation, bool* paused);
    AudioResult channelGetPosition(int slot, uint32_t generation, uint32_t* ms);
    AudioResult channelSetPosition(int slot, uint32_t generation, uint32_t ms);
    bool channelLive(int slot, uint32_t generation) const;

    // The following expect the mutex to be held.
    bool valid(int slot, uint32_t generation) const;
    void stopSlot(int slot);
    int findSlot(int channelIndex);
    void followRateOf(const Sound& sound);
    void wantAudio();
    bool fillAll(size_t maxFramesEach);
    // How soon the rings need the read-ahead thread again (max(): not before a request).
    std::chrono::steady_clock::duration ringsDue();

    void readAheadLoop();

    bool initialised = false;
    bool offline = false;
    int offlinePreferredRate = 48000;
    bool followSoundRate = true;
    Resampler::Factory makeResampler = Resampler::make;
    std::unique_ptr<Mixer> mixer;
    std::vector<Slot> slots;
    std::vector<std::unique_ptr<Sound>> sounds;
    // Handles live as long as the system, so a stale one stays safe to call (a few bytes a play).
    std::vector<std::unique_ptr<Channel>> channels;

    mutable std::mutex mutex;
    std::condition_variable wake;
    bool quit = false;
    std::thread readAhead;

    // Where the mix goes (null offline).
    std::unique_ptr<OutputController> output;
};
