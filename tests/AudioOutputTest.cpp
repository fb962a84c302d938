// Plays generated files through SoundPlayer into the sink of a private sound server and hears what
// the sink plays float for float (SinkTap): each track from its first sample to its last on a
// stream at its own rate, nothing cut and nothing added, clean fades at a Pause and a Stop, the
// resume where the pause left off, and a seek that lands on its frame. What the engine makes of a
// file (formats, positions, resampling) is proven through the offline engine; here it is what the
// device stream does with it.
//
// The server is the test's own: PulseAudio, or PipeWire with its PulseAudio service when
// BRISNAK_TEST_SOUND_SERVER=pipewire (ctest runs the suite once with each). Without the server's
// programs the suite is skipped.
#include "ExactSignal.h"
#include "PulseAddressScope.h"
#include "SinkTap.h"
#include "SoundCapture.h"
#include "SoundPlayer.h"
#include "SoundServer.h"
#include "TrackMatch.h"

#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <optional>

namespace
{

// Generous: the position moves in real time, and a busy machine only slows the test down.
constexpr int playMs = 10000;

} // namespace

class AudioOutputTest : public QObject
{
    Q_OBJECT

    SoundServer::Kind kind = SoundServer::kindFromEnvironment();
    SinkTap tap;
    std::unique_ptr<SoundServer> server;
    std::optional<PulseAddressScope> address;
    QTemporaryDir dir;
    int rate = 0;

    std::string path(const QString& name) const { return dir.filePath(name).toStdString(); }
    // The frames a fade lasts (5 ms), and a block of the engine's silent clock (10 ms).
    long long fade() const { return rate / 200; }
    long long block() const { return rate / 100; }

    // The rates of the streams playing into the sink.
    QList<int> streamRates() const
    {
        QList<int> rates;
        for (const QStringList& stream : server->sinkInputs()) // "float32le 2ch 22050Hz"
            rates << stream.back().trimmed().section(' ', 2, 2).chopped(2).toInt();
        return rates;
    }

    // One side of a recording, for the measures of level and steps.
    SoundCapture left(const std::vector<float>& recording) const
    {
        return SoundCapture::side(recording, 2, rate);
    }
    double seconds(long long frame) const { return static_cast<double>(frame) / rate; }

private slots:
    void initTestCase()
    {
        if (!SoundServer::toolsInstalled(kind))
            QSKIP(
                qPrintable(SoundServer::nameOf(kind) + " is not installed: no sound to listen to"));
        QVERIFY(dir.isValid());
        QVERIFY(!tap.fifo().isEmpty());
        server = std::make_unique<SoundServer>(kind, 44100, true, tap.fifo());
        QVERIFY2(server->start(),
                 qPrintable(SoundServer::nameOf(kind) + " did not start: " + server->failure()));
        address.emplace(server->address());
        rate = server->sinkRate();
        qInfo("listening to a %s sink at %d Hz", qPrintable(SoundServer::nameOf(kind)), rate);
    }

    void shouldPlayEachTrackWholeOnAStreamAtItsRate_data()
    {
        QTest::addColumn<QList<int>>("rates"); // each track's; 0: the sink's
        QTest::addColumn<int>("pauseMs");      // between a track's end and the next Play
        // A track's end is cut or not depending on where the device's buffer stands: six ends.
        QTest::newRow("three tracks, each played as the last ends") << QList<int>{0, 0, 0} << 0;
        // The window's tick notices the end up to half a second late.
        QTest::newRow("three tracks, a tick apart") << QList<int>{0, 0, 0} << 300;
        QTest::newRow("22.05 kHz, then the sink's rate") << QList<int>{22050, 0} << 300;
        QTest::newRow("the sink's rate, then 22.05 kHz") << QList<int>{0, 22050} << 300;
    }

