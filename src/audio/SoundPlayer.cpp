#include "SoundPlayer.h"

#include "AudioSystem.h"
#include "Channel.h"
#include "Sound.h"

// Engine results are deliberately not looked at: a failed call leaves a null handle or a 0 in
// the out-parameter, and that is all the window ever sees.

SoundPlayer::SoundPlayer()
{
    channel = nullptr;
    sound = nullptr;
    AudioSystem::create(&system);
    system->init(32, AudioSystem::InitNormal, nullptr);
    paused = 0;
}

SoundPlayer::~SoundPlayer()
{
    // Stops every channel and joins the engine's threads before the sounds go.
    system->release();
}

void SoundPlayer::Play(const char* path)
{
    if (channel)
        channel->stop();
    // The old sound is no longer played by anything: free its decoder and file.
    if (sound)
        sound->release();
    sound = nullptr;
    channel = nullptr;
    ++playCount;
    playedPath = path ? path : "";
    system->createSound(path, AudioSystem::ModeSoftware, nullptr, &sound);
    system->playSound(AudioSystem::FreeChannel, sound, false, &channel);
}

void SoundPlayer::Stop()
{
    if (channel)
        channel->stop();
}

void SoundPlayer::TogglePause()
{
    if (paused == 0) {
        if (channel)
            channel->setPaused(true);
        paused = 1;
    } else {
        if (channel)
            channel->setPaused(false);
        paused = 0;
    }
}

uint32_t SoundPlayer::GetPosition()
{
    uint32_t ms = 0;
    if (channel)
        channel->getPosition(&ms);
    return ms;
}

void SoundPlayer::SetPosition(uint32_t ms)
{
    if (channel)
        channel->setPosition(ms);
}

uint32_t SoundPlayer::GetLength()
{
    uint32_t ms = 0;
    if (sound)
        sound->getLength(&ms);
    return ms;
}

bool SoundPlayer::IsChannelLive() const
{
    return channel && channel->isLive();
}

bool SoundPlayer::IsChannelPaused() const
{
    bool held = false;
    if (channel)
        channel->getPaused(&held);
    return held;
}
