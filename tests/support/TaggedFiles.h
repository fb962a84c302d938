// TaggedFiles: tones in each format the player reads, carrying tags and pictures written
// by TagLib (ID3v2 in MP3, Vorbis comments in Ogg and FLAC, RIFF INFO in WAV), in a temporary
// folder, for the tests of what the media controls say about a track.
//
// Threads: GUI (test) thread only.
#pragma once

#include "AudioFixtures.h"
#include "TagReader.h"

#include <QByteArray>
#include <QColor>
#include <QList>
#include <QString>
#include <QTemporaryDir>

class TaggedFiles
{
public:
    // What the player reads back (its picturePath is not written: pictures go separately).
    using Tags = TagReader::Tags;
    struct Picture {
        QByteArray data;
        bool frontCover = true;
    };

    bool isValid() const { return dir.isValid(); }
    QString path() const { return dir.path(); }

    // Writes `name` as a mono tone of `seconds` in `format` carrying `tags` and `pictures` (in
    // that order; WAV takes them in an ID3v2 chunk beside its INFO list); returns its absolute
    // path, empty on failure.
    QString write(const QString& name, AudioFixtures::Format format, const Tags& tags,
                  const QList<Picture>& pictures = {}, double seconds = 1.0);

    // A `width` x `height` picture in `format` ("PNG" or "JPEG") of one colour, or of random
    // pixels that no encoder can shrink much when `noise` is set.
    static QByteArray picture(int width, int height, const char* format, QColor color,
                              bool noise = false);

private:
    QTemporaryDir dir;
};
