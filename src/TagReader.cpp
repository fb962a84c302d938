#include "TagReader.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMimeDatabase>
#include <QSaveFile>
#include <QtConcurrent/QtConcurrentRun>

#include <attachedpictureframe.h>
#include <fileref.h>
#include <flacfile.h>
#include <flacpicture.h>
#include <id3v2tag.h>
#include <mpegfile.h>
#include <tag.h>
#include <tpropertymap.h>
#include <vorbisfile.h>
#include <wavfile.h>
#include <xiphcomment.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <vector>

namespace
{

QString text(const TagLib::String& value)
{
    return QString::fromStdWString(value.toWString()).trimmed();
}

struct Picture {
    QByteArray data;
    bool frontCover = false;
};

// The front cover when there is one, otherwise the first picture.
void consider(Picture& best, const TagLib::ByteVector& data, bool frontCover)
{
    if (data.isEmpty() || (!best.data.isEmpty() && (best.frontCover || !frontCover)))
        return;
    best.data = QByteArray(data.data(), qsizetype(data.size()));
    best.frontCover = frontCover;
}

void considerId3v2(Picture& best, TagLib::ID3v2::Tag* tag)
{
    if (!tag)
        return;
    for (TagLib::ID3v2::Frame* frame : tag->frameList("APIC")) {
        auto* picture = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(frame);
        if (picture)
            consider(best, picture->picture(),
                     picture->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover);
    }
}

void considerXiph(Picture& best, const TagLib::List<TagLib::FLAC::Picture*>& pictures)
{
    for (TagLib::FLAC::Picture* picture : pictures)
        consider(best, picture->data(), picture->type() == TagLib::FLAC::Picture::FrontCover);
}

Picture pictureOf(TagLib::File* file)
{
    Picture best;
    if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file)) {
        if (mpeg->hasID3v2Tag())
            considerId3v2(best, mpeg->ID3v2Tag());
    } else if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file)) {
        if (wav->hasID3v2Tag())
            considerId3v2(best, wav->ID3v2Tag());
    } else if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) {
        considerXiph(best, flac->pictureList());
        if (flac->hasID3v2Tag())
            considerId3v2(best, flac->ID3v2Tag());
    } else if (auto* vorbis = dynamic_cast<TagLib::Ogg::Vorbis::File*>(file)) {
        if (vorbis->tag())
            considerXiph(best, vorbis->tag()->pictureList());
    }
    return best;
}

// Writes `data` to `stem` plus its suffix, scaled down first when it is too large; the path
// written, or empty.
QString writePicture(const QByteArray& data, const QString& stem)
{
    const QMimeType type = QMimeDatabase().mimeTypeForData(data);
    QByteArray bytes = data;
    QString suffix = type.preferredSuffix();
    if (!type.name().startsWith(QLatin1String("image/")) || suffix.isEmpty())
        return {};
    if (bytes.size() > TagReader::maxPictureBytes) {
        QImage image = QImage::fromData(data);
        if (image.isNull())
            return {};
        if (image.width() > TagReader::maxPictureSide || image.height() > TagReader::maxPictureSide)
            image = image.scaled(TagReader::maxPictureSide, TagReader::maxPictureSide,
                                 Qt::KeepAspectRatio, Qt::SmoothTransformation);
        bytes.clear();
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        if (!image.convertToFormat(QImage::Format_RGB32).save(&buffer, "JPEG", 90) ||
            bytes.size() > TagReader::maxPictureBytes)
            return {};
        suffix = QStringLiteral("jpg");
    }
    const QString path = stem + QLatin1Char('.') + suffix;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return {};
    return path;
}

} // namespace

