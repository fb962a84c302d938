// TagReader: what the tags of the playing file say (title, artists, album, track number and its
// cover picture), for the desktop's media controls. Tags are read with TagLib on a worker thread
// of Qt's global pool, never on the window's thread; the result comes back to the thread that
// owns the reader by a queued signal, and a result for a track that is no longer the current one
// is dropped.
//
// An ID3v2 tag larger than maxTagBytes (a cover picture of hundreds of megabytes) is not read: such
// a track has no tags. The cover picture (a front cover when the file has one, otherwise its first
// picture) is written once per track into the given folder as cover-<pid>-<play>.<suffix>: as it
// is when it holds at most maxPictureBytes, otherwise scaled down to fit maxPictureSide pixels and
// written as a JPEG.
// The file is removed when the track changes (read() for another play, clear()) and when the
// reader goes; pictures left in the folder by a process that no longer runs are removed when a
// reader is made.
//
// States, per reader:
//   idle      no current track (at start, after clear())
//   reading   read(play) started a worker for `play`: tagsFor(play) is empty
//   read      the worker's result for `play` arrived: tagsFor(play) holds it, tagsRead(play)
//             was emitted (only when the tags hold anything)
// read() moves to reading from any state, clear() to idle; the result of a worker whose play is
// no longer current is dropped and its picture removed.
//
// Threads: every method is called from the thread that owns the reader (the GUI thread), except
// readFile(), which runs on the workers and may run on any thread.
#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

class TagReader : public QObject
{
    Q_OBJECT

public:
    struct Tags {
        QString title;
        QStringList artists;
        QString album;
        // 0 when the file names none.
        int trackNumber = 0;
        // The picture written for the track; empty when the file has none.
        QString picturePath;

        bool isEmpty() const
        {
            return title.isEmpty() && artists.isEmpty() && album.isEmpty() && trackNumber == 0 &&
                   picturePath.isEmpty();
        }
    };

    static constexpr qint64 maxPictureBytes = 1 << 20;
    // A file whose ID3v2 tag is larger is not read for tags.
    static constexpr qint64 maxTagBytes = 32 << 20;
    static constexpr int maxPictureSide = 512;

    // Pictures go into `pictureFolder`, which is made when a picture is first written.
    explicit TagReader(const QString& pictureFolder, QObject* parent = nullptr);
    // Waits for the reads still running, then removes every picture they and this reader wrote.
    ~TagReader() override;

    // Makes `play` the current track and starts reading the tags of `path` (local 8-bit
    // encoding) for it; the picture of the previous track is removed.
    void read(uint64_t play, const std::string& path);
    // No current track any more: its picture is removed.
    void clear();
    // The tags read for `play`, when it is the current track and its read has finished; null
    // otherwise.
    const Tags* tagsFor(uint64_t play) const;

    // Reads the tags of `path` now, on the calling thread, and writes its picture to
    // `pictureStem` plus a suffix for the picture's type (no picture when `pictureStem` is
    // empty). A file TagLib cannot read gives empty tags.
    static Tags readFile(const std::string& path, const QString& pictureStem);

signals:
    // The tags of the current track `play` are in, and hold something.
    void tagsRead(quint64 play);

private:
    void finished(QFutureWatcher<Tags>* watcher, uint64_t play);
    void forgetCurrent();

    QString folder;
    uint64_t current = 0;
    bool done = false;
    Tags tags;
    // The play the workers still have to read for: a worker that starts after its play was
    // replaced reads nothing.
    std::shared_ptr<std::atomic<uint64_t>> wanted;
    std::list<QFutureWatcher<Tags>*> running;
};
