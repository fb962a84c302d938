#include "AudioSystem.h"

#include "AudioOutput.h"
#include "Channel.h"
#include "CubebBackend.h"
#include "Decoder.h"
#include "FormatSniffer.h"
#include "Mixer.h"
#include "OutputController.h"
#include "Sound.h"
#include "Voice.h"
#include "VoiceFeeder.h"

#include <algorithm>
#include <chrono>
#include <pthread.h>

namespace
{
// Output buffering asked of the device. PulseAudio (through cubeb) asks for data four times per
// this, and a Stop, Pause or seek is heard about three quarters of it after the click: 120 ms
// keeps that within 100 ms while waking the sound server's client thread about 34 times a second.
constexpr int DeviceLatencyMs = 120;
// Ring per channel, in seconds of output.
constexpr int RingSeconds = 1;
// Buffered before a channel starts or resumes after a seek.
constexpr int PrimeMs = 100;
// Frames the read-ahead thread pushes into one ring in one step, before it looks at the others
// and at the output again.
constexpr size_t FillStepFrames = 4096;
// How soon the read-ahead thread looks again while a fade is due: once it is over the mix may be
// quiet, and the output then drains and stops.
constexpr auto FadeCheck = std::chrono::milliseconds(20);
// How long after a sound's last frames are due to be rendered the read-ahead thread looks.
constexpr auto EndCheck = std::chrono::milliseconds(10);
// The rate rendered at before the first sound says its own.
constexpr int InitialRate = 48000;

// Systems release() left to a device thread that never came back from the sound server: still in
// use by that thread, so kept where a leak checker sees them.
void leaveBehind(AudioSystem* system)
{
    static std::mutex guard;
    static auto* const systems = new std::vector<AudioSystem*>();
    std::lock_guard lock(guard);
    systems->push_back(system);
}
} // namespace

AudioSystem::AudioSystem() = default;
AudioSystem::~AudioSystem() = default;

AudioResult AudioSystem::create(AudioSystem** system)
{
    if (!system)
        return AudioResult::InvalidParam;
    *system = new AudioSystem();
    return AudioResult::Ok;
}

AudioResult AudioSystem::init(int maxChannels, uint32_t flags, void* driverData)
{
    if (initialised || maxChannels < 1 || maxChannels > 4096)
        return AudioResult::InvalidParam;
    // Nothing is kept of a call that is refused.
    const bool wantOffline = (flags & InitOffline) != 0;
    int rate = InitialRate;
    bool follow = true;
    Resampler::Factory make = Resampler::make;
    std::unique_ptr<OutputBackend> backend;
    if (wantOffline) {
        follow = false;
        if (driverData) {
            const auto* settings = static_cast<const OfflineSettings*>(driverData);
            rate = settings->outputRate;
            follow = settings->followSoundRate;
            if (settings->makeResampler)
                make = settings->makeResampler;
        }
        if (rate < 8000 || rate > 384000)
            return AudioResult::InvalidParam;
    } else {
        const auto* settings = static_cast<const OutputSettings*>(driverData);
        if (settings && settings->makeBackend)
            backend = settings->makeBackend();
        if (settings && settings->makeResampler)
            make = settings->makeResampler;
        // Nothing talks to the sound server yet: the device thread connects when the first
        // sound plays.
        if (!backend)
            backend = std::make_unique<CubebBackend>(DeviceLatencyMs);
    }
    offline = wantOffline;
    followSoundRate = follow;
    makeResampler = std::move(make);
    offlinePreferredRate = rate;
    mixer = std::make_unique<Mixer>(maxChannels, rate);
    slots.resize(static_cast<size_t>(maxChannels));
    if (!offline) {
        output = std::make_unique<OutputController>(*mixer, std::move(backend));
        readAhead = std::thread([this] { readAheadLoop(); });
        device = std::thread([this] { deviceLoop(); });
    }
    initialised = true;
    return AudioResult::Ok;
}

