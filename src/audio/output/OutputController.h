// OutputController: the one owner of where the mix goes. It holds the device stream, the silent
// clock and the output rate, and decides when to start, drain, stop, switch rate, fall back to the
// clock and go back to the device. The engine only says what it needs: "the mix changes to rate
// R" (while it is quiet) and "the mix is audible"; whether it is quiet it reads off the mixer.
//
// Everything that waits for the sound server (connecting, opening, starting, stopping and
// destroying a stream, dropping the connection) is device work: the controller asks for it, and
// the engine's device thread does it without the engine's mutex (runDeviceWork()) and hands the
// outcome back (deviceWorkDone()). One piece of work is in flight at a time; the controller keeps
// deciding meanwhile, so a server that takes seconds to answer holds neither the window nor time.
// A stream is started before it is handed in, rendering silence; it renders the mix from the
// moment it is handed in, under the mutex, once the clock has stopped.
//
// States and transitions:
//
//   Idle      nothing renders, and no stream is open (the connection to the sound server is kept).
//             audio wanted                                   -> Starting
//   Starting  audio is wanted; nothing renders yet (positions stand still for the few
//             milliseconds this takes). A try is asked for: the device thread opens a stream at
//             the rate and starts it (on a new connection when the last one failed).
//             stream started and handed in                   -> OnDevice
//             no stream, or it did not start                 -> OnClock (next try in RetryPeriod)
//             device work in flight for StartPatience        -> OnClock (its outcome still taken)
//             mix quiet before either                        -> Idle
//   OnDevice  the device stream renders the mix.
//             mix quiet for Linger, or the rate about to change
//                                                            -> Draining
//             device failed, or stalled                      -> Starting (a new connection at once)
//   OnClock   the silent clock renders the mix, keeping time as a device would.
//             mix quiet                                      -> Idle (clock stopped)
//             try due (at most once per RetryPeriod)         -> OnDevice when a stream starts; the
//                                                               clock runs until it is handed in
//             a try fails (no stream, or it did not start)   -> OnClock, running all along; the
//                                                               next try RetryPeriod later
//             rate changed                                   -> Idle (clock dropped), then Starting
//   Draining  the stream renders no more of the mix and the sound server plays out what it holds,
//             so no end is cut off; the server says when it is done (or DrainTimeout passes).
//             drained                                        -> Idle (stream closed by the device
//                                                               thread), then Starting if wanted
//             device failed                                  -> Idle or Starting
//
// A drained stream is closed, not kept stopped: PulseAudio goes on with a stream's timeline after
// it runs dry, and a drained stream started again was heard 91 ms after the click instead of 3 to 6
// for a new one; a stopped stream also wakes the server's client thread for timing updates.
// Opening one takes a millisecond or two.
//
// A stream the server has stopped asking for audio (for StallTimeout, while the mix is audible)
// counts as failed: a stream nothing pulls (a sink suspended under it, or a PipeWire stream the
// session manager never linked to a sink) would otherwise hold the player at one position for
// good, a fade-out included, and a new stream is as likely as anything to be taken up.
//
// Every start of output that is not on the device (play, resume, seek, the next track) tries the
// device again, and so does the clock once per RetryPeriod while it plays; a connection that fails
// to open or start a stream is dropped, so a sound server that starts or restarts later is found.
// A stream given up (drained, failed, stalled, opened in vain) is closed by the same device work
// that makes the next try, before it, so closing never puts a try off.
//
// Threads: every method but runDeviceWork() is called holding the engine's mutex: setRate(),
// wantAudio() and the accessors by any control thread (the GUI thread); update() by the engine's
// read-ahead thread; takeDeviceWork() and deviceWorkDone() by the engine's device thread;
// shutDown() by the thread that releases the engine. runDeviceWork() is called by the device
// thread WITHOUT the mutex: it is the only method that waits for the sound server.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

class AudioOutput;
class Mixer;
class OutputBackend;

class OutputController
{
public:
    enum class State { Idle, Starting, OnDevice, OnClock, Draining };
    using Clock = std::chrono::steady_clock;