TagReader::TagReader(const QString& pictureFolder, QObject* parent)
    : QObject(parent), folder(pictureFolder), wanted(std::make_shared<std::atomic<uint64_t>>(0))
{
    // Pictures of a process that no longer runs (one that was killed) are nobody's any more.
    const QDir pictures(folder);
    for (const QString& name : pictures.entryList({QStringLiteral("cover-*")}, QDir::Files)) {
        bool number = false;
        const qint64 pid = name.section(QLatin1Char('-'), 1, 1).toLongLong(&number);
        if (number && pid > 0 && pid != QCoreApplication::applicationPid() &&
            ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            QFile::remove(pictures.filePath(name));
    }
}

TagReader::~TagReader()
{
    wanted->store(0);
    for (QFutureWatcher<Tags>* watcher : running) {
        watcher->waitForFinished();
        const QString written = watcher->result().picturePath;
        if (!written.isEmpty())
            QFile::remove(written);
    }
    forgetCurrent();
}

void TagReader::read(uint64_t play, const std::string& path)
{
    forgetCurrent();
    current = play;
    wanted->store(play);
    const QString stem =
        folder.isEmpty()
            ? QString()
            : QDir(folder).filePath(
                  QStringLiteral("cover-%1-%2").arg(QCoreApplication::applicationPid()).arg(play));
    auto* watcher = new QFutureWatcher<Tags>(this);
    running.push_back(watcher);
    connect(watcher, &QFutureWatcherBase::finished, this,
            [this, watcher, play] { finished(watcher, play); });
    watcher->setFuture(QtConcurrent::run([wanted = wanted, play, path, stem] {
        // Replaced before this worker came to run: nothing to read.
        if (wanted->load() != play)
            return Tags();
        return readFile(path, stem);
    }));
}

void TagReader::clear()
{
    forgetCurrent();
    current = 0;
    wanted->store(0);
}

const TagReader::Tags* TagReader::tagsFor(uint64_t play) const
{
    return play != 0 && play == current && done ? &tags : nullptr;
}

void TagReader::finished(QFutureWatcher<Tags>* watcher, uint64_t play)
{
    running.remove(watcher);
    watcher->deleteLater();
    Tags result = watcher->result();
    if (play != current || done) {
        if (!result.picturePath.isEmpty())
            QFile::remove(result.picturePath);
        return;
    }
    tags = std::move(result);
    done = true;
    if (!tags.isEmpty())
        emit tagsRead(play);
}

void TagReader::forgetCurrent()
{
    if (!tags.picturePath.isEmpty())
        QFile::remove(tags.picturePath);
    tags = Tags();
    done = false;
}

TagReader::Tags TagReader::readFile(const std::string& path, const QString& pictureStem)
{
    Tags out;
    // TagLib reads an ID3v2 tag whole, and a cover picture of hundreds of megabytes with it
    // (measured: 430 MB held for a 200 MB picture). A tag larger than any picture worth showing
    // is left unread, and the track is named by its file.
    QFile file(QFile::decodeName(path.c_str()));
    QByteArray header;
    if (file.open(QIODevice::ReadOnly))
        header = file.read(10);
    file.close();
    if (header.size() == 10 && header.startsWith("ID3")) {
        qint64 size = 0;
        for (int i = 6; i < 10; ++i)
            size = (size << 7) | (header[i] & 0x7f);
        if (size > maxTagBytes)
            return out;
    }
    TagLib::FileRef ref(path.c_str(), false);
    if (ref.isNull() || !ref.tag())
        return out;
    // A WAV file's tag() is its ID3v2 chunk alone; its RIFF INFO list comes after it.
    std::vector<TagLib::Tag*> tags;
    if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(ref.file())) {
        if (wav->hasID3v2Tag())
            tags.push_back(wav->ID3v2Tag());
        if (wav->hasInfoTag())
            tags.push_back(wav->InfoTag());
    } else {
        tags.push_back(ref.tag());
    }
    // Several artists stay apart where the format keeps them apart (the file's properties).
    const TagLib::PropertyMap properties = ref.file()->properties();
    for (const TagLib::String& artist : properties[TagLib::String("ARTIST")]) {
        const QString name = text(artist);
        if (!name.isEmpty())
            out.artists << name;
    }
    // The track number as written ("7" or "7/12"): TagLib's own number wraps one too large for
    // 32 bits ("99999999999" read as 1215752191). One that does not fit is no number.
    bool numbered = false;
    for (const TagLib::String& number : properties[TagLib::String("TRACKNUMBER")]) {
        bool ok = false;
        const qlonglong value = text(number).section(QLatin1Char('/'), 0, 0).toLongLong(&ok);
        if (out.trackNumber == 0 && ok && value > 0 && value <= 0x7fffffff)
            out.trackNumber = int(value);
        numbered = numbered || !text(number).isEmpty();
    }
    for (TagLib::Tag* tag : tags) {
        if (out.title.isEmpty())
            out.title = text(tag->title());
        if (out.album.isEmpty())
            out.album = text(tag->album());
        if (out.trackNumber == 0 && !numbered)
            out.trackNumber = int(std::min(tag->track(), 0x7fffffffu));
        if (out.artists.isEmpty() && !text(tag->artist()).isEmpty())
            out.artists << text(tag->artist());
    }
    if (!pictureStem.isEmpty()) {
        const Picture picture = pictureOf(ref.file());
        if (!picture.data.isEmpty())
            out.picturePath = writePicture(picture.data, pictureStem);
    }
    return out;
}