AudioResult AudioSystem::release()
{
    if (initialised) {
        std::unique_lock lock(mutex);
        for (int i = 0; i < mixer->voiceCount(); ++i) {
            if (slots[static_cast<size_t>(i)].live)
                stopSlot(i);
        }
        quit = true;
        // A read or a search through a damaged file in progress ends at once.
        for (const auto* list : {&sounds, &doomed}) {
            for (const std::unique_ptr<Sound>& sound : *list)
                sound->decoder->interrupt();
        }
        wake.notify_all();
        // The read-ahead thread ends after the step in progress, the device thread once it has
        // closed what is open; each is given ReleaseWait. One still inside a library call then
        // (a decoder, or a sound server that does not answer) is left behind, detached, with the
        // engine's state it and cubeb's threads may still touch deliberately leaked, so the
        // program can exit.
        const bool readAheadOver =
            !readAhead.joinable() ||
            threadOver.wait_for(lock, ReleaseWait, [this] { return readAheadEnded; });
        if (device.joinable()) {
            output->shutDown();
            outputShutDown = true;
            deviceWake.notify_all();
        }
        const bool deviceOver =
            !device.joinable() ||
            threadOver.wait_for(lock, ReleaseWait, [this] { return deviceEnded; });
        lock.unlock();
        if (!readAheadOver || !deviceOver) {
            for (std::thread* thread : {&readAhead, &device}) {
                if (thread->joinable())
                    thread->detach();
            }
            leaveBehind(this);
            // Nothing but the read-ahead thread reads the sounds.
            if (readAheadOver) {
                sounds.clear();
                doomed.clear();
            }
            return AudioResult::Ok;
        }
        if (readAhead.joinable())
            readAhead.join();
        if (device.joinable())
            device.join();
        output.reset();
    }
    sounds.clear();
    doomed.clear();
    channels.clear();
    delete this;
    return AudioResult::Ok;
}

AudioResult AudioSystem::createSound(const char* path, uint32_t, const void*, Sound** sound)
{
    if (!sound)
        return AudioResult::InvalidParam;
    *sound = nullptr;
    if (!initialised)
        return AudioResult::NotInitialized;
    if (!path)
        return AudioResult::InvalidParam;
    std::unique_ptr<Decoder> decoder = FormatSniffer::open(path);
    if (!decoder || decoder->sampleRate() < MinSampleRate ||
        decoder->sampleRate() > MaxSampleRate || decoder->channels() < 1 ||
        decoder->lengthFrames() < 0)
        return AudioResult::FileUnplayable;
    std::unique_lock lock(mutex);
    // Every link must be convertible to any rate the output may play it at: the current one, the
    // preferred one, or the sound's own. Making the trial resamplers designs their filters: not
    // under the mutex.
    const int current = mixer->outputRate();
    const int preferred = offline ? offlinePreferredRate : output->preferredRate();
    lock.unlock();
    if (!VoiceFeeder::canFeed(*decoder, {current, preferred, decoder->sampleRate()}, makeResampler))
        return AudioResult::FileUnplayable;
    lock.lock();
    sounds.push_back(std::unique_ptr<Sound>(new Sound(*this, std::move(decoder))));
    *sound = sounds.back().get();
    return AudioResult::Ok;
}

AudioResult AudioSystem::playSound(int channelIndex, Sound* sound, bool paused, Channel** channel)
{
    if (!channel)
        return AudioResult::InvalidParam;
    *channel = nullptr;
    if (!initialised)
        return AudioResult::NotInitialized;
    if (!sound)
        return AudioResult::InvalidParam;

    std::unique_lock lock(mutex);
    // A sound reads from one decoder, so it plays on one channel at a time; the read-ahead
    // thread's step on it ends first.
    waitForFill(lock, channelIndex, sound);
    for (int i = 0; i < mixer->voiceCount(); ++i) {
        if (slots[static_cast<size_t>(i)].live && slots[static_cast<size_t>(i)].sound == sound)
            stopSlot(i);
    }
    followRateOf(*sound);
    const int index = findSlot(channelIndex);
    if (index < 0)
        return AudioResult::NoFreeChannel;

    Slot& slot = slots[static_cast<size_t>(index)];
    Voice& voice = mixer->voice(index);
    const int rate = mixer->outputRate();
    voice.acquireControl();
    voice.prepare(static_cast<size_t>(rate) * RingSeconds, mixer->fadeFrames(),
                  static_cast<size_t>(rate) * PrimeMs / 1000, paused);
    slot.feeder = std::make_shared<VoiceFeeder>(*sound->decoder, rate, makeResampler);
    slot.seekTo = -1;
    if (sound->decoderUsed)
        slot.feeder->requestSeek(0);
    sound->decoderUsed = true;
    voice.state.store(Voice::Active, std::memory_order_release);
    voice.releaseControl();

    slot.sound = sound;
    slot.live = true;
    ++slot.generation;
    slot.segmentStart = 0;
    channels.push_back(std::unique_ptr<Channel>(new Channel(*this, index, slot.generation)));
    *channel = channels.back().get();

    // Nothing is decoded and no device is touched here: the read-ahead thread fills the ring and
    // starts the output as soon as this returns, within a millisecond or two. Until the data is
    // there the channel stays silent, its position still.
    if (!paused)
        wantAudio();
    poke();
    return AudioResult::Ok;
}

