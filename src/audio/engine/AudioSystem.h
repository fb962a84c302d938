// AudioSystem: the engine. It opens sounds, plays them on up to maxChannels channels through one
// mixer and keeps every playing channel's ring topped up from a read-ahead thread. Where the mix
// goes (the default device through cubeb, or a silent clock when there is no device) is the
// OutputController's business; the read-ahead thread times its transitions, and the device
// thread does what it asks of the sound server.
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
// The engine runs two threads of its own besides the output's (cubeb's or the clock's):
//   read-ahead  decodes, seeks and resamples into the channels' rings, one channel and one step
//               (FillStepFrames) at a time, and drives the OutputController's timed transitions;
//   device      does all that waits for the sound server: connecting, opening and starting a
//               stream, stopping and destroying one, dropping the connection.
// One mutex guards the engine's state (slots, sounds, the controller). It is held for
// microseconds, to read or swap state: nothing that waits for a file or the sound server runs
// under it, so every call of the control thread returns at once whatever they do:
//   under the mutex       every Channel call, playSound(), Sound::release(), the accessors,
//                         the controller's update() and the hand-over of a stream or of a step;
//   without the mutex     the decoder's open and the trial resamplers (createSound(), on the
//                         calling thread), decoding and seeking (read-ahead thread), and the
//                         sound server's calls (device thread); Sound::getLength() reads what
//                         never changes; the realtime render never takes it.
// The calling thread waits for a decode step in two cases the window never meets: playing again
// a Sound whose next step is being decoded, and playing on a given channel (not FreeChannel) that
// is being filled. A seek on a channel being filled is taken as soon as the step is over; its
// position reads the target meanwhile. A Sound released while being filled is freed after the
// step, by the read-ahead thread.
// release() is bounded: it interrupts every decoder's reads, so the read-ahead thread's step ends
// at once, and gives that thread and the device thread ReleaseWait each to end. One still inside a
// library call then (a decoder, a sound server that does not answer) is left behind, detached,
// with the engine's state (what it and cubeb's threads may still touch) deliberately leaked, so
// the program can exit.
// In offline mode there are no threads: the owning thread also calls pump() and render() itself.
#pragma once

#include "AudioResult.h"
#include "Resampler.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class Channel;
class Mixer;
class OutputBackend;
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

    // How long release() waits for the read-ahead thread's step, and for the device thread to close
    // the stream and the connection.
    static constexpr auto ReleaseWait = std::chrono::milliseconds(500);

    // Normal mode: driverData may point to one (tests put fake outputs behind the engine).
    struct OutputSettings {
        // Makes where the mix goes; empty for the default device through cubeb and the clock.
        std::function<std::unique_ptr<OutputBackend>()> makeBackend;
        // Makes the resamplers; empty for libsoxr's (a test puts in one that takes its time).
        Resampler::Factory makeResampler;
    };

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
    // Stops everything, joins the engine's threads, frees every sound and the system itself
    // (within ReleaseWait: see the note on threads).
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
        // Shared with the read-ahead thread while it fills the slot without the mutex.
        std::shared_ptr<VoiceFeeder> feeder;
        Sound* sound = nullptr;
        uint32_t generation = 0;
        bool live = false;
        int64_t segmentStart = 0; // source frame the rendered count starts from
        // A seek asked for while the slot was being filled: taken once the step is over.
        int64_t seekTo = -1;
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
    // Tells the read-ahead thread that something changed.
    void poke();
    bool fillAll(size_t maxFramesEach);
    // Read-ahead thread: fills every playing ring by a step, each without the mutex (which
    // `lock` holds on entry and on return). True when some ring took a whole step.
    bool fillUnlocked(std::unique_lock<std::mutex>& lock);
    // Waits (releasing the mutex) until the read-ahead thread is not filling `slot` or decoding
    // `sound`.
    void waitForFill(std::unique_lock<std::mutex>& lock, int slot, const Sound* sound);
    // How soon the rings need the read-ahead thread again (max(): not before a request).
    std::chrono::steady_clock::duration ringsDue();

    void readAheadLoop();
    void deviceLoop();

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
    // The read-ahead thread's, the device thread's, and the one for waiting on a fill.
    std::condition_variable wake;
    std::condition_variable deviceWake;
    std::condition_variable fillOver;
    // release()'s, for the engine's threads to end.
    std::condition_variable threadOver;
    bool quit = false;
    // Counts the requests made to the read-ahead thread.
    uint64_t pokes = 0;
    bool outputShutDown = false;
    bool deviceEnded = false;
    bool readAheadEnded = false;
    std::thread readAhead;
    std::thread device;
    // The slot being filled and its sound, while the read-ahead thread decodes without the mutex.
    int filling = -1;
    const Sound* fillingSound = nullptr;
    // Sounds released while being decoded, freed by the read-ahead thread after the step.
    std::vector<std::unique_ptr<Sound>> doomed;

    // Where the mix goes (null offline).
    std::unique_ptr<OutputController> output;
};
