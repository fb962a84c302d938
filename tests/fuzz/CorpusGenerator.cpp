// Writes the fuzzer's seed files into the folder given as the only argument: every file of the
// tests' corpus (FileCorpus: tones in every format, rate and channel count the engine reads, files
// joined end to end, damaged, cut and lying ones), each at the shortest length it can be made at,
// where that fits the fuzzer's input size. Paths that are no regular file (fifos, folders) are left
// out.
#include "FileCorpus.h"

#include <cstdio>
#include <filesystem>
#include <string>

namespace
{

// The fuzzer takes inputs up to this size (scripts/fuzz.sh).
constexpr size_t maxInput = 65536;
// Each file is made at this share of its length, as short as it can be made.
constexpr double smallest = 0.02;

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
        fs::remove_all(scratch);
        fs::create_directories(scratch);
        const FileCorpus::Expected expected = row.make(scratch.string(), smallest);
        std::error_code error;
        if (!expected.written || !fs::is_regular_file(expected.path, error))
            continue;
        // Files whose size does not shrink with the scale (a tail of zeros to 1 GB, a large cover)
        // are left out, and never read.
        if (fs::file_size(expected.path, error) > maxInput) {
            ++tooLarge;
            continue;
        }
        if (FileCorpus::writeFile((folder / ("seed-" + std::to_string(index))).string(),
                                  FileCorpus::readFile(expected.path)))
            ++written;
    }
    fs::remove_all(scratch);
    std::printf("%d seed files written; %d files of the corpus too large to seed\n", written,
                tooLarge);
    return written > 0 ? 0 : 1;
}