int AudioSystem::outputRate() const
{
    std::lock_guard lock(mutex);
    return mixer ? mixer->outputRate() : 0;
}

bool AudioSystem::usingDevice() const
{
    std::lock_guard lock(mutex);
    return output && output->onDevice();
}

bool AudioSystem::outputRunning() const
{
    std::lock_guard lock(mutex);
    return output && output->state() != OutputController::State::Idle;
}

void AudioSystem::pump()
{
    if (!initialised)
        return;
    std::lock_guard lock(mutex);
    while (fillAll(static_cast<size_t>(mixer->outputRate())))
        ;
}

void AudioSystem::render(float* out, size_t frames)
{
    if (!initialised || !offline) {
        std::fill(out, out + frames * 2, 0.0f);
        return;
    }
    mixer->render(out, frames);
}

AudioResult AudioSystem::releaseSound(Sound* sound)
{
    std::lock_guard lock(mutex);
    for (auto it = sounds.begin(); it != sounds.end(); ++it) {
        if (it->get() != sound)
            continue;
        for (int i = 0; i < mixer->voiceCount(); ++i) {
            if (slots[static_cast<size_t>(i)].live && slots[static_cast<size_t>(i)].sound == sound)
                stopSlot(i);
        }
        // Its decoder is in use without the mutex: the read-ahead thread frees it afterwards.
        if (fillingSound == sound)
            doomed.push_back(std::move(*it));
        sounds.erase(it);
        return AudioResult::Ok;
    }
    return AudioResult::InvalidParam;
}

bool AudioSystem::valid(int slot, uint32_t generation) const
{
    if (!initialised || slot < 0 || slot >= static_cast<int>(slots.size()))
        return false;
    const Slot& s = slots[static_cast<size_t>(slot)];
    return s.live && s.generation == generation;
}

bool AudioSystem::channelLive(int slot, uint32_t generation) const
{
    std::lock_guard lock(mutex);
    return valid(slot, generation);
}

AudioResult AudioSystem::channelStop(int slot, uint32_t generation)
{
    std::lock_guard lock(mutex);
    if (!valid(slot, generation))
        return AudioResult::InvalidHandle;
    stopSlot(slot);
    poke();
    return AudioResult::Ok;
}

AudioResult AudioSystem::channelSetPaused(int slot, uint32_t generation, bool paused)
{
    std::lock_guard lock(mutex);
    if (!valid(slot, generation))
        return AudioResult::InvalidHandle;
    mixer->voice(slot).pauseRequested.store(paused, std::memory_order_release);
    if (!paused)
        wantAudio();
    poke();
    return AudioResult::Ok;
}

AudioResult AudioSystem::channelGetPaused(int slot, uint32_t generation, bool* paused)
{
    if (!paused)
        return AudioResult::InvalidParam;
    std::lock_guard lock(mutex);
    if (!valid(slot, generation))
        return AudioResult::InvalidHandle;
    *paused = mixer->voice(slot).pauseRequested.load(std::memory_order_acquire);
    return AudioResult::Ok;
}

AudioResult AudioSystem::channelGetPosition(int slot, uint32_t generation, uint32_t* ms)
{
    if (!ms)
        return AudioResult::InvalidParam;
    std::lock_guard lock(mutex);
    if (!valid(slot, generation))
        return AudioResult::InvalidHandle;
    const Slot& s = slots[static_cast<size_t>(slot)];
    Voice& voice = mixer->voice(slot);
    const uint32_t lengthMs = s.sound->lengthMs();
    // A seek waiting for the step in progress reads its target.
    const bool seeking = s.seekTo >= 0;
    if (!seeking && voice.ended.load(std::memory_order_acquire)) {
        *ms = lengthMs;
        return AudioResult::Ok;
    }
    const int64_t sourceRate = s.sound->sampleRate();
    const auto rendered =
        seeking ? 0 : static_cast<int64_t>(voice.renderedFrames.load(std::memory_order_acquire));
    const int64_t frame = s.segmentStart + rendered * sourceRate / mixer->outputRate();
    int64_t position = frame * 1000 / sourceRate;
    // Only a channel that has really played to its end reports the full length.
    if (lengthMs > 0 && position >= lengthMs)
        position = lengthMs - 1;
    *ms = static_cast<uint32_t>(std::max<int64_t>(0, position));
    return AudioResult::Ok;
}

