// The output's life without a device: OutputController over fake outputs and a made-up clock, as
// one table. Each row is a run of events at given times (what the engine asks, what its threads
// do, what the fakes do); after each event the test sees the state, when the controller wants to
// be called again, the device work done (streams tried, closed, connections dropped), and what is
// open, handed in or running. Every transition OutputController.h lists has a row.
#include "OutputController.h"
#include "AudioOutput.h"
#include "FakeOutputs.h"
#include "Mixer.h"

#include <QTest>

#include <chrono>
#include <climits>
#include <memory>
#include <thread>
#include <vector>

using State = OutputController::State;
using Time = OutputController::Clock::time_point;

namespace
{

constexpr int ms(std::chrono::milliseconds duration)
{
    return static_cast<int>(duration.count());
}
// The controller's waits and timeouts, as the rows use them.
constexpr int Retry = ms(OutputController::RetryPeriod);
constexpr int Poll = ms(OutputController::DrainPoll);
constexpr int Drain = ms(OutputController::DrainTimeout);
constexpr int Stall = ms(OutputController::StallTimeout);
constexpr int Patience = ms(OutputController::StartPatience);
constexpr int Linger = ms(OutputController::Linger);
// update() wants no call before a request.
constexpr int Never = INT_MAX;
// The event calls no update().
constexpr int NoUpdate = -1;

// What happens, one or more at a time, in this order. The fakes: no device opens, or they open
// again; streams refuse to start, or start again; the last stream fails, or stops asking for
// audio; streams opened from now on hold what they have when finished, until the last one has
// played it out; the server does not answer an open, a start or a close. The engine: the mix goes
// quiet, the rate changes (while quiet), the engine shuts down, a voice becomes audible (and says
// so), a voice plays (audible, then a round). Its threads: a round (update(), then the device work
// it asks for, done at once, until none is left); update() alone; the device thread taking the
// work and running it without the mutex (it waits there while a hold is closed); the holds opened
// and the outcome handed back.
enum Act {
    NoDevice = 1 << 0,
    DeviceBack = 1 << 1,
    RefuseStart = 1 << 2,
    AcceptStart = 1 << 3,
    Fail = 1 << 4,
    Stop = 1 << 5,
    Holding = 1 << 6,
    PlayedOut = 1 << 7,
    HoldOpen = 1 << 8,
    HoldStart = 1 << 9,
    HoldClose = 1 << 10,
    Quiet = 1 << 11,
    To22k = 1 << 12,
    To44k = 1 << 13,
    ShutDown = 1 << 14,
    Audible = 1 << 15,
    Play = 1 << 16,
    Round = 1 << 17,
    Update = 1 << 18,
    Send = 1 << 19,
    Return = 1 << 20,
};

// The last stream opened.
enum Stream { NoStream, Opened, Silent, Playing, Finishing, Closed };
enum Ticking { NoClock, Ticks, Stopped, Dropped };

// What the test sees after an event. tried, closed and dropped count what the device work did
// during the event: streams asked of the backend, streams closed, connections dropped.
struct Seen {
    State state = State::Idle;
    int tried = 0;
    int closed = 0;
    int dropped = 0;
    int open = 0; // streams open
    Stream stream = NoStream;
    Ticking clock = NoClock;
    bool workDue = false;
};

struct Step {
    int at;   // ms after the start
    int acts; // Act values, or'ed
    Seen seen;
    int due = NoUpdate; // what update() returned, in ms after the start
};
using Script = std::vector<Step>;

QString text(const Seen& seen, int due)
{
    const char* const states[] = {"Idle", "Starting", "OnDevice", "OnClock", "Draining"};
    const char* const streams[] = {"none", "opened", "silent", "playing", "finishing", "closed"};
    const char* const clocks[] = {"none", "ticking", "stopped", "dropped"};
    const QString next = due == Never      ? QString("never")
                         : due == NoUpdate ? QString("-")
                         : due < NoUpdate  ? QString("%1, already due").arg(-due - 2)
                                           : QString::number(due);
    return QString("%1, next %2; tried %3, closed %4, dropped %5; %6 open, stream %7, clock %8%9")
        .arg(states[static_cast<int>(seen.state)], next)
        .arg(seen.tried)
        .arg(seen.closed)
        .arg(seen.dropped)
        .arg(seen.open)
        .arg(streams[seen.stream], clocks[seen.clock], seen.workDue ? ", work due" : "");
}

const Time t0 = Time() + std::chrono::hours(1);

Time at(int ms)
{
    return t0 + std::chrono::milliseconds(ms);
}

// A controller on a one-voice mixer whose audibility the test sets by hand, the engine's device
// thread as the test runs it, and what the fakes did.
class Rig
{
public:
    Rig() : mixer(1, 44100)
    {
        auto fake = std::make_unique<FakeBackend>();
        backend = fake.get();
        controller = std::make_unique<OutputController>(mixer, std::move(fake));
    }
    ~Rig() { finishWork(); }

