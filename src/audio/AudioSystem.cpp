#include "AudioSystem.h"

#include "Channel.h"
#include "ClockOutput.h"
#include "CubebOutput.h"
#include "Decoder.h"
#include "Mixer.h"
#include "Sound.h"
#include "Voice.h"
#include "VoiceFeeder.h"

#include <chrono>
#include <cubeb/cubeb.h>

namespace
{
// Output buffering asked of the device.
constexpr int DeviceLatencyMs = 60;
// Ring per channel, in seconds of output.
constexpr int RingSeconds = 1;
// Buffered before a channel starts or resumes after a seek.
constexpr int PrimeMs = 100;
// Frames the read-ahead thread pushes into one ring before letting the others have the mutex.
constexpr size_t FillStepFrames = 4096;
// How often the read-ahead thread looks at the rings and the output while something plays.
constexpr auto TopUpPeriod = std::chrono::milliseconds(50);
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
    offline = (flags & InitOffline) != 0;
    if (offline) {
        followSoundRate = false;
        if (driverData) {
            const auto* settings = static_cast<const OfflineSettings*>(driverData);
            rate = settings->outputRate;
            followSoundRate = settings->followSoundRate;
            if (settings->makeResampler)
                makeResampler = settings->makeResampler;
        }
        if (rate < 8000 || rate > 384000)
            return AudioResult::InvalidParam;
    } else if (cubeb_init(&context, "Brisnak", nullptr) == CUBEB_OK) {
        uint32_t preferred = 0;
        if (cubeb_get_preferred_sample_rate(context, &preferred) == CUBEB_OK && preferred >= 8000 &&
            preferred <= 384000)
            rate = static_cast<int>(preferred);
    } else {
        context = nullptr;
    }
    preferredRate = rate;
    mixer = std::make_unique<Mixer>(maxChannels, rate);
    slots.resize(static_cast<size_t>(maxChannels));
    if (!offline)
        readAhead = std::thread([this] { readAheadLoop(); });
    initialised = true;
    return AudioResult::Ok;
}

AudioResult AudioSystem::release()
{
    if (initialised) {
        {
            std::lock_guard lock(mutex);
            for (int i = 0; i < mixer->voiceCount(); ++i) {
                if (slots[static_cast<size_t>(i)].live)
                    stopSlot(i);
            }
            quit = true;
        }
        wake.notify_all();
        if (readAhead.joinable())
            readAhead.join();
        std::lock_guard lock(mutex);
        if (running && output)
            output->stop();
        running = false;
        output = nullptr;
        device.reset();
        clock.reset();
    }
    if (context)
        cubeb_destroy(context);
    context = nullptr;
    sounds.clear();
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
    std::unique_ptr<Decoder> decoder = Decoder::open(path);
    if (!decoder || decoder->sampleRate() < MinSampleRate ||
        decoder->sampleRate() > MaxSampleRate || decoder->channels() < 1 ||
        decoder->lengthFrames() < 0)
        return AudioResult::FileUnplayable;
    std::lock_guard lock(mutex);
    // Every link must be convertible to any rate the output may play it at: the current one, the
    // preferred one, or the sound's own.
    const int own = decoder->sampleRate();
    for (const int outputAt : {rate, preferredRate, own}) {
        if (!VoiceFeeder::canFeed(*decoder, outputAt, makeResampler))
            return AudioResult::FileUnplayable;
    }
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

    std::lock_guard lock(mutex);
    // A sound reads from one decoder, so it plays on one channel at a time.
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
    voice.acquireControl();
    voice.prepare(static_cast<size_t>(rate) * RingSeconds, mixer->fadeFrames(),
                  static_cast<size_t>(rate) * PrimeMs / 1000, paused);
    slot.feeder = std::make_unique<VoiceFeeder>(*sound->decoder, rate, makeResampler);
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

    // Nothing is decoded here: the read-ahead thread fills the ring as soon as this returns,
    // within a millisecond or two, usually before the device asks for its first buffer. If the
    // device is quicker, the channel stays silent (its position still) until the data is there,
    // and its first frames fade in.
    wake.notify_one();
    if (!paused)
        startOutput(true);
    return AudioResult::Ok;
}

int AudioSystem::outputRate() const
{
    std::lock_guard lock(mutex);
    return rate;
}

bool AudioSystem::usingDevice() const
{
    std::lock_guard lock(mutex);
    return running && output && output == device.get();
}

bool AudioSystem::outputRunning() const
{
    std::lock_guard lock(mutex);
    return running;
}

void AudioSystem::pump()
{
    if (!initialised)
        return;
    std::lock_guard lock(mutex);
    while (fillAll(static_cast<size_t>(rate)))
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
    wake.notify_one();
    return AudioResult::Ok;
}

AudioResult AudioSystem::channelSetPaused(int slot, uint32_t generation, bool paused)
{
    std::lock_guard lock(mutex);
    if (!valid(slot, generation))
        return AudioResult::InvalidHandle;
    mixer->voice(slot).pauseRequested.store(paused, std::memory_order_release);
    if (!paused)
        startOutput(false);
    wake.notify_one();
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
    if (voice.ended.load(std::memory_order_acquire)) {
        *ms = lengthMs;
        return AudioResult::Ok;
    }
    const int64_t sourceRate = s.sound->sampleRate();
    const auto rendered =
        static_cast<int64_t>(voice.renderedFrames.load(std::memory_order_acquire));
    const int64_t frame = s.segmentStart + rendered * sourceRate / rate;
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
    const int64_t target =
        std::min<int64_t>(static_cast<int64_t>(ms) * sourceRate / 1000, s.sound->lengthFrames());
    Voice& voice = mixer->voice(slot);
    voice.acquireControl();
    voice.flushForSeek();
    voice.releaseControl();
    s.feeder->requestSeek(target);
    s.segmentStart = target;
    if (!voice.pauseRequested.load(std::memory_order_acquire))
        startOutput(false);
    wake.notify_one();
    return AudioResult::Ok;
}