AudioResult AudioSystem::channelSetPosition(int slot, uint32_t generation, uint32_t ms)
{
    std::lock_guard lock(mutex);
    if (!valid(slot, generation))
        return AudioResult::InvalidHandle;
    Slot& s = slots[static_cast<size_t>(slot)];
    const int64_t sourceRate = s.sound->sampleRate();
    // Rounded up, so that the position read back, rounded down, is the one asked for.
    const int64_t target = std::min<int64_t>((static_cast<int64_t>(ms) * sourceRate + 999) / 1000,
                                             s.sound->lengthFrames());
    Voice& voice = mixer->voice(slot);
    s.segmentStart = target;
    if (filling == slot) {
        // The read-ahead thread is pushing into the ring: it is flushed once the step is over.
        s.seekTo = target;
    } else {
        voice.acquireControl();
        voice.flushForSeek();
        voice.releaseControl();
        s.feeder->requestSeek(target);
    }
    if (!voice.pauseRequested.load(std::memory_order_acquire))
        wantAudio();
    poke();
    return AudioResult::Ok;
}

void AudioSystem::stopSlot(int index)
{
    Slot& slot = slots[static_cast<size_t>(index)];
    slot.live = false;
    ++slot.generation;
    // A feeder in use by the read-ahead thread lives until its step is over.
    slot.feeder.reset();
    slot.seekTo = -1;
    slot.sound = nullptr;
    Voice& voice = mixer->voice(index);
    voice.acquireControl();
    // Fade out what is still audible when something renders; otherwise free the voice at once.
    const bool fade = (offline || output->rendersMix()) && voice.needsOutput();
    voice.state.store(fade ? Voice::Stopping : Voice::Idle, std::memory_order_release);
    voice.releaseControl();
}

int AudioSystem::findSlot(int channelIndex)
{
    const int count = mixer->voiceCount();
    auto reclaim = [this](int i) {
        Voice& voice = mixer->voice(i);
        voice.acquireControl();
        voice.state.store(Voice::Idle, std::memory_order_release);
        voice.releaseControl();
        return i;
    };
    if (channelIndex >= 0) {
        if (channelIndex >= count)
            return -1;
        // playSound() has waited for a fill of this slot to end.
        if (slots[static_cast<size_t>(channelIndex)].live)
            stopSlot(channelIndex);
        return reclaim(channelIndex);
    }
    // A free voice whose ring already exists first, so that playing track after track reuses
    // the same few rings instead of allocating one per voice.
    for (const bool withRing : {true, false}) {
        for (int i = 0; i < count; ++i) {
            Voice& voice = mixer->voice(i);
            if (i != filling && !slots[static_cast<size_t>(i)].live &&
                voice.hasRing() == withRing &&
                voice.state.load(std::memory_order_acquire) == Voice::Idle)
                return i;
        }
    }
    // Every free voice is still fading out: cut one short.
    for (const bool withRing : {true, false}) {
        for (int i = 0; i < count; ++i) {
            if (i != filling && !slots[static_cast<size_t>(i)].live &&
                mixer->voice(i).hasRing() == withRing)
                return reclaim(i);
        }
    }
    return -1;
}

void AudioSystem::followRateOf(const Sound& sound)
{
    if (!followSoundRate)
        return;
    const int soundRate = sound.sampleRate();
    const int wanted = soundRate >= StreamRateMin && soundRate <= StreamRateMax
                           ? soundRate
                           : (offline ? offlinePreferredRate : output->preferredRate());
    if (wanted == mixer->outputRate() || mixer->needsOutput())
        return;
    for (const Slot& slot : slots) {
        if (slot.live)
            return;
    }
    // Nothing is audible: the mix can change its rate. The output lets what it still holds be
    // heard before it opens a stream at the new rate.
    if (offline)
        mixer->setOutputRate(wanted);
    else
        output->setRate(wanted);
}

void AudioSystem::wantAudio()
{
    if (output)
        output->wantAudio();
}

bool AudioSystem::fillAll(size_t maxFramesEach)
{
    bool more = false;
    for (int i = 0; i < mixer->voiceCount(); ++i) {
        Slot& slot = slots[static_cast<size_t>(i)];
        if (!slot.live || !slot.feeder || slot.feeder->finished())
            continue;
        if (slot.feeder->fill(mixer->voice(i), maxFramesEach) == maxFramesEach)
            more = true;
    }
    return more;
}

