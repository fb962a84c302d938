// What reaches the private sound server's sink while the whole-player benchmarks run, recorded
// with MonitorRecorder (a silent stream keeps the null sink running, and its monitor
// is recorded as float stereo at the sink's rate) and measured with the tests' own measures
// (SoundCapture).
//
//     bench_sink_listener RATE BUFFER_MS        (the server at PULSE_SERVER)
//
// BUFFER_MS is the buffering the tap asks for: 5 keeps the sink rendering only a few ms ahead,
// to time clicks; 250 leaves a player's stream as a desktop sink with one player runs it, to
// watch the player's CPU. Prints "ready" once the recording is live; the first line on standard
// input ends it. Each line is a question about the recording, answered by one line in order
// ("none" when what it asks for was not heard between T and LIMIT):
//
//     audible T LIMIT     ms from T until the first sample above -40 dBFS is heard
//     silent T LIMIT      ms from T until 5 ms of exact silence begin (a fade heard to its end);
//                         "none" also when nothing was heard in the 200 ms before T
//     pitch T LIMIT HZ    ms from T to the middle of the first 20 ms heard at HZ
//     second T LIMIT MS   as pitch, at the pitch steps.mp3 has at MS (BenchFiles::steps)
//     level T LIMIT       the share of 5 ms windows above -40 dBFS between T and LIMIT
//
// T and LIMIT are CLOCK_MONOTONIC nanoseconds (DriverClock.h), the clock the player's driver
// stamps its clicks with. A frame counts as heard when the monitor hands it on, which is as the
// sink renders it (a null sink renders a millisecond or two ahead of its clock). While recording,
// the listener notes every millisecond how many frames have arrived; the sink renders at a steady
// rate, so each look bounds when every frame before it was rendered: frame f at most the look's
// time less the frames after f at the sink's rate. The sink's rate is not quite RATE (its clock
// drifts from the system's by up to a millisecond a second), so each frame takes the tightest
// bound of the looks in the 200 ms after its own arrival.
#include "BenchFiles.h"
#include "DriverClock.h"
#include "MonitorRecorder.h"
#include "SoundCapture.h"
#include "SoundServer.h"

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s RATE BUFFER_MS\n", argv[0]);
        return 2;
    }
    const int rate = std::atoi(argv[1]);
    MonitorRecorder tap(qEnvironmentVariable("PULSE_SERVER"), SoundServer::sinkName(), rate,
                        std::atoi(argv[2]));
    if (!tap.start()) {
        std::fprintf(stderr, "bench_sink_listener: the sink's monitor records nothing\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    // Each look: how many frames had arrived, when, and the moment the first frame was rendered
    // if the sink had rendered every frame since at RATE.
    std::vector<int64_t> arrived;
    std::vector<int64_t> when;
    std::vector<int64_t> start;
    pollfd input{0, POLLIN, 0};
    for (int ready; (ready = poll(&input, 1, 1)) == 0 || (ready < 0 && errno == EINTR);) {
        const int64_t frames = tap.framesRecorded();
        if (arrived.empty() || frames > arrived.back()) {
            arrived.push_back(frames);
            when.push_back(DriverClock::nowNs());
            start.push_back(when.back() - frames * 1000000000 / rate);
        }
    }
    const std::vector<float> recording = tap.stop();
    if (arrived.empty())
        return 1;
    const auto frames = static_cast<int64_t>(recording.size() / 2);
    const auto heardNs = [&](int64_t frame) {
        const size_t first = std::min<size_t>(
            std::upper_bound(arrived.begin(), arrived.end(), frame) - arrived.begin(),
            arrived.size() - 1);
        int64_t earliest = start[first];
        for (size_t look = first; look < arrived.size() && when[look] - when[first] <= 200000000;
             ++look)
            earliest = std::min(earliest, start[look]);
        return earliest + frame * 1000000000 / rate;
    };
    // The first frame heard at or after `ns`.
    const auto frameAt = [&](int64_t ns) {
        int64_t low = 0;
        int64_t high = frames;
        while (low < high) {
            const int64_t middle = (low + high) / 2;
            if (heardNs(middle) < ns)
                low = middle + 1;
            else
                high = middle;
        }
        return low;
    };
    const SoundCapture side = SoundCapture::side(recording, 2, rate);
    const std::vector<SoundCapture::Span> loud = side.loudSpans(0.01);
    constexpr float audible = 0.01f; // -40 dBFS
    const auto recorded = static_cast<int64_t>(recording.size() / 2);
    // The first frame at or after `frame` with either side audible, or the recording's end.
    const auto firstLoud = [&](int64_t frame) {
        while (frame < recorded && std::fabs(recording[2 * frame]) < audible &&
               std::fabs(recording[2 * frame + 1]) < audible)
            ++frame;
        return frame;
    };
    // The first frame at or after `frame` that begins `length` frames of exact silence.
    const auto silenceAfter = [&](int64_t frame, int64_t length) {
        for (int64_t run = 0; frame < recorded; ++frame) {
            run = recording[2 * frame] == 0.0f && recording[2 * frame + 1] == 0.0f ? run + 1 : 0;
            if (run == length)
                return frame + 1 - length;
        }
        return recorded;
    };

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string question;
        int64_t at = 0;
        int64_t limit = 0;
        double argument = 0;
        words >> question >> at >> limit >> argument;
        const int64_t from = frameAt(at);
        const int64_t to = frameAt(limit);
        int64_t heard = -1;
        if (question == "audible") {
            const int64_t first = firstLoud(from);
            heard = first < recorded ? first : -1;
        } else if (question == "silent") {
            const int64_t before = frameAt(at - 200000000);
            if (firstLoud(before) < from)
                heard = silenceAfter(from, rate / 200);
        } else if (question == "pitch" || question == "second") {
            const double hz =
                question == "pitch"
                    ? argument
                    : BenchFiles::steps().frequencyOf(static_cast<int>(argument / 1000));
            const double second = side.firstHeard(double(from) / rate, double(to) / rate, hz);
            heard = second < 0 ? -1 : static_cast<int64_t>(second * rate);
        } else if (question == "level") {
            const double begin = double(from) / rate;
            const double end = double(to) / rate;
            double sounding = 0;
            for (const SoundCapture::Span& span : loud)
                sounding += std::max(0.0, std::min(span.end, end) - std::max(span.start, begin));
            std::printf("%.3f\n", end > begin ? sounding / (end - begin) : 0.0);
            continue;
        } else {
            std::printf("unknown question\n");
            continue;
        }
        if (heard < 0 || heard >= to)
            std::printf("none\n");
        else
            std::printf("%.2f\n", (heardNs(heard) - at) / 1e6);
    }
    return 0;
}
