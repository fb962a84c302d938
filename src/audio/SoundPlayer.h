// SoundPlayer: the program's one contact with the audio engine.
//
// Threads: every method is called from the GUI thread only. The engine it drives runs its own
// read-ahead and output threads.
#pragma once

#include <cstdint>
#include <string>

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

    // For observers of the player (the desktop controls); none of these changes anything.
    // Counts the calls of Play: a new value means a new play, of the file GetPlayedPath() names.
    uint64_t GetPlayCount() const { return playCount; }
    const std::string& GetPlayedPath() const { return playedPath; }
    // Whether the channel of the last Play exists and has not been stopped (a channel that has
    // played its sound to the end stays live), and whether the engine holds it paused. The
    // `paused` flag below need not agree: Play starts a channel unpaused and leaves the flag.
    bool IsChannelLive() const;
    bool IsChannelPaused() const;

    // 1 while the last TogglePause paused the channel; read directly by the window.
    int32_t paused = 0;

private:
    AudioSystem* system = nullptr;
    Sound* sound = nullptr;
    Channel* channel = nullptr;
    uint64_t playCount = 0;
    std::string playedPath;
};
