#include "TaggedFiles.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMimeDatabase>
#include <QRandomGenerator>

#include <attachedpictureframe.h>
#include <flacfile.h>
#include <flacpicture.h>
#include <id3v2tag.h>
#include <mpegfile.h>
#include <tpropertymap.h>
#include <vorbisfile.h>
#include <wavfile.h>
#include <xiphcomment.h>

namespace
{

TagLib::String taglibString(const QString& text)
{
    return TagLib::String(text.toStdString(), TagLib::String::UTF8);
}

TagLib::ByteVector bytes(const QByteArray& data)
{
    return TagLib::ByteVector(data.constData(), static_cast<unsigned int>(data.size()));
}

TagLib::String mimeOf(const QByteArray& data)
{
    return taglibString(QMimeDatabase().mimeTypeForData(data).name());
}

TagLib::PropertyMap propertiesOf(const TaggedFiles::Tags& tags)
{
    TagLib::PropertyMap properties;
    if (!tags.title.isEmpty())
        properties.replace("TITLE", TagLib::StringList(taglibString(tags.title)));
    if (!tags.artists.isEmpty()) {
        TagLib::StringList artists;
        for (const QString& artist : tags.artists)
            artists.append(taglibString(artist));
        properties.replace("ARTIST", artists);
    }
    if (!tags.album.isEmpty())
        properties.replace("ALBUM", TagLib::StringList(taglibString(tags.album)));
    if (tags.trackNumber > 0)
        properties.replace("TRACKNUMBER",
                           TagLib::StringList(TagLib::String::number(tags.trackNumber)));
    return properties;
}

void addId3v2Pictures(TagLib::ID3v2::Tag& tag, const QList<TaggedFiles::Picture>& pictures)
{
    for (const TaggedFiles::Picture& picture : pictures) {
        auto* frame = new TagLib::ID3v2::AttachedPictureFrame;
        frame->setMimeType(mimeOf(picture.data));
        frame->setType(picture.frontCover ? TagLib::ID3v2::AttachedPictureFrame::FrontCover
                                          : TagLib::ID3v2::AttachedPictureFrame::Other);
        frame->setPicture(bytes(picture.data));
        tag.addFrame(frame);
    }
}

TagLib::FLAC::Picture* xiphPicture(const TaggedFiles::Picture& picture)
{
    auto* out = new TagLib::FLAC::Picture;
    out->setMimeType(mimeOf(picture.data));
    out->setType(picture.frontCover ? TagLib::FLAC::Picture::FrontCover
                                    : TagLib::FLAC::Picture::Other);
    out->setData(bytes(picture.data));
    return out;
}

} // namespace

QString TaggedFiles::write(const QString& name, AudioFixtures::Format format, const Tags& tags,
                           const QList<Picture>& pictures, double seconds)
{
    const QString file = QDir(dir.path()).absoluteFilePath(name);
    const QByteArray local = QFile::encodeName(file);
    AudioFixtures::Tone tone;
    tone.sampleRate = 22050;
    tone.channels = 1;
    tone.seconds = seconds;
    if (!AudioFixtures::writeTone(local.toStdString(), format, tone))
        return {};

    const TagLib::PropertyMap properties = propertiesOf(tags);
    bool saved = false;
    switch (format) {
    case AudioFixtures::Format::Mp3:
    case AudioFixtures::Format::Mp3WithoutXing: {
        TagLib::MPEG::File tagged(local.constData());
        TagLib::ID3v2::Tag* tag = tagged.ID3v2Tag(true);
        tag->setProperties(properties);
        addId3v2Pictures(*tag, pictures);
        saved = tagged.save(TagLib::MPEG::File::ID3v2);
        break;
    }
    case AudioFixtures::Format::OggVorbis: {
        TagLib::Ogg::Vorbis::File tagged(local.constData());
        tagged.tag()->setProperties(properties);
        for (const Picture& picture : pictures)
            tagged.tag()->addPicture(xiphPicture(picture));
        saved = tagged.save();
        break;
    }
    case AudioFixtures::Format::Flac: {
        TagLib::FLAC::File tagged(local.constData());
        tagged.xiphComment(true)->setProperties(properties);
        for (const Picture& picture : pictures)
            tagged.addPicture(xiphPicture(picture));
        saved = tagged.save();
        break;
    }
    case AudioFixtures::Format::Wav: {
        TagLib::RIFF::WAV::File tagged(local.constData());
        tagged.InfoTag()->setProperties(properties);
        if (!pictures.isEmpty())
            addId3v2Pictures(*tagged.ID3v2Tag(), pictures);
        saved = tagged.save(pictures.isEmpty() ? TagLib::RIFF::WAV::File::Info
                                               : TagLib::RIFF::WAV::File::AllTags);
        break;
    }
    }
    return saved ? file : QString();
}

QByteArray TaggedFiles::picture(int width, int height, const char* format, QColor color, bool noise)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(color);
    if (noise) {
        QRandomGenerator random(7);
        for (int y = 0; y < height; ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < width; ++x)
                line[x] = 0xff000000u | (random.generate() & 0xffffffu);
        }
    }
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return data;
}
