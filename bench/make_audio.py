#!/usr/bin/python3
"""Writes raw 16-bit little-endian stereo PCM at 44.1 kHz to stdout, for lame and oggenc.

    make_audio.py tone|noise SECONDS

tone: a 440 Hz sine with a quieter 660 Hz fifth above it, at about -6 dBFS.
noise: white noise at about -10 dBFS, different in each channel (the hard case for an encoder).
"""
import sys

import numpy as np

RATE = 44100
BLOCK = RATE * 10  # ten seconds at a time keeps memory small for an hour of audio


def main():
    kind, seconds = sys.argv[1], float(sys.argv[2])
    total = int(seconds * RATE)
    rng = np.random.default_rng(20261207)
    out = sys.stdout.buffer
    done = 0
    while done < total:
        n = min(BLOCK, total - done)
        if kind == "tone":
            t = (np.arange(done, done + n, dtype=np.float64)) / RATE
            mono = 0.35 * np.sin(2 * np.pi * 440.0 * t) + 0.15 * np.sin(2 * np.pi * 660.0 * t)
            frames = np.repeat(mono[:, None], 2, axis=1)
        elif kind == "noise":
            frames = rng.uniform(-0.55, 0.55, size=(n, 2))
        else:
            sys.exit(f"unknown kind {kind!r}: use tone or noise")
        out.write((frames * 32767.0).astype("<i2").tobytes())
        done += n
    out.flush()


if __name__ == "__main__":
    main()
