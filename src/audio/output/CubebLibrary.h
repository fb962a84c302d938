// CubebLibrary: libcubeb, loaded when the first stream to the device is wanted instead of when the
// program starts. It brings the sound servers' client libraries with it (PulseAudio's, ALSA's,
// JACK's, sndio's and theirs): ten of the libraries the program would otherwise load before its
// window shows.
//
// Threads: get() loads the library the first time any thread calls it (the engine's device thread,
// through CubebBackend); afterwards the function pointers never change and any thread may read
// them.
#pragma once

#include <cubeb/cubeb.h>

class CubebLibrary
{
public:
    // The library's functions; null when it cannot be loaded (then there is no device).
    static const CubebLibrary* get();

    decltype(&::cubeb_init) init = nullptr;
    decltype(&::cubeb_destroy) destroy = nullptr;
    decltype(&::cubeb_get_preferred_sample_rate) getPreferredSampleRate = nullptr;
    decltype(&::cubeb_stream_init) streamInit = nullptr;
    decltype(&::cubeb_stream_destroy) streamDestroy = nullptr;
    decltype(&::cubeb_stream_start) streamStart = nullptr;
    decltype(&::cubeb_stream_stop) streamStop = nullptr;
    decltype(&::cubeb_stream_get_latency) streamGetLatency = nullptr;

private:
    CubebLibrary() = default;
    bool load();
};
