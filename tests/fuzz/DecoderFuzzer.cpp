// libFuzzer entry: every input is treated as an audio file and read through the decoders only
// (see FileExercise.h). Its corpus is replayed through the whole engine by scripts/fuzz.sh replay.
#include "FileExercise.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FileExercise::run(data, size, FileExercise::DecoderOnly);
    return 0;
}
