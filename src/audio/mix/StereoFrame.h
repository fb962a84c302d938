// StereoFrame: one frame of sound at the output rate, left and right, as the voices' rings hold it
// and the resampler writes it. An array of them has the layout of interleaved stereo floats.
//
// Threads: a plain value, copied by whichever thread holds it.
#pragma once

struct StereoFrame {
    float left = 0.0f;
    float right = 0.0f;
};

static_assert(sizeof(StereoFrame) == 2 * sizeof(float), "interleaved stereo, no padding");
