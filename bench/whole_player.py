#!/usr/bin/python3
"""Whole-player benchmarks: Brisnak side by side with mpv, on the same files, machine and run.

Started by bench/run.sh, which installs, builds and encodes first. Writes the figures as JSON into
the work folder, then docs/benchmarks.md (its "Whole player" section), docs/benchmarks.png and the
performance table of README.md.

Every process is started and stopped by this script by its own PID: a private PulseAudio server
with a null sink "out" (what reaches the sink is recorded from out.monitor) and an Xvfb server.
"""
import argparse
import datetime
import json
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

RATE = 44100
CLK_TCK = os.sysconf("SC_CLK_TCK")
PAGE_KB = os.sysconf("SC_PAGE_SIZE") // 1024

TARGETS = {
    "startup_ratio": 1.2,  # Brisnak's start-up over the floor's
    "cpu_ratio": 0.5,  # Brisnak's CPU time over mpv's while playing
    "idle_cpu_percent": 0.05,  # paused or stopped, percent of one core
    "rss_mb": 50.0,  # and at most mpv's
    "playlist_ms": 100.0,  # 10 000 paths added
    "start_ms": 100.0,  # Play click to the first audible sample at the sink
}


def log(*args):
    print("[bench]", *args, flush=True)


# --- processes and /proc -----------------------------------------------------------------------


def stop_process(proc, timeout=5.0):
    """Ends a process this script started, by its PID: SIGTERM, then SIGKILL."""
    if proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def cpu_sample(pid):
    """CPU time of a process in ns, two ways: utime+stime from /proc/PID/stat (whole process,
    ended threads included, in clock ticks) and the sum of the live threads' schedstat (exact)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime
    threads = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                threads[tid] = int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return {"stat_ns": ticks * 1_000_000_000 // CLK_TCK, "threads": threads}


def cpu_between(a, b):
    """CPU ns spent between two samples. The exact thread sum when every thread of the first
    sample is still there (threads born in between count from zero); the tick count otherwise."""
    if set(a["threads"]) <= set(b["threads"]):
        return sum(b["threads"][t] - a["threads"].get(t, 0) for t in b["threads"]), "schedstat"
    return b["stat_ns"] - a["stat_ns"], "stat"


def rss_kb(pid):
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(("VmRSS:", "VmHWM:")):
                values[line.split(":")[0]] = int(line.split()[1])
    return values


def system_busy():
    """Busy and total jiffies of the whole machine, to tell whether others were working."""
    with open("/proc/stat") as f:
        parts = [int(x) for x in f.readline().split()[1:]]
    idle = parts[3] + parts[4]
    return sum(parts) - idle, sum(parts)


class MachineLoad:
    """Share of the machine's CPU busy over a span, everything included (this run too)."""

    def __init__(self):
        self.start = system_busy()

    def percent(self):
        busy, total = system_busy()
        return 100.0 * (busy - self.start[0]) / max(1, total - self.start[1])


class BuildWatch:
    """Notes, every few seconds, whether a compiler or linker runs on the machine (another
    developer's build), so that the report can say how much of the run was taken under load."""

    TOOLS = {"cc1plus", "cc1", "ld", "collect2", "clang", "clang++", "lld", "ld.gold"}

    def __init__(self):
        self.samples = 0
        self.busy = 0
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()

    def _watch(self):
        while not self.done.wait(5.0):
            found = False
            for pid in os.listdir("/proc"):
                if not pid.isdigit():
                    continue
                try:
                    with open(f"/proc/{pid}/comm") as f:
                        if f.read().strip() in self.TOOLS:
                            found = True
                            break
                except OSError:
                    pass
            self.samples += 1
            self.busy += found

    def share(self):
        self.done.set()
        self.thread.join(10)
        return 100.0 * self.busy / max(1, self.samples)


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


