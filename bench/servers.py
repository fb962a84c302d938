"""The servers a desktop session has, started privately for the benchmarks, and a recorder of what
reaches the sound server's sink. Each process is started and stopped by its own PID.

Used by bench/whole_player.py.
"""
import os
import shutil
import subprocess
import tempfile
import threading
import time

import numpy as np

from procwatch import stop_process

RATE = 44100


# --- servers -----------------------------------------------------------------------------------


class PulseServer:
    """A private PulseAudio server with one null sink, "out", reached through PULSE_SERVER."""

    def __init__(self, rate=44100):
        # A short path of its own: a unix socket's path may not be long.
        self.dir = tempfile.mkdtemp(prefix="brisnak-bench-pulse-")
        os.makedirs(os.path.join(self.dir, "runtime"))
        os.makedirs(os.path.join(self.dir, "state"))
        self.socket = os.path.join(self.dir, "native")
        env = dict(os.environ, PULSE_RUNTIME_PATH=os.path.join(self.dir, "runtime"),
                   PULSE_STATE_PATH=os.path.join(self.dir, "state"))
        self.log = open(os.path.join(self.dir, "server.log"), "w")
        self.proc = subprocess.Popen(
            ["pulseaudio", "--daemonize=no", "-n", "--use-pid-file=no", "--exit-idle-time=-1",
             "--disallow-exit", f"--load=module-null-sink sink_name=out rate={rate}",
             f"--load=module-native-protocol-unix socket={self.socket} auth-anonymous=1"],
            env=env, stdout=self.log, stderr=subprocess.STDOUT)
        self.env = {"PULSE_SERVER": "unix:" + self.socket}
        for _ in range(100):
            if subprocess.run(["pactl", "info"], env=dict(os.environ, **self.env),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
                return
            time.sleep(0.1)
        self.stop(keep_log=True)
        raise RuntimeError("the PulseAudio server did not start; see " + self.log.name)

    def stop(self, keep_log=False):
        stop_process(self.proc)
        self.log.close()
        if not keep_log:
            shutil.rmtree(self.dir, ignore_errors=True)


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


class SessionBus:
    """A private D-Bus session bus, as a desktop session has: the player registers its media
    controls on it, as it does for a user."""

    def __init__(self):
        self.proc = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = self.proc.stdout.readline().strip()
        if not self.address:
            stop_process(self.proc)
            raise RuntimeError("dbus-daemon printed no address")

    def stop(self):
        stop_process(self.proc)


class Capture:
    """Records out.monitor with parec; every chunk is stamped with CLOCK_MONOTONIC on arrival."""

    def __init__(self, env, latency_ms=5):
        # 5 ms fragments time what is heard closely, but a recorder that asks for them makes the
        # sink run that far ahead only, and the server then asks every player for data more
        # often: the CPU and wake-up measures record with long fragments, as a desktop's sink
        # with one music player on it would run.
        self.proc = subprocess.Popen(
            ["parec", "-d", "out.monitor", "--raw", "--format=s16le", f"--rate={RATE}",
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
            raise RuntimeError("parec records nothing from out.monitor")
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