    // Does `acts` at `now`; returns what update() returned last (NoUpdate when it was not called).
    int run(int acts, int now)
    {
        int due = NoUpdate;
        for (int act = 1; act <= Return; act <<= 1) {
            if (acts & act)
                due = runOne(Act(act), now, due);
        }
        return due;
    }

    int runOne(Act act, int now, int due)
    {
        OutputController& output = *controller;
        switch (act) {
        case Audible:
            setAudible(true);
            output.wantAudio();
            break;
        case Quiet:
            setAudible(false);
            break;
        case Play:
            setAudible(true);
            output.wantAudio();
            return round(now);
        case To22k:
            output.setRate(22050);
            break;
        case To44k:
            output.setRate(44100);
            break;
        case ShutDown:
            output.shutDown();
            break;
        case Round:
            return round(now);
        case Update:
            return checkedDue(output.update(at(now)), now);
        case Send:
            send(now);
            break;
        case Return:
            finishWork();
            output.deviceWorkDone(std::move(opened), sentRate, at(now));
            break;
        case NoDevice:
        case DeviceBack:
            backend->deviceAvailable = act == DeviceBack;
            break;
        case RefuseStart:
        case AcceptStart:
            backend->refuseStart = act == RefuseStart;
            break;
        case Fail:
            backend->lastDevice()->failed = true;
            break;
        case Stop:
            backend->lastDevice()->stalled = true;
            break;
        case Holding:
        case PlayedOut:
            (act == Holding ? backend->playedOut : backend->lastDevice()->playedOut) =
                act == PlayedOut;
            break;
        case HoldOpen:
        case HoldStart:
        case HoldClose:
            (act == HoldOpen    ? backend->openHold
             : act == HoldStart ? backend->startHold
                                : backend->stopHold)
                .close();
            break;
        }
        return due;
    }

    // What the test sees now; `before`, the fakes' counts before the event (what this gives with
    // none: tried, closed and dropped so far).
    Seen seen(const Seen& before = {}) const
    {
        Seen now{controller->state(), backend->tries - before.tried, 0,
                 backend->disconnects - before.dropped, backend->openDevices()};
        now.closed = backend->deviceCount() - now.open - before.closed;
        now.workDue = controller->deviceWorkDue();
        if (const auto device = backend->lastDevice()) {
            now.stream = device->destroyed   ? Closed
                         : device->finishing ? Finishing
                         : !device->started  ? Opened
                         : device->admitted  ? Playing
                                             : Silent;
            // A stream handed in renders the mix at the mix's rate.
            if (now.stream == Playing && device->rate != mixer.outputRate())
                now.stream = Opened;
        }
        if (const auto clock = backend->lastClock()) {
            now.clock = clock->destroyed ? Dropped : clock->started ? Ticks : Stopped;
            if (now.clock == Ticks && clock->rate != mixer.outputRate())
                now.clock = Stopped;
        }
        return now;
    }

    // What is still open once the controller is gone.
    bool leavesNothingOpen()
    {
        finishWork();
        const auto device = backend->lastDevice();
        const auto clock = backend->lastClock();
        controller.reset();
        return (!device || device->destroyed) && (!clock || clock->destroyed);
    }

private:
    void setAudible(bool audible)
    {
        Voice& voice = mixer.voice(0);
        voice.pauseRequested.store(false);
        voice.ended.store(false);
        voice.state.store(audible ? Voice::Active : Voice::Idle);
    }

    // update() never asks to be called again before the time it was called at: the engine's
    // read-ahead thread would spin.
    static int checkedDue(Time due, int now)
    {
        if (due == Time::max())
            return Never;
        const int ms = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(due - t0).count());
        return ms > now ? ms : -ms - 2;
    }

