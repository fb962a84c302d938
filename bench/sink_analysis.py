"""When a click is heard: measurements on a recording of the sink's monitor (servers.Capture).

Every recorded fragment is stamped with CLOCK_MONOTONIC when it reaches the recorder, the clock the
player's driver stamps its clicks with. A frame counts as heard when the fragment holding it
arrived: the null sink hands out what it renders a block at a time, and the recorder adds its own
few milliseconds, so every figure here errs long.

Used by bench/whole_player.py.
"""
import numpy as np

from servers import RATE

SILENT_DROP_DB = 20.0  # "silent": this far below the level before the click
AUDIBLE = 10 ** (-40 / 20)  # -40 dBFS, as an amplitude
LEVEL_WINDOW = int(RATE * 0.005)  # 5 ms windows for the level
LEVEL_HOP = int(RATE * 0.001)
PITCH_WINDOW = int(RATE * 0.020)  # 20 ms Hann windows for a pitch's amplitude
PITCH_HOP = int(RATE * 0.002)


class Recording:
    def __init__(self, capture):
        frames, self.ends, self.arrivals = capture.samples()
        samples = frames.astype(np.float64) / 32768.0
        self.mono = samples.mean(axis=1)
        self.peak = np.abs(samples).max(axis=1)
        self.power = (samples ** 2).mean(axis=1)
        self.cumulative_power = np.concatenate([[0.0], np.cumsum(self.power)])
        self.frames = len(samples)

    def first_frame_after(self, ns):
        """The first frame of the first fragment that arrived after `ns`; None if none did."""
        chunk = int(np.searchsorted(self.arrivals, ns, side="right"))
        if chunk >= len(self.ends):
            return None
        return int(self.ends[chunk - 1]) if chunk > 0 else 0

    def frame_limit(self, ns):
        """The frames that had arrived by `ns` (all of them when `ns` is None)."""
        if ns is None:
            return self.frames
        chunk = int(np.searchsorted(self.arrivals, ns, side="right"))
        return int(self.ends[chunk - 1]) if chunk > 0 else 0

    def heard_at(self, frame):
        """When the fragment holding `frame` arrived."""
        chunk = min(int(np.searchsorted(self.ends, frame, side="right")), len(self.arrivals) - 1)
        return int(self.arrivals[chunk])

    def level_before(self, ns, ms=200):
        """Mean power of what arrived in the `ms` before `ns`."""
        begin = self.first_frame_after(ns - ms * 1_000_000)
        end = self.frame_limit(ns)
        if begin is None or end - begin < LEVEL_WINDOW:
            return 0.0
        return (self.cumulative_power[end] - self.cumulative_power[begin]) / (end - begin)

    # Detectors: each returns milliseconds from the click to the moment heard, or None.

    def first_audible(self, click_ns, limit_ns):
        """The first frame above -40 dBFS that arrived after the click."""
        begin, end = self.first_frame_after(click_ns), self.frame_limit(limit_ns)
        if begin is None or end <= begin:
            return None
        hits = np.nonzero(self.peak[begin:end] > AUDIBLE)[0]
        if len(hits) == 0:
            return None
        return (self.heard_at(begin + int(hits[0])) - click_ns) / 1e6

    def falls_silent(self, click_ns, limit_ns):
        """The end of the first 5 ms window after the click whose level is SILENT_DROP_DB below
        the level of the 200 ms before it (the sound has faded out). None when nothing audible
        played before the click."""
        before = self.level_before(click_ns)
        if before < AUDIBLE ** 2:
            return None
        begin, end = self.first_frame_after(click_ns), self.frame_limit(limit_ns)
        if begin is None or end - begin < LEVEL_WINDOW:
            return None
        starts = np.arange(begin, end - LEVEL_WINDOW, LEVEL_HOP)
        means = (self.cumulative_power[starts + LEVEL_WINDOW] - self.cumulative_power[starts]) / LEVEL_WINDOW
        quiet = np.nonzero(means <= before * 10 ** (-SILENT_DROP_DB / 10))[0]
        if len(quiet) == 0:
            return None
        return (self.heard_at(int(starts[quiet[0]]) + LEVEL_WINDOW) - click_ns) / 1e6

    def pitch_amplitudes(self, begin, end, frequencies):
        """Amplitude of each pitch in 20 ms Hann windows every 2 ms from `begin`: (starts, rows)."""
        if end - begin < PITCH_WINDOW:
            return np.array([], dtype=np.int64), [np.array([]) for _ in frequencies]
        view = np.lib.stride_tricks.sliding_window_view(self.mono[begin:end], PITCH_WINDOW)
        view = view[::PITCH_HOP]
        starts = begin + np.arange(len(view)) * PITCH_HOP
        window = np.hanning(PITCH_WINDOW)
        n = np.arange(PITCH_WINDOW)
        rows = []
        for f in frequencies:
            kernel = window * np.exp(-2j * np.pi * f * n / RATE)
            rows.append(2 * np.abs(view @ kernel) / window.sum())
        return starts, rows

    def pitch_starts(self, click_ns, limit_ns, frequency):
        """The end of the first 20 ms window after the click in which `frequency` is above
        -40 dBFS: the start of a track of that pitch (errs long by a few ms, the part of the
        window the new sound must fill first)."""
        begin, end = self.first_frame_after(click_ns), self.frame_limit(limit_ns)
        if begin is None:
            return None
        starts, (amplitude,) = self.pitch_amplitudes(begin, end, [frequency])
        hits = np.nonzero(amplitude > AUDIBLE)[0]
        if len(hits) == 0:
            return None
        return (self.heard_at(int(starts[hits[0]]) + PITCH_WINDOW) - click_ns) / 1e6

    def pitch_changes(self, click_ns, limit_ns, old, new):
        """The middle of the first 20 ms window after the click in which pitch `new` is louder
        than pitch `old` and audible: where a seek lands, heard."""
        begin, end = self.first_frame_after(click_ns), self.frame_limit(limit_ns)
        if begin is None:
            return None
        starts, (before, after) = self.pitch_amplitudes(begin, end, [old, new])
        hits = np.nonzero((after > before) & (after > AUDIBLE))[0]
        if len(hits) == 0:
            return None
        return (self.heard_at(int(starts[hits[0]]) + PITCH_WINDOW // 2) - click_ns) / 1e6


def summary(latencies, clicks):
    """Median, max and every figure of a list of latencies (None: a click not heard)."""
    heard = [x for x in latencies if x is not None]
    return {
        "clicks": clicks,
        "heard": len(heard),
        "median_ms": float(np.median(heard)) if heard else None,
        "max_ms": max(heard) if heard else None,
        "all_ms": [round(x, 1) for x in heard],
    }
