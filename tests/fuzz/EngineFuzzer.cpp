// libFuzzer entry: every input is treated as an audio file handed to the engine.
#include "FileExercise.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FileExercise::run(data, size);
    return 0;
}
