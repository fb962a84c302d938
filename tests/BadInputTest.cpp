// Bad input of every kind we know of, through the engine's decoders and through SoundPlayer: empty
// and tiny files, text, random bytes, headers that lie, files cut short or damaged, and every input
// the fuzzer ever found (tests/fuzz/regressions). None may crash or hang the player; what cannot be
// played plays as nothing (length and position 0).
#include "AudioFixtures.h"
#include "DifficultFiles.h"
#include "FileExercise.h"
#include "SoundPlayer.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

namespace
{

QByteArray le32(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

QByteArray le16(quint16 value)
{
    QByteArray bytes(2, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

// A PCM WAV file whose header says what the arguments say, followed by `dataBytes` bytes of a
// quiet pattern; `declaredData` is what the data chunk claims to hold.
QByteArray wav(quint16 channels, quint32 rate, quint16 bits, quint32 dataBytes,
               quint32 declaredData)
{
    const quint16 blockAlign = quint16(channels * ((bits + 7) / 8));
    QByteArray bytes = "RIFF" + le32(36 + declaredData) + "WAVEfmt " + le32(16) + le16(1) +
                       le16(channels) + le32(rate) + le32(rate * blockAlign) + le16(blockAlign) +
                       le16(bits) + "data" + le32(declaredData);
    for (quint32 i = 0; i < dataBytes; ++i)
        bytes.append(char(i * 37));
    return bytes;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (char& byte : bytes)
        byte = char(random.generate() & 0xff);
    return bytes;
}

QByteArray damaged(QByteArray bytes, int from, int every)
{
    for (int i = from; i < bytes.size(); i += every)
        bytes[i] = char(bytes[i] ^ 0x5a);
    return bytes;
}

} // namespace

class BadInputTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QHash<QString, QByteArray> valid; // a short tone in each format, by suffix

    QString write(const QString& name, const QByteArray& bytes)
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return QString();
        return path;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        using F = AudioFixtures::Format;
        for (const F format : {F::Wav, F::Flac, F::OggVorbis, F::Mp3, F::Mp3WithoutXing}) {
            AudioFixtures::Tone tone;
            tone.seconds = 0.5;
            const QString path = dir.filePath(
                QString("valid-%1%2").arg(int(format)).arg(AudioFixtures::suffix(format)));
            QVERIFY(AudioFixtures::writeTone(path.toStdString(), format, tone));
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            valid.insert(QString::number(int(format)), file.readAll());
        }
    }

    void shouldPlayNothingFromWhatIsNoAudio_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("one byte") << QByteArray(1, 'R');
        QTest::newRow("text") << QByteArray("#EXTM3U\nsong.mp3\n");
        QTest::newRow("RIFF and nothing else") << QByteArray("RIFF");
        QTest::newRow("WAV header cut in the middle") << wav(2, 44100, 16, 0, 0).left(30);
        QTest::newRow("WAV without channels") << wav(0, 44100, 16, 4096, 4096);
        QTest::newRow("WAV without sample rate") << wav(2, 0, 16, 4096, 4096);
        QTest::newRow("Ogg page marker only") << QByteArray("OggS");
        QTest::newRow("FLAC marker only") << QByteArray("fLaC");
        QTest::newRow("ID3 tag that claims the whole file")
            << QByteArray("ID3\x04\x00\x00\x7f\x7f\x7f\x7f", 10);
        QTest::newRow("zeros") << QByteArray(65536, '\0');
    }

    void shouldPlayNothingFromWhatIsNoAudio()
    {
        QFETCH(QByteArray, bytes);
        const auto outcome = FileExercise::run(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                               size_t(bytes.size()));
        QVERIFY(!outcome.opened || outcome.lengthFrames == 0);

        const QString path = write(QTest::currentDataTag(), bytes);
        QVERIFY(!path.isEmpty());
        SoundPlayer player;
        player.Play(QFile::encodeName(path).constData());
        QCOMPARE(player.GetLength(), 0u);
        QCOMPARE(player.GetPosition(), 0u);
        player.SetPosition(1000);
        player.TogglePause();
        player.TogglePause();
        QCOMPARE(player.GetPosition(), 0u);
        player.Stop();
    }

    void shouldPlayOnlySampleRatesThatExist_data()
    {
        QTest::addColumn<quint32>("rate");
        QTest::addColumn<bool>("playable");
        QTest::newRow("11 Hz") << 11u << false;
        QTest::newRow("999 Hz") << 999u << false;
        QTest::newRow("1 kHz") << 1000u << true;
        QTest::newRow("8 kHz") << 8000u << true;
        QTest::newRow("768 kHz") << 768000u << true;
        QTest::newRow("768.01 kHz") << 768010u << false;
        QTest::newRow("4 GHz") << 0xfffffff0u << false;
    }

