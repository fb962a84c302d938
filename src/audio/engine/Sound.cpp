#include "Sound.h"

#include "AudioSystem.h"
#include "Decoder.h"

Sound::Sound(AudioSystem& owner, std::unique_ptr<Decoder> source)
    : system(owner), decoder(std::move(source)), rate(decoder->sampleRate()),
      frames(decoder->lengthFrames())
{
}

Sound::~Sound() = default;

uint32_t Sound::lengthMs() const
{
    const int64_t ms = frames * 1000 / rate;
    return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
}

AudioResult Sound::getLength(uint32_t* ms)
{
    if (!ms)
        return AudioResult::InvalidParam;
    *ms = lengthMs();
    return AudioResult::Ok;
}

AudioResult Sound::release()
{
    return system.releaseSound(this);
}
