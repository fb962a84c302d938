// AudioResult: what every engine call answers. SoundPlayer never looks at it; the tests do.
//
// Threads: a plain value, used on whichever thread made the call.
#pragma once

enum class AudioResult {
    Ok = 0,
    InvalidParam,   // a null pointer or a value out of range
    InvalidHandle,  // the channel was stopped, has been reused, or never existed
    FileUnplayable, // the file is missing, not a regular file, or holds nothing playable
    NoFreeChannel,  // every channel is busy
    NotInitialized, // init() has not succeeded
    OutputFailed,   // neither the device nor the silent clock could be started
};