class Capture:
    """Records out.monitor with parec; every chunk is stamped with CLOCK_MONOTONIC on arrival."""

    def __init__(self, env):
        self.proc = subprocess.Popen(
            ["parec", "-d", "out.monitor", "--raw", "--format=s16le", f"--rate={RATE}",
             "--channels=2", "--latency-msec=5"],
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


# --- the benchmarks ----------------------------------------------------------------------------


class Bench:
    def __init__(self, args):
        self.args = args
        self.quick = args.quick
        self.player = os.path.join(args.build, "bench", "player", "bench_player")
        self.work = args.work
        os.makedirs(self.work, exist_ok=True)
        self.results = {"quick": self.quick}
        runtime = os.path.join(self.work, "xdg-runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        self.base_env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
        self.base_env.pop("DISPLAY", None)

    def file(self, name):
        return os.path.join(self.args.files, name)

    def env(self, **extra):
        return dict(self.base_env, **self.pulse.env, **extra)

    def window_env(self):
        """Where bench_player shows the window: a real X server, as on a desktop."""
        return self.env(QT_QPA_PLATFORM="xcb", DISPLAY=self.x.display)

    # Start-up ----------------------------------------------------------------------------------

    def startup_once(self, exe, env):
        start = time.monotonic_ns()
        out = subprocess.run([exe], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             timeout=60, text=True).stdout
        marks = {k: int(v) for k, v in (line.split() for line in out.splitlines() if line)}
        if "painted" not in marks:
            raise RuntimeError(f"{exe} did not report its first paint: {out!r}")
        return {
            "total_ms": (marks["painted"] - start) / 1e6,
            "to_main_ms": (marks["main"] - start) / 1e6,
            "application_ms": (marks["application"] - marks["main"]) / 1e6,
            "window_ms": (marks["window"] - marks["application"]) / 1e6,
            "show_paint_ms": (marks["painted"] - marks["window"]) / 1e6,
        }

    def startup(self):
        runs = 3 if self.quick else 15
        bindir = os.path.join(self.args.build, "bench", "player")
        programs = {"floor": os.path.join(bindir, "bench_startup_floor"),
                    "text_floor": os.path.join(bindir, "bench_startup_text_floor"),
                    "brisnak": os.path.join(bindir, "bench_startup_brisnak")}
        platforms = {"offscreen": self.env(QT_QPA_PLATFORM="offscreen"),
                     "xcb": self.env(QT_QPA_PLATFORM="xcb", DISPLAY=self.x.display)}
        result = {}
        for plat, env in platforms.items():
            samples = {name: [] for name in programs}
            for name, exe in programs.items():  # one warm-up each: page cache, font cache
                self.startup_once(exe, env)
            for _ in range(runs):  # alternate, so that a busy moment hits both alike
                for name, exe in programs.items():
                    samples[name].append(self.startup_once(exe, env))
            entry = {"runs": runs}
            for name in programs:
                entry[name] = {key: statistics.median(s[key] for s in samples[name])
                               for key in samples[name][0]}
                entry[name]["all_total_ms"] = [round(s["total_ms"], 2) for s in samples[name]]
            entry["ratio"] = entry["brisnak"]["total_ms"] / entry["floor"]["total_ms"]
            entry["text_ratio"] = entry["brisnak"]["total_ms"] / entry["text_floor"]["total_ms"]
            result[plat] = entry
            log(f"start-up {plat}: floor {entry['floor']['total_ms']:.1f} ms, floor with text "
                f"{entry['text_floor']['total_ms']:.1f} ms, brisnak {entry['brisnak']['total_ms']:.1f} "
                f"ms, ratio {entry['ratio']:.2f} ({entry['text_ratio']:.2f} to the floor with text)")
        self.results["startup"] = result

    # Playing, paused, stopped ---------------------------------------------------------------------

    def watch_process(self, proc, seconds, capture=None):
        """CPU and memory of a running process over `seconds`, sampled every 0.5 s."""
        load = MachineLoad()
        first = cpu_sample(proc.pid)
        started = time.monotonic()
        rss = []
        while time.monotonic() - started < seconds:
            time.sleep(0.5)
            if proc.poll() is not None:
                raise RuntimeError(f"the process ended while measured (exit {proc.returncode})")
            rss.append(rss_kb(proc.pid)["VmRSS"])
        last = cpu_sample(proc.pid)
        elapsed = time.monotonic() - started
        mem = rss_kb(proc.pid)
        cpu_ns, method = cpu_between(first, last)
        return {
            "seconds": round(elapsed, 2),
            "cpu_percent": 100.0 * cpu_ns / (elapsed * 1e9),
            "cpu_method": method,
            "rss_median_mb": statistics.median(rss) / 1024.0,
            "rss_peak_mb": mem["VmHWM"] / 1024.0,
            "threads": len(last["threads"]),
            "machine_busy_percent": load.percent(),
        }

    def start_brisnak(self, mode, path):
        proc = subprocess.Popen([self.player, mode, path], env=self.window_env(),
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        marks = {}
        want = {"play": "playing", "pause": "paused", "stop": "stopped"}[mode]
        while want not in marks or "length-ms" not in marks:
            line = proc.stdout.readline()
            if not line:
                raise RuntimeError(f"bench_player {mode} ended early")
            key, value = line.split()
            marks[key] = int(value)
        return proc, marks

    def level(self, capture, after_ns):
        """RMS level in dBFS of what reached the sink after a moment, and the audible share."""
        frames, ends, arrivals = capture.samples()
        start = ends[np.searchsorted(arrivals, after_ns)] if len(ends) else 0
        tail = frames[start:].astype(np.float64) / 32768.0
        if len(tail) == 0:
            return {"rms_dbfs": None, "audible_share": 0.0}
        rms = float(np.sqrt(np.mean(tail ** 2)))
        audible = float(np.mean(np.abs(tail).max(axis=1) > 0.01))
        return {"rms_dbfs": round(20 * np.log10(max(rms, 1e-9)), 1),
                "audible_share": round(audible, 3)}

    def playing(self):
        result = {}
        for name in ["noise-60min.mp3", "noise-60min.ogg", "tone-60min.mp3", "tone-60min.ogg"]:
            result[name] = self.play_both(name)
        # Debian's PulseAudio runs its sinks at 44.1 kHz; many desktops run at 48 kHz, where the
        # server resamples what both players hand it at the file's rate.
        default_server = self.pulse
        self.pulse = PulseServer(rate=48000)
        try:
            label = "noise-60min.mp3, 48 kHz sink"
            result[label] = self.play_both("noise-60min.mp3", label)
        finally:
            self.pulse.stop()
            self.pulse = default_server
        self.results["playing"] = result

    def play_both(self, name, label=None):
        seconds = 5 if self.quick else 60
        path = self.file(name)
        entry = {}
        for who in ["brisnak", "mpv"]:
            capture = Capture(self.env())
            if who == "brisnak":
                proc, marks = self.start_brisnak("play", path)
            else:
                proc = subprocess.Popen(
                    ["mpv", "--no-config", "--no-video", "--ao=pulse", "--really-quiet",
                     "--no-terminal", path],
                    env=self.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(1.0)  # settle: both measured from one second into the track
            measure_from = time.monotonic_ns()
            try:
                entry[who] = self.watch_process(proc, seconds)
            finally:
                stop_process(proc)
                capture.stop()
            entry[who].update(self.level(capture, measure_from))
            if who == "brisnak":
                entry[who]["length_ms"] = marks["length-ms"]
        entry["cpu_ratio"] = entry["brisnak"]["cpu_percent"] / max(entry["mpv"]["cpu_percent"], 1e-9)
        log(f"playing {label or name}: brisnak {entry['brisnak']['cpu_percent']:.2f} % "
            f"{entry['brisnak']['rss_peak_mb']:.1f} MB, mpv {entry['mpv']['cpu_percent']:.2f} % "
            f"{entry['mpv']['rss_peak_mb']:.1f} MB, ratio {entry['cpu_ratio']:.2f}")
        return entry

    def idle(self):
        seconds = 5 if self.quick else 60
        result = {}
        for mode in ["pause", "stop"]:
            proc, marks = self.start_brisnak(mode, self.file("noise-60min.mp3"))
            time.sleep(0.5)
            try:
                result[mode] = self.watch_process(proc, seconds)
            finally:
                stop_process(proc)
            # A length of 0 means the file never opened: an idle figure that proves nothing.
            result[mode]["length_ms"] = marks["length-ms"]
            log(f"{mode}: brisnak {result[mode]['cpu_percent']:.4f} % of a core")
        self.results["idle"] = result

    # Playlist scale ------------------------------------------------------------------------------

    def playlist(self):
        count = 10000
        folder = os.path.join(self.work, "many")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        sources = [self.file(n) for n in ["tone-10min.mp3", "noise-10min.ogg", "tone-10min.ogg",
                                          "noise-10min.mp3"]]
        paths = []
        for i in range(count):
            source = sources[i % len(sources)]
            path = os.path.join(folder, f"track {i:05d}{os.path.splitext(source)[1]}")
            os.symlink(source, path)
            paths.append(path)
        listing = os.path.join(self.work, "many.txt")
        with open(listing, "w") as f:
            f.write("\n".join(paths) + "\n")
        runs = 1 if self.quick else 5
        samples = []
        for _ in range(runs):
            out = subprocess.run([self.player, "add", listing], env=self.window_env(),
                                 cwd=self.work, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                 text=True, timeout=600)
            v = {k: int(x) for k, x in (line.split() for line in out.stdout.splitlines() if line)}
            if out.returncode != 0 or v.get("rows") != count:
                raise RuntimeError(f"adding {count} paths failed: {out.stdout!r}")
            samples.append({
                "add_ms": (v["returned"] - v["first-row"]) / 1e6,
                "dialog_to_return_ms": (v["returned"] - v["answered"]) / 1e6,
                "dialog_to_painted_ms": (v["painted"] - v["answered"]) / 1e6,
                "longest_gap_ms": v["longest-gap"] / 1e6,
            })
        entry = {key: statistics.median(s[key] for s in samples) for key in samples[0]}
        entry.update(paths=count, runs=runs)
        log(f"playlist: {count} paths in {entry['add_ms']:.1f} ms, painted after "
            f"{entry['dialog_to_painted_ms']:.1f} ms, longest stall {entry['longest_gap_ms']:.1f} ms")
        self.results["playlist"] = entry

    # Start of playback ---------------------------------------------------------------------------

    def start_latency(self):
        clicks = 3 if self.quick else 10
        result = {}
        for name in ["tone-60min.mp3", "noise-60min.mp3", "tone-60min.ogg", "tone-10min.mp3"]:
            capture = Capture(self.env())
            out = subprocess.run([self.player, "clicks", self.file(name), str(clicks)],
                                 env=self.window_env(), stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, text=True, timeout=120)
            time.sleep(0.2)
            capture.stop()
            pairs = [line.split() for line in out.stdout.splitlines() if line]
            click_times = [int(v) for k, v in pairs if k == "click"]
            returned = [int(v) for k, v in pairs if k == "returned"]
            frames, ends, arrivals = capture.samples()
            loud = np.abs(frames.astype(np.int32)).max(axis=1) > 328  # -40 dBFS
            latencies = []
            for i, click in enumerate(click_times):
                first_chunk = int(np.searchsorted(arrivals, click, side="right"))
                if first_chunk >= len(ends):
                    continue
                begin = ends[first_chunk - 1] if first_chunk > 0 else 0
                limit = click_times[i + 1] if i + 1 < len(click_times) else arrivals[-1] + 1
                stop = ends[min(int(np.searchsorted(arrivals, limit)), len(ends) - 1)]
                hits = np.nonzero(loud[begin:stop])[0]
                if len(hits) == 0:
                    continue
                frame = begin + int(hits[0])
                chunk = int(np.searchsorted(ends, frame, side="right"))
                # The sink hands out what it renders at once, a block at a time and ahead of its
                # clock; the frame counts as heard when its block reached the recorder.
                heard = arrivals[chunk]
                latencies.append((heard - click) / 1e6)
            play_call = [(r - c) / 1e6 for c, r in zip(click_times, returned)]
            entry = {
                "clicks": len(click_times),
                "heard": len(latencies),
                "median_ms": statistics.median(latencies) if latencies else None,
                "max_ms": max(latencies) if latencies else None,
                "all_ms": [round(x, 1) for x in latencies],
                "play_call_median_ms": statistics.median(play_call) if play_call else None,
            }
            result[name] = entry
            log(f"start of playback {name}: median {entry['median_ms']} ms over {len(latencies)}"
                f"/{len(click_times)} clicks; the Play command itself {entry['play_call_median_ms']} ms")
        self.results["start"] = result

    # Everything -----------------------------------------------------------------------------------

    def machine(self):
        def first_line(cmd):
            try:
                return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                      text=True).stdout.splitlines()[0].strip()
            except (OSError, IndexError):
                return "?"

        cpu = "?"
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
        with open("/etc/debian_version") as f:
            debian = f.read().strip()
        mem_kb = int(open("/proc/meminfo").readline().split()[1])
        self.results["machine"] = {
            "cpu": cpu, "cores": os.cpu_count(), "memory_gb": round(mem_kb / 1024 / 1024, 1),
            "kernel": platform.release(), "debian": debian,
            "qt": first_line(["dpkg-query", "-W", "-f=${Version}", "libqt6widgets6"]),
            "mpv": first_line(["mpv", "--version"]).split(" Copyright")[0],
            "pulseaudio": first_line(["pulseaudio", "--version"]),
            "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        }

    def run(self):
        self.machine()
        load = MachineLoad()
        builds = BuildWatch()
        loadavg_before = open("/proc/loadavg").read().split()[:3]
        self.pulse = PulseServer()
        self.x = XServer()
        try:
            parts = {"startup": "startup", "playlist": "playlist", "start_latency": "start",
                     "playing": "playing", "idle": "idle"}
            for part, key in parts.items():
                if self.args.only and part not in self.args.only.split(","):
                    continue
                try:
                    getattr(self, part)()
                except (RuntimeError, OSError, subprocess.SubprocessError, ValueError, KeyError) as e:
                    # One part failing (say, a player that cannot add files yet) spoils only its
                    # own figures; the report names the error.
                    log(f"{part} failed: {e}")
                    self.results[key] = {"error": str(e)}
        finally:
            self.x.stop()
            self.pulse.stop()
        self.results["machine"]["busy_percent_during_run"] = round(load.percent(), 1)
        self.results["machine"]["builds_running_percent"] = round(builds.share())
        self.results["machine"]["loadavg_before"] = loadavg_before
        self.results["machine"]["loadavg_after"] = open("/proc/loadavg").read().split()[:3]
        with open(os.path.join(self.work, "results.json"), "w") as f:
            json.dump(self.results, f, indent=2)
        return self.results


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--files", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", help="run these parts only, comma-separated (for trying out)")
    parser.add_argument("--report-only", action="store_true",
                        help="rewrite the docs from the work folder's results.json")
    args = parser.parse_args()
    for name in ["root", "build", "files", "work"]:
        setattr(args, name, os.path.abspath(getattr(args, name)))
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import report

    if args.report_only:
        with open(os.path.join(args.work, "results.json")) as f:
            results = json.load(f)
    else:
        results = Bench(args).run()
    if args.only:
        print(json.dumps(results, indent=1))
        return
    report.write(results, args.root, TARGETS)


if __name__ == "__main__":
    main()
