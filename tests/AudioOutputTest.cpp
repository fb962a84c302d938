// Plays generated files through SoundPlayer into a PulseAudio null sink and listens to the sink's
// monitor: what the player says it does has to be what comes out.
//
// Needs a PulseAudio server whose default sink is a null sink: the one BRISNAK_TEST_PULSE_SERVER
// names, else PULSE_SERVER's, else the default one:
//     bash scripts/pulse-null-sink.sh start /tmp/brisnak-pulse
//     export BRISNAK_TEST_PULSE_SERVER=unix:/tmp/brisnak-pulse/native
// Without one the whole suite is skipped.
#include "AudioFixtures.h"
#include "AudioSystem.h"
#include "Channel.h"
#include "PulseServer.h"
#include "SinkRecorder.h"
#include "Sound.h"
#include "SoundPlayer.h"
#include "SteppedTone.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>

namespace
{

// A sine of amplitude 0.5 has this RMS level.
constexpr double toneLevel = 0.5 / std::numbers::sqrt2;
// Long enough for the sound still buffered in the output and the server to reach the recording.
constexpr int drainMs = 400;

QString describe(const std::vector<SoundCapture::Span>& spans)
{
    QStringList parts;
    for (const auto& span : spans)
        parts << QString("%1-%2 s").arg(span.start, 0, 'f', 3).arg(span.end, 0, 'f', 3);
    return parts.join(", ");
}

// The sample format of each stream the server is playing, as `pactl list short` gives it (its
// last column).
QString streamFormats()
{
    QProcess pactl;
    pactl.start("pactl", {"list", "short", "sink-inputs"});
    pactl.waitForFinished(5000);
    QStringList formats;
    for (const QString& line : QString::fromUtf8(pactl.readAllStandardOutput()).split('\n')) {
        if (!line.trimmed().isEmpty())
            formats << line.section('\t', -1).trimmed();
    }
    return formats.join("; ");
}

} // namespace

class AudioOutputTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString address;
    QString monitor;

    std::string path(const QString& name) const { return dir.filePath(name).toStdString(); }

