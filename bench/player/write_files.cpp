// Writes the files the whole-player benchmarks play into FOLDER, each one that is not there yet
// (the names BenchFiles.h lists).
//
//     bench_write_files FOLDER NAME...
//
// Run by bench/whole_player.py.
#include "BenchFiles.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FOLDER NAME...\n", argv[0]);
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        if (BenchFiles::ensure(argv[1], argv[i]).empty())
            return 1;
    }
    return 0;
}
