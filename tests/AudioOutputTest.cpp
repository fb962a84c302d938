// Plays generated files through SoundPlayer into a null sink of a private sound server and records
// the sink's monitor float for float: what is heard has to be the file, from its first sample to
// its last, with nothing cut, nothing added and no click at a stop or a pause.
//
// The server is the test's own: PulseAudio, or PipeWire with its PulseAudio service when
// BRISNAK_TEST_SOUND_SERVER=pipewire (ctest runs the suite once with each). Without the server's
// programs the suite is skipped.
#include "AudioFixtures.h"
#include "AudioSystem.h"
#include "Channel.h"
#include "Decoder.h"
#include "ExactSignal.h"
#include "FormatSniffer.h"
#include "PulseAddressScope.h"
#include "SinkTap.h"
#include "Sound.h"
#include "SoundCapture.h"
#include "SoundPlayer.h"
#include "SoundServer.h"
#include "TrackMatch.h"

#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <memory>
#include <optional>

namespace
{

// Long enough for what the player and the server still hold to reach the recording.
constexpr int drainMs = 500;
// Below this a sample counts as quiet: a sine of amplitude 0.5 dips under it only at a crossing.
constexpr float loudLevel = 0.01f;

// The whole file through the decoder the engine uses: what the player must send.
std::vector<float> decodeStereo(const std::string& path, int* rate)
{
    std::vector<float> samples;
    std::unique_ptr<Decoder> decoder = FormatSniffer::open(path.c_str());
    if (!decoder || decoder->channels() != 2)
        return samples;
    *rate = decoder->sampleRate();
    std::vector<float> block(4096 * 2);
    while (const int64_t got = decoder->read(block.data(), 4096))
        samples.insert(samples.end(), block.begin(), block.begin() + got * 2);
    return samples;
}

// The left side of a recording, for the pitch and level measurements.
SoundCapture leftSide(const std::vector<float>& stereo, int rate)
{
    SoundCapture capture;
    capture.rate = rate;
    capture.samples.resize(stereo.size() / 2);
    for (size_t i = 0; i < capture.samples.size(); ++i)
        capture.samples[i] = stereo[2 * i];
    return capture;
}

// The sample format of each stream the server is playing, as `pactl list short` gives it.
QString streamFormats(const SoundServer& server)
{
    QStringList formats;
    for (const QStringList& stream : server.sinkInputs())
        formats << stream.back().trimmed();
    return formats.join("; ");
}

} // namespace

class AudioOutputTest : public QObject
{
    Q_OBJECT

    SoundServer::Kind kind = SoundServer::kindFromEnvironment();
    std::unique_ptr<SoundServer> server;
    std::optional<PulseAddressScope> address;
    QTemporaryDir dir;
    int rate = 0;
    // The most of a stream's start the monitor can miss, in frames (see SinkTap).
    int mayMiss = 0;

    std::string path(const QString& name) const { return dir.filePath(name).toStdString(); }

    std::unique_ptr<SinkTap> listen()
    {
        auto tap = std::make_unique<SinkTap>(server->address(), SoundServer::sinkName(), rate,
                                             kind == SoundServer::Kind::PipeWire ? 100 : 5);
        return tap->start() ? std::move(tap) : nullptr;
    }

    // Where the player's sound fell silent after `from`, and how it got there: the frames of the
    // recording from the last exact frame of `signal` on.
    struct Ending {
        size_t lastExact = 0;    // frame of the recording
        size_t silentFrom = 0;   // first frame of the silence that follows
        long long fileFrame = 0; // the frame of the file heard at lastExact
    };
    std::optional<Ending> endingAfter(const std::vector<float>& recording,
                                      const std::vector<float>& signal, size_t from) const
    {
        const TrackMatch::Span span = TrackMatch::loudSpan(recording, from, 1e-6f, 64);
        // Looked for past a fade-in, where the signal is heard exactly.
        const size_t into = size_t(rate) / 100;
        if (span.frames() < 4 * into)
            return std::nullopt;
        const long long first = TrackMatch::locate(recording, span.start + into, signal);
        if (first < 0)
            return std::nullopt;
        Ending ending;
        ending.silentFrom = span.end;
        // Exact from there on, up to the fade.
        size_t at = span.start + into;
        long long frame = first;
        while (at < span.end && 2 * (frame + 1) <= static_cast<long long>(signal.size()) &&
               recording[2 * at] == signal[2 * frame] &&
               recording[2 * at + 1] == signal[2 * frame + 1]) {
            ++at;
            ++frame;
        }
        ending.lastExact = at - 1;
        ending.fileFrame = frame - 1;
        return ending;
    }