    void shouldPlayOnlySampleRatesThatExist()
    {
        QFETCH(quint32, rate);
        QFETCH(bool, playable);
        // A tenth of a second of mono 16-bit samples where that is reasonable, a few kB otherwise.
        const quint32 frames = playable ? rate / 10 : 4096;
        const QString path =
            write(QString("rate-%1.wav").arg(rate), wav(1, rate, 16, frames * 2, frames * 2));
        QVERIFY(!path.isEmpty());
        SoundPlayer player;
        player.Play(QFile::encodeName(path).constData());
        QCOMPARE(player.GetLength(), playable ? 100u : 0u);
        if (playable)
            QTRY_COMPARE(player.GetPosition(), 100u);
        else
            QCOMPARE(player.GetPosition(), 0u);
    }

    void shouldSurviveDamagedAudio_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("WAV claiming 4 GB of data") << wav(2, 44100, 16, 8192, 0xfffffff0u);
        QTest::newRow("WAV with 65535 channels") << wav(65535, 44100, 16, 8192, 8192);
        QTest::newRow("WAV at 4 GHz") << wav(2, 0xfffffff0u, 16, 8192, 8192);
        QTest::newRow("WAV at 1 Hz") << wav(1, 1, 16, 8192, 8192);
        QTest::newRow("WAV with 7-bit samples") << wav(2, 44100, 7, 8192, 8192);
        QTest::newRow("WAV with 64-bit integer samples") << wav(2, 44100, 64, 8192, 8192);
        QTest::newRow("random bytes") << randomBytes(65536, 1);
        QTest::newRow("random bytes after RIFF WAVE")
            << QByteArray("RIFF\xff\xff\xff\xffWAVE", 12) + randomBytes(8192, 2);
        QTest::newRow("random bytes after an ID3 tag")
            << QByteArray("ID3\x03\x00\x00\x00\x00\x00\x0a", 10) + randomBytes(8192, 3);
        const QStringList names = {"WAV", "FLAC", "Ogg Vorbis", "MP3", "MP3 without Xing"};
        for (int format = 0; format < names.size(); ++format) {
            const QByteArray& bytes = valid.value(QString::number(format));
            const QString name = names[format];
            for (int percent : {1, 10, 50, 90, 99})
                QTest::addRow("%s cut at %d %%", qPrintable(name), percent)
                    << bytes.left(bytes.size() * percent / 100);
            QTest::addRow("%s damaged after its header", qPrintable(name))
                << damaged(bytes, 64, 97);
            QTest::addRow("%s damaged everywhere", qPrintable(name)) << damaged(bytes, 0, 13);
            QTest::addRow("%s with garbage appended", qPrintable(name))
                << bytes + randomBytes(16384, 4);
            QTest::addRow("%s header over another format", qPrintable(name))
                << bytes.left(128) +
                       valid.value(QString::number((format + 2) % names.size())).mid(128);
        }
    }

    void shouldSurviveDamagedAudio()
    {
        QFETCH(QByteArray, bytes);
        const auto outcome = FileExercise::run(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                               size_t(bytes.size()));
        // Whatever opened decodes no further than the length it announced.
        if (outcome.opened)
            QVERIFY(outcome.framesRead <= outcome.lengthFrames);

        const QString path = write(QString("damaged-%1").arg(QTest::currentDataTag()), bytes);
        QVERIFY(!path.isEmpty());
        SoundPlayer player;
        player.Play(QFile::encodeName(path).constData());
        const uint32_t length = player.GetLength();
        QVERIFY(player.GetPosition() <= length);
        player.SetPosition(length / 2);
        QVERIFY(player.GetPosition() <= length);
        player.Stop();
        QCOMPARE(player.GetPosition(), 0u);
    }

    // Files whose headers or pages lie (DifficultFiles, and the cases below): each opens, reads to
    // its end, and lasts as long as its audio, never longer than what its bytes hold.
    void shouldPlayWhatLyingFilesHold_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<qint64>("fewestFrames");
        QTest::addColumn<qint64>("mostFrames");
        for (const DifficultFiles::Case which : DifficultFiles::all()) {
            const QString path = dir.filePath(
                QString("difficult-%1%2").arg(int(which)).arg(DifficultFiles::suffix(which)));
            const DifficultFiles::Written written =
                DifficultFiles::write(path.toStdString(), which);
            QVERIFY(written.ok);
            // Every link's frames on the first link's timeline, and what an encoder may add.
            const int rate = written.parts.front().rate;
            qint64 frames = 0;
            qint64 slack = 0;
            for (const auto& part : written.parts) {
                frames += std::llround(part.seconds * part.rate) * rate / part.rate;
                slack += qint64{written.slackFrames} * rate / part.rate;
            }
            // What the whole packets before the cut hold is only known to a decoder: some of the
            // 6 s tone it was written from.
            if (which == DifficultFiles::Case::OggCutInFirstPages)
                QTest::newRow(DifficultFiles::name(which)) << path << qint64{1} << qint64{6 * rate};
            else
                QTest::newRow(DifficultFiles::name(which)) << path << frames << frames + slack;
        }
        AudioFixtures::Tone tone;
        tone.seconds = 3.0;
        const qint64 toneFrames = 3 * 44100;
        // A constant-bitrate MP3 without an Info header: its frames counted, with the encoder's
        // delay and the last frame's padding.
        const QString withoutInfo = dir.filePath("constant-bitrate-without-info.mp3");
        QVERIFY(
            AudioFixtures::writeConstantBitrateMp3(withoutInfo.toStdString(), tone, 128, false));
        QTest::newRow("constant-bitrate MP3 without an Info header")
            << withoutInfo << toneFrames << toneFrames + 576 + 529 + 1152;

        // Two MP3 files of one format joined, each with its Info header: both play.
        const QString joined = dir.filePath("joined-same-format.mp3");
        const QString second = dir.filePath("joined-second.mp3");
        AudioFixtures::Tone longer = tone;
        longer.seconds = 4.0;
        longer.frequency = 550.0;
        QVERIFY(AudioFixtures::writeConstantBitrateMp3(joined.toStdString(), tone, 128, true));
        QVERIFY(AudioFixtures::writeConstantBitrateMp3(second.toStdString(), longer, 128, true));
        QFile tail(second);
        QFile head(joined);
        QVERIFY(tail.open(QIODevice::ReadOnly) && head.open(QIODevice::Append));
        QVERIFY(head.write(tail.readAll()) > 0);
        head.close();
        // Each file's delay, padding and Info frame, as the joined file carries them.
        const qint64 perFile = 576 + 529 + 1152 + 1152;
        QTest::newRow("MP3 files of one format joined, each with its Info header")
            << joined << qint64{7 * 44100} << 7 * 44100 + 2 * perFile;

        // Ogg files of the tone whose pages lie, their checksums made good: the serial number
        // makes no difference to a file cut inside a page; a last page's huge granule position
        // gives no more than the pages hold (the last packet untrimmed: at most half of the
        // largest Vorbis block, 4 096 frames, more).
        const auto ogg = [&](const QString& name, const DifficultFiles::OggRewrite& how) {
            const QString path = dir.filePath(name);
            const bool made = AudioFixtures::writeTone(path.toStdString(),
                                                       AudioFixtures::Format::OggVorbis, tone) &&
                              DifficultFiles::rewriteOgg(path.toStdString(), how);
            return made ? path : QString();
        };
        const QString lowSerial = ogg("serial-low-cut.ogg", {0x12345678u, -1, 0.5});
        const QString highSerial = ogg("serial-high-cut.ogg", {0x92345678u, -1, 0.5});
        QVERIFY(!lowSerial.isEmpty() && !highSerial.isEmpty());
        const qint64 lowLength = FileExercise::runFile(lowSerial.toStdString()).lengthFrames;
        QVERIFY(lowLength > 0);
        QTest::newRow("Ogg cut inside a page, serial 0x92345678")
            << highSerial << lowLength << lowLength;
        for (const int64_t granule : {int64_t{0x7000000000000000}, int64_t{1} << 40}) {
            const QString path = ogg(QString("granule-%1.ogg").arg(granule), {0, granule, -1.0});
            QVERIFY(!path.isEmpty());
            QTest::addRow("Ogg whose last page claims granule %llx", qulonglong(granule))
                << path << qint64{1} << toneFrames + 4096;
        }
    }

    void shouldPlayWhatLyingFilesHold()
    {
        QFETCH(QString, path);
        QFETCH(qint64, fewestFrames);
        QFETCH(qint64, mostFrames);
        const auto outcome = FileExercise::runFile(path.toStdString());
        QVERIFY(outcome.opened);
        QVERIFY2(outcome.lengthFrames >= fewestFrames && outcome.lengthFrames <= mostFrames,
                 qPrintable(QString("%1 frames, %2 to %3 expected")
                                .arg(outcome.lengthFrames)
                                .arg(fewestFrames)
                                .arg(mostFrames)));
        QVERIFY(outcome.framesRead <= outcome.lengthFrames);
    }

    void shouldReplayEveryFuzzFinding()
    {
        const QDir findings(BRISNAK_FUZZ_REGRESSIONS);
        const QStringList files = findings.entryList(QDir::Files);
        if (files.isEmpty())
            QSKIP("the fuzzer has found nothing to keep so far");
        for (const QString& name : files) {
            const auto outcome = FileExercise::runFile(findings.filePath(name).toStdString());
            if (outcome.opened)
                QVERIFY2(outcome.framesRead <= outcome.lengthFrames, qPrintable(name));
        }
    }
};

QTEST_GUILESS_MAIN(BadInputTest)
#include "BadInputTest.moc"