    // One round of the engine's threads: the transitions, then the device work they ask for, done
    // at once, until none is left.
    int round(int now)
    {
        OutputController& output = *controller;
        Time due = output.update(at(now));
        while (output.deviceWorkDue()) {
            OutputController::DeviceWork work = output.takeDeviceWork(at(now));
            const int rate = work.tryRate;
            output.deviceWorkDone(output.runDeviceWork(std::move(work)), rate, at(now));
            due = output.update(at(now));
        }
        return checkedDue(due, now);
    }

    // The device thread takes the work and runs it; back once it is over or waits at a hold.
    void send(int now)
    {
        OutputController::DeviceWork work = controller->takeDeviceWork(at(now));
        sentRate = work.tryRate;
        over = false;
        deviceThread = std::thread([this, work = std::move(work)]() mutable {
            opened = controller->runDeviceWork(std::move(work));
            over = true;
        });
        QTRY_VERIFY(over || backend->openHold.waiting() + backend->startHold.waiting() +
                                    backend->stopHold.waiting() ==
                                1);
    }

    void finishWork()
    {
        // The backend goes with the controller.
        if (controller) {
            for (Hold* hold : {&backend->openHold, &backend->startHold, &backend->stopHold})
                hold->open();
        }
        if (deviceThread.joinable())
            deviceThread.join();
    }

    Mixer mixer;
    FakeBackend* backend = nullptr;
    std::unique_ptr<OutputController> controller;
    std::thread deviceThread;
    std::atomic<bool> over{false};
    std::unique_ptr<AudioOutput> opened;
    int sentRate = 0;
};

} // namespace

Q_DECLARE_METATYPE(Script)

