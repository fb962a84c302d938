// SoundPlayer: the program's one contact with the audio engine.
//
// Threads: every method is called from the GUI thread only. The engine it drives runs its own
// read-ahead and output threads.
#pragma once

#include <cstdint>

class AudioSystem;
class Sound;
class Channel;

class SoundPlayer
{
public:
    SoundPlayer();
    ~SoundPlayer();
    SoundPlayer(const SoundPlayer&) = delete;
    SoundPlayer& operator=(const SoundPlayer&) = delete;

    // Stops the current channel, opens `path` (local 8-bit encoding) and starts it.
    void Play(const char* path);
    void Stop();
    void TogglePause();
    // Milliseconds; 0 without a live channel or without a sound.
    uint32_t GetPosition();
    void SetPosition(uint32_t ms);
    uint32_t GetLength();

    // 1 while the last TogglePause paused the channel; read directly by the window.
    int32_t paused = 0;

private:
    AudioSystem* system = nullptr;
    Sound* sound = nullptr;
    Channel* channel = nullptr;
};
