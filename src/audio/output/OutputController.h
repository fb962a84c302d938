// OutputController: the one owner of where the mix goes. It holds the device stream, the silent
// clock and the output rate, and decides when to start, drain, stop, switch rate, fall back to the
// clock and go back to the device. The engine only says what it needs: "the mix changes to rate
// R" (while it is quiet) and "the mix is audible"; whether it is quiet it reads off the mixer.
//
// States and transitions:
//
//   Idle      nothing renders, and no stream is open (the connection to the sound server is kept).
//             audio wanted                                   -> Starting
//   Starting  audio is wanted; nothing renders yet (positions stand still for the few
//             milliseconds this takes). The engine's thread opens a stream at the rate and starts
//             it (on a new connection when the last one failed).
//             stream started                                 -> OnDevice
//             no device                                      -> OnClock (next try in RetryPeriod)
//             mix quiet before either                        -> Idle
//   OnDevice  the device stream renders the mix.
//             mix quiet, or the rate about to change         -> Draining
//             device failed, or stalled                      -> Starting (a new connection at once)
//   OnClock   the silent clock renders the mix, keeping time as a device would.
//             mix quiet                                      -> Idle (clock stopped)
//             try due (at most once per RetryPeriod)         -> OnDevice when a stream opens
//             rate changed                                   -> Idle (clock dropped), then Starting
//   Draining  the stream renders no more of the mix and the sound server plays out what it holds,
//             so no end is cut off; the server says when it is done (or DrainTimeout passes).
//             drained                                        -> Idle (stream stopped and closed),
//                                                               then Starting if audio is wanted
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
// to open a stream is dropped, so a sound server that starts or restarts later is found.
//
// Threads: every method is called holding the engine's mutex: setRate(), wantAudio() and the
// accessors by any control thread (the GUI thread), update(), deviceOpened() and takeRetired() by
// the engine's own thread, shutDown() by the thread that releases the engine once the engine's
// thread has ended. openDevice() and closeRetired() are the exceptions: the engine's own thread
// calls them WITHOUT the mutex, as both wait for the sound server.
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
    // How often the engine's thread looks whether a drain is over, and how long it waits at most.
    static constexpr auto DrainPoll = std::chrono::milliseconds(20);
    static constexpr auto DrainTimeout = std::chrono::seconds(1);
    // How long a running stream may go without asking for audio before it counts as failed. Far
    // beyond the longest wait between two requests (a second's buffer, a sink waking from suspend).
    static constexpr auto StallTimeout = std::chrono::seconds(2);

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

    // The engine's thread: takes the transitions due at `now`. Returns the time by which it wants
    // to be called again (Clock::time_point::max() when only a request can change anything).
    Clock::time_point update(Clock::time_point now);
    // After update(): the engine's thread is to try the device at rate(), by openDevice() without
    // the engine's mutex, then hand the outcome to deviceOpened().
    bool deviceTryDue() const { return tryDue; }
    std::unique_ptr<AudioOutput> openDevice(int rate);
    void deviceOpened(std::unique_ptr<AudioOutput> device, int rate, Clock::time_point now);

    // Outputs given up (a drained or failed stream, one opened in vain, with the connection when
    // it is to be dropped too). They render none of the mix any more. The engine's thread takes
    // them after update() and closes them WITHOUT the mutex: closing a stream waits for the sound
    // server, and one that does not answer (stopped, hung) would otherwise hold every caller of
    // the engine, the window's included.
    struct Retired {
        std::vector<std::unique_ptr<AudioOutput>> outputs;
        bool disconnect = false;
        bool empty() const { return outputs.empty() && !disconnect; }
    };
    Retired takeRetired();
    // Stops and frees them, then drops the connection if asked; before any other device is opened.
    void closeRetired(Retired outputs);

    // Stops and frees every output.
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
    Retired retired;

    // When the drain began, set by the engine's thread.
    Clock::time_point drainStart{};
    bool drainTimed = false;
    // The device's count of render calls when last seen to grow, and when that was.
    uint64_t lastRenderCalls = 0;
    Clock::time_point lastRenderSeen{};
    Clock::time_point nextTry{};
    bool tryDue = false;
};
