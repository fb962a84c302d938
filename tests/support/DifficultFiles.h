// Files that players get wrong, generated from the fixtures' tones: Ogg Vorbis files chained end
// to end (as stream recorders and `cat` make them), with equal or different formats, damaged in
// one link or cut short; MP3 files joined end to end whose frames change format; WAV and FLAC
// files whose headers announce more than they hold. Each comes with what it holds, link by link,
// so that a test can say what must be heard where.
#pragma once

#include <string>
#include <vector>

class DifficultFiles
{
public:
    enum class Case {
        ChainedSameFormat,      // two stereo 44.1 kHz links
        ChainedOtherFormat,     // stereo 44.1 kHz, then mono 22.05 kHz
        FirstLinkPageDamaged,   // an audio page a third into the first link, then a mono link
        FirstLinkHeaderDamaged, // one byte of the first link's setup header
        LaterLinkPageDamaged,   // an audio page in the middle of the second link
        OggCutInFirstPages,     // an Ogg file cut inside its first audio page
        Mp3FormatChange,        // MP3 files joined: stereo 44.1 kHz, then mono 22.05 kHz
        WavHeaderLies,          // its data chunk claims ten times what it holds
        FlacHeaderLies,         // its stream info claims twice the frames it holds
    };
    static std::vector<Case> all();
    static const char* name(Case which);
    static const char* suffix(Case which);

    // One link of a file as written: its format, how long its tone lasts and at what pitch, and
    // whether it can be heard (a link whose headers are damaged plays as silence).
    struct Part {
        int rate = 44100;
        int channels = 2;
        double seconds = 1.0;
        double frequency = 440.0;
        bool audible = true;
        // The stretch a damaged page held, in seconds from the link's start (none when equal):
        // it plays as silence.
        double holeFrom = 0.0;
        double holeTo = 0.0;
    };
    struct Written {
        bool ok = false;
        std::vector<Part> parts;
        // The most frames an encoder adds to a link (MP3's delay, padding and Info frame; 0 for
        // the others), at the link's own rate: the length may exceed the tone by this much.
        int slackFrames = 0;
    };

    // Writes the case to `path`; `scale` stretches every link's duration (1.0 as listed in the
    // .cpp; the window test plays shorter ones).
    static Written write(const std::string& path, Case which, double scale = 1.0);
};
