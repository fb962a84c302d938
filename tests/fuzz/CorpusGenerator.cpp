// Writes the fuzzer's seed files into the folder given as the only argument: every file of the
// tests' corpus (FileCorpus: tones in every format, rate and channel count the engine reads, files
// joined end to end, damaged, cut and lying ones), each at the shortest length it can be made at
// within the fuzzer's input size. Paths that are no regular file (fifos, folders) are left out.
#include "FileCorpus.h"

#include <cstdio>
#include <filesystem>
#include <string>

namespace
{

// The fuzzer takes inputs up to this size (scripts/fuzz.sh).
constexpr size_t maxInput = 65536;

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    namespace fs = std::filesystem;
    const fs::path folder = argv[1];
    const fs::path scratch = folder / "scratch";
    int written = 0;
    int tooLarge = 0;
    int index = 0;
    for (const FileCorpus::Row& row : FileCorpus::rows()) {
        ++index;
        for (const double scale : {0.02, 0.05, 0.1, 0.25, 0.5, 1.0}) {
            fs::remove_all(scratch);
            fs::create_directories(scratch);
            const FileCorpus::Expected expected = row.make(scratch.string(), scale);
            std::error_code error;
            if (!expected.written || !fs::is_regular_file(expected.path, error))
                break;
            const std::string bytes = FileCorpus::readFile(expected.path);
            if (bytes.size() > maxInput) {
                tooLarge += scale == 1.0 ? 1 : 0;
                continue;
            }
            if (FileCorpus::writeFile((folder / ("seed-" + std::to_string(index))).string(), bytes))
                ++written;
            break;
        }
    }
    fs::remove_all(scratch);
    std::printf("%d seed files written; %d files of the corpus too large to seed\n", written,
                tooLarge);
    return written > 0 ? 0 : 1;
}
