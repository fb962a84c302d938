// Writes the fuzzer's seed files into the folder given as the only argument: short tones in every
// format the engine reads, at the sample rates and channel counts it has to cope with.
#include "AudioFixtures.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    using F = AudioFixtures::Format;
    const F formats[] = {F::Wav, F::Flac, F::OggVorbis, F::Mp3, F::Mp3WithoutXing};
    const int rates[] = {8000, 22050, 44100, 48000, 96000};
    int written = 0;
    int failed = 0;
    for (const F format : formats) {
        const bool mp3 = format == F::Mp3 || format == F::Mp3WithoutXing;
        for (const int rate : rates) {
            // MPEG audio stops at 48 kHz (and libsndfile leaks its encoder when asked for more).
            if (mp3 && rate > 48000)
                continue;
            for (const int channels : {1, 2}) {
                AudioFixtures::Tone tone;
                tone.sampleRate = rate;
                tone.channels = channels;
                tone.seconds = 0.05;
                tone.frequency = 440.0 + rate / 1000;
                const std::string path = folder + "/seed-" + std::to_string(rate) + "-" +
                                         std::to_string(channels) + AudioFixtures::suffix(format);
                if (AudioFixtures::writeTone(path, format, tone))
                    ++written;
                else
                    ++failed;
            }
        }
    }
    std::printf("%d seed files written, %d refused by an encoder\n", written, failed);
    return failed == 0 ? 0 : 1;
}