    void shouldPlayEachTrackWholeOnAStreamAtItsRate()
    {
        QFETCH(QList<int>, rates);
        QFETCH(int, pauseMs);
        std::vector<std::vector<float>> tracks;
        for (int i = 0; i < rates.size(); ++i) {
            tracks.push_back(ExactSignal::writeNoise(path(QString("noise-%1.wav").arg(i)),
                                                     rates[i] ? rates[i] : rate, 1.0, 7 + i));
            QVERIFY(!tracks.back().empty());
        }

        tap.start();
        SoundPlayer player;
        for (int i = 0; i < rates.size(); ++i) {
            player.Play(path(QString("noise-%1.wav").arg(i)).c_str());
            QCOMPARE(player.GetLength(), 1000u);
            // The server converts the stream to the sink's rate; the engine resamples nothing.
            if (rates[i])
                QTRY_VERIFY2_WITH_TIMEOUT(streamRates().contains(rates[i]),
                                          qPrintable(QString("no stream at %1 Hz").arg(rates[i])),
                                          playMs);
            QTRY_COMPARE_WITH_TIMEOUT(player.GetPosition(), 1000u, playMs);
            if (pauseMs > 0)
                QTest::qWait(pauseMs);
        }
        QVERIFY2(tap.waitForSilence(size_t(rate) / 4), "the sink never fell silent");
        const std::vector<float> recording = tap.stop();

        // The tracks one after the other, each sample for sample from its first frame to its
        // last, with nothing between them but silence.
        long long from = 0;
        for (int i = 0; i < rates.size(); ++i) {
            if (rates[i] == 0) {
                const TrackMatch match = TrackMatch::find(recording, tracks[size_t(i)], from);
                QVERIFY2(match.found() && match.at == from && match.beginsAt(0, block()) &&
                             match.trackEnd() == long(tracks[size_t(i)].size() / 2),
                         qPrintable(QString("track %1, looked for from frame %2 of what was "
                                            "heard: %3")
                                        .arg(i + 1)
                                        .arg(from)
                                        .arg(match.describe())));
                from = match.end();
                continue;
            }
            // Converted by the server, a track is measured by where it is loud between the
            // tracks around it: one sound, no longer than the file. (Its start may be the
            // clock's, as for any track; silence that a busy server puts in while the stream's
            // data comes late rings faintly through its resampler, a few milliseconds longer
            // each time.)
            long long to = long(recording.size() / 2);
            if (i + 1 < rates.size())
                to = TrackMatch::find(recording, tracks[size_t(i) + 1], from).at;
            QVERIFY2(to > from, qPrintable(QString("track %1 is not there").arg(i + 1)));
            const SoundCapture converted =
                left({recording.begin() + 2 * from, recording.begin() + 2 * to});
            const SoundCapture::Span loud = converted.soundFrom(0, 0.01, 0.01);
            const double again = converted.soundFrom(loud.end, 0.01).start;
            QVERIFY2(loud.length() > 0.5 && loud.length() < 1.05 && again == converted.duration(),
                     qPrintable(QString("track %1: heard %2 s, and again %3 s later")
                                    .arg(i + 1)
                                    .arg(loud.length())
                                    .arg(again - loud.end)));
            from = to;
        }
        QVERIFY2(from == long(recording.size() / 2),
                 qPrintable(QString("heard %1 frames after the last track")
                                .arg(long(recording.size() / 2) - from)));
    }

