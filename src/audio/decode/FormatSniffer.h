// FormatSniffer: tells which format a file holds by its content, whatever its name says (the name
// only tips the balance for MPEG audio without a clear run of frames), and opens the decoder for
// it.
//
// Threads: open() runs on the thread that opens sounds (the GUI thread); it keeps no state.
#pragma once

#include <memory>

class Decoder;

class FormatSniffer
{
public:
    // Opens `path` with the decoder its content calls for. Null when the file is not a regular
    // readable file or holds nothing playable; never blocks on FIFOs or devices.
    static std::unique_ptr<Decoder> open(const char* path);
};
