// Faults around the sound: no sound server at all, the server dying in the middle of a track and
// coming back, and the file being deleted or cut short while it plays. Whatever happens, the player
// keeps time, reaches the end of the track and goes on; nothing crashes or hangs.
//
// The tests run their own PulseAudio servers (PulseServer) and point PULSE_SERVER at them, so a
// server that runs on the machine for anything else is never touched.
#include "AudioFixtures.h"
#include "MainWindow.h"
#include "PulseAddressScope.h"
#include "PulseServer.h"
#include "SinkRecorder.h"
#include "SoundPlayer.h"

#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>

namespace
{

QLabel* statusLabelOf(MainWindow& window)
{
    for (auto* label : window.findChildren<QLabel*>()) {
        if (qobject_cast<QStatusBar*>(label->parentWidget()))
            return label;
    }
    return nullptr;
}

} // namespace

class AudioFaultTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    std::string writeTone(const QString& name, AudioFixtures::Format format, double seconds,
                          double frequency = 440.0)
    {
        AudioFixtures::Tone tone;
        tone.seconds = seconds;
        tone.frequency = frequency;
        const std::string path = dir.filePath(name + AudioFixtures::suffix(format)).toStdString();
        return AudioFixtures::writeTone(path, format, tone) ? path : std::string();
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void shouldAdvanceThroughThePlaylistWithoutSoundServer()
    {
        // An address where no server will ever answer.
        const PulseAddressScope nowhere("unix:" + dir.filePath("no-server-here"));
        QStringList paths;
        for (int i = 0; i < 3; ++i) {
            const std::string path =
                writeTone(QString("clock-%1").arg(i), AudioFixtures::Format::Wav, 0.6);
            QVERIFY(!path.empty());
            paths << QString::fromStdString(path);
        }

        MainWindow window;
        auto* list = window.findChild<QListWidget*>("listFiles");
        auto* seekBar = window.findChild<QSlider*>("seekBar");
        auto* play = window.findChild<QPushButton*>("playButton");
        QLabel* status = statusLabelOf(window);
        QVERIFY(list && seekBar && play && status);
        list->addItems(paths);
        int furthest = 0;
        connect(seekBar, &QSlider::valueChanged, this,
                [&](int value) { furthest = std::max(furthest, value); });

        play->click();
        for (int row = 0; row < 3; ++row) {
            QTRY_COMPARE_WITH_TIMEOUT(status->text(), "Now playing: " + paths[row], 5000);
            QCOMPARE(seekBar->maximum(), 600);
            furthest = 0;
            // The position moves on by the clock although nothing can be heard.
            QTRY_VERIFY_WITH_TIMEOUT(furthest > 0, 5000);
        }
        // The last row reached its end: the slider stays there and the text names it.
        QTRY_COMPARE_WITH_TIMEOUT(seekBar->value(), 600, 5000);
        QCOMPARE(status->text(), "Now playing: " + paths[2]);
    }

    void shouldKeepTimeWhenTheServerDiesAndBeHeardWhenItReturns()
    {
        if (!PulseServer::toolsInstalled())
            QSKIP("pulseaudio, pactl and parec are not installed");
        PulseServer server;
        QVERIFY(server.start());
        const PulseAddressScope address(server.address());
        const std::string first = writeTone("before-crash", AudioFixtures::Format::Wav, 2.5);
        const std::string second = writeTone("after-restart", AudioFixtures::Format::Wav, 1.0, 660);
        QVERIFY(!first.empty() && !second.empty());

        SoundPlayer player;
        player.Play(first.c_str());
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= 500, 5000);
        server.kill();
        const uint32_t lostAt = player.GetPosition();
        // Playback goes on silently by the clock, to the end of the track.
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= lostAt + 1000, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(player.GetPosition(), 2500u, 5000);
        QCOMPARE(player.GetLength(), 2500u);

        // The server comes back at the same address: the next Play is heard.
        QVERIFY(server.start());
        SinkRecorder recorder(server.address());
        QVERIFY(recorder.start(PulseServer::monitorSource()));
        player.Play(second.c_str());
        QTRY_COMPARE_WITH_TIMEOUT(player.GetPosition(), 1000u, 5000);
        QTest::qWait(400);
        const SoundCapture capture = recorder.stop();
        const auto spans = capture.loudSpans();
        QVERIFY2(!spans.empty(), "nothing heard after the server came back");
        const auto& heard = spans.front();
        QVERIFY2(heard.length() > 0.9, qPrintable(QString("heard %1 s").arg(heard.length())));
        const double hz = capture.frequency(heard.start + 0.05, heard.end - 0.05);
        QVERIFY2(std::fabs(hz / 660.0 - 1.0) < 0.01, qPrintable(QString("heard %1 Hz").arg(hz)));
    }

    void shouldEndCleanlyWhenTheFileGoesAwayWhilePlaying_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<qint64>("keepBytes"); // -1: the file is deleted
        using F = AudioFixtures::Format;
        QTest::newRow("WAV deleted") << int(F::Wav) << qint64(-1);
        QTest::newRow("WAV cut to half") << int(F::Wav) << qint64(-2);
        QTest::newRow("WAV emptied") << int(F::Wav) << qint64(0);
        QTest::newRow("FLAC cut to half") << int(F::Flac) << qint64(-2);
        QTest::newRow("Ogg Vorbis cut to half") << int(F::OggVorbis) << qint64(-2);
        QTest::newRow("Ogg Vorbis deleted") << int(F::OggVorbis) << qint64(-1);
        QTest::newRow("MP3 cut to half") << int(F::Mp3) << qint64(-2);
        QTest::newRow("MP3 emptied") << int(F::Mp3) << qint64(0);
    }

    void shouldEndCleanlyWhenTheFileGoesAwayWhilePlaying()
    {
        QFETCH(int, format);
        QFETCH(qint64, keepBytes);
        const std::string path = writeTone(QString("vanishing-%1-%2").arg(format).arg(keepBytes),
                                           static_cast<AudioFixtures::Format>(format), 3.0);
        QVERIFY(!path.empty());
        const QString file = QString::fromStdString(path);

        SoundPlayer player;
        player.Play(path.c_str());
        QCOMPARE(player.GetLength(), 3000u);
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= 300, 5000);
        if (keepBytes == -1)
            QVERIFY(QFile::remove(file));
        else
            QVERIFY(QFile::resize(file, keepBytes == -2 ? QFileInfo(file).size() / 2 : keepBytes));

        // Whatever could not be read any more, the track ends where its length says.
        QTRY_COMPARE_WITH_TIMEOUT(player.GetPosition(), 3000u, 8000);
        QCOMPARE(player.GetLength(), 3000u);
        player.Stop();
        QCOMPARE(player.GetPosition(), 0u);
    }
};

QTEST_MAIN(AudioFaultTest)
#include "AudioFaultTest.moc"
