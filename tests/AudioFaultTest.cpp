// Faults around the sound: no sound server at all, the server dying in the middle of a track and
// coming back, and the file being deleted or cut short while it plays. Whatever happens, the player
// keeps time, reaches the end of the track and goes on; nothing crashes or hangs.
//
// The tests run their own PulseAudio servers (SoundServer) and point PULSE_SERVER at them, so a
// server that runs on the machine for anything else is never touched.
#include "AudioFixtures.h"
#include "AudioSystem.h"
#include "Channel.h"
#include "ExactSignal.h"
#include "MainWindow.h"
#include "PulseAddressScope.h"
#include "SinkRecorder.h"
#include "SinkTap.h"
#include "Sound.h"
#include "SoundPlayer.h"
#include "SoundServer.h"
#include "TrackMatch.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <memory>
#include <mutex>
#include <thread>

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

// The longest stretch of `track` heard exactly in one run in `recording`, and the frame of the
// track it ends at.
struct HeardRun {
    long long frames = 0;
    long long endsAt = -1;
};

HeardRun heardRun(const std::vector<float>& recording, const std::vector<float>& track)
{
    HeardRun longest;
    for (size_t from = 0;;) {
        const TrackMatch::Place place = TrackMatch::firstPlace(recording, from, track);
        if (place.recordingFrame < 0)
            return longest;
        auto at = static_cast<size_t>(place.recordingFrame);
        auto frame = static_cast<size_t>(place.trackFrame);
        HeardRun run;
        while (2 * at < recording.size() && 2 * frame < track.size() &&
               recording[2 * at] == track[2 * frame] &&
               recording[2 * at + 1] == track[2 * frame + 1]) {
            ++at;
            ++frame;
            ++run.frames;
        }
        run.endsAt = static_cast<long long>(frame);
        if (run.frames > longest.frames)
            longest = run;
        from = at;
    }
}

uint32_t positionOf(Channel* channel)
{
    uint32_t ms = 0;
    channel->getPosition(&ms);
    return ms;
}

// Continues stopped processes (SIGCONT) from a thread of its own once `after` has passed, or at
// now(), whichever comes first, and at the latest when it goes out of scope.
class Thaw
{
public:
    Thaw(QList<qint64> ids, std::chrono::seconds after)
        : processes(std::move(ids)), thread([this, after] {
              std::unique_lock lock(mutex);
              wake.wait_for(lock, after, [this] { return asked; });
              for (const qint64 id : processes)
                  ::kill(static_cast<pid_t>(id), SIGCONT);
              thawed = true;
          })
    {
    }
    ~Thaw() { now(); }
    Thaw(const Thaw&) = delete;
    Thaw& operator=(const Thaw&) = delete;

    void now()
    {
        {
            std::lock_guard lock(mutex);
            asked = true;
        }
        wake.notify_all();
        if (thread.joinable())
            thread.join();
    }
    // True once the processes have been continued.
    bool done() const { return thawed.load(); }

private:
    const QList<qint64> processes;
    std::mutex mutex;
    std::condition_variable wake;
    bool asked = false;
    std::atomic<bool> thawed{false};
    std::thread thread;
};

