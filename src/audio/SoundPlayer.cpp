#include "SoundPlayer.h"

// Placeholder until the engine lands: every operation is harmless and reads 0.
SoundPlayer::SoundPlayer() = default;
SoundPlayer::~SoundPlayer() = default;

void SoundPlayer::Play(const char*) {}
void SoundPlayer::Stop() {}

void SoundPlayer::TogglePause()
{
    paused = paused ? 0 : 1;
}

uint32_t SoundPlayer::GetPosition()
{
    return 0;
}

void SoundPlayer::SetPosition(uint32_t) {}

uint32_t SoundPlayer::GetLength()
{
    return 0;
}
