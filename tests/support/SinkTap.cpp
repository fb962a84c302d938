#include "SinkTap.h"

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr size_t frameBytes = 2 * sizeof(float);
// The most an unprivileged process may ask for (/proc/sys/fs/pipe-max-size): about 3 s of the
// sink's output.
constexpr int pipeBytes = 1 << 20;

} // namespace

SinkTap::SinkTap() : dir(QStringLiteral("/tmp/brisnak-tap-XXXXXX"))
{
    const QString made = dir.filePath("sink.fifo");
    if (!dir.isValid() || mkfifo(made.toLocal8Bit().constData(), 0600) != 0)
        return;
    // Opened for writing too, so that the FIFO never reports an end while no server has it open
    // (before a server starts, and while one restarts), and opening it never blocks.
    fd = open(made.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    // A bigger buffer only makes losing data less likely still: the default works too.
    fcntl(fd, F_SETPIPE_SZ, pipeBytes);
    path = made;
    reader = std::thread([this] { drain(); });
}

SinkTap::~SinkTap()
{
    ending = true;
    if (reader.joinable())
        reader.join();
    if (fd >= 0)
        close(fd);
}

void SinkTap::drain()
{
    std::vector<char> buffer(1 << 16);
    size_t carried = 0; // bytes of a frame not read whole yet
    while (!ending) {
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, 50) <= 0)
            continue;
        const ssize_t got = read(fd, buffer.data() + carried, buffer.size() - carried);
        if (got <= 0)
            continue;
        const size_t bytes = carried + static_cast<size_t>(got);
        const size_t frames = bytes / frameBytes;
        {
            std::lock_guard lock(mutex);
            for (size_t i = 0; i < frames; ++i) {
                float frame[2];
                std::memcpy(frame, buffer.data() + i * frameBytes, frameBytes);
                silentRun = frame[0] == 0.0f && frame[1] == 0.0f ? silentRun + 1 : 0;
                if (keeping)
                    kept.insert(kept.end(), frame, frame + 2);
            }
        }
        grown.notify_all();
        carried = bytes - frames * frameBytes;
        std::memmove(buffer.data(), buffer.data() + frames * frameBytes, carried);
    }
}

void SinkTap::start()
{
    std::lock_guard lock(mutex);
    kept.clear();
    silentRun = 0;
    keeping = true;
}

bool SinkTap::waitForSilence(size_t frames, int timeoutMs)
{
    std::unique_lock lock(mutex);
    return grown.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return silentRun >= frames; });
}

std::vector<float> SinkTap::stop(size_t gap)
{
    std::lock_guard lock(mutex);
    keeping = false;
    std::vector<float> sounds;
    sounds.reserve(kept.size());
    const size_t frames = kept.size() / 2;
    for (size_t at = 0; at < frames;) {
        size_t silent = 0;
        while (at + silent < frames && kept[2 * (at + silent)] == 0.0f &&
               kept[2 * (at + silent) + 1] == 0.0f)
            ++silent;
        if (silent < gap)
            sounds.insert(sounds.end(), kept.begin() + 2 * at, kept.begin() + 2 * (at + silent));
        at += silent;
        for (; at < frames && (kept[2 * at] != 0.0f || kept[2 * at + 1] != 0.0f); ++at)
            sounds.insert(sounds.end(), kept.begin() + 2 * at, kept.begin() + 2 * at + 2);
    }
    kept.clear();
    return sounds;
}
