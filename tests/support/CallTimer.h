// CallTimer: times the calls it is handed and keeps the slowest, for the hang checks of the tests
// that call the player while something it depends on (a decode step, the sound server) is held.
// A call takes microseconds; one that waited for what the test holds does not come back before
// the test lets go, so a bound of a few hundred milliseconds tells the two apart on any machine.
//
// Threads: the calling thread.
#pragma once

#include <QElapsedTimer>

#include <algorithm>

class CallTimer
{
public:
    template <typename Call>
    auto operator()(Call call)
    {
        QElapsedTimer timer;
        timer.start();
        auto result = call();
        slowestMs = std::max(slowestMs, static_cast<double>(timer.nsecsElapsed()) / 1e6);
        return result;
    }

    double slowestMs = 0;
};
