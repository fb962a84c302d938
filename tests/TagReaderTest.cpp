// TagReader on files whose tags TagLib wrote in each format the player reads: what it reads, which
// picture it writes and how large, and the life of those pictures as tracks come and go (a stale
// read's picture removed, the current one removed by clear() and with the reader).
#include "TagReader.h"
#include "TaggedFiles.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using Format = AudioFixtures::Format;
Q_DECLARE_METATYPE(Format)
Q_DECLARE_METATYPE(TaggedFiles::Tags)

class TagReaderTest : public QObject
{
    Q_OBJECT

    TaggedFiles files;

    static QStringList entries(const QString& folder)
    {
        return QDir(folder).entryList(QDir::Files, QDir::Name);
    }

    static QByteArray contents(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void initTestCase() { QVERIFY(files.isValid()); }

    // `picture`: "none", "as written" (the one picture, written unchanged), "front cover" (the
    // second of two, the first being another kind), "front cover first" (the first of two, the
    // second being another kind), "no front cover" (the first of two of other kinds) or "scaled"
    // (too many bytes and too wide, so scaled down to the widest side allowed).
    void shouldReadTheTagsAndThePicture_data()
    {
        QTest::addColumn<Format>("format");
        QTest::addColumn<TaggedFiles::Tags>("tags");
        QTest::addColumn<QString>("picture");

        const TaggedFiles::Tags full{QStringLiteral("Überfahrt – Nacht"),
                                     {QStringLiteral("Ana Ñúñez")},
                                     QStringLiteral("Küste"),
                                     7,
                                     {}};
        const TaggedFiles::Tags twoArtists{QStringLiteral("Duet"),
                                           {QStringLiteral("First"), QStringLiteral("Second")},
                                           {},
                                           12,
                                           {}};
        QTest::newRow("MP3, ID3v2") << Format::Mp3 << full << "as written";
        QTest::newRow("MP3, ID3v2, two artists") << Format::Mp3 << twoArtists << "front cover";
        QTest::newRow("Ogg Vorbis comments") << Format::OggVorbis << full << "as written";
        QTest::newRow("Ogg Vorbis comments, two artists")
            << Format::OggVorbis << twoArtists << "front cover first";
        QTest::newRow("FLAC, no front cover") << Format::Flac << twoArtists << "no front cover";
        QTest::newRow("FLAC comments") << Format::Flac << full << "as written";
        QTest::newRow("FLAC, a picture too large") << Format::Flac << full << "scaled";
        // RIFF INFO holds Latin-1 text.
        const TaggedFiles::Tags latin1{QStringLiteral("Überfahrt bei Nacht"),
                                       {QStringLiteral("Ana Núñez")},
                                       QStringLiteral("Küste"),
                                       7,
                                       {}};
        QTest::newRow("WAV, RIFF INFO") << Format::Wav << latin1 << "none";
        QTest::newRow("WAV, RIFF INFO and an ID3v2 picture")
            << Format::Wav << latin1 << "as written";
        QTest::newRow("MP3, a title alone")
            << Format::Mp3 << TaggedFiles::Tags{QStringLiteral("Only"), {}, {}, 0, {}} << "none";
        QTest::newRow("MP3 without tags") << Format::Mp3 << TaggedFiles::Tags() << "none";
        QTest::newRow("Ogg without tags") << Format::OggVorbis << TaggedFiles::Tags() << "none";
    }

    void shouldReadTheTagsAndThePicture()
    {
        QFETCH(Format, format);
        QFETCH(TaggedFiles::Tags, tags);
        QFETCH(QString, picture);

        const QByteArray red = TaggedFiles::picture(40, 30, "PNG", Qt::red);
        const QByteArray blue = TaggedFiles::picture(30, 40, "JPEG", Qt::blue);
        QList<TaggedFiles::Picture> pictures;
        if (picture == QLatin1String("as written"))
            pictures << TaggedFiles::Picture{red, true};
        else if (picture == QLatin1String("front cover"))
            pictures << TaggedFiles::Picture{red, false} << TaggedFiles::Picture{blue, true};
        else if (picture == QLatin1String("front cover first"))
            pictures << TaggedFiles::Picture{blue, true} << TaggedFiles::Picture{red, false};
        else if (picture == QLatin1String("no front cover"))
            pictures << TaggedFiles::Picture{red, false} << TaggedFiles::Picture{blue, false};
        else if (picture == QLatin1String("scaled"))
            pictures << TaggedFiles::Picture{
                TaggedFiles::picture(1600, 300, "PNG", Qt::white, true), true};
        if (picture == QLatin1String("scaled"))
            QVERIFY(pictures[0].data.size() > TagReader::maxPictureBytes);

        const QString name = QString::fromUtf8(QTest::currentDataTag()).replace(' ', '_');
        const QString path =
            files.write(name + AudioFixtures::suffix(format), format, tags, pictures);
        QVERIFY(!path.isEmpty());

        QTemporaryDir cache;
        QVERIFY(cache.isValid());
        const QString stem = QDir(cache.path()).filePath(QStringLiteral("cover"));
        const TagReader::Tags read =
            TagReader::readFile(QFile::encodeName(path).toStdString(), stem);
        QCOMPARE(read.title, tags.title);
        QCOMPARE(read.artists, tags.artists);
        QCOMPARE(read.album, tags.album);
        QCOMPARE(read.trackNumber, tags.trackNumber);

        if (picture == QLatin1String("none")) {
            QCOMPARE(read.picturePath, QString());
            QCOMPARE(entries(cache.path()), QStringList());
            return;
        }
        QCOMPARE(entries(cache.path()), QStringList{QFileInfo(read.picturePath).fileName()});
        QVERIFY(read.picturePath.startsWith(stem + '.'));
        const QByteArray written = contents(read.picturePath);
        if (picture == QLatin1String("as written") || picture == QLatin1String("no front cover")) {
            QCOMPARE(written, red);
            QVERIFY(read.picturePath.endsWith(".png"));
        } else if (picture.startsWith(QLatin1String("front cover"))) {
            QCOMPARE(written, blue);
        } else {
            QVERIFY(written.size() <= TagReader::maxPictureBytes);
            const QImage scaled = QImage::fromData(written);
            QCOMPARE(scaled.size(),
                     QSize(TagReader::maxPictureSide, TagReader::maxPictureSide * 300 / 1600));
            QVERIFY(read.picturePath.endsWith(".jpg"));
        }
    }

    // Tags that claim too much: a track number too large for 32 bits is no number, and an ID3v2
    // tag of 200 MB (a cover picture, zeros that take no room on disk) is not read at all.
    void shouldNotBelieveTagsThatClaimTooMuch_data()
    {
        QTest::addColumn<QByteArray>("trackNumber");
        QTest::addColumn<qint64>("tagBytes");
        QTest::newRow("track number 99999999999") << QByteArray("99999999999") << qint64{0};
        QTest::newRow("track number 7/12") << QByteArray("7/12") << qint64{0};
        QTest::newRow("a 200 MB ID3v2 tag") << QByteArray() << (qint64{200} << 20);
    }

    void shouldNotBelieveTagsThatClaimTooMuch()
    {
        QFETCH(QByteArray, trackNumber);
        QFETCH(qint64, tagBytes);
        const QString name =
            QString::fromUtf8(QTest::currentDataTag()).replace(' ', '_').replace('/', '_');
        QString path = files.write(name + ".mp3", Format::Mp3, {"Title", {}, {}, 7, {}});
        QVERIFY(!path.isEmpty());
        QFile file(path);
        QByteArray bytes = (file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
        file.close();
        if (!trackNumber.isEmpty()) {
            // The TRCK frame's text, "7" as written, replaced (an ID3v2.4 frame: its size in
            // 7-bit bytes, then the encoding byte).
            const qsizetype frame = bytes.indexOf("TRCK");
            QVERIFY(frame > 0);
            QByteArray replaced = "TRCK";
            for (const int shift : {21, 14, 7, 0})
                replaced += char(((trackNumber.size() + 1) >> shift) & 0x7f);
            replaced += QByteArray("\0\0\x03", 3) + trackNumber;
            bytes.replace(frame, 10 + 2, replaced);
        } else {
            // A tag header claiming tagBytes, then zeros up to there, then the audio.
            bytes = bytes.mid(10 + ((bytes[6] & 0x7f) << 21 | (bytes[7] & 0x7f) << 14 |
                                    (bytes[8] & 0x7f) << 7 | (bytes[9] & 0x7f)));
            QByteArray header("ID3\x04\0\0", 6);
            for (const int shift : {21, 14, 7, 0})
                header += char((tagBytes >> shift) & 0x7f);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(header) == 10 &&
                    file.resize(10 + tagBytes) && file.seek(10 + tagBytes));
            file.write(bytes);
            file.close();
            bytes.clear();
        }
        if (!bytes.isEmpty()) {
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
            file.close();
        }

        QFile io("/proc/self/io");
        const auto readSoFar = [&io] {
            io.open(QIODevice::ReadOnly);
            const QByteArray all = io.readAll();
            io.close();
            const qsizetype at = all.indexOf("rchar: ");
            return all.mid(at + 7, all.indexOf('\n', at) - at - 7).toLongLong();
        };
        const qint64 before = readSoFar();
        const TagReader::Tags read = TagReader::readFile(QFile::encodeName(path).toStdString(), {});
        if (trackNumber.isEmpty()) {
            QVERIFY(read.isEmpty());
            QVERIFY2(readSoFar() - before < 1 << 20,
                     qPrintable(QString::number(readSoFar() - before)));
        } else {
            QCOMPARE(read.title, QString("Title"));
            QCOMPARE(read.trackNumber, trackNumber == "7/12" ? 7 : 0);
        }
    }

    void shouldReadNothingFromWhatIsNoAudioFile()
    {
        const QString path = QDir(files.path()).filePath(QStringLiteral("text.mp3"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a sound at all\n");
        file.close();
        QTemporaryDir cache;
        const TagReader::Tags read = TagReader::readFile(QFile::encodeName(path).toStdString(),
                                                         QDir(cache.path()).filePath("cover"));
        QVERIFY(read.isEmpty());
        QVERIFY(TagReader::readFile("/no/such/file.ogg", QString()).isEmpty());
        QCOMPARE(entries(cache.path()), QStringList());
    }

    // Reads on the workers, results back on this thread; pictures come and go with the tracks.
    void shouldKeepOnlyTheCurrentTracksPicture()
    {
        const QByteArray cover = TaggedFiles::picture(20, 20, "PNG", Qt::green);
        QStringList paths;
        for (const char* title : {"One", "Two", "Three"})
            paths << files.write(QStringLiteral("%1.flac").arg(QLatin1String(title)), Format::Flac,
                                 {QLatin1String(title), {}, {}, 0, {}}, {{cover, true}});
        QVERIFY(!paths.contains(QString()));
        const auto local = [&](int i) { return QFile::encodeName(paths[i]).toStdString(); };

        QTemporaryDir cache;
        QVERIFY(cache.isValid());
        const QString folder = QDir(cache.path()).filePath(QStringLiteral("brisnak"));
        // Pictures left by a process that no longer runs go when a reader is made; those of a
        // process that runs stay.
        QProcess gone;
        gone.start(QStringLiteral("true"));
        QVERIFY(gone.waitForStarted());
        const qint64 goneId = gone.processId();
        QVERIFY(gone.waitForFinished());
        const QString left = QStringLiteral("cover-%1-1.jpg").arg(goneId);
        const QString kept = QStringLiteral("cover-%1-1.jpg").arg(getppid());
        QVERIFY(QDir().mkpath(folder));
        for (const QString& picture : {left, kept}) {
            QFile stale(QDir(folder).filePath(picture));
            QVERIFY(stale.open(QIODevice::WriteOnly));
        }
        {
            TagReader reader(folder);
            QCOMPARE(entries(folder), QStringList{kept});
            QVERIFY(QFile::remove(QDir(folder).filePath(kept)));
            QSignalSpy read(&reader, &TagReader::tagsRead);

            // Three tracks in a row: only the last one's tags are delivered, and only its
            // picture stays.
            reader.read(1, local(0));
            reader.read(2, local(1));
            reader.read(3, local(2));
            QVERIFY(!reader.tagsFor(3));
            QTRY_COMPARE(read.size(), 1);
            QCOMPARE(read.first().value(0).toULongLong(), 3u);
            QVERIFY(!reader.tagsFor(1));
            QVERIFY(!reader.tagsFor(2));
            const TagReader::Tags* tags = reader.tagsFor(3);
            QVERIFY(tags);
            QCOMPARE(tags->title, QString("Three"));
            const QString third = QFileInfo(tags->picturePath).fileName();
            QTRY_COMPARE(entries(folder), QStringList{third});
            QCOMPARE(contents(tags->picturePath), cover);

            // The next track's read removes the picture at once; its own comes with its tags.
            reader.read(4, local(0));
            QVERIFY(!entries(folder).contains(third));
            QTRY_COMPARE(read.size(), 2);
            QCOMPARE(reader.tagsFor(4)->title, QString("One"));
            QCOMPARE(entries(folder).size(), 1);

            // No track: no picture.
            reader.clear();
            QVERIFY(!reader.tagsFor(4));
            QCOMPARE(entries(folder), QStringList());

            // A read still running when the reader goes leaves nothing behind either.
            reader.read(5, local(1));
        }
        QCOMPARE(entries(folder), QStringList());
    }
};

QTEST_MAIN(TagReaderTest)
#include "TagReaderTest.moc"