// A sound server of the case's own, which PULSE_SERVER names while it lives.
class OwnServer : public SoundServer
{
    const PulseAddressScope scope{address()};
};

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
        if (!SoundServer::toolsInstalled())
            QSKIP("pulseaudio, pactl and parec are not installed");
        OwnServer server;
        QVERIFY(server.start());
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
        QVERIFY(recorder.start(SoundServer::monitorSource()));
        player.Play(second.c_str());
        QTRY_COMPARE_WITH_TIMEOUT(player.GetPosition(), 1000u, 5000);
        QTest::qWait(400);
        const SoundCapture capture = recorder.stop();
        const auto spans = capture.loudSpans();
        QVERIFY2(!spans.empty(), "nothing heard after the server came back");
        // Audible is all this asks (dropouts are the output test's business): most of the tone
        // is heard, at its pitch.
        double heard = 0;
        auto longest = spans.front();
        for (const auto& span : spans) {
            heard += span.length();
            if (span.length() > longest.length())
                longest = span;
        }
        QVERIFY2(heard > 0.9, qPrintable(QString("heard %1 s of a 1 s tone").arg(heard)));
        const double hz = capture.frequency(longest.start + 0.02, longest.end - 0.02);
        QVERIFY2(std::fabs(hz / 660.0 - 1.0) < 0.01, qPrintable(QString("heard %1 Hz").arg(hz)));
    }

    void shouldOpenANewStreamWhenTheServerStopsAskingForAudio()
    {
        if (!SoundServer::toolsInstalled())
            QSKIP("pulseaudio, pactl and parec are not installed");
        OwnServer server;
        QVERIFY(server.start());
        const std::string track = writeTone("through-a-stall", AudioFixtures::Format::Wav, 8.0);
        QVERIFY(!track.empty());

        SoundPlayer player;
        player.Play(track.c_str());
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= 300, 5000);
        // The index of the player's stream, the one stream on the server; empty while it has
        // none, or between closing one and opening the next. One look at the server each time.
        auto playerStream = [&server] {
            const QList<QStringList> streams = server.sinkInputs();
            return streams.size() == 1 ? streams.front().front() : QString();
        };
        const QString first = playerStream();
        QVERIFY(!first.isEmpty());
        // The sink stops taking audio (as a stream nothing is linked to waits), so the player's
        // stream is no longer asked for any: the engine gives it up for a new one.
        QVERIFY(server.suspendSink(true));
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const QString now = playerStream();
                return !now.isEmpty() && now != first;
            }(),
            5000);
        const uint32_t stoodAt = player.GetPosition();
        QVERIFY(server.suspendSink(false));
        // The music goes on from where it stood.
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= stoodAt + 500, 5000);
        QVERIFY2(player.GetPosition() < 8000u, "the track ran to its end while nothing was heard");
    }

    void shouldAnswerEveryCallWhileTheServerIsFrozen()
    {
        if (!SoundServer::toolsInstalled())
            QSKIP("pulseaudio, pactl and parec are not installed");
        OwnServer server;
        QVERIFY(server.start());
        const std::string first = writeTone("before-the-freeze", AudioFixtures::Format::Wav, 8.0);
        const std::string second = writeTone("after-the-thaw", AudioFixtures::Format::Wav, 3.0);
        QVERIFY(!first.empty() && !second.empty());

        AudioSystem* system = nullptr;
        QCOMPARE(AudioSystem::create(&system), AudioResult::Ok);
        QCOMPARE(system->init(), AudioResult::Ok);
        const auto play = [system](const std::string& path) {
            Sound* sound = nullptr;
            system->createSound(path.c_str(), AudioSystem::ModeSoftware, nullptr, &sound);
            Channel* channel = nullptr;
            system->playSound(AudioSystem::FreeChannel, sound, false, &channel);
            return channel;
        };
        Channel* channel = play(first);
        QVERIFY(channel);
        QTRY_VERIFY_WITH_TIMEOUT(system->usingDevice() && positionOf(channel) >= 300, 5000);

        // The server hangs: its socket stays open and nothing it is asked is answered. Should a
        // call wait for it, another thread lets it go on after a while, and the test sees that
        // the call came back only then.
        server.freeze(true);
        Thaw thaw(server.processIds(), std::chrono::seconds(20));
        // The engine gives the stream up as stalled; closing it waits for the server, and no call
        // waits with it.
        QTRY_VERIFY_WITH_TIMEOUT(!system->usingDevice(), 10000);
        const uint32_t stoodAt = positionOf(channel);
        QCOMPARE(channel->setPaused(true), AudioResult::Ok);
        QCOMPARE(channel->setPaused(false), AudioResult::Ok);
        QCOMPARE(channel->stop(), AudioResult::Ok);
        Channel* nextChannel = play(second);
        QVERIFY(nextChannel);
        QVERIFY2(!thaw.done(), "a call waited for the frozen server");
        QVERIFY(stoodAt < 8000);

        // Once the server answers again, the next track is played on it.
        thaw.now();
        QTRY_VERIFY_WITH_TIMEOUT(system->usingDevice() && positionOf(nextChannel) >= 500, 10000);
        QCOMPARE(system->release(), AudioResult::Ok);
    }

    void shouldAnswerAtOnceWhileTheServerIsStoppedAtAStreamsStartCloseOrQuitting_data()
    {
        QTest::addColumn<QString>("moment");
        QTest::newRow("start") << "start";
        QTest::newRow("close") << "close";
        QTest::newRow("quitting") << "quitting";
    }

    void shouldAnswerAtOnceWhileTheServerIsStoppedAtAStreamsStartCloseOrQuitting()
    {
        QFETCH(QString, moment);
        if (!SoundServer::toolsInstalled())
            QSKIP("pulseaudio, pactl and parec are not installed");
        SoundServer server;
        QVERIFY(server.start());
        const PulseAddressScope address(server.address());
        const std::string first = writeTone("before-the-stop", AudioFixtures::Format::Wav, 8.0);
        const std::string second = writeTone("while-stopped", AudioFixtures::Format::Wav, 8.0, 660);
        QVERIFY(!first.empty() && !second.empty());

        // Every call the window makes, timed: the slowest is the hang check below.
        double slowestMs = 0;
        auto timed = [&](auto call) {
            QElapsedTimer timer;
            timer.start();
            call();
            slowestMs = std::max(slowestMs, timer.nsecsElapsed() / 1e6);
        };
        auto player = std::make_unique<SoundPlayer>();
        uint32_t position = 0;
        auto readPosition = [&] {
            timed([&] { position = player->GetPosition(); });
            return position;
        };
        player->Play(first.c_str());
        QTRY_VERIFY_WITH_TIMEOUT(server.sinkInputs().size() == 1 && readPosition() >= 300, 5000);

        // A call that waited for the stopped server would come back only once another thread
        // lets it go on, 20 s later.
        std::unique_ptr<Thaw> thaw;
        auto stopServer = [&] {
            server.freeze(true);
            thaw = std::make_unique<Thaw>(server.processIds(), std::chrono::seconds(20));
        };
        if (moment == "quitting") {
            stopServer();
            // Releasing the engine stops and closes the stream: the server does not answer.
            QElapsedTimer quitting;
            quitting.start();
            player.reset();
            const qint64 took = quitting.elapsed();
            qInfo("quitting with the server stopped took %lld ms", took);
            QVERIFY2(!thaw->done(), "quitting waited for the stopped server");
            // Promised: within a second.
            QVERIFY2(took < 1000, qPrintable(QString("%1 ms").arg(took)));
            return;
        }
        if (moment == "start") {
            // The stream drains and closes; the connection stays. Then the server stops, and
            // the next Play's stream is opened and started on it.
            timed([&] { player->Stop(); });
            QTRY_VERIFY_WITH_TIMEOUT(server.sinkInputs().isEmpty(), 5000);
            stopServer();
            timed([&] { player->Play(second.c_str()); });
        } else {
            // The server stops under the playing stream; Stop drains it, which never ends, and
            // then closing it waits. The next Play comes meanwhile.
            stopServer();
            timed([&] { player->Stop(); });
            QTest::qWait(1500);
            timed([&] { player->Play(second.c_str()); });
        }
        // Time goes on without the server, and every call answers at once.
        QTRY_VERIFY_WITH_TIMEOUT(readPosition() >= 500, 5000);
        timed([&] { player->TogglePause(); });
        timed([&] { player->TogglePause(); });
        timed([&] { player->SetPosition(1000); });
        timed([&] { player->GetLength(); });
        QTRY_VERIFY_WITH_TIMEOUT(readPosition() >= 1500, 5000);
        QVERIFY2(!thaw->done(), "a call waited for the stopped server");
        qInfo("slowest call while the server was stopped: %.2f ms", slowestMs);
        // A hang check, not a timing: these calls take microseconds; one that waited for the
        // server would take until it is continued.
        QVERIFY2(slowestMs < 200, qPrintable(QString("slowest call %1 ms").arg(slowestMs)));

        // Once the server goes on, so does the sound: on a stream of its own, the position moving.
        thaw->now();
        QTRY_VERIFY_WITH_TIMEOUT(server.sinkInputs().size() == 1, 10000);
        const uint32_t resumedAt = readPosition();
        QTRY_VERIFY_WITH_TIMEOUT(readPosition() >= resumedAt + 500, 5000);
        QVERIFY(position < 8000);
    }

    void shouldFindAServerThatStartsAfterThePlayer()
    {
        if (!SoundServer::toolsInstalled())
            QSKIP("pulseaudio, pactl and parec are not installed");
        // The player starts, and plays, while nothing answers at the address (as at a login
        // where the player comes up before the sound server).
        OwnServer server;
        const std::string silent = writeTone("before-the-server", AudioFixtures::Format::Wav, 3.0);
        QVERIFY(!silent.empty());
        SoundPlayer player;
        player.Play(silent.c_str());
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= 300, 5000);

        QVERIFY(server.start());
        SinkTap tap(server.address(), SoundServer::sinkName(), server.sinkRate());
        QVERIFY(tap.start());
        const std::vector<float> noise = ExactSignal::writeNoise(
            dir.filePath("after-the-server.wav").toStdString(), server.sinkRate(), 1.0, 41);
        QVERIFY(!noise.empty());
        player.Play(dir.filePath("after-the-server.wav").toLocal8Bit().constData());
        QTRY_COMPARE_WITH_TIMEOUT(player.GetPosition(), 1000u, 5000);
        QTest::qWait(500);
        const std::vector<float> recording = tap.stop();
        // Heard, to its last frame.
        const HeardRun run = heardRun(recording, noise);
        QVERIFY2(run.frames > server.sinkRate() * 9 / 10 && run.endsAt == long(noise.size() / 2),
                 qPrintable(QString("%1 frames heard exactly, up to frame %2")
                                .arg(run.frames)
                                .arg(run.endsAt)));
    }

    void shouldBeHeardOnResumeWhenTheServerRestartedDuringThePause()
    {
        if (!SoundServer::toolsInstalled())
            QSKIP("pulseaudio, pactl and parec are not installed");
        OwnServer server;
        QVERIFY(server.start());
        const QString file = dir.filePath("paused-through-a-restart.wav");
        const std::vector<float> noise =
            ExactSignal::writeNoise(file.toStdString(), server.sinkRate(), 2.0, 42);
        QVERIFY(!noise.empty());

        SoundPlayer player;
        player.Play(file.toLocal8Bit().constData());
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= 500, 5000);
        player.TogglePause();
        // Long enough for the stream to drain and stop.
        QTest::qWait(300);
        const uint32_t pausedAt = player.GetPosition();
        server.kill();
        QVERIFY(server.start());
        SinkTap tap(server.address(), SoundServer::sinkName(), server.sinkRate());
        QVERIFY(tap.start());

        // Only the resume: no new Play.
        player.TogglePause();
        QTRY_COMPARE_WITH_TIMEOUT(player.GetPosition(), 2000u, 5000);
        QTest::qWait(500);
        const std::vector<float> recording = tap.stop();
        // The rest of the track is heard, exactly, past the fade-in.
        const HeardRun run = heardRun(recording, noise);
        const long long rest = static_cast<long long>(noise.size() / 2) -
                               static_cast<long long>(pausedAt) * server.sinkRate() / 1000;
        QVERIFY2(
            run.frames > rest - server.sinkRate() / 20 && run.endsAt == long(noise.size() / 2),
            qPrintable(QString("%1 frames heard exactly up to frame %2, after a pause at %3 ms")
                           .arg(run.frames)
                           .arg(run.endsAt)
                           .arg(pausedAt)));
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
