// A WAV file whose sine steps up in pitch once a second: the pitch heard tells which second of the
// file is playing, so a recording shows where playback resumed or where a seek landed.
#pragma once

#include <string>

class SteppedTone
{
public:
    int sampleRate = 44100;
    int seconds = 6;
    double firstHz = 400.0;
    double stepHz = 100.0;
    double amplitude = 0.5;

    // The pitch of second `second` of the file.
    double frequencyOf(int second) const { return firstHz + stepHz * second; }
    // Writes a stereo 16-bit WAV file; the phase runs on across the steps. False when it cannot.
    bool writeWav(const std::string& path) const;
};
