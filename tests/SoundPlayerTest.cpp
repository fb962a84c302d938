// SoundPlayer's own rules, as the window relies on them: the `paused` flag flips on TogglePause
// alone (also without a channel, and whatever the channel does), Play starts the new file at once
// whatever the flag says, the position is 0 without a live channel and equals the length once the
// sound has played to its end, and Stop leaves the sound. One row per sequence of calls, on the
// real engine (a device when there is one, its silent clock otherwise).
#include "SoundPlayer.h"
#include "AudioFixtures.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace
{

// What the position does after the steps.
enum class Position {
    Zero,      // 0, and stays there
    Advancing, // moves on: the channel is heard
    Held,      // stands still once the pause has faded out
    AtLength,  // reaches the length and stays there
    AfterSeek, // between the 2000 ms sought to and 500 ms later, then moves on
};

} // namespace

Q_DECLARE_METATYPE(Position)

class SoundPlayerTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QHash<QString, QString> files; // by the name the steps use

    void play(SoundPlayer& player, const QString& name)
    {
        player.Play(QFile::encodeName(files.value(name, dir.filePath(name))).constData());
    }

private slots:
    void initTestCase()
    {
        const std::tuple<const char*, AudioFixtures::Format, double, int, int> tones[] = {
            {"long.wav", AudioFixtures::Format::Wav, 3.0, 44100, 2},
            {"other.ogg", AudioFixtures::Format::OggVorbis, 2.0, 22050, 1},
            {"short.mp3", AudioFixtures::Format::Mp3, 0.4, 44100, 2},
        };
        for (const auto& [name, format, seconds, rate, channels] : tones) {
            const QString path = dir.filePath(name);
            QVERIFY(AudioFixtures::writeTone(QFile::encodeName(path).toStdString(), format,
                                             {rate, channels, seconds, 440.0, 0.5}));
            files.insert(name, path);
        }
    }

    void shouldFollowItsRules_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<int>("paused");
        QTest::addColumn<uint32_t>("length");
        QTest::addColumn<Position>("position");
        QTest::addColumn<bool>("live");
        QTest::addColumn<bool>("held");
        QTest::addColumn<QString>("played"); // the last file played, "" for none
        QTest::addColumn<uint64_t>("plays");

        using L = QStringList;
        const QString none;
        const QString wav = "long.wav";
        const QString ogg = "other.ogg";
        QTest::newRow("fresh") << L{} << 0 << 0u << Position::Zero << false << false << none
                               << uint64_t{0};
        QTest::newRow("flag flipped without a channel")
            << L{"pause"} << 1 << 0u << Position::Zero << false << false << none << uint64_t{0};
        QTest::newRow("flag flipped back") << L{"pause", "pause"} << 0 << 0u << Position::Zero
                                           << false << false << none << uint64_t{0};
        QTest::newRow("seek and stop without a channel")
            << L{"seek", "stop"} << 0 << 0u << Position::Zero << false << false << none
            << uint64_t{0};
        QTest::newRow("playing") << L{wav} << 0 << 3000u << Position::Advancing << true << false
                                 << wav << uint64_t{1};
        QTest::newRow("sought") << L{wav, "seek"} << 0 << 3000u << Position::AfterSeek << true
                                << false << wav << uint64_t{1};
        QTest::newRow("played while the flag says paused")
            << L{"pause", wav} << 1 << 3000u << Position::Advancing << true << false << wav
            << uint64_t{1};
        QTest::newRow("a playing channel resumed: only the flag clears")
            << L{"pause", wav, "pause"} << 0 << 3000u << Position::Advancing << true << false << wav
            << uint64_t{1};
        QTest::newRow("then paused") << L{"pause", wav, "pause", "pause"} << 1 << 3000u
                                     << Position::Held << true << true << wav << uint64_t{1};
        QTest::newRow("paused and resumed")
            << L{wav, "pause", "pause"} << 0 << 3000u << Position::Advancing << true << false << wav
            << uint64_t{1};
        QTest::newRow("only the second of two plays")
            << L{wav, ogg} << 0 << 2000u << Position::Advancing << true << false << ogg
            << uint64_t{2};
        QTest::newRow("stopped: the sound stays") << L{wav, "stop"} << 0 << 3000u << Position::Zero
                                                  << false << false << wav << uint64_t{1};
        QTest::newRow("calls after a stop change nothing")
            << L{wav, "stop", "seek", "pause", "stop"} << 1 << 3000u << Position::Zero << false
            << false << wav << uint64_t{1};
        QTest::newRow("played to its end: still live")
            << L{"short.mp3"} << 0 << 400u << Position::AtLength << true << false << "short.mp3"
            << uint64_t{1};
        QTest::newRow("a file that cannot be opened: a play without a channel")
            << L{wav, "missing.wav"} << 0 << 0u << Position::Zero << false << false << "missing.wav"
            << uint64_t{2};
    }

    void shouldFollowItsRules()
    {
        QFETCH(QStringList, steps);
        QFETCH(int, paused);
        QFETCH(uint32_t, length);
        QFETCH(Position, position);
        QFETCH(bool, live);
        QFETCH(bool, held);
        QFETCH(QString, played);
        QFETCH(uint64_t, plays);

        SoundPlayer player;
        for (const QString& step : steps) {
            if (step == "pause")
                player.TogglePause();
            else if (step == "stop")
                player.Stop();
            else if (step == "seek")
                player.SetPosition(2000);
            else
                play(player, step);
        }
        QCOMPARE(player.paused, paused);
        // An MP3's length is the tone's within its last frame.
        QVERIFY2(player.GetLength() >= length && player.GetLength() < length + 30,
                 QByteArray::number(player.GetLength()));
        QCOMPARE(player.IsChannelLive(), live);
        QCOMPARE(player.IsChannelPaused(), held);
        QCOMPARE(player.GetPlayCount(), plays);
        QCOMPARE(QString::fromStdString(player.GetPlayedPath()),
                 played.isEmpty() ? QString() : files.value(played, dir.filePath(played)));

        const uint32_t first = player.GetPosition();
        switch (position) {
        case Position::Zero:
            QCOMPARE(first, 0u);
            QTest::qWait(200);
            QCOMPARE(player.GetPosition(), 0u);
            break;
        case Position::AfterSeek:
            QVERIFY2(first >= 2000 && first < 2500, QByteArray::number(first));
            QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() > 2000, 3000);
            break;
        case Position::Advancing:
            QVERIFY(first < player.GetLength());
            QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() > first + 50, 3000);
            break;
        case Position::Held: {
            // The pause fades out over a few milliseconds; then the position does not move.
            uint32_t still = player.GetPosition();
            QTRY_VERIFY_WITH_TIMEOUT(
                [&] {
                    const uint32_t before = still;
                    QTest::qWait(100);
                    still = player.GetPosition();
                    return still == before;
                }(),
                3000);
            QTest::qWait(300);
            QCOMPARE(player.GetPosition(), still);
            break;
        }
        case Position::AtLength:
            QTRY_COMPARE_WITH_TIMEOUT(player.GetPosition(), player.GetLength(), 5000);
            QTest::qWait(100);
            QCOMPARE(player.GetPosition(), player.GetLength());
            QVERIFY(player.IsChannelLive());
            player.Stop();
            QCOMPARE(player.GetPosition(), 0u);
            break;
        }
    }
};

QTEST_GUILESS_MAIN(SoundPlayerTest)
#include "SoundPlayerTest.moc"
