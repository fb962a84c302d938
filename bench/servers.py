"""The servers a desktop session has, started privately for the benchmarks (the sound server and
the session bus by the tests' own helpers, through bench_session_servers), and a recorder of what
reaches the sound server's sink. Each process is started and stopped by its own PID.

Used by bench/whole_player.py.
"""
import os
import subprocess
import threading
import time

import numpy as np

from procwatch import stop_process

RATE = 44100


# --- servers -----------------------------------------------------------------------------------


class SessionServer:
    """A server of the tests' own helpers (tests/support), started by bench_session_servers, which
    prints what a client needs as NAME=value lines, then "ready", and ends the server when its
    standard input closes."""

    def __init__(self, tool, *args):
        self.proc = subprocess.Popen([tool, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True)
        self.values = {}
        for line in self.proc.stdout:
            if line.strip() == "ready":
                return
            name, _, value = line.strip().partition("=")
            self.values[name] = value
        self.proc.wait()
        raise RuntimeError(f"bench_session_servers {' '.join(args)} did not start")

    def stop(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            stop_process(self.proc)


class PulseServer(SessionServer):
    """A private PulseAudio server whose one sink is a null sink, reached through PULSE_SERVER;
    what reaches the sink is recorded from `monitor`."""

    def __init__(self, tool, rate=44100):
        super().__init__(tool, "sound", str(rate))
        self.env = {"PULSE_SERVER": self.values["PULSE_SERVER"]}
        self.monitor = self.values["MONITOR"]


class SessionBus(SessionServer):
    """A private D-Bus session bus, as a desktop session has: the player registers its media
    controls on it, as it does for a user."""

    def __init__(self, tool):
        super().__init__(tool, "bus")
        self.address = self.values["DBUS_SESSION_BUS_ADDRESS"]


class XServer:
    """Xvfb on a display number it picks itself."""

    def __init__(self):
        read, write = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            number = f.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number

    def stop(self):
        stop_process(self.proc)


class Capture:
    """Records the sink's monitor with parec; every chunk is stamped with CLOCK_MONOTONIC on
    arrival."""

    def __init__(self, env, monitor, latency_ms=5):
        # 5 ms fragments time what is heard closely, but a recorder that asks for them makes the
        # sink run that far ahead only, and the server then asks every player for data more
        # often: the CPU and wake-up measures record with long fragments, as a desktop's sink
        # with one music player on it would run.
        self.proc = subprocess.Popen(
            ["parec", "-d", monitor, "--raw", "--format=s16le", f"--rate={RATE}",
             "--channels=2", f"--latency-msec={latency_ms}"],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
        self.chunks = []  # (arrival ns, bytes)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()
        # parec takes a while (seconds, on a fresh server) before the first data flows.
        deadline = time.monotonic() + 15
        while not self.chunks and time.monotonic() < deadline:
            time.sleep(0.05)
        if not self.chunks:
            raise RuntimeError("parec records nothing from " + monitor)
        time.sleep(0.2)

    def _read(self):
        fd = self.proc.stdout.fileno()
        while True:
            data = os.read(fd, 8192)
            if not data:
                return
            self.chunks.append((time.monotonic_ns(), data))

    def stop(self):
        stop_process(self.proc)
        self.thread.join(5)

    def samples(self):
        """All samples (frames x 2, int16) and, per chunk, its end frame and arrival time."""
        raw = b"".join(c[1] for c in self.chunks)
        raw = raw[: len(raw) // 4 * 4]
        frames = np.frombuffer(raw, dtype="<i2").reshape(-1, 2)
        ends, arrivals, total = [], [], 0
        for arrival, data in self.chunks:
            total += len(data)
            ends.append(min(total // 4, len(frames)))
            arrivals.append(arrival)
        return frames, np.array(ends), np.array(arrivals)


