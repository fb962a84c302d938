// Faults around the sound: the sound server taken away and brought back (killed while a track
// plays, restarted while the player is paused, or started after the player), stopped so that it
// answers nothing, and a file deleted or cut while it plays. Whatever happens, the player keeps
// time and every call answers at once; once a server answers, what plays next is heard exactly.
//
// The tests run their own PulseAudio servers (SoundServer) and point PULSE_SERVER at them, so a
// server that runs on the machine for anything else is never touched.
#include "AudioFixtures.h"
#include "CallTimer.h"
#include "ExactSignal.h"
#include "PulseAddressScope.h"
#include "SinkTap.h"
#include "SoundPlayer.h"
#include "SoundServer.h"
#include "TrackMatch.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <memory>
#include <mutex>
#include <thread>

namespace
{

// Generous: positions move in real time, and a busy machine only slows the test down.
constexpr int waitMs = 10000;

// A PulseAudio server of the case's own, whose sink the tap hears; PULSE_SERVER names it while it
// lives. Taken away and started again, it comes back at the same address and into the same tap.
struct OwnServer {
    SinkTap tap;
    SoundServer server{SoundServer::Kind::PulseAudio, 44100, true, tap.fifo()};
    const PulseAddressScope address{server.address()};
};

// Continues stopped processes (SIGCONT) from a thread of its own once `after` has passed, or at
// now(), whichever comes first, and at the latest when it goes out of scope: a call that waited
// for them comes back only then.
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

} // namespace

class AudioFaultTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    std::string writeTone(const QString& name, AudioFixtures::Format format, double seconds)
    {
        AudioFixtures::Tone tone;
        tone.seconds = seconds;
        const std::string path = dir.filePath(name + AudioFixtures::suffix(format)).toStdString();
        return AudioFixtures::writeTone(path, format, tone) ? path : std::string();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        if (!SoundServer::toolsInstalled())
            QSKIP("pulseaudio, pactl, parec and pacat are not installed");
    }

    void shouldBeHeardOnceAServerAnswersAgain_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("killed while a track plays; the next Play") << "killed";
        QTest::newRow("restarted while paused; the resume") << "restarted";
        QTest::newRow("started after the player; the next Play") << "late";
    }

    void shouldBeHeardOnceAServerAnswersAgain()
    {
        QFETCH(QString, fault);
        OwnServer own;
        SoundServer& server = own.server;
        const int rate = server.sinkRate();
        const std::string first = dir.filePath("first.wav").toStdString();
        const std::string second = dir.filePath("second.wav").toStdString();
        const std::vector<float> noise = ExactSignal::writeNoise(first, rate, 2.5, 41);
        const std::vector<float> next = ExactSignal::writeNoise(second, rate, 1.0, 42);
        QVERIFY(!noise.empty() && !next.empty());
        // Before a server that starts late, a silent track: nothing to hear before the next one.
        AudioFixtures::Tone silence;
        silence.seconds = 2.5;
        silence.amplitude = 0;
        if (fault == "late")
            QVERIFY(AudioFixtures::writeTone(first, AudioFixtures::Format::Wav, silence));

        SoundPlayer player;
        if (fault != "late")
            QVERIFY2(server.start(), qPrintable(server.failure()));
        player.Play(first.c_str());
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= 500, waitMs);
        uint32_t pausedAt = 0;
        if (fault == "killed") {
            server.kill();
            // Time goes on by the clock, to the end of the track.
            const uint32_t lostAt = player.GetPosition();
            QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= lostAt + 1000, waitMs);
            QTRY_COMPARE_WITH_TIMEOUT(player.GetPosition(), 2500u, waitMs);
            QVERIFY2(server.start(), qPrintable(server.failure()));
        } else if (fault == "restarted") {
            player.TogglePause();
            // Paused, the stream drains and closes; the connection stays, to a server that then
            // goes away and comes back.
            QTRY_VERIFY_WITH_TIMEOUT(server.sinkInputs().isEmpty(), waitMs);
            pausedAt = player.GetPosition();
            server.kill();
            QVERIFY2(server.start(), qPrintable(server.failure()));
        } else {
            // Found while the clock plays, within a try or two (RetryPeriod).
            QVERIFY2(server.start(), qPrintable(server.failure()));
            QTRY_COMPARE_WITH_TIMEOUT(server.sinkInputs().size(), 1, waitMs);
        }

        own.tap.start();
        if (fault == "restarted")
            player.TogglePause();
        else
            player.Play(second.c_str());
        const std::vector<float>& track = fault == "restarted" ? noise : next;
        const uint32_t length = fault == "restarted" ? 2500u : 1000u;
        QTRY_COMPARE_WITH_TIMEOUT(player.GetPosition(), length, waitMs);
        QVERIFY2(own.tap.waitForSilence(size_t(rate) / 4), "the sink never fell silent");
        const std::vector<float> recording = own.tap.stop();

        // Heard exactly to its last frame, with nothing before it but its fade-in, from where
        // it starts: a Play at the track's start, a resume where it paused (read in whole
        // milliseconds), past its fade-in. The engine's clock may have played the first of it,
        // in whole blocks, while the stream opened (TrackMatch::beginsAt), but not half a
        // second: a stream that had to wait for the next try would have come a RetryPeriod (a
        // second) late.
        const TrackMatch heard = TrackMatch::find(recording, track);
        const bool resumed = fault == "restarted";
        const long long startsAt = resumed ? pausedAt * rate / 1000 : 0;
        const long long slack = resumed ? rate / 1000 : 0;
        const long long fadeIn = resumed ? rate / 200 : 0;
        const long long block = rate / 100;
        const long long since = heard.trackFrame - startsAt;
        const long long blocks = (since + block / 2) / block;
        const bool onTime = std::llabs(since - fadeIn) <= slack;
        const bool afterTheClock =
            blocks > 0 && std::llabs(since - blocks * block) <= slack && since < rate / 2;
        QVERIFY2(heard.found() && heard.at <= fadeIn && (onTime || afterTheClock) &&
                     heard.trackEnd() == long(track.size() / 2),
                 qPrintable(QString("%1; started at the track's frame %2")
                                .arg(heard.describe())
                                .arg(startsAt)));
    }

    void shouldAnswerEveryCallWhileTheServerIsStopped_data()
    {
        QTest::addColumn<QString>("moment");
        // The stream stops asking for audio and is given up, and closing it waits for the
        // server; the next track comes meanwhile.
        QTest::newRow("under a playing stream") << "playing";
        // The stream has drained and closed; opening and starting the next one wait.
        QTest::newRow("between two tracks") << "starting";
        // Releasing the engine stops and closes the stream.
        QTest::newRow("quitting") << "quitting";
    }

    void shouldAnswerEveryCallWhileTheServerIsStopped()
    {
        QFETCH(QString, moment);
        OwnServer own;
        SoundServer& server = own.server;
        QVERIFY2(server.start(), qPrintable(server.failure()));
        const std::string first = writeTone("before-the-stop", AudioFixtures::Format::Wav, 8.0);
        const std::string second = writeTone("while-stopped", AudioFixtures::Format::Wav, 8.0);
        QVERIFY(!first.empty() && !second.empty());

        // Every call the window makes, timed: the slowest is the hang check below.
        CallTimer timed;
        auto player = std::make_unique<SoundPlayer>();
        const auto position = [&] { return timed([&] { return player->GetPosition(); }); };
        player->Play(first.c_str());
        QTRY_VERIFY_WITH_TIMEOUT(server.sinkInputs().size() == 1 && position() >= 300, waitMs);
        if (moment == "starting") {
            player->Stop();
            QTRY_VERIFY_WITH_TIMEOUT(server.sinkInputs().isEmpty(), waitMs);
        }

        // A call that waited for the stopped server would come back only once another thread
        // lets it go on, 20 s later.
        server.freeze(true);
        Thaw thaw(server.processIds(), std::chrono::seconds(20));
        if (moment == "quitting") {
            timed([&] { return (player.reset(), 0); });
            qInfo("quitting with the server stopped took %.0f ms", timed.slowestMs);
            // Promised: within a second (the engine waits ReleaseWait for the server).
            QVERIFY2(!thaw.done() && timed.slowestMs < 1000,
                     qPrintable(QString("%1 ms").arg(timed.slowestMs)));
            return;
        }
        timed([&] { return (player->Stop(), player->Play(second.c_str()), 0); });

        // Time goes on without the server, and every call answers at once.
        const uint32_t stoppedAt = position();
        QTRY_VERIFY_WITH_TIMEOUT(position() >= stoppedAt + 500, waitMs);
        timed([&] { return (player->TogglePause(), player->TogglePause(), 0); });
        timed([&] { return (player->SetPosition(1000), player->GetLength()); });
        QTRY_VERIFY_WITH_TIMEOUT(position() >= 1500, waitMs);
        qInfo("slowest call while the server was stopped: %.2f ms", timed.slowestMs);
        // A hang check, not a timing: these calls take microseconds; one that waited for the
        // server would take until it is continued.
        QVERIFY2(!thaw.done() && timed.slowestMs < 200,
                 qPrintable(QString("slowest call %1 ms").arg(timed.slowestMs)));

        // Once the server goes on, so does the sound: on a stream of its own, the position moving.
        thaw.now();
        QTRY_COMPARE_WITH_TIMEOUT(server.sinkInputs().size(), 1, waitMs);
        const uint32_t resumedAt = position();
        QTRY_VERIFY_WITH_TIMEOUT(position() >= resumedAt + 500, waitMs);
        QVERIFY(position() < 8000);
    }

    void shouldEndCleanlyWhenTheFileGoesAwayWhilePlaying_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<qint64>("keepBytes"); // -1: the file is deleted; -2: cut to half
        using F = AudioFixtures::Format;
        QTest::newRow("WAV deleted") << int(F::Wav) << qint64(-1);
        QTest::newRow("WAV cut to half") << int(F::Wav) << qint64(-2);
        QTest::newRow("FLAC cut to half") << int(F::Flac) << qint64(-2);
        QTest::newRow("Ogg Vorbis cut to half") << int(F::OggVorbis) << qint64(-2);
        QTest::newRow("MP3 cut to half") << int(F::Mp3) << qint64(-2);
        QTest::newRow("MP3 emptied") << int(F::Mp3) << qint64(0);
    }

    void shouldEndCleanlyWhenTheFileGoesAwayWhilePlaying()
    {
        QFETCH(int, format);
        QFETCH(qint64, keepBytes);
        // On the clock: an address where no server answers.
        const PulseAddressScope nowhere("unix:" + dir.filePath("no-server-here"));
        const std::string path = writeTone(QString("vanishing-%1-%2").arg(format).arg(keepBytes),
                                           static_cast<AudioFixtures::Format>(format), 3.0);
        QVERIFY(!path.empty());
        const QString file = QString::fromStdString(path);

        SoundPlayer player;
        player.Play(path.c_str());
        QCOMPARE(player.GetLength(), 3000u);
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() >= 300, waitMs);
        if (keepBytes == -1)
            QVERIFY(QFile::remove(file));
        else
            QVERIFY(QFile::resize(file, keepBytes == -2 ? QFileInfo(file).size() / 2 : keepBytes));

        // Whatever could not be read any more, the track ends where its length says.
        QTRY_COMPARE_WITH_TIMEOUT(player.GetPosition(), 3000u, waitMs);
        QCOMPARE(player.GetLength(), 3000u);
        player.Stop();
        QCOMPARE(player.GetPosition(), 0u);
    }
};

QTEST_GUILESS_MAIN(AudioFaultTest)
#include "AudioFaultTest.moc"
