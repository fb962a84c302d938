#include "SoundPlayer.h"
#include "AudioFixtures.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace
{
QByteArray local(const QString& path)
{
    return QFile::encodeName(path);
}
} // namespace

class SoundPlayerTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString longTone;  // 3 s, 44.1 kHz stereo
    QString otherTone; // 2 s, 22.05 kHz mono
    QString shortTone; // 0.4 s

    QString write(const QString& name, AudioFixtures::Format format, double seconds, int rate,
                  int channels)
    {
        AudioFixtures::Tone tone;
        tone.seconds = seconds;
        tone.sampleRate = rate;
        tone.channels = channels;
        const QString path = dir.filePath(name);
        if (!AudioFixtures::writeTone(local(path).toStdString(), format, tone))
            return {};
        return path;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        longTone = write("long.wav", AudioFixtures::Format::Wav, 3.0, 44100, 2);
        otherTone = write("other.ogg", AudioFixtures::Format::OggVorbis, 2.0, 22050, 1);
        shortTone = write("short.mp3", AudioFixtures::Format::Mp3, 0.4, 44100, 2);
        QVERIFY(!longTone.isEmpty());
        QVERIFY(!otherTone.isEmpty());
        QVERIFY(!shortTone.isEmpty());
    }

    void shouldDoNothingButFlipTheFlagBeforeAnyPlay()
    {
        SoundPlayer player;
        QCOMPARE(player.paused, 0);
        QCOMPARE(player.GetPosition(), 0u);
        QCOMPARE(player.GetLength(), 0u);
        player.Stop();
        player.SetPosition(1500);
        QCOMPARE(player.GetPosition(), 0u);
        QCOMPARE(player.GetLength(), 0u);
        player.TogglePause();
        QCOMPARE(player.paused, 1);
        QCOMPARE(player.GetPosition(), 0u);
        player.TogglePause();
        QCOMPARE(player.paused, 0);
        QCOMPARE(player.GetPosition(), 0u);
        QCOMPARE(player.GetLength(), 0u);
    }

    void shouldPlayAFileAndSeekWithinIt()
    {
        SoundPlayer player;
        player.Play(local(longTone).constData());
        QCOMPARE(player.GetLength(), 3000u);
        QCOMPARE(player.paused, 0);
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() > 0, 3000);

        player.SetPosition(2000);
        const uint32_t afterSeek = player.GetPosition();
        QVERIFY2(afterSeek >= 2000 && afterSeek < 2500, QByteArray::number(afterSeek));
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() > 2000, 3000);
    }

    void shouldPlayWhilePausedAndLeaveTheFlagSet()
    {
        SoundPlayer player;
        player.TogglePause();
        QCOMPARE(player.paused, 1);
        player.Play(local(longTone).constData());
        QCOMPARE(player.paused, 1);
        // The new channel plays although the flag says paused.
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() > 100, 3000);
        QCOMPARE(player.paused, 1);

        // Resuming a channel that already plays only clears the flag; pausing then holds it.
        player.TogglePause();
        QCOMPARE(player.paused, 0);
        player.TogglePause();
        QCOMPARE(player.paused, 1);
        // The pause fades out over a few milliseconds; once it has, the position must not move.
        uint32_t held = player.GetPosition();
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const uint32_t before = held;
                QTest::qWait(100);
                held = player.GetPosition();
                return held == before;
            }(),
            3000);
        QTest::qWait(300);
        QCOMPARE(player.GetPosition(), held);
        player.TogglePause();
        QCOMPARE(player.paused, 0);
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() > held + 50, 3000);
    }

    void shouldLeaveOnlyTheSecondOfTwoPlays()
    {
        SoundPlayer player;
        player.Play(local(longTone).constData());
        player.Play(local(otherTone).constData());
        QCOMPARE(player.GetLength(), 2000u);
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() > 0, 3000);
        QVERIFY(player.GetPosition() < 2000);
    }

    void shouldReportZeroAfterStop()
    {
        SoundPlayer player;
        player.Play(local(longTone).constData());
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() > 0, 3000);
        player.Stop();
        QCOMPARE(player.GetPosition(), 0u);
        // The sound stays the player's until the next Play.
        QCOMPARE(player.GetLength(), 3000u);
        player.SetPosition(1000);
        player.TogglePause();
        QCOMPARE(player.GetPosition(), 0u);
        player.Stop();
        QCOMPARE(player.GetPosition(), 0u);
    }

    void shouldReachTheLengthAtTheEndAndStayThere()
    {
        SoundPlayer player;
        player.Play(local(shortTone).constData());
        const uint32_t length = player.GetLength();
        QVERIFY(length >= 400 && length < 500);
        QTRY_COMPARE_WITH_TIMEOUT(player.GetPosition(), length, 5000);
        QTest::qWait(100);
        QCOMPARE(player.GetPosition(), length);
        player.Stop();
        QCOMPARE(player.GetPosition(), 0u);
    }

    void shouldTellObserversWhatItsChannelDoes()
    {
        SoundPlayer player;
        QCOMPARE(player.GetPlayCount(), uint64_t(0));
        QVERIFY(!player.IsChannelLive());
        // A flag flipped without a channel pauses nothing.
        player.TogglePause();
        QVERIFY(!player.IsChannelPaused());

        // Played while the flag says paused: the channel plays.
        player.Play(local(longTone).constData());
        QCOMPARE(player.GetPlayCount(), uint64_t(1));
        QCOMPARE(QString::fromStdString(player.GetPlayedPath()), longTone);
        QVERIFY(player.IsChannelLive());
        QVERIFY(!player.IsChannelPaused());
        player.TogglePause();
        QVERIFY(!player.IsChannelPaused());
        player.TogglePause();
        QVERIFY(player.IsChannelPaused());

        player.Stop();
        QVERIFY(!player.IsChannelLive());
        QVERIFY(!player.IsChannelPaused());
        QCOMPARE(player.GetPlayCount(), uint64_t(1));

        // A channel that has played to its end is still live.
        player.Play(local(shortTone).constData());
        QCOMPARE(player.GetPlayCount(), uint64_t(2));
        QTRY_COMPARE_WITH_TIMEOUT(player.GetPosition(), player.GetLength(), 5000);
        QVERIFY(player.IsChannelLive());

        // A file the engine cannot open counts as a play without a channel.
        const QString missing = dir.filePath("missing.wav");
        player.Play(local(missing).constData());
        QCOMPARE(player.GetPlayCount(), uint64_t(3));
        QCOMPARE(QString::fromStdString(player.GetPlayedPath()), missing);
        QVERIFY(!player.IsChannelLive());
    }

    void shouldGiveNoSoundForUnplayableInput_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("missing") << dir.filePath("missing.mp3");
        QDir(dir.path()).mkdir("folder.mp3");
        QTest::newRow("directory") << dir.filePath("folder.mp3");
        QFile empty(dir.filePath("empty.wav"));
        QVERIFY(empty.open(QIODevice::WriteOnly));
        empty.close();
        QTest::newRow("zero bytes") << empty.fileName();
        for (const char* name : {"noise.mp3", "noise.ogg", "noise.wav"}) {
            QFile noise(dir.filePath(name));
            QVERIFY(noise.open(QIODevice::WriteOnly));
            QRandomGenerator random(42);
            QByteArray bytes(64 * 1024, '\0');
            for (char& byte : bytes)
                byte = static_cast<char>(random.generate() & 0xff);
            noise.write(bytes);
            noise.close();
            QTest::newRow(name) << noise.fileName();
        }
        const QString fifo = dir.filePath("fifo.mp3");
        QCOMPARE(mkfifo(local(fifo).constData(), 0600), 0);
        QTest::newRow("fifo") << fifo;
        QTest::newRow("device") << QStringLiteral("/dev/zero");
        QTest::newRow("empty path") << QString();
    }

    void shouldGiveNoSoundForUnplayableInput()
    {
        QFETCH(QString, path);
        SoundPlayer player;
        player.Play(local(path).constData());
        QCOMPARE(player.GetLength(), 0u);
        QCOMPARE(player.GetPosition(), 0u);
        // The window treats 0 == 0 as the end of the track; nothing else may change.
        player.SetPosition(100);
        player.TogglePause();
        QCOMPARE(player.GetPosition(), 0u);
        QCOMPARE(player.paused, 1);

        // A good file afterwards plays normally.
        player.Play(local(shortTone).constData());
        QVERIFY(player.GetLength() > 0);
    }

    void shouldPlayAFileWithANonAsciiName()
    {
        const QString name = QString::fromUtf8("Ünïcødé – 曲 ♫.wav");
        const QString path = write(name, AudioFixtures::Format::Wav, 1.0, 48000, 2);
        QVERIFY(!path.isEmpty());
        SoundPlayer player;
        player.Play(local(path).constData());
        QCOMPARE(player.GetLength(), 1000u);
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() > 0, 3000);
    }
};

QTEST_GUILESS_MAIN(SoundPlayerTest)
#include "SoundPlayerTest.moc"