    // What the recording holds where the exact run of `match` ends: how much exact silence (a
    // dropout), and where the track is heard again (a skip when it comes back further on).
    static QString describeBreak(const std::vector<float>& recording,
                                 const std::vector<float>& track, const TrackMatch& match)
    {
        const size_t at = match.start + match.exact;
        size_t silent = 0;
        while (2 * (at + silent) + 1 < recording.size() && recording[2 * (at + silent)] == 0.0f &&
               recording[2 * (at + silent) + 1] == 0.0f)
            ++silent;
        QString text = QString("the file was heard exactly up to its frame %1 (frame %2 of the "
                               "recording), then %3 frames of exact silence")
                           .arg(static_cast<long long>(match.hidden) + match.exact)
                           .arg(at)
                           .arg(silent);
        const TrackMatch::Place next = TrackMatch::firstPlace(recording, at, track);
        if (next.recordingFrame < 0)
            return text + ", and never again";
        return text + QString("; heard again from frame %1 of the recording, at its frame %2")
                          .arg(next.recordingFrame)
                          .arg(next.trackFrame);
    }

private slots:
    void initTestCase()
    {
        if (!SoundServer::toolsInstalled(kind))
            QSKIP(
                qPrintable(SoundServer::nameOf(kind) + " is not installed: no sound to listen to"));
        QVERIFY(dir.isValid());
        server = std::make_unique<SoundServer>(kind);
        QVERIFY2(server->start(),
                 qPrintable(SoundServer::nameOf(kind) + " did not start: " + server->failure()));
        address.emplace(server->address());
        rate = server->sinkRate();
        qInfo("listening to a %s null sink at %d Hz", qPrintable(SoundServer::nameOf(kind)), rate);

        // The server's own client, as the yardstick for what a stream that joins the running sink
        // loses at its start in the recording.
        // The yardstick itself can drop out when the machine stalls (a loaded CI host gave pacat's
        // stream 480 ms of silence once): a dropout in the server's own client says nothing about
        // the player, so it gets three tries, and every failed one is reported.
        const std::vector<float> reference =
            ExactSignal::writeNoise(path("reference.wav"), rate, 0.5, 99);
        TrackMatch heard;
        for (int attempt = 1; attempt <= 3; ++attempt) {
            auto tap = listen();
            QVERIFY(tap);
            mayMiss = std::max(0, tap->sinkLatencyFrames());
            QVERIFY(tap->playReference(reference));
            QTest::qWait(drainMs);
            heard = TrackMatch::find(tap->stop(), reference, 0, mayMiss);
            if (heard.found && heard.exact == heard.expected)
                break;
            qWarning("the server's own client was not heard exactly (try %d of 3): %s", attempt,
                     qPrintable(heard.describe()));
        }
        QVERIFY2(heard.found && heard.exact == heard.expected, qPrintable(heard.describe()));
        qInfo("the sink runs %d frames ahead; pacat's stream lost its first %d frames", mayMiss,
              heard.hidden);
    }