    // How often the device is tried again while the clock plays.
    static constexpr auto RetryPeriod = std::chrono::seconds(1);
    // How often the read-ahead thread looks whether a drain is over, and how long it waits at most.
    static constexpr auto DrainPoll = std::chrono::milliseconds(20);
    static constexpr auto DrainTimeout = std::chrono::seconds(1);
    // How long a running stream may go without asking for audio before it counts as failed. Far
    // beyond the longest wait between two requests (a second's buffer, a sink waking from suspend).
    static constexpr auto StallTimeout = std::chrono::seconds(2);
    // How long a start waits for device work in flight before the clock keeps time meanwhile.
    // Opening and starting a stream takes 1 to 30 ms; a server that does not answer, for ever.
    static constexpr auto StartPatience = std::chrono::milliseconds(300);
    // How long the stream renders silence once the mix is quiet before it drains, so that Play
    // over a playing track keeps the stream while the next file opens (a long MP3 counted, a
    // chained Ogg: up to 200 ms cold) instead of draining it and opening another.
    static constexpr auto Linger = std::chrono::milliseconds(500);

    OutputController(Mixer& mixer, std::unique_ptr<OutputBackend> backend);
    ~OutputController();
    OutputController(const OutputController&) = delete;
    OutputController& operator=(const OutputController&) = delete;

    State state() const { return current; }
    int rate() const;
    // The rate to play a sound at when the device's own is wanted.
    int preferredRate() const;
    // True while the mix goes to the device (also while the stream drains).
    bool onDevice() const { return current == State::OnDevice || current == State::Draining; }
    // True while something renders the mix, so a stopped voice still has its fade-out heard.
    bool rendersMix() const { return current == State::OnDevice || current == State::OnClock; }

    // The mix is about to be rendered at `rate`. Only while the mix is quiet: whatever renders at
    // the old rate stops touching the mixer first.
    void setRate(int rate);
    // A voice has become audible (started, resumed or moved).
    void wantAudio();

    // The read-ahead thread: takes the transitions due at `now`. Returns the time by which it
    // wants to be called again (Clock::time_point::max() when only a request can change anything).
    Clock::time_point update(Clock::time_point now);

    // Device work: outputs given up (a drained or failed stream, one opened in vain; they render
    // none of the mix any more) to stop and destroy, whether to drop the connection then, and
    // whether to try the device afterwards, at which rate.
    struct DeviceWork {
        std::vector<std::unique_ptr<AudioOutput>> retired;
        bool disconnect = false;
        int tryRate = 0; // 0: no try
        bool empty() const { return retired.empty() && !disconnect && tryRate == 0; }
    };
    // True when there is device work and none is in flight.
    bool deviceWorkDue() const;
    // True while the device thread does work taken from here.
    bool deviceWorking() const { return working; }
    // The device thread, holding the mutex: takes the work due, which is in flight from then on.
    DeviceWork takeDeviceWork(Clock::time_point now);
    // The device thread, WITHOUT the mutex: closes the retired outputs, drops the connection if
    // asked, then, if asked, opens a stream and starts it, rendering silence. Returns the started
    // stream, or null when there is none (a stream that opens but does not start is closed again,
    // and the connection dropped). Waits for the sound server, as long as it takes to answer.
    std::unique_ptr<AudioOutput> runDeviceWork(DeviceWork work);
    // The device thread, holding the mutex: the work is over; `device` is what its try gave.
    // Handed in if still wanted at `rate`, closed by the next work otherwise.
    void deviceWorkDone(std::unique_ptr<AudioOutput> device, int rate, Clock::time_point now);

    // Stops the clock and gives up the device: what is left is device work, and no more tries
    // are made. The engine's device thread does that work before it ends.
    void shutDown();

private:
    bool mixWanted() const;
    void beginDrain();
    void startClock(Clock::time_point now);
    void stopClock();
    void dropDevice();
    void retire(std::unique_ptr<AudioOutput> output);
    // OnDevice: whether the stream has not asked for audio for StallTimeout, as of `now`.
    bool deviceStalled(Clock::time_point now);

    Mixer& mixer;
    std::unique_ptr<OutputBackend> backend;
    State current = State::Idle;

    std::unique_ptr<AudioOutput> device;
    int deviceRate = 0;
    std::unique_ptr<AudioOutput> clock;
    int clockRate = 0;
    // Waiting for the next device work.
    std::vector<std::unique_ptr<AudioOutput>> retired;
    bool disconnectWanted = false;
    bool tryWanted = false;
    // Device work in flight, since when, and whether it tries the device.
    bool working = false;
    bool tryInFlight = false;
    Clock::time_point workSince{};
    bool shutting = false;

    // When the drain began, set by the read-ahead thread.
    Clock::time_point drainStart{};
    bool drainTimed = false;
    // OnDevice: whether the mix was quiet when last looked at, and since when.
    bool quiet = false;
    Clock::time_point quietSince{};
    // The device's count of render calls when last seen to grow, and when that was.
    uint64_t lastRenderCalls = 0;
    Clock::time_point lastRenderSeen{};
    Clock::time_point nextTry{};
};
