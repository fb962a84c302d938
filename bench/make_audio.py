#!/usr/bin/python3
"""Writes raw 16-bit little-endian stereo PCM to stdout, for lame and oggenc.

    make_audio.py KIND SECONDS [RATE]      (RATE 44100 unless given)

tone:   a 440 Hz sine with a quieter 660 Hz fifth above it, at about -6 dBFS.
noise:  white noise at about -10 dBFS, different in each channel (the hard case for an encoder).
low:    a LOW_HZ sine at -6 dBFS.
high:   a HIGH_HZ sine at -6 dBFS.
blocks: BLOCK_SECONDS of low, then BLOCK_SECONDS of high, and so on: where a seek lands is heard
        in the pitch.
"""
import sys

import numpy as np

LOW_HZ = 440.0
HIGH_HZ = 1000.0
BLOCK_SECONDS = 10


def block_frequency(second):
    """The pitch of a blocks file at a position in seconds."""
    return LOW_HZ if int(second // BLOCK_SECONDS) % 2 == 0 else HIGH_HZ


def main():
    kind, seconds = sys.argv[1], float(sys.argv[2])
    rate = int(sys.argv[3]) if len(sys.argv) > 3 else 44100
    total = int(seconds * rate)
    block = rate * 10  # ten seconds at a time keeps memory small for an hour of audio
    rng = np.random.default_rng(20261207)
    out = sys.stdout.buffer
    phase = 0.0
    done = 0
    while done < total:
        n = min(block, total - done)
        t = np.arange(done, done + n, dtype=np.float64) / rate
        if kind == "tone":
            mono = 0.35 * np.sin(2 * np.pi * 440.0 * t) + 0.15 * np.sin(2 * np.pi * 660.0 * t)
        elif kind == "noise":
            mono = None
            frames = rng.uniform(-0.55, 0.55, size=(n, 2))
        elif kind in ("low", "high"):
            mono = 0.5 * np.sin(2 * np.pi * (LOW_HZ if kind == "low" else HIGH_HZ) * t)
        elif kind == "blocks":
            # The phase runs on across the changes of pitch, so the only change heard is the pitch.
            freq = np.where((t // BLOCK_SECONDS).astype(np.int64) % 2 == 0, LOW_HZ, HIGH_HZ)
            steps = phase + np.cumsum(2 * np.pi * freq / rate)
            phase = float(steps[-1])
            mono = 0.5 * np.sin(steps)
        else:
            sys.exit(f"unknown kind {kind!r}: use tone, noise, low, high or blocks")
        if mono is not None:
            frames = np.repeat(mono[:, None], 2, axis=1)
        out.write((frames * 32767.0).astype("<i2").tobytes())
        done += n
    out.flush()


if __name__ == "__main__":
    main()