private slots:
    void initTestCase()
    {
        if (!PulseServer::toolsInstalled())
            QSKIP("pulseaudio, pactl and parec are not installed: no sound to listen to");
        // The other suites run on whatever PULSE_SERVER says (in CI: nothing, the silent clock);
        // this one can be pointed at a server of its own.
        address =
            qEnvironmentVariable("BRISNAK_TEST_PULSE_SERVER", qEnvironmentVariable("PULSE_SERVER"));
        if (!address.isEmpty())
            qputenv("PULSE_SERVER", address.toLocal8Bit());
        if (!PulseServer::answers(address))
            QSKIP("No PulseAudio server answers. Start one with "
                  "'bash scripts/pulse-null-sink.sh start DIR' and set "
                  "BRISNAK_TEST_PULSE_SERVER=unix:DIR/native");
        const QString sink = PulseServer::defaultSink(address);
        if (sink.isEmpty())
            QSKIP("The PulseAudio server has no default sink to listen to");
        monitor = sink + ".monitor";
        QVERIFY(dir.isValid());
    }

    void shouldPlayToneAtItsPitchAndLevelWithoutDropouts_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("sampleRate");
        QTest::addColumn<double>("frequency");
        // An MP3 without a Xing/Info header cannot say how much of its first and last frame is
        // the encoder's padding: its length includes that silence.
        QTest::addColumn<uint32_t>("paddingMs");
        using F = AudioFixtures::Format;
        QTest::newRow("WAV 44.1 kHz") << int(F::Wav) << 44100 << 440.0 << 0u;
        QTest::newRow("WAV 22.05 kHz") << int(F::Wav) << 22050 << 550.0 << 0u;
        QTest::newRow("WAV 48 kHz") << int(F::Wav) << 48000 << 660.0 << 0u;
        QTest::newRow("WAV 96 kHz") << int(F::Wav) << 96000 << 880.0 << 0u;
        QTest::newRow("FLAC 44.1 kHz") << int(F::Flac) << 44100 << 500.0 << 0u;
        QTest::newRow("Ogg Vorbis 44.1 kHz") << int(F::OggVorbis) << 44100 << 600.0 << 0u;
        QTest::newRow("MP3 44.1 kHz") << int(F::Mp3) << 44100 << 700.0 << 0u;
        QTest::newRow("MP3 without Xing 48 kHz") << int(F::Mp3WithoutXing) << 48000 << 750.0 << 60u;
    }

    void shouldPlayToneAtItsPitchAndLevelWithoutDropouts()
    {
        QFETCH(int, format);
        QFETCH(int, sampleRate);
        QFETCH(double, frequency);
        QFETCH(uint32_t, paddingMs);
        const auto kind = static_cast<AudioFixtures::Format>(format);
        AudioFixtures::Tone tone;
        tone.sampleRate = sampleRate;
        tone.seconds = 1.2;
        tone.frequency = frequency;
        const std::string file = path(
            QString("tone-%1-%2%3").arg(format).arg(sampleRate).arg(AudioFixtures::suffix(kind)));
        QVERIFY(AudioFixtures::writeTone(file, kind, tone));

        SinkRecorder recorder(address);
        QVERIFY(recorder.start(monitor));
        SoundPlayer player;
        player.Play(file.c_str());
        const uint32_t length = player.GetLength();
        QVERIFY2(length >= 1200 && length <= 1200 + paddingMs, qPrintable(QString::number(length)));
        QTRY_COMPARE_WITH_TIMEOUT(player.GetPosition(), length, 5000);
        QTest::qWait(drainMs);
        const SoundCapture capture = recorder.stop();

        const auto spans = capture.loudSpans();
        QVERIFY2(spans.size() == 1,
                 qPrintable("one tone, no gaps expected; heard " + describe(spans)));
        const auto& heard = spans.front();
        QVERIFY2(
            std::fabs(heard.length() - tone.seconds) < 0.06,
            qPrintable(QString("heard %1 s of a %2 s tone").arg(heard.length()).arg(tone.seconds)));
        const double from = heard.start + 0.05;
        const double to = heard.end - 0.05;
        const double measured = capture.frequency(from, to);
        QVERIFY2(std::fabs(measured / frequency - 1.0) < 0.01,
                 qPrintable(QString("played %1 Hz, heard %2 Hz").arg(frequency).arg(measured)));
        const double level = capture.rms(from, to);
        QVERIFY2(std::fabs(level / toneLevel - 1.0) < 0.1,
                 qPrintable(QString("level %1, expected %2").arg(level).arg(toneLevel)));
        const double gap = capture.longestQuietRun(from, to);
        QVERIFY2(gap < 0.002, qPrintable(QString("a dropout of %1 s inside the tone").arg(gap)));
    }

    void shouldOpenTheStreamAtEachTracksRate()
    {
        AudioSystem* system = nullptr;
        QCOMPARE(AudioSystem::create(&system), AudioResult::Ok);
        QCOMPARE(system->init(), AudioResult::Ok);
        for (const int rate : {22050, 96000}) {
            AudioFixtures::Tone tone;
            tone.sampleRate = rate;
            const std::string file = path(QString("stream-%1.wav").arg(rate));
            QVERIFY(AudioFixtures::writeTone(file, AudioFixtures::Format::Wav, tone));
            Sound* sound = nullptr;
            system->createSound(file.c_str(), AudioSystem::ModeSoftware, nullptr, &sound);
            Channel* channel = nullptr;
            system->playSound(AudioSystem::FreeChannel, sound, false, &channel);
            QVERIFY(channel);
            // The engine's thread starts the stream as soon as playSound has returned.
            QTRY_VERIFY(system->usingDevice());
            QCOMPARE(system->outputRate(), rate);
            // The server converts the stream to the sink's rate; the engine resamples nothing.
            const QString formats = streamFormats();
            QVERIFY2(formats == QString("float32le 2ch %1Hz").arg(rate), qPrintable(formats));
            channel->stop();
            sound->release();
            QTRY_VERIFY(!system->outputRunning());
        }
        system->release();
    }

    void shouldFallSilentOnPauseAndStopAndResumeWhereItPaused()
    {
        SteppedTone tone;
        const std::string file = path("stepped-pause.wav");
        QVERIFY(tone.writeWav(file));

        SinkRecorder recorder(address);
        QVERIFY(recorder.start(monitor));
        SoundPlayer player;
        player.Play(file.c_str());
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= 1400, 5000);
        player.TogglePause();
        // A pause long enough to be heard. The sound fades out over a few milliseconds; after
        // that the position must stay where it is.
        QTest::qWait(400);
        const uint32_t pausedAt = player.GetPosition();
        QVERIFY2(pausedAt >= 1400 && pausedAt < 1800, qPrintable(QString::number(pausedAt)));
        QTest::qWait(400);
        QCOMPARE(player.GetPosition(), pausedAt);
        player.TogglePause();
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= 2600, 5000);
        player.Stop();
        QCOMPARE(player.GetPosition(), 0u);
        QTest::qWait(600);
        const SoundCapture capture = recorder.stop();

        const auto spans = capture.loudSpans();
        QVERIFY2(spans.size() == 2,
                 qPrintable("sound before and after the pause expected; heard " + describe(spans)));
        const auto& before = spans[0];
        const auto& after = spans[1];
        const double pause = after.start - before.end;
        QVERIFY2(std::fabs(pause - 0.8) < 0.15, qPrintable(QString("silence of %1 s").arg(pause)));
        QVERIFY2(std::fabs(before.length() - pausedAt / 1000.0) < 0.15,
                 qPrintable(QString("heard %1 s before the pause").arg(before.length())));

        // The pause fell in second 1 of the file; playback must go on in that same second and reach
        // second 2 after what was left of it.
        const double hz = tone.frequencyOf(1);
        const double beforeHz = capture.frequency(before.end - 0.15, before.end - 0.01);
        const double resumedHz = capture.frequency(after.start + 0.01, after.start + 0.1);
        QVERIFY2(std::fabs(beforeHz / hz - 1.0) < 0.01, qPrintable(QString::number(beforeHz)));
        QVERIFY2(std::fabs(resumedHz / hz - 1.0) < 0.01,
                 qPrintable(QString("resumed at %1 Hz, paused at %2 Hz").arg(resumedHz).arg(hz)));
        // Looked for from where second 1 is heard again: the first window of the span holds the
        // fade-in's onset, whose zero crossings can pass for any pitch.
        const double resumed = capture.firstHeard(after.start, after.end, hz);
        QVERIFY(resumed > 0);
        const double change = capture.firstHeard(resumed, after.end, tone.frequencyOf(2));
        QVERIFY(change > 0);
        const double rest = change - after.start;
        QVERIFY2(std::fabs(rest - (2000 - pausedAt) / 1000.0) < 0.1,
                 qPrintable(QString("second 1 went on for %1 s after resuming at %2 ms")
                                .arg(rest)
                                .arg(pausedAt)));

        // After Stop: silence.
        QVERIFY(capture.duration() - after.end > 0.4);
        QVERIFY(capture.rms(after.end + 0.02, capture.duration()) < 0.005);
    }

    void shouldLandWhereASeekAsks_data()
    {
        QTest::addColumn<uint32_t>("playUntil");
        QTest::addColumn<uint32_t>("seekTo");
        QTest::newRow("forward") << 1300u << 3500u;
        QTest::newRow("backward") << 3300u << 1500u;
        QTest::newRow("to the start") << 1300u << 0u;
    }

    void shouldLandWhereASeekAsks()
    {
        QFETCH(uint32_t, playUntil);
        QFETCH(uint32_t, seekTo);
        SteppedTone tone;
        const std::string file = path("stepped-seek.wav");
        QVERIFY(tone.writeWav(file));

        SinkRecorder recorder(address);
        QVERIFY(recorder.start(monitor));
        SoundPlayer player;
        player.Play(file.c_str());
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= playUntil, 6000);
        const uint32_t seekFrom = player.GetPosition();
        player.SetPosition(seekTo);
        const uint32_t landed = player.GetPosition();
        QVERIFY2(landed >= seekTo && landed < seekTo + 200,
                 qPrintable(QString("asked %1 ms, reads %2 ms").arg(seekTo).arg(landed)));
        const uint32_t nextStep = (seekTo / 1000 + 1) * 1000;
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= nextStep + 300, 5000);
        player.Stop();
        QTest::qWait(drainMs);
        const SoundCapture capture = recorder.stop();

        const auto spans = capture.loudSpans();
        QVERIFY(!spans.empty());
        const double fromHz = tone.frequencyOf(seekFrom / 1000);
        const double toHz = tone.frequencyOf(seekTo / 1000);
        const double nextHz = tone.frequencyOf(seekTo / 1000 + 1);
        const double start = spans.front().start + 0.05;
        const double end = spans.back().end;
        // The seek shows as a jump from the pitch of the second it left to the pitch of the
        // second it asked for, which lasts for what is left of that second.
        const double left = capture.firstHeard(start, end, fromHz);
        QVERIFY2(left > 0, qPrintable(QString("never heard %1 Hz before the seek").arg(fromHz)));
        const double jump = capture.firstHeard(left, end, toHz);
        QVERIFY2(jump > 0,
                 qPrintable(QString("never heard %1 Hz after %2 Hz").arg(toHz).arg(fromHz)));
        const double landedHz = capture.frequency(jump + 0.03, jump + 0.15);
        QVERIFY2(std::fabs(landedHz / toHz - 1.0) < 0.01,
                 qPrintable(QString("landed at %1 Hz, expected %2 Hz").arg(landedHz).arg(toHz)));
        const double step = capture.firstHeard(jump, end, nextHz);
        QVERIFY(step > 0);
        QVERIFY2(std::fabs((step - jump) - (nextStep - seekTo) / 1000.0) < 0.1,
                 qPrintable(QString("second %1 lasted %2 s after the seek to %3 ms")
                                .arg(seekTo / 1000)
                                .arg(step - jump)
                                .arg(seekTo)));
    }
};

QTEST_GUILESS_MAIN(AudioOutputTest)
#include "AudioOutputTest.moc"
