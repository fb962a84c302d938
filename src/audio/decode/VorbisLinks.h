// VorbisLinks: the links of an Ogg Vorbis file, and where the frames of each page with audio lie
// on its link's timeline.
//
// A run of pages that begin streams starts a link; its Vorbis stream (VorbisStream) reads its
// headers and counts the frames each page's packets yield, without decoding them. That count,
// not the granule positions the pages claim, says where frames lie: a page that claims more than
// its packets hold is not believed, except across a hole (pages lost to damage: the stretch they
// held plays as silence, as far as the packets lost can have lasted). A link whose headers are
// lost plays as silence for as long as its last granule position says, no longer than its
// packets can last.
//
// find() reads only the start and the end of a file that is one link ending in a whole page whose
// granule position adds up (the page before's plus at most the frames its packets hold): that is
// its length, and the pages in between are counted when first needed (index()), by the thread
// that decodes. Any other file (a chain, a file cut short, a last page that claims too much) is
// read through once.
//
// Threads: find() on the thread that opens the decoder; afterwards index() on the decoder's
// read-ahead thread only.
#pragma once

#include "OggPageReader.h"

#include <cstdint>
#include <memory>
#include <vector>

class VorbisLinks
{
public:
    // A page with audio packets, and where their frames lie on its link's own timeline.
    struct Page {
        int64_t offset = 0;
        // Where its frames start when the pages before it were decoded: before 0 on a first page
        // that says to drop the stream's first frames; after the page before's end across a hole.
        int64_t start = 0;
        int64_t end = 0; // frames from here on are dropped (the stream's last page trims its end)
        int frames = 0;  // the frames its packets yield after the pages before it
        int packets = 0;
    };
    struct Scan;
    struct Link {
        int64_t begin = 0; // the link's bytes
        int64_t end = 0;
        int serial = 0;
        int rate = 0;
        int channels = 0;
        int64_t frames = 0;
        bool playable = false; // its headers read: false plays it as silence
        std::vector<Page> pages;
        std::shared_ptr<Scan> rest; // the count of its pages, where it stopped; null once done
    };

    // Reads `size` bytes of `fd`, which stays the caller's; nothing once `stop` is set.
    VorbisLinks(int fd, int64_t size, const std::atomic<bool>& stop);
    ~VorbisLinks();

    // Finds the links, with something to play or not.
    void find();
    std::vector<Link>& links() { return found; }
    // The pages of link `link`, counted at least until one ends after `frame` and one starts at
    // or after byte `offset` (as far as there are such).
    const std::vector<Page>& index(size_t link, int64_t frame, int64_t offset);

private:
    bool findOneLink();
    void readThrough();
    static void count(Scan& scan, std::vector<Page>& pages, ogg_page& page, int64_t offset,
                      int64_t skipped);
    void finish(Link& link);

    int64_t size = 0;
    OggPageReader reader;
    std::vector<Link> found;
};
