// The output's life without a device: OutputController driven with fake outputs and a made-up
// clock, through every transition its header lists.
#include "OutputController.h"
#include "AudioOutput.h"
#include "Mixer.h"
#include "OutputBackend.h"

#include <QTest>

#include <chrono>
#include <memory>
#include <vector>

using namespace std::chrono_literals;
using State = OutputController::State;
using Time = OutputController::Clock::time_point;

namespace
{

// What happened to one fake output, kept by the backend so it outlives the output.
struct OutputLog {
    bool isClock = false;
    int rate = 0;
    bool started = false;
    bool muted = true;
    bool destroyed = false;
    int starts = 0;
    int stops = 0;
    // Set by the test.
    bool refuseStart = false;
    bool failed = false;
    int64_t queued = 0;
};

class FakeOutput : public AudioOutput
{
public:
    explicit FakeOutput(std::shared_ptr<OutputLog> log) : log(std::move(log)) {}
    ~FakeOutput() override { log->destroyed = true; }

    bool start() override
    {
        if (log->refuseStart || log->failed)
            return false;
        log->started = true;
        ++log->starts;
        return true;
    }
    void stop() override
    {
        if (log->started)
            ++log->stops;
        log->started = false;
    }
    bool failed() const override { return log->failed; }
    void setMuted(bool muted) override { log->muted = muted; }
    int64_t queuedFrames() override { return log->queued; }

private:
    std::shared_ptr<OutputLog> log;
};

class FakeBackend : public OutputBackend
{
public:
    std::unique_ptr<AudioOutput> openDevice(Mixer&, int rate) override
    {
        ++tries;
        if (!deviceAvailable)
            return nullptr;
        devices.push_back(std::make_shared<OutputLog>());
        devices.back()->rate = rate;
        devices.back()->queued = queuedFrames;
        return std::make_unique<FakeOutput>(devices.back());
    }
    void disconnect() override { ++disconnects; }
    std::unique_ptr<AudioOutput> openClock(Mixer& mixer) override
    {
        clocks.push_back(std::make_shared<OutputLog>());
        clocks.back()->isClock = true;
        clocks.back()->rate = mixer.outputRate();
        clocks.back()->muted = false;
        return std::make_unique<FakeOutput>(clocks.back());
    }
    int preferredRate() const override { return 0; }

    bool deviceAvailable = true;
    int64_t queuedFrames = 0;
    int tries = 0;
    int disconnects = 0;
    std::vector<std::shared_ptr<OutputLog>> devices;
    std::vector<std::shared_ptr<OutputLog>> clocks;
};

// A controller on a one-voice mixer whose audibility the test sets by hand, and the engine
// thread's part of the work (the device try) done the way the engine does it.
struct Rig {
    explicit Rig(int rate = 44100) : mixer(1, rate)
    {
        auto fake = std::make_unique<FakeBackend>();
        backend = fake.get();
        controller = std::make_unique<OutputController>(mixer, std::move(fake));
    }

    void setAudible(bool audible)
    {
        Voice& voice = mixer.voice(0);
        voice.pauseRequested.store(false);
        voice.ended.store(false);
        voice.state.store(audible ? Voice::Active : Voice::Idle);
    }

    // One round of the engine's thread at `now`: the transitions, then any device try.
    Time step(Time now)
    {
        Time due = controller->update(now);
        if (controller->deviceTryDue()) {
            const int rate = controller->rate();
            controller->deviceOpened(controller->openDevice(rate), rate, now);
            due = controller->update(now);
        }
        return due;
    }

    void play(Time now)
    {
        setAudible(true);
        controller->wantAudio();
        step(now);
    }

    OutputLog& device() { return *backend->devices.back(); }
    OutputLog& clock() { return *backend->clocks.back(); }

    Mixer mixer;
    FakeBackend* backend = nullptr;
    std::unique_ptr<OutputController> controller;
};

const Time t0 = Time() + 1h;

} // namespace

