// The output's life without a device: OutputController driven with fake outputs and a made-up
// clock, through every transition its header lists.
#include "OutputController.h"
#include "AudioOutput.h"
#include "FakeOutputs.h"
#include "Mixer.h"

#include <QTest>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using State = OutputController::State;
using Time = OutputController::Clock::time_point;

namespace
{

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

    // One round of the engine's threads at `now`: the transitions, then the device work they
    // ask for (closing what they gave up, a try), done at once, until none is left.
    Time step(Time now)
    {
        Time due = controller->update(now);
        while (controller->deviceWorkDue()) {
            work(now);
            due = controller->update(now);
        }
        return due;
    }

    // The device thread's round, done on the calling thread.
    void work(Time now)
    {
        OutputController::DeviceWork taken = controller->takeDeviceWork(now);
        const int rate = taken.tryRate;
        controller->deviceWorkDone(controller->runDeviceWork(std::move(taken)), rate, now);
    }

    void play(Time now)
    {
        setAudible(true);
        controller->wantAudio();
        step(now);
    }

    OutputLog& device() { return *backend->lastDevice(); }
    OutputLog& clock() { return *backend->lastClock(); }

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
        QCOMPARE(rig.backend->tries.load(), 0);
        rig.controller->update(t0);
        QVERIFY(rig.controller->deviceWorkDue());
        OutputController::DeviceWork work = rig.controller->takeDeviceWork(t0);
        QCOMPARE(work.tryRate, 44100);
        QVERIFY(!rig.controller->deviceWorkDue());
        // Opened and started without the engine's mutex, rendering silence until handed in.
        std::unique_ptr<AudioOutput> opened = rig.controller->runDeviceWork(std::move(work));
        QVERIFY(rig.device().started);
        QVERIFY(!rig.device().admitted);
        QCOMPARE(rig.controller->state(), State::Starting);
        rig.controller->deviceWorkDone(std::move(opened), 44100, t0);
        QCOMPARE(rig.controller->state(), State::OnDevice);
        QVERIFY(rig.device().admitted);
        QVERIFY(!rig.device().finishing);
        QCOMPARE(rig.device().rate.load(), 44100);
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
        QCOMPARE(rig.device().stops.load(), 1);
        QVERIFY(rig.device().destroyed);
        // The connection stays; the next start opens a new stream on it.
        QCOMPARE(rig.backend->disconnects.load(), 0);
        rig.play(drained + 1s);
        QCOMPARE(rig.controller->state(), State::OnDevice);
        QCOMPARE(rig.backend->tries.load(), 2);
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
        auto drained = rig.backend->lastDevice();
        drained->playedOut = true;
        rig.step(t0 + 1s + 40ms);
        QCOMPARE(rig.controller->state(), State::OnDevice);
        QVERIFY(drained->destroyed);
        QCOMPARE(rig.backend->tries.load(), 2);
        QVERIFY(rig.device().started);
    }

    void shouldSwitchRateOnlyOnceTheDrainIsOver()
    {
        Rig rig(22050);
        rig.backend->playedOut = false;
        rig.play(t0);
        auto old = rig.backend->lastDevice();
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
        QCOMPARE(rig.backend->tries.load(), 1);
        QVERIFY(old->started);

        old->playedOut = true;
        rig.step(t0 + 1s + 100ms);
        QVERIFY(old->destroyed);
        QCOMPARE(rig.backend->tries.load(), 2);
        QCOMPARE(rig.controller->state(), State::OnDevice);
        QCOMPARE(rig.device().rate.load(), 44100);
        QVERIFY(rig.device().started && !rig.device().finishing);
    }

    void shouldKeepTimeOnTheClockAndTryTheDeviceOncePerPeriod()
    {
        Rig rig;
        rig.backend->deviceAvailable = false;
        rig.play(t0);
        QCOMPARE(rig.controller->state(), State::OnClock);
        QVERIFY(rig.clock().started);
        QCOMPARE(rig.backend->tries.load(), 1);

        QCOMPARE(rig.step(t0 + 500ms), t0 + OutputController::RetryPeriod);
        QCOMPARE(rig.backend->tries.load(), 1);
        rig.step(t0 + OutputController::RetryPeriod);
        QCOMPARE(rig.backend->tries.load(), 2);
        QCOMPARE(rig.controller->state(), State::OnClock);

        // The server appears: the next try moves the mix over to it.
        rig.backend->deviceAvailable = true;
        rig.step(t0 + 2 * OutputController::RetryPeriod);
        QCOMPARE(rig.backend->tries.load(), 3);
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
        QCOMPARE(rig.backend->tries.load(), 2);
        QCOMPARE(rig.controller->state(), State::OnDevice);
    }

    void shouldConnectAfreshWhenTheDeviceFails()
    {
        Rig rig;
        rig.play(t0);
        auto lost = rig.backend->lastDevice();
        lost->failed = true;
        rig.step(t0 + 1s);
        QVERIFY(lost->destroyed);
        QCOMPARE(rig.backend->disconnects.load(), 1);
        // The server is back: found at once on a new connection, with no retry period to wait.
        QCOMPARE(rig.backend->tries.load(), 2);
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
        QCOMPARE(rig.backend->tries.load(), 1);

        // It stops asking after the last look: the engine's thread is due again when the stream
        // counts as stalled, and not before does it give up on it.
        const Time lastAsked = t0 + 30s;
        auto stalled = rig.backend->lastDevice();
        stalled->stalled = true;
        const Time nearly = lastAsked + OutputController::StallTimeout - 1ms;
        QCOMPARE(rig.step(nearly), lastAsked + OutputController::StallTimeout);
        QCOMPARE(rig.backend->tries.load(), 1);
        QVERIFY(stalled->started);

        rig.step(lastAsked + OutputController::StallTimeout);
        QVERIFY(stalled->destroyed);
        QCOMPARE(rig.backend->disconnects.load(), 1);
        QCOMPARE(rig.backend->tries.load(), 2);
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
        QCOMPARE(rig.backend->tries.load(), 1);
        QCOMPARE(rig.backend->disconnects.load(), 0);
    }

    void shouldLeaveClosingAGivenUpStreamToTheEnginesThread()
    {
        // Closing a stream waits for the server: update() runs under the engine's mutex, so it
        // only stops the stream rendering and hands it over, with the connection to drop.
        Rig rig;
        rig.play(t0);
        auto lost = rig.backend->lastDevice();
        lost->stalled = true;
        rig.controller->update(t0 + OutputController::StallTimeout);
        QVERIFY(lost->finishing);
        QVERIFY(lost->started);
        QVERIFY(!lost->destroyed);
        QCOMPARE(rig.backend->disconnects.load(), 0);
        QVERIFY(rig.controller->deviceWorkDue());

        // One piece of work: close it, drop the connection, then try again on a new one.
        OutputController::DeviceWork work = rig.controller->takeDeviceWork(t0);
        QCOMPARE(work.retired.size(), size_t(1));
        QVERIFY(work.disconnect);
        QCOMPARE(work.tryRate, 44100);
        QVERIFY(!rig.controller->deviceWorkDue());
        std::unique_ptr<AudioOutput> opened = rig.controller->runDeviceWork(std::move(work));
        QCOMPARE(lost->stops.load(), 1);
        QVERIFY(lost->destroyed);
        QCOMPARE(rig.backend->disconnects.load(), 1);
        QCOMPARE(rig.backend->tries.load(), 2);
        rig.controller->deviceWorkDone(std::move(opened), 44100, t0);
        QCOMPARE(rig.controller->state(), State::OnDevice);
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
        QCOMPARE(rig.clock().rate.load(), 22050);
        QCOMPARE(rig.backend->tries.load(), 2);
    }

    void shouldCloseADeviceThatOpensAfterTheMixWentQuiet()
    {
        Rig rig;
        rig.setAudible(true);
        rig.controller->wantAudio();
        rig.controller->update(t0);
        OutputController::DeviceWork work = rig.controller->takeDeviceWork(t0);
        // Stop comes while the engine's device thread is connecting.
        rig.setAudible(false);
        rig.controller->deviceWorkDone(rig.controller->runDeviceWork(std::move(work)), 44100, t0);
        rig.step(t0);
        QCOMPARE(rig.controller->state(), State::Idle);
        QVERIFY(!rig.device().admitted);
        QVERIFY(!rig.device().started);
        QVERIFY(rig.device().destroyed);
        rig.play(t0 + 1s);
        QCOMPARE(rig.backend->tries.load(), 2);
        QCOMPARE(rig.controller->state(), State::OnDevice);
    }

    void shouldKeepTheClockRunningWhenAStartFails()
    {
        // The server is there but refuses to start the stream (or dies between open and start).
        Rig rig;
        rig.backend->refuseStart = true;
        // From a start: on the clock at once, the next try a RetryPeriod later.
        rig.setAudible(true);
        rig.controller->wantAudio();
        QCOMPARE(rig.step(t0), t0 + OutputController::RetryPeriod);
        QCOMPARE(rig.controller->state(), State::OnClock);
        QVERIFY(rig.clock().started);
        QVERIFY(rig.device().destroyed);
        QCOMPARE(rig.backend->disconnects.load(), 1);

        // From the clock: it is never stopped for a try, so a failing one costs no time.
        for (int attempt = 1; attempt <= 3; ++attempt) {
            const Time due = t0 + attempt * OutputController::RetryPeriod;
            QCOMPARE(rig.step(due - 1ms), due);
            QCOMPARE(rig.backend->tries.load(), attempt);
            QCOMPARE(rig.step(due), due + OutputController::RetryPeriod);
            QCOMPARE(rig.backend->tries.load(), attempt + 1);
            QCOMPARE(rig.controller->state(), State::OnClock);
            QVERIFY(rig.clock().started);
            QCOMPARE(rig.clock().stops.load(), 0);
            QCOMPARE(rig.backend->disconnects.load(), attempt + 1);
        }

        // It starts again: the mix moves over, and the clock stops.
        rig.backend->refuseStart = false;
        rig.step(t0 + 4 * OutputController::RetryPeriod);
        QCOMPARE(rig.controller->state(), State::OnDevice);
        QVERIFY(rig.device().admitted);
        QVERIFY(!rig.clock().started);
    }

    void shouldKeepTimeWhileTheServerDoesNotAnswer_data()
    {
        QTest::addColumn<QString>("waiting");
        QTest::newRow("open") << "open";
        QTest::newRow("start") << "start";
        QTest::newRow("close") << "close";
    }

    void shouldKeepTimeWhileTheServerDoesNotAnswer()
    {
        QFETCH(QString, waiting);
        Rig rig;
        Time now = t0;
        if (waiting == "close") {
            // A stream plays, then fails: closing it is the first part of the next work.
            rig.play(now);
            QCOMPARE(rig.controller->state(), State::OnDevice);
            rig.device().failed = true;
            now += 1s;
        } else {
            rig.setAudible(true);
            rig.controller->wantAudio();
        }
        Hold& hold = waiting == "open"    ? rig.backend->openHold
                     : waiting == "start" ? rig.backend->startHold
                                          : rig.backend->stopHold;
        hold.close();
        rig.controller->update(now);
        QCOMPARE(rig.controller->state(), State::Starting);
        QVERIFY(rig.controller->deviceWorkDue());
        OutputController::DeviceWork work = rig.controller->takeDeviceWork(now);
        const int rate = work.tryRate;
        QCOMPARE(rate, 44100);
        std::unique_ptr<AudioOutput> opened;
        std::thread deviceThread([&] { opened = rig.controller->runDeviceWork(std::move(work)); });
        QTRY_COMPARE(hold.waiting(), 1);

        // Positions stand still for StartPatience at most, then the clock keeps time.
        const Time patience = now + OutputController::StartPatience;
        QCOMPARE(rig.controller->update(patience - 1ms), patience);
        QCOMPARE(rig.controller->state(), State::Starting);
        QVERIFY(!rig.controller->rendersMix());
        rig.controller->update(patience);
        QCOMPARE(rig.controller->state(), State::OnClock);
        QVERIFY(rig.clock().started);
        // The track ends, and the next starts, on the clock at once: no second try meanwhile.
        rig.setAudible(false);
        rig.controller->update(patience + 10s);
        QCOMPARE(rig.controller->state(), State::Idle);
        QVERIFY(!rig.clock().started);
        rig.setAudible(true);
        rig.controller->wantAudio();
        rig.controller->update(patience + 11s);
        QCOMPARE(rig.controller->state(), State::OnClock);
        QVERIFY(rig.clock().started);
        QVERIFY(!rig.controller->deviceWorkDue());
        rig.controller->update(patience + 30s);
        QVERIFY(!rig.controller->deviceWorkDue());

        // The server answers: the stream it started is handed in, and the clock stops.
        hold.open();
        deviceThread.join();
        QVERIFY(opened);
        QVERIFY(!rig.device().admitted);
        rig.controller->deviceWorkDone(std::move(opened), rate, patience + 31s);
        QCOMPARE(rig.controller->state(), State::OnDevice);
        QVERIFY(rig.device().admitted);
        QVERIFY(!rig.clock().started);
    }

    void shouldLeaveWhatWaitsForTheServerToTheDeviceThreadOnShutDown()
    {
        Rig rig;
        rig.play(t0);
        auto playing = rig.backend->lastDevice();
        rig.controller->shutDown();
        QCOMPARE(rig.controller->state(), State::Idle);
        QVERIFY(playing->finishing);
        QVERIFY(!playing->destroyed);
        QVERIFY(rig.controller->deviceWorkDue());
        // Nothing more is tried, whatever is asked.
        rig.controller->wantAudio();
        rig.controller->update(t0 + 1s);
        OutputController::DeviceWork work = rig.controller->takeDeviceWork(t0 + 1s);
        QCOMPARE(work.retired.size(), size_t(1));
        QVERIFY(work.disconnect);
        QCOMPARE(work.tryRate, 0);
        QVERIFY(!rig.controller->runDeviceWork(std::move(work)));
        QVERIFY(playing->destroyed);
        QCOMPARE(rig.backend->disconnects.load(), 1);
        QCOMPARE(rig.backend->tries.load(), 1);
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
        QCOMPARE(rig.backend->tries.load(), 0);
    }
};

QTEST_GUILESS_MAIN(OutputControllerTest)
#include "OutputControllerTest.moc"
