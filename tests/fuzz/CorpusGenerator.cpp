// Writes the fuzzer's seed files into the folder given as the only argument: short tones in every
// format the engine reads, at the sample rates and channel counts it has to cope with; files joined
// end to end whose format changes from link to link (chained Ogg Vorbis, MP3); and the difficult
// files of the tests (damaged links, holes, a cut page, headers that lie), small enough to fuzz.
#include "AudioFixtures.h"
#include "DifficultFiles.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace
{

// The fuzzer takes inputs up to this size (scripts/fuzz.sh).
constexpr size_t maxInput = 65536;

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    using F = AudioFixtures::Format;
    const std::pair<F, const char*> formats[] = {{F::Wav, "wav"},
                                                 {F::Flac, "flac"},
                                                 {F::OggVorbis, "ogg"},
                                                 {F::Mp3, "mp3"},
                                                 {F::Mp3WithoutXing, "mp3-noxing"}};
    const int rates[] = {8000, 22050, 44100, 48000, 96000};
    int written = 0;
    int failed = 0;
    // Tones by format, to be joined below.
    std::vector<std::string> oggTones;
    std::vector<std::string> mp3Tones;
    for (const auto& [format, name] : formats) {
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
                const std::string path = folder + "/seed-" + name + "-" + std::to_string(rate) +
                                         "-" + std::to_string(channels) +
                                         AudioFixtures::suffix(format);
                if (!AudioFixtures::writeTone(path, format, tone)) {
                    ++failed;
                    continue;
                }
                ++written;
                if (format == F::OggVorbis)
                    oggTones.push_back(path);
                else if (format == F::Mp3)
                    mp3Tones.push_back(path);
            }
        }
    }

    // Files joined end to end, each tone with the next of another format, and three in a row.
    const auto join = [&](const std::vector<std::string>& tones, const char* suffix) {
        for (size_t i = 0; i + 1 < tones.size(); ++i) {
            std::string bytes = readFile(tones[i]) + readFile(tones[i + 1]);
            if (i + 2 < tones.size() && i % 2 == 0)
                bytes += readFile(tones[i + 2]);
            if (bytes.size() <= maxInput &&
                writeFile(folder + "/seed-joined-" + std::to_string(i) + suffix, bytes))
                ++written;
            else
                ++failed;
        }
    };
    join(oggTones, ".ogg");
    join(mp3Tones, ".mp3");

    // Files whose headers or pages lie in ways players get wrong, short: two MP3 files of one
    // format joined, each with its Info header; an Ogg file whose serial number has its top bit
    // set, cut inside a page; Ogg files whose last page claims a huge granule position; a WAV
    // whose data size is 0; a constant-bitrate MP3 without an Info header.
    const auto lying = [&](const std::string& name,
                           const std::function<bool(const std::string&)>& make) {
        const std::string path = folder + "/seed-lying-" + name;
        if (make(path) && readFile(path).size() <= maxInput)
            ++written;
        else
            ++failed;
    };
    AudioFixtures::Tone shortTone;
    shortTone.seconds = 0.3;
    AudioFixtures::Tone longerTone = shortTone;
    longerTone.seconds = 0.4;
    longerTone.frequency = 550.0;
    lying("joined-same-format.mp3", [&](const std::string& path) {
        const std::string second = path + ".second";
        const bool made = AudioFixtures::writeConstantBitrateMp3(path, shortTone, 128, true) &&
                          AudioFixtures::writeConstantBitrateMp3(second, longerTone, 128, true);
        const std::string bytes = readFile(path) + readFile(second);
        std::remove(second.c_str());
        return made && writeFile(path, bytes);
    });
    const auto ogg = [&](uint32_t serial, int64_t lastGranule, double cutShare, double seconds) {
        return [=](const std::string& path) {
            AudioFixtures::Tone tone;
            tone.seconds = seconds;
            return AudioFixtures::writeTone(path, F::OggVorbis, tone) &&
                   DifficultFiles::rewriteOgg(path, {serial, lastGranule, cutShare});
        };
    };
    lying("serial-top-bit-cut.ogg", ogg(0x92345678u, -1, 0.5, 1.0));
    lying("granule-7e18.ogg", ogg(0, 0x7000000000000000, -1.0, 0.3));
    lying("granule-2e40.ogg", ogg(0, int64_t{1} << 40, -1.0, 0.3));
    lying("data-size-0.wav", [&](const std::string& path) {
        AudioFixtures::Tone tone;
        tone.seconds = 0.05;
        return AudioFixtures::writeTone(path, F::Wav, tone) &&
               DifficultFiles::clearWavDataSize(path, 36);
    });
    lying("constant-bitrate-without-info.mp3", [&](const std::string& path) {
        return AudioFixtures::writeConstantBitrateMp3(path, shortTone, 128, false);
    });

    // The difficult files, at the shortest length each can be made at within the input size.
    int difficult = 0;
    for (const DifficultFiles::Case which : DifficultFiles::all()) {
        for (const double scale : {0.1, 0.25, 0.5}) {
            const std::string path = folder + "/seed-difficult-" + std::to_string(difficult) +
                                     DifficultFiles::suffix(which);
            if (DifficultFiles::write(path, which, scale).ok && readFile(path).size() <= maxInput) {
                ++written;
                ++difficult;
                break;
            }
            std::remove(path.c_str());
        }
    }
    if (difficult != static_cast<int>(DifficultFiles::all().size()))
        ++failed;
    std::printf("%d seed files written, %d refused by an encoder\n", written, failed);
    return failed == 0 ? 0 : 1;
}
