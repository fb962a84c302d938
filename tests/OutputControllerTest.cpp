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
    bool finishing = false;
    bool destroyed = false;
    int starts = 0;
    int stops = 0;
    // Set by the test.
    bool refuseStart = false;
    bool failed = false;
    // Whether what the output held before finish() has been played yet.
    bool playedOut = true;
    // Whether whatever drives the output has stopped asking for audio.
    bool stalled = false;
    uint64_t renderCalls = 0;
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
        log->finishing = false;
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
    void finish() override { log->finishing = true; }
    bool finished() const override { return log->finishing && log->playedOut; }
    // A running output has asked for audio since it was last looked at, unless it stalled.
    uint64_t renderCalls() const override
    {
        if (log->started && !log->stalled)
            ++log->renderCalls;
        return log->renderCalls;
    }

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
        devices.back()->playedOut = playedOut;
        return std::make_unique<FakeOutput>(devices.back());
    }
    void disconnect() override { ++disconnects; }
    std::unique_ptr<AudioOutput> openClock(Mixer& mixer) override
    {
        clocks.push_back(std::make_shared<OutputLog>());
        clocks.back()->isClock = true;
        clocks.back()->rate = mixer.outputRate();
        return std::make_unique<FakeOutput>(clocks.back());
    }
    int preferredRate() const override { return 0; }

    bool deviceAvailable = true;
    // Whether the devices it opens have played out what they hold as soon as they finish.
    bool playedOut = true;
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

    // One round of the engine's thread at `now`: the transitions, closing what they gave up, then
    // any device try.
    Time step(Time now)
    {
        Time due = update(now);
        if (controller->deviceTryDue()) {
            const int rate = controller->rate();
            controller->deviceOpened(controller->openDevice(rate), rate, now);
            due = update(now);
        }
        return due;
    }

    Time update(Time now)
    {
        const Time due = controller->update(now);
        controller->closeRetired(controller->takeRetired());
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
        QVERIFY(!rig.device().finishing);
        QCOMPARE(rig.device().rate, 44100);
    }

    void shouldLetTheDevicePlayOutWhatItHoldsBeforeStopping()
    {
        Rig rig;
        rig.backend->playedOut = false;
        rig.play(t0);
        QCOMPARE(rig.controller->state(), State::OnDevice);

        rig.setAudible(false);
        const Time quiet = t0 + 2s;
        // No more of the mix goes out; the stream plays what it holds, looked at every DrainPoll.
        QCOMPARE(rig.step(quiet), quiet + OutputController::DrainPoll);
        QCOMPARE(rig.controller->state(), State::Draining);
        QVERIFY(rig.device().finishing);
        QVERIFY(rig.device().started);
        rig.step(quiet + 100ms);
        QCOMPARE(rig.controller->state(), State::Draining);
        QVERIFY(rig.device().started);

        rig.device().playedOut = true;
        const Time drained = quiet + 120ms;
        QCOMPARE(rig.step(drained), Time::max());
        QCOMPARE(rig.controller->state(), State::Idle);
        QCOMPARE(rig.device().stops, 1);
        QVERIFY(rig.device().destroyed);
        // The connection stays; the next start opens a new stream on it.
        QCOMPARE(rig.backend->disconnects, 0);
        rig.play(drained + 1s);
        QCOMPARE(rig.controller->state(), State::OnDevice);
        QCOMPARE(rig.backend->tries, 2);
        QVERIFY(!rig.device().finishing);
    }

    void shouldStopADrainThatNeverEnds()
    {
        Rig rig;
        rig.backend->playedOut = false;
        rig.play(t0);
        rig.setAudible(false);
        rig.step(t0);
        rig.step(t0 + OutputController::DrainTimeout - 1ms);
        QCOMPARE(rig.controller->state(), State::Draining);
        rig.step(t0 + OutputController::DrainTimeout);
        QCOMPARE(rig.controller->state(), State::Idle);
        QVERIFY(!rig.device().started);
    }

    void shouldStartAgainOnceTheDrainIsOverWhenAudioReturnsDuringIt()
    {
        Rig rig;
        rig.backend->playedOut = false;
        rig.play(t0);
        rig.setAudible(false);
        rig.step(t0 + 1s);
        QCOMPARE(rig.controller->state(), State::Draining);
        rig.setAudible(true);
        rig.controller->wantAudio();
        rig.step(t0 + 1s + 20ms);
        QCOMPARE(rig.controller->state(), State::Draining);
        auto drained = rig.backend->devices.back();
        drained->playedOut = true;
        rig.step(t0 + 1s + 40ms);
        QCOMPARE(rig.controller->state(), State::OnDevice);
        QVERIFY(drained->destroyed);
        QCOMPARE(rig.backend->tries, 2);
        QVERIFY(rig.device().started);
    }

    void shouldSwitchRateOnlyOnceTheDrainIsOver()
    {
        Rig rig(22050);
        rig.backend->playedOut = false;
        rig.play(t0);
        auto old = rig.backend->devices.back();
        rig.setAudible(false);
        // The next track, at another rate, is asked for before the engine's thread has even
        // seen the mix go quiet: the old stream renders no more of the mix from here on.
        rig.controller->setRate(44100);
        QVERIFY(old->finishing);
        QCOMPARE(rig.mixer.outputRate(), 44100);
        rig.setAudible(true);
        rig.controller->wantAudio();
        rig.step(t0 + 1s);
        QCOMPARE(rig.controller->state(), State::Draining);
        QCOMPARE(rig.backend->tries, 1);
        QVERIFY(old->started);

        old->playedOut = true;
        rig.step(t0 + 1s + 100ms);
        QVERIFY(old->destroyed);
        QCOMPARE(rig.backend->tries, 2);
        QCOMPARE(rig.controller->state(), State::OnDevice);
        QCOMPARE(rig.device().rate, 44100);
        QVERIFY(rig.device().started && !rig.device().finishing);
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

    void shouldConnectAfreshWhenTheDeviceStopsAskingForAudio()
    {
        Rig rig;
        rig.play(t0);
        // The server asks again and again: nothing happens, however long the track.
        for (Time now = t0 + 1s; now <= t0 + 30s; now += 1s)
            QCOMPARE(rig.step(now), now + OutputController::StallTimeout);
        QCOMPARE(rig.backend->tries, 1);

        // It stops asking after the last look: the engine's thread is due again when the stream
        // counts as stalled, and not before does it give up on it.
        const Time lastAsked = t0 + 30s;
        auto stalled = rig.backend->devices.back();
        stalled->stalled = true;
        const Time nearly = lastAsked + OutputController::StallTimeout - 1ms;
        QCOMPARE(rig.step(nearly), lastAsked + OutputController::StallTimeout);
        QCOMPARE(rig.backend->tries, 1);
        QVERIFY(stalled->started);

        rig.step(lastAsked + OutputController::StallTimeout);
        QVERIFY(stalled->destroyed);
        QCOMPARE(rig.backend->disconnects, 1);
        QCOMPARE(rig.backend->tries, 2);
        QCOMPARE(rig.controller->state(), State::OnDevice);
        QVERIFY(rig.device().started);
    }

    void shouldNotCountAQuietStreamAsStalled()
    {
        Rig rig;
        rig.backend->playedOut = false;
        rig.play(t0);
        rig.device().stalled = true;
        // Quiet: the stream drains (and asks for nothing while it does), then closes, as always.
        rig.setAudible(false);
        rig.step(t0 + 1s);
        QCOMPARE(rig.controller->state(), State::Draining);
        rig.step(t0 + 1s + OutputController::StallTimeout);
        QCOMPARE(rig.controller->state(), State::Idle);
        QCOMPARE(rig.backend->tries, 1);
        QCOMPARE(rig.backend->disconnects, 0);
    }

    void shouldLeaveClosingAGivenUpStreamToTheEnginesThread()
    {
        // Closing a stream waits for the server: update() runs under the engine's mutex, so it
        // only stops the stream rendering and hands it over, with the connection to drop.
        Rig rig;
        rig.play(t0);
        auto lost = rig.backend->devices.back();
        lost->stalled = true;
        rig.controller->update(t0 + OutputController::StallTimeout);
        QVERIFY(lost->finishing);
        QVERIFY(lost->started);
        QVERIFY(!lost->destroyed);
        QCOMPARE(rig.backend->disconnects, 0);
        QVERIFY(rig.controller->deviceTryDue());

        OutputController::Retired retired = rig.controller->takeRetired();
        QCOMPARE(retired.outputs.size(), size_t(1));
        QVERIFY(retired.disconnect);
        QVERIFY(rig.controller->takeRetired().empty());
        rig.controller->closeRetired(std::move(retired));
        QCOMPARE(lost->stops, 1);
        QVERIFY(lost->destroyed);
        QCOMPARE(rig.backend->disconnects, 1);
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