OutputController::Clock::duration AudioSystem::ringsDue()
{
    using Clock = OutputController::Clock;
    const int rate = mixer->outputRate();
    auto timeOf = [rate](size_t frames) {
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(frames) / rate));
    };
    auto due = Clock::duration::max();
    for (int i = 0; i < mixer->voiceCount(); ++i) {
        Voice& voice = mixer->voice(i);
        if (!voice.needsOutput())
            continue;
        const Slot& slot = slots[static_cast<size_t>(i)];
        const bool fading = voice.state.load(std::memory_order_acquire) == Voice::Stopping ||
                            voice.pauseRequested.load(std::memory_order_acquire);
        // Frames in the ring, as its producer sees it.
        const size_t held = voice.ring.capacity() - voice.ring.writeAvailable();
        if (fading)
            due = std::min<Clock::duration>(due, FadeCheck);
        else if (slot.live && slot.feeder && !slot.feeder->finished())
            // Topped up once half of the ring has been played.
            due = std::min(due, timeOf(held - std::min(held, voice.ring.capacity() / 2)));
        else
            // The sound ends when its ring runs dry.
            due = std::min<Clock::duration>(due, timeOf(held) + EndCheck);
    }
    return due;
}

void AudioSystem::poke()
{
    ++pokes;
    wake.notify_all();
}

bool AudioSystem::fillUnlocked(std::unique_lock<std::mutex>& lock)
{
    bool more = false;
    for (int i = 0; i < mixer->voiceCount() && !quit; ++i) {
        Slot& slot = slots[static_cast<size_t>(i)];
        if (!slot.live || !slot.feeder || slot.feeder->finished())
            continue;
        std::shared_ptr<VoiceFeeder> feeder = slot.feeder;
        Voice& voice = mixer->voice(i);
        filling = i;
        fillingSound = slot.sound;
        lock.unlock();
        // Decoding, seeking, opening the next link: the slow part, while every call goes on.
        if (feeder->fill(voice, FillStepFrames) == FillStepFrames)
            more = true;
        feeder.reset();
        std::vector<std::unique_ptr<Sound>> released;
        lock.lock();
        filling = -1;
        fillingSound = nullptr;
        released.swap(doomed);
        // The slot may have been stopped meanwhile (and even played again: then seekTo is unset).
        if (slot.live && slot.seekTo >= 0) {
            voice.acquireControl();
            voice.flushForSeek();
            voice.releaseControl();
            slot.feeder->requestSeek(slot.seekTo);
            slot.seekTo = -1;
            more = true;
        }
        fillOver.notify_all();
        if (!released.empty()) {
            lock.unlock();
            released.clear();
            lock.lock();
        }
    }
    return more;
}

void AudioSystem::waitForFill(std::unique_lock<std::mutex>& lock, int slot, const Sound* sound)
{
    fillOver.wait(lock, [&] { return (slot < 0 || filling != slot) && fillingSound != sound; });
}

void AudioSystem::readAheadLoop()
{
    using Clock = OutputController::Clock;
    pthread_setname_np(pthread_self(), "brisnak-read");
    std::unique_lock lock(mutex);
    while (!quit) {
        const uint64_t seen = pokes;
        const bool more = fillUnlocked(lock);
        if (quit)
            break;
        Clock::time_point due = output->update(Clock::now());
        if (output->deviceWorkDue())
            deviceWake.notify_all();
        if (more)
            continue;
        // Only a running output drains the rings.
        if (output->rendersMix()) {
            const Clock::duration rings = ringsDue();
            if (rings != Clock::duration::max())
                due = std::min(due, Clock::now() + rings);
        }
        // A request made while a step was being decoded is not missed.
        const auto asked = [&] { return quit || pokes != seen; };
        if (due == Clock::time_point::max())
            wake.wait(lock, asked);
        else
            wake.wait_until(lock, due, asked);
    }
    readAheadEnded = true;
    threadOver.notify_all();
}

void AudioSystem::deviceLoop()
{
    using Clock = OutputController::Clock;
    pthread_setname_np(pthread_self(), "brisnak-device");
    std::unique_lock lock(mutex);
    for (;;) {
        deviceWake.wait(lock, [this] { return output->deviceWorkDue() || outputShutDown; });
        if (!output->deviceWorkDue())
            break;
        OutputController::DeviceWork work = output->takeDeviceWork(Clock::now());
        const int rate = work.tryRate;
        // The read-ahead thread times how long a start may wait for it.
        poke();
        lock.unlock();
        // Waits for the sound server, as long as it takes: nothing else waits with it.
        std::unique_ptr<AudioOutput> opened = output->runDeviceWork(std::move(work));
        lock.lock();
        output->deviceWorkDone(std::move(opened), rate, Clock::now());
        // The read-ahead thread times what follows (a drain, a stall, the next try).
        poke();
    }
    deviceEnded = true;
    threadOver.notify_all();
}