    void shouldFadeOutOnPauseAndStopAndResumeWhereItPaused()
    {
        const std::vector<float> sweep =
            ExactSignal::writeSweep(path("sweep.wav"), rate, 4.0, 300.0, 600.0);
        QVERIFY(!sweep.empty());

        tap.start();
        SoundPlayer player;
        player.Play(path("sweep.wav").c_str());
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= 1000, playMs);
        player.TogglePause();
        // Long enough for the stream to drain and close while paused.
        QVERIFY(tap.waitForSilence(size_t(rate) / 4));
        const uint32_t pausedAt = player.GetPosition();
        player.TogglePause();
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= pausedAt + 1000, playMs);
        player.Stop();
        QVERIFY2(tap.waitForSilence(size_t(rate) / 4), "the sink never fell silent");
        const std::vector<float> recording = tap.stop();

        // The sweep exactly up to where the pause fades it out over its next frames, and again
        // from where the resume has faded it in from the frame after them. When the resumed
        // stream took longer than StartPatience to open, the clock played the fade-in and what
        // followed up to the end of one of its blocks (see TrackMatch::beginsAt): then only the
        // fade-out is heard between the two.
        const TrackMatch paused = TrackMatch::find(recording, sweep);
        const TrackMatch resumed = TrackMatch::find(recording, sweep, paused.end());
        QVERIFY2(paused.found() && resumed.found(),
                 qPrintable(paused.describe() + "; then " + resumed.describe()));
        const long long slack = rate / 1000;
        const long long between = resumed.at - paused.end();
        const long long resumedAfter = resumed.trackFrame - paused.trackEnd() - fade();
        const long long blocks = (resumedAfter + block() / 2) / block();
        const bool fadedIn =
            std::llabs(between - 2 * fade()) <= slack && std::llabs(resumedAfter - fade()) <= slack;
        const bool byTheClock = std::llabs(between - fade()) <= slack && blocks > 0 &&
                                std::llabs(resumedAfter - blocks * block()) <= slack;
        qInfo("resumed %lld frames after the pause's fade-out, %s", resumedAfter,
              byTheClock ? "the clock's blocks" : "past the fade-in");
        QVERIFY2(fadedIn || byTheClock,
                 qPrintable(QString("paused after frame %1; resumed at frame %2, %3 frames after "
                                    "the pause's fade-out; %4 frames heard between")
                                .arg(paused.trackEnd())
                                .arg(resumed.trackFrame)
                                .arg(resumedAfter)
                                .arg(between)));

        // Heard fading: around the pause (and the resume, when faded in on the device) and at
        // the stop's end, no step larger than the sweep's own, several times over.
        const SoundCapture heard = left(recording);
        const float ownStep = SoundCapture::side(sweep, 2, rate).largestStep();
        const double tenMs = 0.01;
        const double fadesEnd = seconds(fadedIn ? resumed.at : paused.end() + fade());
        for (const auto& [what, step] :
             {std::pair{"pause", heard.largestStep(seconds(paused.end()) - tenMs, fadesEnd)},
              std::pair{"stop", std::max(heard.largestStep(heard.duration() - tenMs),
                                         std::fabs(heard.samples.back()))}}) {
            qInfo("%s: largest step %.4f, the sweep's own %.4f", what, step, ownStep);
            QVERIFY2(step < 3 * ownStep, qPrintable(QString("a step of %1 at the %2, the sweep's "
                                                            "own is %3")
                                                        .arg(step)
                                                        .arg(what)
                                                        .arg(ownStep)));
        }
    }

    void shouldLandOnTheFrameASeekAsksFor()
    {
        const std::vector<float> noise = ExactSignal::writeNoise(path("seek.wav"), rate, 3.0, 31);
        QVERIFY(!noise.empty());
        const uint32_t seekTo = 700;

        tap.start();
        SoundPlayer player;
        player.Play(path("seek.wav").c_str());
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= 2000, playMs);
        player.SetPosition(seekTo);
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= seekTo + 300, playMs);
        player.Stop();
        QVERIFY2(tap.waitForSilence(size_t(rate) / 4), "the sink never fell silent");
        const std::vector<float> recording = tap.stop();

        // The file from its start exactly up to the seek; after the seek's short crossfade, the
        // file exactly again from the frame asked for on, past its fade-in.
        const TrackMatch before = TrackMatch::find(recording, noise);
        QVERIFY2(before.found() && before.beginsAt(0, block()), qPrintable(before.describe()));
        const TrackMatch after = TrackMatch::find(recording, noise, before.end());
        const long long asked = (static_cast<long long>(seekTo) * rate + 999) / 1000;
        QVERIFY2(after.found() && std::llabs(after.trackFrame - fade() - asked) <= 1,
                 qPrintable(QString("asked for frame %1 (%2 ms), with a fade-in of %3 frames: "
                                    "before the seek %4; after it %5")
                                .arg(asked)
                                .arg(seekTo)
                                .arg(fade())
                                .arg(before.describe(), after.describe())));
    }
};

QTEST_GUILESS_MAIN(AudioOutputTest)
#include "AudioOutputTest.moc"