    void shouldPlayEveryFormatAtItsPitchLevelAndLength_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("sampleRate");
        QTest::addColumn<double>("frequency");
        using F = AudioFixtures::Format;
        QTest::newRow("WAV 44.1 kHz") << int(F::Wav) << 44100 << 440.0;
        QTest::newRow("WAV 22.05 kHz") << int(F::Wav) << 22050 << 550.0;
        QTest::newRow("WAV 48 kHz") << int(F::Wav) << 48000 << 660.0;
        QTest::newRow("WAV 96 kHz") << int(F::Wav) << 96000 << 880.0;
        QTest::newRow("FLAC 44.1 kHz") << int(F::Flac) << 44100 << 500.0;
        QTest::newRow("Ogg Vorbis 44.1 kHz") << int(F::OggVorbis) << 44100 << 600.0;
        QTest::newRow("MP3 44.1 kHz") << int(F::Mp3) << 44100 << 700.0;
        QTest::newRow("MP3 without Xing 48 kHz") << int(F::Mp3WithoutXing) << 48000 << 750.0;
    }

    void shouldPlayEveryFormatAtItsPitchLevelAndLength()
    {
        QFETCH(int, format);
        QFETCH(int, sampleRate);
        QFETCH(double, frequency);
        const auto kind = static_cast<AudioFixtures::Format>(format);
        AudioFixtures::Tone tone;
        tone.sampleRate = sampleRate;
        tone.seconds = 1.2;
        tone.frequency = frequency;
        const std::string file = path(
            QString("tone-%1-%2%3").arg(format).arg(sampleRate).arg(AudioFixtures::suffix(kind)));
        QVERIFY(AudioFixtures::writeTone(file, kind, tone));
        int fileRate = 0;
        const std::vector<float> decoded = decodeStereo(file, &fileRate);
        QVERIFY(!decoded.empty());
        const TrackMatch::Span inFile = TrackMatch::loudSpan(decoded, 0, loudLevel, fileRate / 100);

        auto tap = listen();
        QVERIFY(tap);
        SoundPlayer player;
        player.Play(file.c_str());
        const uint32_t length = player.GetLength();
        QCOMPARE(length, uint32_t(decoded.size() / 2 * 1000 / fileRate));
        QTRY_COMPARE_WITH_TIMEOUT(player.GetPosition(), length, 5000);
        QTest::qWait(drainMs);
        const std::vector<float> recording = tap->stop();

        // One sound, as long as the file's to the millisecond, whatever rate the server
        // converted it from; at its start it may lose what the sink had already rendered when
        // the stream joined it (mayMiss, as for the server's own client), never more.
        const TrackMatch::Span heard = TrackMatch::loudSpan(recording, 0, loudLevel, rate / 100);
        const double heardSeconds = double(heard.frames()) / rate;
        const double fileSeconds = double(inFile.frames()) / fileRate;
        const double joinLoss = double(mayMiss) / rate;
        QVERIFY2(heardSeconds < fileSeconds + 0.001 &&
                     heardSeconds > fileSeconds - 0.001 - joinLoss,
                 qPrintable(QString("heard %1 s of %2 s").arg(heardSeconds).arg(fileSeconds)));
        QVERIFY2(TrackMatch::loudSpan(recording, heard.end, loudLevel, 1).frames() == 0,
                 "something was heard after the tone");

        const SoundCapture capture = leftSide(recording, rate);
        const double from = double(heard.start) / rate + 0.05;
        const double to = double(heard.end) / rate - 0.05;
        const double measured = capture.frequency(from, to);
        QVERIFY2(std::fabs(measured / frequency - 1.0) < 0.01,
                 qPrintable(QString("played %1 Hz, heard %2 Hz").arg(frequency).arg(measured)));
        const double level = capture.rms(from, to);
        const double toneLevel = tone.amplitude / std::numbers::sqrt2;
        QVERIFY2(std::fabs(level / toneLevel - 1.0) < 0.1,
                 qPrintable(QString("level %1, expected %2").arg(level).arg(toneLevel)));
        const double gap = capture.longestQuietRun(from, to);
        QVERIFY2(gap < 0.002, qPrintable(QString("a dropout of %1 s inside the tone").arg(gap)));
    }

    void shouldPlayEachTrackSampleForSampleToItsEnd_data()
    {
        QTest::addColumn<int>("tracks");
        QTest::addColumn<int>("pauseMs"); // between a track's end and the next Play
        // A track's end is cut or not depending on where the device's buffer stands: repeated.
        QTest::newRow("one track, run 1") << 1 << 0;
        QTest::newRow("one track, run 2") << 1 << 0;
        QTest::newRow("one track, run 3") << 1 << 0;
        // The window's tick notices the end up to half a second late; or at once.
        QTest::newRow("three tracks, a tick apart") << 3 << 300;
        QTest::newRow("three tracks, at once") << 3 << 0;
    }

    void shouldPlayEachTrackSampleForSampleToItsEnd()
    {
        QFETCH(int, tracks);
        QFETCH(int, pauseMs);
        std::vector<std::vector<float>> samples;
        std::vector<std::string> files;
        for (int i = 0; i < tracks; ++i) {
            files.push_back(path(QString("noise-%1.wav").arg(i)));
            samples.push_back(ExactSignal::writeNoise(files.back(), rate, 1.0, 7 + i));
            QVERIFY(!samples.back().empty());
        }

        auto tap = listen();
        QVERIFY(tap);
        SoundPlayer player;
        for (const std::string& file : files) {
            player.Play(file.c_str());
            QCOMPARE(player.GetLength(), 1000u);
            QTRY_COMPARE_WITH_TIMEOUT(player.GetPosition(), 1000u, 5000);
            if (pauseMs > 0)
                QTest::qWait(pauseMs);
        }
        QTest::qWait(drainMs);
        const std::vector<float> recording = tap->stop();

        size_t from = 0;
        for (int i = 0; i < tracks; ++i) {
            const TrackMatch track = TrackMatch::find(recording, samples[size_t(i)], from, mayMiss);
            const QString what = QString("track %1: %2").arg(i + 1).arg(track.describe());
            QVERIFY2(track.found && track.exact == track.expected, qPrintable(what));
            // Nothing of it after its end: silence up to the next track, or to the end of the
            // recording.
            if (i + 1 == tracks)
                QVERIFY2(track.end() + track.silentAfter == recording.size() / 2, qPrintable(what));
            else
                QVERIFY2(track.silentAfter > 0 || pauseMs == 0, qPrintable(what));
            from = track.end();
        }
    }

    void shouldPlayTracksAtTwoRatesWholeAndInOrder_data()
    {
        QTest::addColumn<bool>("otherRateFirst");
        QTest::newRow("22.05 kHz, then the sink's rate") << true;
        QTest::newRow("the sink's rate, then 22.05 kHz") << false;
    }

    void shouldPlayTracksAtTwoRatesWholeAndInOrder()
    {
        QFETCH(bool, otherRateFirst);
        const int otherRate = 22050;
        const std::vector<float> exact = ExactSignal::writeNoise(path("exact.wav"), rate, 1.0, 21);
        const std::vector<float> other =
            ExactSignal::writeNoise(path("other.wav"), otherRate, 1.0, 22);
        QVERIFY(!exact.empty() && !other.empty());
        const std::string first = path(otherRateFirst ? "other.wav" : "exact.wav");
        const std::string second = path(otherRateFirst ? "exact.wav" : "other.wav");

        auto tap = listen();
        QVERIFY(tap);
        SoundPlayer player;
        for (const std::string& file : {first, second}) {
            player.Play(file.c_str());
            QTRY_COMPARE_WITH_TIMEOUT(player.GetPosition(), 1000u, 5000);
            QTest::qWait(300);
        }
        QTest::qWait(drainMs);
        const std::vector<float> recording = tap->stop();

        // The track at the sink's rate goes through untouched: it is found sample for sample.
        // The other is converted by the server: it is measured by where it is loud.
        // (The converted track's last samples ring out faintly: looked for past them.)
        const size_t afterOther =
            otherRateFirst
                ? TrackMatch::silenceAfter(
                      recording, TrackMatch::loudSpan(recording, 0, loudLevel, 32).end, 64)
                : 0;
        const TrackMatch exactTrack = TrackMatch::find(recording, exact, afterOther, mayMiss);
        QVERIFY2(exactTrack.found && exactTrack.exact == exactTrack.expected,
                 qPrintable(exactTrack.describe()));
        const TrackMatch::Span otherTrack =
            TrackMatch::loudSpan(recording, otherRateFirst ? 0 : exactTrack.end(), loudLevel, 32);
        const double otherSeconds = double(otherTrack.frames()) / rate;
        QVERIFY2(
            std::fabs(otherSeconds - 1.0) < 0.001,
            qPrintable(QString("heard %1 s of the %2 Hz track").arg(otherSeconds).arg(otherRate)));
        // In order, and nothing of one inside the other.
        if (otherRateFirst)
            QVERIFY(otherTrack.end <= exactTrack.start);
        else
            QVERIFY(exactTrack.end() + exactTrack.silentAfter <= otherTrack.start);
        const size_t lastEnd = otherRateFirst ? exactTrack.end() : otherTrack.end;
        QCOMPARE(TrackMatch::loudSpan(recording, lastEnd, loudLevel, 1).frames(), size_t(0));
    }

    void shouldFadeOutOnStopAndPauseAndResumeWhereItPaused()
    {
        const std::vector<float> sweep =
            ExactSignal::writeSweep(path("sweep.wav"), rate, 4.0, 300.0, 600.0);
        QVERIFY(!sweep.empty());
        const float ownStep = ExactSignal::largestStep(sweep);
        const std::string file = path("sweep.wav");

        auto tap = listen();
        QVERIFY(tap);
        SoundPlayer player;
        player.Play(file.c_str());
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= 1000, 5000);
        player.TogglePause();
        // Long enough for the stream to drain and stop while paused.
        QTest::qWait(600);
        const uint32_t pausedAt = player.GetPosition();
        player.TogglePause();
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= pausedAt + 1000, 5000);
        player.Stop();
        QTest::qWait(drainMs);
        const std::vector<float> recording = tap->stop();

        const auto paused = endingAfter(recording, sweep, 0);
        QVERIFY2(paused, "the sweep was not heard before the pause");
        const auto stopped = endingAfter(recording, sweep, paused->silentFrom);
        QVERIFY2(stopped, "the sweep was not heard after the pause");
        const size_t lastTenMs = size_t(rate) / 100;
        for (const auto& [what, ending] :
             {std::pair{"pause", *paused}, std::pair{"stop", *stopped}}) {
            // Heard fading: no step larger than the sweep's own, several times over, in the last
            // 10 ms before the silence.
            const float step = ExactSignal::largestStep(recording, ending.silentFrom - lastTenMs,
                                                        ending.silentFrom + 1);
            qInfo("%s: largest step in the last 10 ms %.4f, the sweep's own %.4f", what, step,
                  ownStep);
            QVERIFY2(step < 3 * ownStep, qPrintable(QString("a step of %1 at the %2, the sweep's "
                                                            "own is %3")
                                                        .arg(step)
                                                        .arg(what)
                                                        .arg(ownStep)));
        }
        // The pause faded out over the file's next few frames; the resumed sweep fades in from
        // the frame after them.
        const long long fade = rate / 200;
        const long long pausedAfter = paused->fileFrame + 1 + fade;
        const TrackMatch::Span resumed =
            TrackMatch::loudSpan(recording, paused->silentFrom, 1e-6f, 64);
        const long long back = TrackMatch::locate(recording, resumed.start + lastTenMs, sweep);
        QVERIFY(back >= 0);
        const long long resumedAt = back - static_cast<long long>(lastTenMs);
        qInfo("resumed %lld frames from where the pause faded out", resumedAt - pausedAfter);
        QVERIFY2(std::llabs(resumedAt - pausedAfter) <= rate / 1000,
                 qPrintable(QString("paused after frame %1, resumed at frame %2")
                                .arg(pausedAfter)
                                .arg(resumedAt)));
    }

    void shouldOpenTheStreamAtEachTracksRate()
    {
        AudioSystem* system = nullptr;
        QCOMPARE(AudioSystem::create(&system), AudioResult::Ok);
        QCOMPARE(system->init(), AudioResult::Ok);
        for (const int trackRate : {22050, 96000}) {
            AudioFixtures::Tone tone;
            tone.sampleRate = trackRate;
            const std::string file = path(QString("stream-%1.wav").arg(trackRate));
            QVERIFY(AudioFixtures::writeTone(file, AudioFixtures::Format::Wav, tone));
            Sound* sound = nullptr;
            system->createSound(file.c_str(), AudioSystem::ModeSoftware, nullptr, &sound);
            Channel* channel = nullptr;
            system->playSound(AudioSystem::FreeChannel, sound, false, &channel);
            QVERIFY(channel);
            // The engine's thread starts the stream as soon as playSound has returned.
            QTRY_VERIFY(system->usingDevice());
            QCOMPARE(system->outputRate(), trackRate);
            // The server converts the stream to the sink's rate; the engine resamples nothing.
            const QString formats = streamFormats(*server);
            QVERIFY2(formats == QString("float32le 2ch %1Hz").arg(trackRate), qPrintable(formats));
            channel->stop();
            sound->release();
            QTRY_VERIFY2(!system->outputRunning(),
                         qPrintable(QString("still %1; the server's streams: %2")
                                        .arg(system->usingDevice() ? "on the device"
                                                                   : "starting or on the clock")
                                        .arg(streamFormats(*server))));
        }
        system->release();
    }

    void shouldLandOnTheFrameASeekAsksFor_data()
    {
        QTest::addColumn<uint32_t>("playUntil");
        QTest::addColumn<uint32_t>("seekTo");
        QTest::newRow("forward") << 500u << 2300u;
        QTest::newRow("backward") << 2000u << 700u;
        QTest::newRow("to the start") << 800u << 0u;
    }

    void shouldLandOnTheFrameASeekAsksFor()
    {
        QFETCH(uint32_t, playUntil);
        QFETCH(uint32_t, seekTo);
        const std::vector<float> noise = ExactSignal::writeNoise(path("seek.wav"), rate, 3.0, 31);
        QVERIFY(!noise.empty());

        auto tap = listen();
        QVERIFY(tap);
        SoundPlayer player;
        player.Play(path("seek.wav").c_str());
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= playUntil, 5000);
        player.SetPosition(seekTo);
        QCOMPARE(player.GetPosition(), seekTo);
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= seekTo + 300, 5000);
        player.Stop();
        QTest::qWait(drainMs);
        const std::vector<float> recording = tap->stop();

        // The file from its start, exactly, up to the seek; after the seek's short crossfade, the
        // file again exactly, from the frame asked for on.
        const TrackMatch before = TrackMatch::find(recording, noise, 0, mayMiss);
        QVERIFY2(before.found && before.exact > 0, qPrintable(before.describe()));
        const size_t jump = before.start + before.exact;
        // Well after the seek the file is heard exactly again; walked back from there, the exact
        // run begins where the fade-in from the new place ends.
        const size_t later = jump + size_t(rate) / 5;
        const long long found = TrackMatch::locate(recording, later, noise);
        // (The break is described only on failure: looking the file up again costs a search.)
        if (found < 0)
            QFAIL(qPrintable("the file is not heard exactly after the seek; " +
                             describeBreak(recording, noise, before)));
        size_t at = later;
        long long frame = found;
        while (at > jump && frame > 0 && recording[2 * (at - 1)] == noise[2 * (frame - 1)] &&
               recording[2 * (at - 1) + 1] == noise[2 * (frame - 1) + 1]) {
            --at;
            --frame;
        }
        const long long asked = (static_cast<long long>(seekTo) * rate + 999) / 1000;
        const long long fade = rate / 200;
        if (std::llabs(frame - fade - asked) > 1)
            QFAIL(qPrintable(QString("asked for frame %1; heard exactly from frame %2 on, after a "
                                     "fade of %3; %4")
                                 .arg(asked)
                                 .arg(frame)
                                 .arg(fade)
                                 .arg(describeBreak(recording, noise, before))));
    }
};

QTEST_GUILESS_MAIN(AudioOutputTest)
#include "AudioOutputTest.moc"
