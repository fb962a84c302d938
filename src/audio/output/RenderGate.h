// RenderGate: lets a control thread shut the mix out of an output's render without the realtime
// side ever waiting. While the gate is closed the output renders silence, and the mixer is free
// to change (its rate, for one).
//
// Threads: enter() and leave() belong to the output thread (a cubeb callback or the silent
// clock); close() and open() to control threads, one at a time. close() spins for at most one
// render of the mix.
#pragma once

#include <atomic>
#include <thread>

class RenderGate
{
public:
    explicit RenderGate(bool closed = false) : state(closed ? Closed : Open) {}

    // Output thread: true when the mix may be rendered now; leave() must follow.
    bool enter()
    {
        int expected = Open;
        return state.compare_exchange_strong(expected, Rendering, std::memory_order_acquire);
    }
    void leave() { state.store(Open, std::memory_order_release); }

    // Control: from now on enter() fails; returns once no render of the mix is in progress.
    void close()
    {
        for (;;) {
            int expected = Open;
            if (state.compare_exchange_weak(expected, Closed, std::memory_order_acquire) ||
                expected == Closed)
                return;
            std::this_thread::yield();
        }
    }
    // Control: lets the mix be rendered again.
    void open() { state.store(Open, std::memory_order_release); }
    bool isClosed() const { return state.load(std::memory_order_acquire) == Closed; }

private:
    enum : int { Open, Rendering, Closed };
    std::atomic<int> state;
};