class OutputControllerTest : public QObject
{
    Q_OBJECT

private slots:
    void shouldStartTheDeviceOnTheEnginesThreadOnly()
    {
        Rig rig;
        rig.setAudible(true);
        rig.controller->wantAudio();
        // Asking touches no device: the caller (the GUI thread) returns at once.
        QCOMPARE(rig.controller->state(), State::Starting);
        QCOMPARE(rig.backend->tries, 0);
        rig.controller->update(t0);
        QVERIFY(rig.controller->deviceTryDue());
        rig.controller->deviceOpened(rig.controller->openDevice(44100), 44100, t0);
        QCOMPARE(rig.controller->state(), State::OnDevice);
        QVERIFY(rig.device().started);
        QVERIFY(!rig.device().muted);
        QCOMPARE(rig.device().rate, 44100);
    }

    void shouldDrainWhatTheDeviceHoldsBeforeStopping()
    {
        Rig rig;
        rig.backend->queuedFrames = 4410; // 100 ms at 44.1 kHz
        rig.play(t0);
        QCOMPARE(rig.controller->state(), State::OnDevice);

        rig.setAudible(false);
        const Time quiet = t0 + 2s;
        const Time due = rig.step(quiet);
        // Silence goes out until the last rendered frame has been heard, then the stream stops.
        QCOMPARE(rig.controller->state(), State::Draining);
        QCOMPARE(due, quiet + 100ms + OutputController::DrainMargin);
        QVERIFY(rig.device().muted);
        QVERIFY(rig.device().started);
        rig.step(due - 1ms);
        QCOMPARE(rig.controller->state(), State::Draining);
        QVERIFY(rig.device().started);
        QCOMPARE(rig.step(due), Time::max());
        QCOMPARE(rig.controller->state(), State::Idle);
        // Stopped and closed: a stream kept stopped would play the silence it holds before the
        // next sound. The connection stays; the next start opens a new stream on it.
        QCOMPARE(rig.device().stops, 1);
        QVERIFY(rig.device().destroyed);
        QCOMPARE(rig.backend->disconnects, 0);
        rig.play(due + 1s);
        QCOMPARE(rig.controller->state(), State::OnDevice);
        QCOMPARE(rig.backend->tries, 2);
        QCOMPARE(rig.backend->devices.size(), size_t(2));
    }

    void shouldGoBackToTheMixWhenAudioReturnsDuringTheDrain()
    {
        Rig rig;
        rig.backend->queuedFrames = 4410;
        rig.play(t0);
        rig.setAudible(false);
        rig.step(t0 + 1s);
        QCOMPARE(rig.controller->state(), State::Draining);
        rig.setAudible(true);
        rig.controller->wantAudio();
        QCOMPARE(rig.controller->state(), State::OnDevice);
        QVERIFY(!rig.device().muted);
        QCOMPARE(rig.device().stops, 0);
    }

    void shouldSwitchRateOnlyOnceTheDrainIsOver()
    {
        Rig rig(22050);
        rig.backend->queuedFrames = 2205; // 100 ms at 22.05 kHz
        rig.play(t0);
        auto old = rig.backend->devices.back();
        rig.setAudible(false);
        // The next track, at another rate, is asked for before the engine's thread has even
        // seen the mix go quiet.
        rig.controller->setRate(44100);
        QVERIFY(old->muted);
        QCOMPARE(rig.mixer.outputRate(), 44100);
        rig.setAudible(true);
        rig.controller->wantAudio();
        const Time quiet = t0 + 1s;
        const Time due = rig.step(quiet);
        QCOMPARE(rig.controller->state(), State::Draining);
        QCOMPARE(due, quiet + 100ms + OutputController::DrainMargin);
        QCOMPARE(rig.backend->tries, 1);
        QVERIFY(old->started);

        rig.step(due);
        QVERIFY(old->destroyed);
        QCOMPARE(rig.backend->tries, 2);
        QCOMPARE(rig.controller->state(), State::OnDevice);
        QCOMPARE(rig.device().rate, 44100);
        QVERIFY(rig.device().started && !rig.device().muted);
    }

    void shouldKeepTimeOnTheClockAndTryTheDeviceOncePerPeriod()
    {
        Rig rig;
        rig.backend->deviceAvailable = false;
        rig.play(t0);
        QCOMPARE(rig.controller->state(), State::OnClock);
        QVERIFY(rig.clock().started);
        QCOMPARE(rig.backend->tries, 1);

        QCOMPARE(rig.step(t0 + 500ms), t0 + OutputController::RetryPeriod);
        QCOMPARE(rig.backend->tries, 1);
        rig.step(t0 + OutputController::RetryPeriod);
        QCOMPARE(rig.backend->tries, 2);
        QCOMPARE(rig.controller->state(), State::OnClock);

        // The server appears: the next try moves the mix over to it.
        rig.backend->deviceAvailable = true;
        rig.step(t0 + 2 * OutputController::RetryPeriod);
        QCOMPARE(rig.backend->tries, 3);
        QCOMPARE(rig.controller->state(), State::OnDevice);
        QVERIFY(!rig.clock().started);
        QVERIFY(rig.device().started);
    }