void AudioSystem::stopSlot(int index)
{
    Slot& slot = slots[static_cast<size_t>(index)];
    slot.live = false;
    ++slot.generation;
    slot.feeder.reset();
    slot.sound = nullptr;
    Voice& voice = mixer->voice(index);
    voice.acquireControl();
    // Fade out what is still audible when something renders; otherwise free the voice at once.
    const bool fade = (running || offline) && voice.needsOutput();
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
        if (slots[static_cast<size_t>(channelIndex)].live)
            stopSlot(channelIndex);
        return reclaim(channelIndex);
    }
    // A free voice whose ring already exists first, so that playing track after track reuses
    // the same few rings instead of allocating one per voice.
    for (const bool withRing : {true, false}) {
        for (int i = 0; i < count; ++i) {
            Voice& voice = mixer->voice(i);
            if (!slots[static_cast<size_t>(i)].live && voice.hasRing() == withRing &&
                voice.state.load(std::memory_order_acquire) == Voice::Idle)
                return i;
        }
    }
    // Every free voice is still fading out: cut one short.
    for (const bool withRing : {true, false}) {
        for (int i = 0; i < count; ++i) {
            if (!slots[static_cast<size_t>(i)].live && mixer->voice(i).hasRing() == withRing)
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
    const int wanted =
        soundRate >= StreamRateMin && soundRate <= StreamRateMax ? soundRate : preferredRate;
    if (wanted == rate || mixer->needsOutput())
        return;
    for (const Slot& slot : slots) {
        if (slot.live)
            return;
    }
    // Nothing is audible, so the output can stop without a click.
    if (running && output)
        output->stop();
    running = false;
    if (offline) {
        setRate(wanted);
        return;
    }
    // Keep the current stream until one at the new rate has opened: a server that refuses the
    // rate leaves the engine as it was, resampling.
    const int previous = rate;
    setRate(wanted);
    if (std::unique_ptr<CubebOutput> opened = openDevice()) {
        device = std::move(opened);
        output = device.get();
    } else if (device) {
        setRate(previous);
    } else {
        // No device at either rate: the silent clock keeps time at the new one.
        output = nullptr;
    }
}

void AudioSystem::setRate(int outputRate)
{
    rate = outputRate;
    mixer->setOutputRate(outputRate);
    // The clock paces itself by the rate it was made for.
    if (output && output == clock.get())
        output = nullptr;
    clock.reset();
}

std::unique_ptr<CubebOutput> AudioSystem::openDevice()
{
    if (contextStale && context) {
        // The sound server this context talked to went away: connect afresh.
        cubeb_destroy(context);
        context = nullptr;
    }
    contextStale = false;
    if (!context && cubeb_init(&context, "Brisnak", nullptr) != CUBEB_OK)
        context = nullptr;
    return CubebOutput::open(context, *mixer, DeviceLatencyMs);
}

void AudioSystem::startOutput(bool tryDevice)
{
    if (offline || !mixer->needsOutput())
        return;
    const bool onDevice = output && output == device.get();
    if (!onDevice && (tryDevice || !output)) {
        // Not on the device (never opened, lost, or no device last time): try it again, and
        // leave the clock running until the device has really opened.
        device.reset();
        device = openDevice();
        if (device) {
            if (running)
                output->stop();
            running = false;
            output = device.get();
        }
    }
    if (output && output == device.get() && device->failed()) {
        if (running)
            output->stop();
        running = false;
        output = nullptr;
        device.reset();
        contextStale = true;
    }
    if (!output) {
        if (!clock)
            clock = std::make_unique<ClockOutput>(*mixer);
        output = clock.get();
    }
    if (!running) {
        running = output->start();
        if (!running && output == device.get()) {
            device.reset();
            if (!clock)
                clock = std::make_unique<ClockOutput>(*mixer);
            output = clock.get();
            running = output->start();
        }
    }
}

void AudioSystem::superviseOutput()
{
    if (offline || !running)
        return;
    if (output == device.get() && device->failed()) {
        // The device broke while playing: keep time on the silent clock from here.
        device.reset();
        contextStale = true;
        running = false;
        if (!clock)
            clock = std::make_unique<ClockOutput>(*mixer);
        output = clock.get();
        if (mixer->needsOutput())
            running = output->start();
        return;
    }
    if (!mixer->needsOutput()) {
        output->stop();
        running = false;
    }
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

void AudioSystem::readAheadLoop()
{
    std::unique_lock lock(mutex);
    while (!quit) {
        const bool more = fillAll(FillStepFrames);
        superviseOutput();
        if (more) {
            // Let the GUI thread in between steps.
            lock.unlock();
            std::this_thread::yield();
            lock.lock();
            continue;
        }
        if (running)
            wake.wait_for(lock, TopUpPeriod);
        else
            wake.wait(lock);
    }
}
