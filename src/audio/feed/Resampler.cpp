#include "Resampler.h"

#include <soxr.h>

std::unique_ptr<Resampler> Resampler::make(int inputRate, int outputRate)
{
    return std::make_unique<Resampler>(inputRate, outputRate);
}

Resampler::Resampler(double inputRate, double outputRate)
{
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    handle = soxr_create(inputRate, outputRate, 2, &error, &io, &quality, nullptr);
    if (error) {
        soxr_delete(handle);
        handle = nullptr;
    }
}

Resampler::~Resampler()
{
    soxr_delete(handle);
}

size_t Resampler::process(const StereoFrame* input, size_t inputFrames, size_t& inputUsed,
                          StereoFrame* output, size_t outputCapacity)
{
    size_t written = 0;
    inputUsed = 0;
    if (!handle || inputFrames == 0)
        return 0;
    soxr_process(handle, input, inputFrames, &inputUsed, output, outputCapacity, &written);
    return written;
}

size_t Resampler::drain(StereoFrame* output, size_t outputCapacity)
{
    size_t written = 0;
    if (handle)
        soxr_process(handle, nullptr, 0, nullptr, output, outputCapacity, &written);
    return written;
}

void Resampler::reset()
{
    if (handle)
        soxr_clear(handle);
}