class OutputControllerTest : public QObject
{
    Q_OBJECT

private slots:
    void shouldGoThroughItsStatesAsTheEventsSay_data()
    {
        using enum OutputController::State;
        QTest::addColumn<Script>("script");
        // Seen: state, then during the event: streams tried, closed, connections dropped; then
        // streams open, the last stream, the clock, whether device work is due. Last: what
        // update() returned.
        QTest::newRow("Idle -> Starting when wanted, touching no device; the device thread tries, "
                      "and the stream started is handed in -> OnDevice")
            << Script{{0, Audible, {Starting}},
                      {0, Update, {Starting, 0, 0, 0, 0, NoStream, NoClock, true}, Never},
                      {0, Send, {Starting, 1, 0, 0, 1, Silent}},
                      {0, Return, {OnDevice, 0, 0, 0, 1, Playing}}};
        QTest::newRow("Starting -> Idle when quiet before the try: nothing is tried")
            << Script{{0, Audible, {Starting}}, {0, Quiet | Round, {Idle}, Never}};
        QTest::newRow("Starting: a stream that opens once the mix is quiet is closed again")
            << Script{{0, Audible | Update, {Starting, 0, 0, 0, 0, NoStream, NoClock, true}, Never},
                      {0, Send | Quiet, {Starting, 1, 0, 0, 1, Silent}},
                      {0, Return, {Starting, 0, 0, 0, 1, Finishing, NoClock, true}},
                      {0, Round, {Idle, 0, 1, 0, 0, Closed}, Never},
                      {1000, Play, {OnDevice, 1, 0, 0, 1, Playing}, 1000 + Stall}};
        QTest::newRow("Starting: a stream that opens at a rate no longer wanted is closed, and one "
                      "at the new rate is tried")
            << Script{{0, Audible | Update, {Starting, 0, 0, 0, 0, NoStream, NoClock, true}, Never},
                      {0, Send, {Starting, 1, 0, 0, 1, Silent}},
                      {0, Quiet | To22k | Audible, {Starting, 0, 0, 0, 1, Silent}},
                      {0, Return, {Starting, 0, 0, 0, 1, Finishing, NoClock, true}},
                      {0, Round, {OnDevice, 1, 1, 0, 1, Playing}, Stall}};
        QTest::newRow("Starting -> OnClock without a device, tried again a RetryPeriod after "
                      "each try failed; a stream that opens takes over, the clock running until "
                      "it is handed in")
            << Script{{0, NoDevice | Play, {OnClock, 1, 0, 0, 0, NoStream, Ticks}, Retry},
                      {Retry / 2, Round, {OnClock, 0, 0, 0, 0, NoStream, Ticks}, Retry},
                      {Retry, Update, {OnClock, 0, 0, 0, 0, NoStream, Ticks, true}, 2 * Retry},
                      {Retry, Send, {OnClock, 1, 0, 0, 0, NoStream, Ticks}},
                      {Retry + 500, Return, {OnClock, 0, 0, 0, 0, NoStream, Ticks}},
                      {2 * Retry, Round, {OnClock, 0, 0, 0, 0, NoStream, Ticks}, 2 * Retry + 500},
                      {2 * Retry + 500,
                       DeviceBack | Update,
                       {OnClock, 0, 0, 0, 0, NoStream, Ticks, true},
                       3 * Retry + 500},
                      {2 * Retry + 500, Send, {OnClock, 1, 0, 0, 1, Silent, Ticks}},
                      {2 * Retry + 500, Return, {OnDevice, 0, 0, 0, 1, Playing, Stopped}}};
        QTest::newRow("Starting -> OnClock when the stream does not start: closed, the connection "
                      "dropped; the clock runs through failing tries; one that starts takes over")
            << Script{{0, RefuseStart | Play, {OnClock, 1, 1, 1, 0, Closed, Ticks}, Retry},
                      {Retry - 1, Round, {OnClock, 0, 0, 0, 0, Closed, Ticks}, Retry},
                      {Retry, Round, {OnClock, 1, 1, 1, 0, Closed, Ticks}, 2 * Retry},
                      {2 * Retry, Round, {OnClock, 1, 1, 1, 0, Closed, Ticks}, 3 * Retry},
                      {3 * Retry,
                       AcceptStart | Round,
                       {OnDevice, 1, 0, 0, 1, Playing, Stopped},
                       3 * Retry + Stall}};
        for (const auto& [name, hold] :
             {std::pair{"an open", HoldOpen}, std::pair{"a start", HoldStart},
              std::pair{"a close", HoldClose}}) {
            // A close waits once a stream has played and failed: closing it is the first part
            // of the next work.
            const int b = hold == HoldClose ? 1000 : 0;
            Script script;
            if (hold == HoldClose)
                script = {{0, Play, {OnDevice, 1, 0, 0, 1, Playing}, Stall},
                          {b,
                           Fail | hold | Update,
                           {Starting, 0, 0, 0, 1, Finishing, NoClock, true},
                           Never}};
            else
                script = {{0,
                           hold | Audible | Update,
                           {Starting, 0, 0, 0, 0, NoStream, NoClock, true},
                           Never}};
            const Stream waiting = hold == HoldOpen    ? NoStream
                                   : hold == HoldStart ? Opened
                                                       : Finishing;
            const int triedFirst = hold == HoldStart ? 1 : 0;
            const int opened = hold == HoldOpen ? 0 : 1;
            const Script rest{
                {b, Send, {Starting, triedFirst, 0, 0, opened, waiting}},
                {b + Patience - 1, Update, {Starting, 0, 0, 0, opened, waiting}, b + Patience},
                {b + Patience,
                 Update,
                 {OnClock, 0, 0, 0, opened, waiting, Ticks},
                 b + Patience + Retry},
                // The track ends, and the next starts, on the clock at once: no second try, even
                // when it would be due, and long after.
                {b + 10000, Quiet | Update, {Idle, 0, 0, 0, opened, waiting, Stopped}, Never},
                {b + 11000,
                 Audible | Update,
                 {OnClock, 0, 0, 0, opened, waiting, Ticks},
                 b + 11000 + Retry},
                {b + 11000 + Retry, Update, {OnClock, 0, 0, 0, opened, waiting, Ticks}, Never},
                {b + 30000, Update, {OnClock, 0, 0, 0, opened, waiting, Ticks}, Never},
                // The server answers: the stream it started is handed in, and the clock stops.
                {b + 31000,
                 Return,
                 {OnDevice, 1 - triedFirst, hold == HoldClose, hold == HoldClose, 1, Playing,
                  Stopped}}};
            script.insert(script.end(), rest.begin(), rest.end());
            QTest::addRow("Starting -> OnClock after StartPatience while the server does not "
                          "answer %s; its outcome is still taken",
                          name)
                << script;
        }
        QTest::newRow(
            "OnDevice -> Draining when quiet for Linger, looked at every DrainPoll; drained -> "
            "Idle, closed, the connection kept; the next start opens a new stream")
            << Script{
                   {0, Holding | Play, {OnDevice, 1, 0, 0, 1, Playing}, Stall},
                   {2000, Quiet | Round, {OnDevice, 0, 0, 0, 1, Playing}, 2000 + Linger},
                   {2000 + Linger - 1, Round, {OnDevice, 0, 0, 0, 1, Playing}, 2000 + Linger},
                   {2000 + Linger, Round, {Draining, 0, 0, 0, 1, Finishing}, 2000 + Linger + Poll},
                   {2600, Round, {Draining, 0, 0, 0, 1, Finishing}, 2600 + Poll},
                   {2620, PlayedOut | Round, {Idle, 0, 1, 0, 0, Closed}, Never},
                   {3120, Play, {OnDevice, 1, 0, 0, 1, Playing}, 3120 + Stall}};
        QTest::newRow("OnDevice: audible again within Linger plays on the same stream, nothing "
                      "opened or closed; each quiet spell is timed afresh")
            << Script{
                   {0, Holding | Play, {OnDevice, 1, 0, 0, 1, Playing}, Stall},
                   {1000, Quiet | Round, {OnDevice, 0, 0, 0, 1, Playing}, 1000 + Linger},
                   {1000 + Linger - 1,
                    Play,
                    {OnDevice, 0, 0, 0, 1, Playing},
                    1000 + Linger - 1 + Stall},
                   {2000, Quiet | Round, {OnDevice, 0, 0, 0, 1, Playing}, 2000 + Linger},
                   {2000 + Linger - 1, Round, {OnDevice, 0, 0, 0, 1, Playing}, 2000 + Linger},
                   {2000 + Linger, Round, {Draining, 0, 0, 0, 1, Finishing}, 2000 + Linger + Poll}};
        QTest::newRow("Draining -> Starting once drained when wanted meanwhile -> OnDevice on a "
                      "new stream")
            << Script{{0, Holding | Play, {OnDevice, 1, 0, 0, 1, Playing}, Stall},
                      {500, Quiet | Round, {OnDevice, 0, 0, 0, 1, Playing}, 500 + Linger},
                      {1000, Round, {Draining, 0, 0, 0, 1, Finishing}, 1000 + Poll},
                      {1000, Audible, {Draining, 0, 0, 0, 1, Finishing}},
                      {1020, Round, {Draining, 0, 0, 0, 1, Finishing}, 1020 + Poll},
                      {1040, PlayedOut | Round, {OnDevice, 1, 1, 0, 1, Playing}, 1040 + Stall}};
        QTest::newRow("Draining -> Idle when the stream fails: closed, the connection dropped")
            << Script{{0, Holding | Play, {OnDevice, 1, 0, 0, 1, Playing}, Stall},
                      {500, Quiet | Round, {OnDevice, 0, 0, 0, 1, Playing}, 500 + Linger},
                      {1000, Round, {Draining, 0, 0, 0, 1, Finishing}, 1000 + Poll},
                      {1020, Fail | Round, {Idle, 0, 1, 1, 0, Closed}, Never}};
        QTest::newRow(
            "Draining -> Idle after DrainTimeout when the drain never ends; a stream that "
            "asks for nothing while it drains has not stalled")
            << Script{{0, Holding | Play, {OnDevice, 1, 0, 0, 1, Playing}, Stall},
                      {500, Quiet | Round, {OnDevice, 0, 0, 0, 1, Playing}, 500 + Linger},
                      {1000, Stop, {OnDevice, 0, 0, 0, 1, Playing}},
                      {1000, Round, {Draining, 0, 0, 0, 1, Finishing}, 1000 + Poll},
                      {1000 + Drain - 1,
                       Round,
                       {Draining, 0, 0, 0, 1, Finishing},
                       1000 + Drain - 1 + Poll},
                      {1000 + Drain, Round, {Idle, 0, 1, 0, 0, Closed}, Never}};
        QTest::newRow("OnDevice -> Draining when the rate is about to change; the stream at the "
                      "new rate opens once drained")
            << Script{{0, To22k | Holding | Play, {OnDevice, 1, 0, 0, 1, Playing}, Stall},
                      {0, Quiet | To44k | Audible, {Draining, 0, 0, 0, 1, Finishing}},
                      {1000, Round, {Draining, 0, 0, 0, 1, Finishing}, 1000 + Poll},
                      {1100, PlayedOut | Round, {OnDevice, 1, 1, 0, 1, Playing}, 1100 + Stall}};
        QTest::newRow("OnDevice -> Starting when the stream fails: a new connection at once")
            << Script{{0, Play, {OnDevice, 1, 0, 0, 1, Playing}, Stall},
                      {1000, Fail | Round, {OnDevice, 1, 1, 1, 1, Playing}, 1000 + Stall}};
        QTest::newRow("OnDevice -> Starting -> OnClock when the stream fails and none opens")
            << Script{{0, Play, {OnDevice, 1, 0, 0, 1, Playing}, Stall},
                      {1000,
                       Fail | NoDevice | Round,
                       {OnClock, 1, 1, 1, 0, Closed, Ticks},
                       1000 + Retry}};
        QTest::newRow("OnDevice -> Starting when the stream has asked for nothing for "
                      "StallTimeout, and not before; closing it is left to the device thread, "
                      "which tries a new connection")
            << Script{{0, Play, {OnDevice, 1, 0, 0, 1, Playing}, Stall},
                      {Stall, Round, {OnDevice, 0, 0, 0, 1, Playing}, 2 * Stall},
                      {2 * Stall - 1, Stop | Round, {OnDevice, 0, 0, 0, 1, Playing}, 2 * Stall},
                      {2 * Stall, Update, {Starting, 0, 0, 0, 1, Finishing, NoClock, true}, Never},
                      {2 * Stall, Send, {Starting, 1, 1, 1, 1, Silent}},
                      {2 * Stall, Return, {OnDevice, 0, 0, 0, 1, Playing}}};
        QTest::newRow("OnClock -> Idle at once when quiet, the clock stopped; Idle -> Starting "
                      "tries the device at every start off it, within RetryPeriod too")
            << Script{
                   {0, NoDevice | Play, {OnClock, 1, 0, 0, 0, NoStream, Ticks}, Retry},
                   {100, Quiet | Round, {Idle, 0, 0, 0, 0, NoStream, Stopped}, Never},
                   {300, DeviceBack | Play, {OnDevice, 1, 0, 0, 1, Playing, Stopped}, 300 + Stall}};
        QTest::newRow("OnClock -> Idle when the rate changes: the clock is dropped, and the next "
                      "start makes one at the new rate")
            << Script{{0, NoDevice | Play, {OnClock, 1, 0, 0, 0, NoStream, Ticks}, Retry},
                      {0, Quiet | To22k, {Idle, 0, 0, 0, 0, NoStream, Dropped}},
                      {10, Play, {OnClock, 1, 0, 0, 0, NoStream, Ticks}, 10 + Retry}};
        QTest::newRow("shutDown: what waits for the server is left to the device thread, and "
                      "nothing more is tried")
            << Script{{0, Play, {OnDevice, 1, 0, 0, 1, Playing}, Stall},
                      {0, ShutDown, {Idle, 0, 0, 0, 1, Finishing, NoClock, true}},
                      {1000,
                       Audible | Update,
                       {Starting, 0, 0, 0, 1, Finishing, NoClock, true},
                       Never},
                      {1000, Send, {Starting, 0, 1, 1, 0, Closed}}};
    }

    void shouldGoThroughItsStatesAsTheEventsSay()
    {
        QFETCH(Script, script);
        Rig rig;
        for (size_t i = 0; i < script.size(); ++i) {
            const Step& step = script[i];
            const Seen before = rig.seen();
            const int due = rig.run(step.acts, step.at);
            const QString where = QString("event %1 at %2 ms: ").arg(i + 1).arg(step.at);
            QCOMPARE(where + text(rig.seen(before), due), where + text(step.seen, step.due));
        }
        // Whatever is still open when the controller goes, it closes.
        QVERIFY(rig.leavesNothingOpen());
    }
};

QTEST_GUILESS_MAIN(OutputControllerTest)
#include "OutputControllerTest.moc"