    void shouldTryTheDeviceAgainAtEveryStartOffIt()
    {
        Rig rig;
        rig.backend->deviceAvailable = false;
        rig.play(t0);
        rig.setAudible(false);
        rig.step(t0 + 100ms);
        QCOMPARE(rig.controller->state(), State::Idle);
        QVERIFY(!rig.clock().started);
        // A resume 200 ms later, well within the retry period, still tries.
        rig.backend->deviceAvailable = true;
        rig.play(t0 + 300ms);
        QCOMPARE(rig.backend->tries, 2);
        QCOMPARE(rig.controller->state(), State::OnDevice);
    }

    void shouldConnectAfreshWhenTheDeviceFails()
    {
        Rig rig;
        rig.play(t0);
        auto lost = rig.backend->devices.back();
        lost->failed = true;
        rig.step(t0 + 1s);
        QVERIFY(lost->destroyed);
        QCOMPARE(rig.backend->disconnects, 1);
        // The server is back: found at once on a new connection, with no retry period to wait.
        QCOMPARE(rig.backend->tries, 2);
        QCOMPARE(rig.controller->state(), State::OnDevice);
        QVERIFY(rig.device().started);
    }

    void shouldFallBackToTheClockWhenTheDeviceIsLostForGood()
    {
        Rig rig;
        rig.play(t0);
        rig.device().failed = true;
        rig.backend->deviceAvailable = false;
        rig.step(t0 + 1s);
        QCOMPARE(rig.controller->state(), State::OnClock);
        QVERIFY(rig.clock().started);
        QVERIFY(!rig.controller->onDevice());
    }

    void shouldStopTheClockAtOnceWhenQuiet()
    {
        Rig rig;
        rig.backend->deviceAvailable = false;
        rig.play(t0);
        rig.setAudible(false);
        QCOMPARE(rig.step(t0 + 10ms), Time::max());
        QCOMPARE(rig.controller->state(), State::Idle);
        QVERIFY(!rig.clock().started);
    }

    void shouldDropTheClockWhenTheRateChanges()
    {
        Rig rig(44100);
        rig.backend->deviceAvailable = false;
        rig.play(t0);
        rig.setAudible(false);
        rig.controller->setRate(22050);
        QVERIFY(rig.clock().destroyed);
        QCOMPARE(rig.controller->state(), State::Idle);
        rig.play(t0 + 10ms);
        QCOMPARE(rig.controller->state(), State::OnClock);
        QCOMPARE(rig.clock().rate, 22050);
        QCOMPARE(rig.backend->tries, 2);
    }

    void shouldCloseADeviceThatOpensAfterTheMixWentQuiet()
    {
        Rig rig;
        rig.setAudible(true);
        rig.controller->wantAudio();
        rig.controller->update(t0);
        QVERIFY(rig.controller->deviceTryDue());
        // Stop comes while the engine's thread is connecting.
        rig.setAudible(false);
        rig.controller->deviceOpened(rig.controller->openDevice(44100), 44100, t0);
        rig.step(t0);
        QCOMPARE(rig.controller->state(), State::Idle);
        QVERIFY(!rig.device().started);
        QVERIFY(rig.device().destroyed);
        rig.play(t0 + 1s);
        QCOMPARE(rig.backend->tries, 2);
        QCOMPARE(rig.controller->state(), State::OnDevice);
    }

    void shouldLetNothingRenderWhileStarting()
    {
        Rig rig;
        rig.setAudible(true);
        rig.controller->wantAudio();
        // A voice stopped now needs no fade: nothing has rendered it.
        QVERIFY(!rig.controller->rendersMix());
        rig.setAudible(false);
        rig.step(t0);
        QCOMPARE(rig.controller->state(), State::Idle);
        QCOMPARE(rig.backend->tries, 0);
    }
};

QTEST_GUILESS_MAIN(OutputControllerTest)
#include "OutputControllerTest.moc"
