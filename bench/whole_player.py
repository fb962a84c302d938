#!/usr/bin/python3
"""Brisnak's benchmarks: the engine (EngineBench) and the whole player against its floors and
against mpv, on the same files, machine and run. Started by bench/run.sh, which installs and
builds first.

Writes every figure as JSON (WORK/results.json) and one table of them (WORK/table.md). After a
full run it also writes the JSON to docs/benchmarks.json and the table into docs/benchmarks.md and
README.md, between their whole-player markers; a quick run (--quick) leaves the docs alone.

The player measured is the program itself, driven from the inside by the driver's Qt plugin
(tests/support/DriverPlugin.h). Its floors: the same file decoded by Debian's command-line decoder
alone; bench_window_floor, the player's own widgets and tick without the engine; for start-up,
the least Qt window and the least window that shows text. Every process runs in a private desktop
session: a PulseAudio server with a null sink and a D-Bus session bus (bench_session_servers, the
tests' own helpers) and an Xvfb server. What reaches the sink is recorded and measured by
bench_sink_listener (the tests' SinkTap, TrackMatch and SoundCapture). Every process is started and
stopped by its own PID.
"""
import argparse
import datetime
import json
import os
import platform
import re
import resource
import shutil
import signal
import statistics
import subprocess
import threading
import time

TARGETS = {
    "play_ms": 10.0,  # Play returns within this, on every file
    "play_ratio": 50.0,  # and at least this many times faster than decoding the file whole
    "render_ratio": 1.3,  # an offline render as played, over decoding alone
    "seek_ms": 20.0,  # every seek through the engine
    "engine_mb": 20.0,  # the engine's memory above the idle process
    "startup_text_ratio": 1.2,  # start-up over the floor with text's
    "cpu_floor_ratio": 3.0,  # CPU playing over (decoding alone + the window's tick)
    "cpu_mpv_ratio": 0.25,  # CPU playing over mpv's
    "idle_floor_ratio": 1.2,  # CPU paused or stopped over the window floor's
    "wakeups_playing": 40.0,  # wake-ups a second while playing, all threads
    "wakeups_idle_margin": 0.1,  # paused or stopped: at most this share over the window floor's
    "rss_mb": 50.0,  # and at most mpv's
    "playlist_ms": 100.0,  # 10 000 paths added; the window's longest stall meanwhile
    "heard_ms": 100.0,  # a click until heard at the sink, every click
}
LOW, HIGH = 440, 1000  # the pitches of the two tracks at different rates
LOW_FILE, HIGH_FILE = f"pitch-{LOW}-44100.mp3", f"pitch-{HIGH}-48000.mp3"
STEPS_FILE = "steps.mp3"  # 40 s whose pitch tells the second (BenchFiles::steps)


def log(*args):
    print("[bench]", *args, flush=True)


def parse_marks(text):
    """The driver's "name value [detail]" lines, in order: [(name, value, detail or None)]."""
    marks = []
    for line in text.splitlines():
        parts = line.split()
        if len(parts) >= 2 and parts[1].lstrip("-").isdigit():
            detail = int(parts[2]) if len(parts) > 2 and parts[2].lstrip("-").isdigit() else None
            marks.append((parts[0], int(parts[1]), detail))
    return marks


def stop_process(proc, timeout=5.0):
    """Ends a process this script started, by its PID: SIGTERM, then SIGKILL."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def minutes_of(name):
    match = re.search(r"-(\d+)min", name)
    return int(match.group(1)) if match else 2


class Helper:
    """One of the harness's C++ helpers: prints NAME=value lines, then "ready"; ends once its
    standard input closes (bench_session_servers), or answers the lines written to it first
    (bench_sink_listener)."""

    def __init__(self, argv, env):
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        self.values = {}
        for line in self.proc.stdout:
            if line.strip() == "ready":
                return
            name, _, value = line.strip().partition("=")
            self.values[name] = value
        self.proc.wait()
        raise RuntimeError(f"{os.path.basename(argv[0])} {' '.join(argv[1:])} did not start")

    def ask(self, questions):
        """Writes the questions, closes its input; its answers, one a question."""
        out, _ = self.proc.communicate("".join(q + "\n" for q in questions), timeout=120)
        return out.split()

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.proc.communicate(timeout=10)
            except subprocess.TimeoutExpired:
                stop_process(self.proc)


# What a running process costs, read from /proc (reading does not wake it) ----------------------


def read_threads(pid):
    """Per thread: name, voluntary context switches (wake-ups) and CPU ns (schedstat)."""
    threads = {}
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:
        return threads
    for tid in tids:
        base = f"/proc/{pid}/task/{tid}"
        try:
            with open(base + "/comm") as f:
                comm = f.read().strip()
            with open(base + "/status") as f:
                wakeups = next(int(line.split()[1]) for line in f
                               if line.startswith("voluntary_ctxt_switches:"))
            with open(base + "/schedstat") as f:
                cpu_ns = int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            continue  # the thread ended while being read
        threads[int(tid)] = {"comm": comm, "wakeups": wakeups, "cpu_ns": cpu_ns}
    return threads


def peak_rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) / 1024


def machine_jiffies():
    """Busy and total jiffies of the whole machine."""
    with open("/proc/stat") as f:
        parts = [int(x) for x in f.readline().split()[1:]]
    return sum(parts) - parts[3] - parts[4], sum(parts)


def busy_percent(since):
    busy, total = machine_jiffies()
    return 100.0 * (busy - since[0]) / max(1, total - since[1])


def watch(proc, seconds, period=0.5):
    """CPU, peak memory and wake-ups of a running process over `seconds`, per thread and in all.

    The threads are read at the start, every `period` and at the end. A thread born in the window
    counts from zero; one that ended counts up to the last time it was seen (a lower bound: it is
    listed in "ended"). "main" is the process's first thread; "unnamed" a thread that kept the
    program's name (numbered when there are several, in the order they were made)."""
    load = machine_jiffies()
    first = read_threads(proc.pid)
    seen = dict(first)
    started = time.monotonic()
    while (remaining := seconds - (time.monotonic() - started)) > 0:
        time.sleep(min(period, remaining))
        if proc.poll() is not None:
            raise RuntimeError(f"the process ended while measured (exit {proc.returncode})")
        seen.update(read_threads(proc.pid))
    last = read_threads(proc.pid)
    seen.update(last)
    elapsed = time.monotonic() - started
    main = seen.get(proc.pid, {}).get("comm")
    names = {tid: "main" if tid == proc.pid else "unnamed" if v["comm"] == main else v["comm"]
             for tid, v in sorted(seen.items())}
    threads, ended = {}, []
    for tid, v in sorted(seen.items()):
        same = [t for t in sorted(names) if names[t] == names[tid]]
        label = names[tid] if len(same) == 1 else f"{names[tid]} {same.index(tid) + 1}"
        start = first.get(tid, {"wakeups": 0, "cpu_ns": 0})
        threads[label] = {"wakeups_per_s": (v["wakeups"] - start["wakeups"]) / elapsed,
                          "cpu_percent": 100.0 * (v["cpu_ns"] - start["cpu_ns"]) / elapsed / 1e9}
        if tid not in last:
            ended.append(label)
    return {
        "seconds": round(elapsed, 2),
        "cpu_percent": sum(t["cpu_percent"] for t in threads.values()),
        "wakeups_per_s": sum(t["wakeups_per_s"] for t in threads.values()),
        "rss_peak_mb": peak_rss_mb(proc.pid),
        "thread_count": len(last),
        "threads": threads,
        "ended": ended,
        "machine_busy_percent": busy_percent(load),
    }


def median_of_runs(runs):
    """Medians over repeated watch() results, per thread too (a thread missing from a run counts
    as zero there); every run's CPU and wake-ups kept."""
    out = dict(runs[0])
    for key in ["cpu_percent", "wakeups_per_s", "rss_peak_mb", "machine_busy_percent"]:
        out[key] = statistics.median(r[key] for r in runs)
    labels = sorted({label for r in runs for label in r["threads"]})
    out["threads"] = {label: {key: statistics.median(r["threads"].get(label, {}).get(key, 0.0)
                                                      for r in runs)
                              for key in ["wakeups_per_s", "cpu_percent"]} for label in labels}
    out["ended"] = sorted({e for r in runs for e in r["ended"]})
    out["all_cpu_percent"] = [round(r["cpu_percent"], 4) for r in runs]
    out["all_wakeups_per_s"] = [round(r["wakeups_per_s"], 2) for r in runs]
    return out


class BuildWatch:
    """Notes every few seconds whether a compiler or linker runs on the machine (another
    developer's build), so that the report can say how much of the run was taken under load."""

    TOOLS = {"cc1plus", "cc1", "ld", "collect2", "clang", "clang++", "lld", "ld.gold"}

    def __init__(self):
        self.samples = self.busy = 0
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()

    def _watch(self):
        while not self.done.wait(5.0):
            found = False
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open(f"/proc/{pid}/comm") as f:
                        found = found or f.read().strip() in self.TOOLS
                except OSError:
                    pass
            self.samples += 1
            self.busy += found

    def share(self):
        self.done.set()
        self.thread.join(10)
        return round(100.0 * self.busy / max(1, self.samples))


# The benchmarks ----------------------------------------------------------------------------------


class Bench:
    PARTS = ["engine", "startup", "playing", "idle", "playlist", "clicks"]

    def __init__(self, args):
        self.args = args
        self.quick = args.quick
        self.brisnak = os.path.join(args.build, "src", "brisnak")
        self.bindir = os.path.join(args.build, "bench", "player")
        self.work = args.work
        self.logs = os.path.join(self.work, "logs")
        os.makedirs(self.logs, exist_ok=True)
        runtime = os.path.join(self.work, "xdg-runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        self.base_env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
        for name in ["DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORMTHEME", "QT_PLUGIN_PATH",
                     "QT_QPA_GENERIC_PLUGINS", "DBUS_SESSION_BUS_ADDRESS", "PULSE_SERVER"]:
            self.base_env.pop(name, None)
        self.results = {"quick": self.quick}
        self.commands = 0
        self.seconds = 5 if self.quick else 60
        self.repeats = 1 if self.quick else 3
        self.clicks_each = 3 if self.quick else 10
        # A quick run plays the 10-minute files where a full run plays the hour-long ones.
        length = 10 if self.quick else 60
        self.main = f"noise-{length}min.mp3"  # the file of record: repeated, between the floors
        self.others = [f"noise-{length}min.ogg", f"tone-{length}min.mp3", f"tone-{length}min.ogg"]
        self.clicked = list(dict.fromkeys([f"tone-{length}min.mp3", self.main,
                                           f"tone-{length}min.ogg", "tone-10min.mp3"]))
        self.listed = ["tone-10min.mp3", "noise-10min.ogg", "tone-10min.ogg", "noise-10min.mp3"]

    def tool(self, name):
        return os.path.join(self.bindir, name)

    def file(self, name):
        return os.path.join(self.args.files, name)

    def env(self, platform_name="xcb", command=None):
        """A desktop session's environment: the private sound server, bus and X server; with
        `command`, the driver's plugin loaded to carry it out."""
        env = dict(self.base_env, PULSE_SERVER=self.pulse.values["PULSE_SERVER"],
                   DBUS_SESSION_BUS_ADDRESS=self.bus.values["DBUS_SESSION_BUS_ADDRESS"],
                   QT_QPA_PLATFORM=platform_name, DISPLAY=self.display)
        if command is not None:
            self.commands += 1
            path = os.path.join(self.work, f"command-{self.commands}.txt")
            with open(path, "w") as f:
                f.write("\n".join(str(c) for c in command) + "\n")
            env["QT_PLUGIN_PATH"] = os.path.join(self.args.build, "plugins")
            env["QT_QPA_GENERIC_PLUGINS"] = "brisnakdriver:" + path
        return env

    def log_file(self, name):
        return open(os.path.join(self.logs, name + ".log"), "a")

    def listener(self, buffer_ms):
        return Helper([self.tool("bench_sink_listener"), str(self.sink_rate), str(buffer_ms)],
                      self.env())

    def drive(self, command, timeout=300):
        """Runs Brisnak with the driver carrying out `command` to its end; the driver's marks."""
        with self.log_file(command[0]) as err:
            out = subprocess.run([self.brisnak], env=self.env(command=command),
                                 stdout=subprocess.PIPE, stderr=err, text=True, timeout=timeout)
        marks = parse_marks(out.stdout)
        if out.returncode != 0 or not any(m[0] in ("done", "longest-gap") for m in marks):
            raise RuntimeError(f"brisnak {command[0]} failed (exit {out.returncode}); see "
                               f"{self.logs}/{command[0]}.log")
        return marks

    # The engine -----------------------------------------------------------------------------------

    def engine(self):
        """EngineBench, with the session's sound server: its figures as it prints them."""
        with self.log_file("engine") as err:
            out = subprocess.run(
                [os.path.join(self.args.build, "bench", "EngineBench"), "--dir", self.args.files]
                + (["--quick"] if self.quick else []), env=self.env(), stdout=subprocess.PIPE,
                stderr=err, text=True, timeout=7200, check=True)
        self.results["engine"] = json.loads(out.stdout)
        log("engine: done")

    # Start-up -------------------------------------------------------------------------------------

    def startup_once(self, argv, env, failures):
        """One start to the first painted frame. A start that does not get there is logged and
        counted in `failures`, and made again, twice at most."""
        for _ in range(3):
            start = time.monotonic_ns()
            with self.log_file("startup") as err:
                run = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=err,
                                     timeout=60, text=True)
            marks = {name: value for name, value, _ in parse_marks(run.stdout)}
            if "painted" in marks:
                return {"total_ms": (marks["painted"] - start) / 1e6,
                        "to_shown_ms": (marks["shown"] - start) / 1e6,
                        "shown_to_painted_ms": (marks["painted"] - marks["shown"]) / 1e6}
            failures.append(f"{os.path.basename(argv[0])} exit {run.returncode}: {run.stdout!r}")
            log(f"start-up: {failures[-1]}; see {self.logs}/startup.log")
        raise RuntimeError(f"{argv[0]} did not report its first paint three times")

    def startup(self):
        programs = {"floor": [self.tool("bench_startup_floor")],
                    "text_floor": [self.tool("bench_startup_text_floor")],
                    "window_floor": [self.tool("bench_window_floor"), "stopped", "", "0"],
                    "brisnak": [self.brisnak]}
        runs = 3 if self.quick else 15
        result = {"runs": runs, "failures": []}
        for plat in ["offscreen", "xcb"]:
            env = self.env(plat, command=["startup"])
            samples = {name: [] for name in programs}
            for argv in programs.values():  # one warm-up each: page cache, fonts
                self.startup_once(argv, env, result["failures"])
            for _ in range(runs):  # taking turns, so that a busy moment hits all alike
                for name, argv in programs.items():
                    samples[name].append(self.startup_once(argv, env, result["failures"]))
            result[plat] = {name: {key: statistics.median(s[key] for s in runs_of)
                                   for key in runs_of[0]} for name, runs_of in samples.items()}
            log(f"start-up {plat}: " + ", ".join(f"{name} {v['total_ms']:.1f} ms"
                                                 for name, v in result[plat].items()))
        self.results["startup"] = result

    # Playing, paused, stopped: CPU, memory, wake-ups -----------------------------------------------

    def start_brisnak(self, mode, path, marks):
        proc = subprocess.Popen([self.brisnak], env=self.env(command=[mode, path]),
                                stdout=subprocess.PIPE, stderr=self.log_file(mode), text=True)
        want = {"play": "playing", "pause": "paused", "stop": "stopped"}[mode]
        while want not in marks or "length-ms" not in marks:
            line = proc.stdout.readline()
            if not line:
                stop_process(proc)
                raise RuntimeError(f"brisnak {mode} ended early; see {self.logs}/{mode}.log")
            marks.update((name, value) for name, value, _ in parse_marks(line))
        return proc

    def measure(self, start, settle, listen=False):
        """Starts a process (`start()`), watches it for a window from `settle` seconds on, then
        stops it. With `listen`, the sink is recorded meanwhile (long fragments, as a desktop's
        sink with one player runs: short ones would make the server ask the player for data more
        often) and the share of the window heard is noted, with the buffering the server set."""
        listener = self.listener(250) if listen else None
        try:
            proc = start()
            try:
                time.sleep(settle)
                stream = self.stream_latency() if listen else None
                begin = time.monotonic_ns()
                result = watch(proc, self.seconds)
                end = time.monotonic_ns()
            finally:
                stop_process(proc)
            if listener:
                result["heard_share"] = float(listener.ask([f"level {begin} {end}"])[0])
                result["stream"] = stream
        finally:
            if listener:
                listener.stop()
        return result

    def stream_latency(self):
        """The buffering the sound server set for the stream playing to it, in ms."""
        out = subprocess.run(["pactl", "list", "sink-inputs"], env=self.env(),
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
        found = {}
        for key, name in [("Buffer Latency", "buffer_ms"), ("Sink Latency", "sink_ms")]:
            match = re.search(key + r": (\d+) usec", out)
            if match:
                found[name] = int(match.group(1)) / 1000
        return found

    def play_brisnak(self, name):
        marks = {}
        result = self.measure(lambda: self.start_brisnak("play", self.file(name), marks), 1.0,
                              listen=True)
        result["length_ms"] = marks["length-ms"]
        return result

    def play_mpv(self, name):
        def start():
            with self.log_file("mpv") as err:
                return subprocess.Popen(
                    ["mpv", "--no-config", "--no-video", "--ao=pulse", "--really-quiet",
                     "--no-terminal", self.file(name)],
                    env=self.env(), stdout=subprocess.DEVNULL, stderr=err)
        return self.measure(start, 1.0, listen=True)

    def floor_run(self, mode, name):
        def start():
            proc = subprocess.Popen(
                [self.tool("bench_window_floor"), mode, self.file(name),
                 str(minutes_of(name) * 60000)], env=self.env(), stdout=subprocess.PIPE,
                stderr=self.log_file("window_floor"), text=True)
            if not proc.stdout.readline().startswith("ready"):
                stop_process(proc)
                raise RuntimeError("bench_window_floor did not start")
            return proc
        return self.measure(start, 1.0)

    def decode_alone(self, name):
        """CPU of decoding the whole file with Debian's command-line decoder, as a share of one
        core over the file's duration: the least that playing it can cost."""
        argv = (["mpg123", "-q", "-t"] if name.endswith(".mp3") else
                ["oggdec", "-Q", "-o", "/dev/null"])
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run(argv + [self.file(name)], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True, timeout=600)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
        return 100.0 * cpu / (minutes_of(name) * 60)

    def play_entry(self, name, brisnak_runs, mpv_runs, decodes, tick):
        b, m = median_of_runs(brisnak_runs), median_of_runs(mpv_runs)
        decode = statistics.median(decodes)
        log(f"playing {name}: brisnak {b['cpu_percent']:.3f} %, {b['wakeups_per_s']:.1f} "
            f"wake-ups/s; decoding {decode:.3f} % + tick {tick:.3f} %; mpv {m['cpu_percent']:.3f} %")
        return {"brisnak": b, "mpv": m, "decode_percent": decode,
                "all_decode_percent": [round(d, 4) for d in decodes], "tick_percent": tick,
                "floor_percent": decode + tick}

    def playing(self):
        # The file of record: player, window floor and mpv take turns, `repeats` times.
        runs = {"brisnak": [], "floor": [], "mpv": [], "decode": []}
        for _ in range(self.repeats):
            runs["brisnak"].append(self.play_brisnak(self.main))
            runs["floor"].append(self.floor_run("playing", self.main))
            runs["mpv"].append(self.play_mpv(self.main))
            runs["decode"].append(self.decode_alone(self.main))
        floor = median_of_runs(runs["floor"])
        tick = floor["cpu_percent"]
        files = {self.main: self.play_entry(self.main, runs["brisnak"], runs["mpv"],
                                            runs["decode"], tick)}
        # The other files once each, against the same window floor.
        for name in self.others:
            files[name] = self.play_entry(name, [self.play_brisnak(name)], [self.play_mpv(name)],
                                          [self.decode_alone(name)], tick)
        # Debian's PulseAudio runs its sinks at 44.1 kHz; many desktops run at 48 kHz, where the
        # server resamples what both players hand it at the file's rate.
        default = self.pulse, self.sink_rate
        self.pulse, self.sink_rate = self.sound_server(48000), 48000
        try:
            files[self.main + ", 48 kHz sink"] = self.play_entry(
                self.main, [self.play_brisnak(self.main)], [self.play_mpv(self.main)],
                runs["decode"], tick)
        finally:
            self.pulse.stop()
            self.pulse, self.sink_rate = default
        self.results["playing"] = {"seconds": self.seconds, "main": self.main,
                                   "window_floor": floor, "files": files}

    def idle(self):
        runs = {"pause": [], "stop": [], "floor": []}
        for _ in range(self.repeats):
            for mode in ["pause", "stop"]:
                marks = {}
                # From long after the output has drained and closed its stream.
                run = self.measure(lambda: self.start_brisnak(mode, self.file(self.main), marks),
                                   4.5)
                # A length of 0 means the file never opened: an idle figure that proves nothing.
                run["length_ms"] = marks["length-ms"]
                runs[mode].append(run)
            runs["floor"].append(self.floor_run("paused", self.main))
        result = {"seconds": self.seconds, "window_floor": median_of_runs(runs["floor"])}
        for mode in ["pause", "stop"]:
            result[mode] = median_of_runs(runs[mode])
            result[mode]["length_ms"] = min(r["length_ms"] for r in runs[mode])
            log(f"{mode}: brisnak {result[mode]['cpu_percent']:.4f} %, "
                f"{result[mode]['wakeups_per_s']:.1f} wake-ups/s")
        self.results["idle"] = result

    # Playlist scale -------------------------------------------------------------------------------

    def playlist(self):
        count = 10000
        folder = os.path.join(self.work, "many")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        paths = []
        for i in range(count):
            source = self.file(self.listed[i % len(self.listed)])
            paths.append(os.path.join(folder, f"track {i:05d}{os.path.splitext(source)[1]}"))
            os.symlink(source, paths[-1])
        listing = os.path.join(self.work, "many.txt")
        with open(listing, "w") as f:
            f.write("\n".join(paths) + "\n")
        samples = []
        for _ in range(1 if self.quick else 5):
            v = {name: value for name, value, _ in self.drive(["add", listing], timeout=600)}
            if v.get("rows") != count:
                raise RuntimeError(f"adding {count} paths gave {v.get('rows')} rows")
            samples.append({"add_ms": (v["returned"] - v["first-row"]) / 1e6,
                            "dialog_to_painted_ms": (v["painted"] - v["answered"]) / 1e6,
                            "longest_gap_ms": v["longest-gap"] / 1e6})
        entry = {key: statistics.median(s[key] for s in samples) for key in samples[0]}
        entry.update(paths=count, runs=len(samples))
        log(f"playlist: {entry}")
        self.results["playlist"] = entry

    # Clicks heard at the sink ---------------------------------------------------------------------

    def clicks(self):
        n = self.clicks_each
        heard = {}

        def run(command, wanted, skip=0):
            """Runs a driver command while the sink is recorded, then asks the listener about
            its clicks: `wanted` maps a mark's name to (measure, question, argument of the
            mark's detail or None); the first `skip` questions are left out."""
            listener = self.listener(5)
            try:
                marks = self.drive(command)
                time.sleep(0.2)
            except BaseException:
                listener.stop()
                raise
            asked = []
            for i, (name, t, detail) in enumerate(marks):
                if name in wanted:
                    measure, question, argument = wanted[name]
                    # Until the next click, or the end.
                    limit = next(when for what, when, _ in marks[i + 1:]
                                 if what.endswith("click") or what == "done")
                    extra = "" if argument is None else f" {argument(detail)}"
                    asked.append((measure, f"{question} {t} {limit}{extra}"))
            asked = asked[skip:]
            for (measure, _), answer in zip(asked, listener.ask([q for _, q in asked])):
                heard.setdefault(measure, []).append(None if answer == "none" else float(answer))

        # Play, 1.5 s, Stop, 0.7 s: the first audible sample after each Play, the moment the
        # sound falls silent after each Stop.
        for name in self.clicked:
            run(["clicks", n, 700, self.file(name)],
                {"click": ("play " + name, "audible", None), "stop-click": ("stop", "silent", None)})
        # Two files at different rates, Play starting each in turn: every Play after the first
        # opens the output at another rate, 0.7 s or 0.1 s after the other's Stop.
        for gap in [700, 100]:
            run(["clicks", n + 1, gap, self.file(LOW_FILE), self.file(HIGH_FILE)],
                {"click": (f"rate {gap}", "pitch", lambda row: [LOW, HIGH][row])}, skip=1)
        # Pause and resume: 1.5 s playing, Pause, 0.7 s, Play.
        run(["pauses", n, self.file(self.clicked[0])],
            {"pause-click": ("pause", "silent", None), "resume-click": ("resume", "audible", None)})
        # Seeks in a file whose pitch tells the second: each lands in another second.
        run(["seeks", self.file(STEPS_FILE)] + [(4 * k + 2) * 1000 + 200 for k in range(n)],
            {"seek-click": ("seek", "second", lambda target: target)})
        result = {}
        for measure, values in heard.items():
            got = [v for v in values if v is not None]
            result[measure] = {"clicks": len(values), "heard": len(got),
                               "median_ms": statistics.median(got) if got else None,
                               "max_ms": max(got) if got else None,
                               # in the order clicked; None: not heard
                               "all_ms": [None if v is None else round(v, 1) for v in values]}
            log(f"{measure}: {result[measure]}")
        self.results["clicks"] = result

    # Everything -----------------------------------------------------------------------------------

    def sound_server(self, rate=44100):
        return Helper([self.tool("bench_session_servers"), "sound", str(rate)], self.base_env)

    def machine(self):
        def version(package):
            return subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  text=True).stdout.strip() or "?"

        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f
                        if line.startswith("model name")), "?")
        with open("/etc/debian_version") as f:
            debian = f.read().strip()
        with open("/proc/meminfo") as f:
            memory = int(f.readline().split()[1]) / 1024 / 1024
        return {"cpu": cpu, "cores": os.cpu_count(), "memory_gb": round(memory, 1),
                "kernel": platform.release(), "debian": debian,
                "versions": {p: version(p) for p in ["libqt6widgets6", "mpv", "mpg123",
                                                     "vorbis-tools", "pulseaudio"]},
                "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M")}

    def run(self):
        self.results["machine"] = machine = self.machine()
        with open("/proc/loadavg") as f:
            machine["loadavg_before"] = f.read().split()[:3]
        load, builds, started = machine_jiffies(), BuildWatch(), time.monotonic()
        length = 10 if self.quick else 60
        names = {f"{kind}-{m}min.{ext}" for kind in ["tone", "noise"] for m in {10, length}
                 for ext in ["mp3", "ogg"]} | {LOW_FILE, HIGH_FILE, STEPS_FILE}
        subprocess.run([self.tool("bench_write_files"), self.args.files] + sorted(names),
                       check=True)
        self.pulse = self.bus = xvfb = None
        try:
            self.pulse, self.sink_rate = self.sound_server(), 44100
            self.bus = Helper([self.tool("bench_session_servers"), "bus"], self.base_env)
            read, write = os.pipe()
            xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0",
                                     "1280x1024x24", "-nolisten", "tcp"], pass_fds=(write,),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write)
            with os.fdopen(read) as f:
                self.display = ":" + f.readline().strip()
            if self.display == ":":
                raise RuntimeError("Xvfb did not start")
            for part in self.PARTS:
                if self.args.only and part not in self.args.only.split(","):
                    continue
                try:
                    getattr(self, part)()
                except (RuntimeError, OSError, subprocess.SubprocessError, ValueError,
                        KeyError, StopIteration, IndexError) as e:
                    # One part failing spoils only its own figures; the report names the error.
                    log(f"{part} failed: {e!r}")
                    self.results[part] = {"error": repr(e)}
        finally:
            for helper in [self.bus, self.pulse]:
                if helper:
                    helper.stop()
            if xvfb:
                stop_process(xvfb)
        machine["busy_percent_during_run"] = round(busy_percent(load), 1)
        machine["builds_running_percent"] = builds.share()
        with open("/proc/loadavg") as f:
            machine["loadavg_after"] = f.read().split()[:3]
        machine["minutes"] = round((time.monotonic() - started) / 60, 1)
        return self.results


# The report: one table ------------------------------------------------------------------------


def part(results, key):
    """A part's figures, or {} when it failed or did not run."""
    found = results.get(key) or {}
    return {} if "error" in found else found


def joined(values, fmt):
    return " / ".join(fmt.format(v) for v in values)


def clicks_text(e):
    if e.get("median_ms") is None:
        return "not heard"
    return f"{e['median_ms']:.1f} ms (max {e['max_ms']:.1f}, {e['heard']}/{e['clicks']})"


def engine_rows(engine, T):
    rows = []
    groups = {}
    for r in engine.get("play", []):
        groups.setdefault(r["label"], []).append(r)
    for label, g in groups.items():
        plays, decodes = [r["play_ms"] for r in g], [r["decode_ms"] for r in g]
        ratios = [d / p for d, p in zip(decodes, plays)]
        exact = all(abs(r["length_ms"] - r["decoded_ms"]) <= 1 for r in g)
        rows.append((f"Play returns, {label}, {joined([r['variant'] for r in g], '{}')}",
                     joined(plays, "{:.2f}") + " ms" + ("" if exact else " (length not exact)"),
                     f"whole decode {joined(decodes, '{:.0f}')} ms ({joined(ratios, '{:.0f}x')})",
                     f"<= {T['play_ms']:g} ms, >= {T['play_ratio']:g}x faster",
                     exact and max(plays) <= T["play_ms"] and min(ratios) >= T["play_ratio"]))
    render = engine.get("render", [])
    if render:
        what = joined([r["label"] for r in render], "{}")
        decode = [r["decode_ms"] for r in render]
        played = [r["engine_ms"] / r["decode_ms"] for r in render]
        held = [r["held_48k_ms"] / r["decode_ms"] for r in render]
        rows.append((f"Offline render of a 10-minute MP3 as the player plays it ({what})",
                     joined([r["engine_ms"] for r in render], "{:.0f}") + " ms",
                     f"libmpg123 decode {joined(decode, '{:.0f}')} ms ({joined(played, '{:.2f}x')})",
                     f"<= {T['render_ratio']:g}x decode", max(played) <= T["render_ratio"]))
        rows.append((f"Offline render of a 10-minute MP3 held at 48 kHz, resampled ({what})",
                     joined([r["held_48k_ms"] for r in render], "{:.0f}") + " ms",
                     f"decode {joined(decode, '{:.0f}')} ms ({joined(held, '{:.2f}x')}); libsoxr "
                     f"alone {joined([r['soxr_ms'] for r in render], '{:.0f}')} ms", "", None))
    seek = engine.get("seek", [])
    if seek:
        rows.append((f"Seek through the engine, 100 random points "
                     f"({joined([r['label'] for r in seek], '{}')})",
                     f"median {joined([r['median_ms'] for r in seek], '{:.2f}')} ms, max "
                     f"{joined([r['max_ms'] for r in seek], '{:.1f}')}", "",
                     f"<= {T['seek_ms']:g} ms each", max(r["max_ms"] for r in seek) <= T["seek_ms"]))
    memory = [r for r in engine.get("memory", []) if "error" not in r]
    if memory:
        above = [r["playing_mb"] - r["idle_mb"] for r in memory]
        rows.append((f"Engine's memory above idle, playing ({joined([r['label'] for r in memory], '{}')})",
                     joined(above, "+{:.1f}") + " MB",
                     f"idle {joined([r['idle_mb'] for r in memory], '{:.1f}')} MB; after 40 more "
                     f"Plays {joined([r['after_plays_mb'] for r in memory], '{:.1f}')} MB",
                     f"<= {T['engine_mb']:g} MB above idle", max(above) <= T["engine_mb"]))
    calls = {c["call"]: c for c in engine.get("calls", {}).get("calls", [])}
    for label, names in [("reads", ["getPosition", "getLength"]),
                         ("commands", ["setPosition", "setPaused", "stop",
                                       "createSound + playSound"])]:
        found = [calls[n] for n in names if n in calls]
        if found:
            rows.append((f"The window's {label} while the engine changes streams "
                         f"({joined([c['call'] for c in found], '{}')})",
                         f"slowest {joined([c['slowest_us'] for c in found], '{:.0f}')} µs",
                         f"median {joined([c['median_us'] for c in found], '{:.0f}')} µs", "",
                         None))
    return rows


def player_rows(results, T):
    rows = []
    startup = part(results, "startup")
    for plat in ["offscreen", "xcb"]:
        s = startup.get(plat)
        if s:
            b = s["brisnak"]["total_ms"]
            text, empty = s["text_floor"]["total_ms"], s["floor"]["total_ms"]
            rows.append((f"Start-up to the first painted frame ({plat})", f"{b:.1f} ms",
                         f"floor with text {text:.1f} ms ({b / text:.2f}x); empty window "
                         f"{empty:.1f} ms ({b / empty:.2f}x)",
                         f"<= {T['startup_text_ratio']:g}x floor with text",
                         b / text <= T["startup_text_ratio"]))
    playing = part(results, "playing")
    files = playing.get("files", {})

    def heard(run):  # a player that was not heard would flatter its figures
        return run.get("heard_share", 0) >= 0.9

    for name, e in files.items():
        b, m = e["brisnak"], e["mpv"]
        floor_ratio = b["cpu_percent"] / e["floor_percent"]
        mpv_ratio = b["cpu_percent"] / m["cpu_percent"]
        reference = "48 kHz" in name
        rows.append((f"CPU playing {name}", f"{b['cpu_percent']:.3f} %",
                     f"floor {e['floor_percent']:.3f} % (decoding {e['decode_percent']:.3f} + "
                     f"tick {e['tick_percent']:.3f}; {floor_ratio:.2f}x); mpv "
                     f"{m['cpu_percent']:.3f} % ({mpv_ratio:.2f}x)",
                     "" if reference else f"<= {T['cpu_floor_ratio']:g}x floor, "
                     f"<= {T['cpu_mpv_ratio']:g}x mpv",
                     None if reference else heard(b) and floor_ratio <= T["cpu_floor_ratio"]
                     and mpv_ratio <= T["cpu_mpv_ratio"]))
    idle = part(results, "idle")
    for mode, label in [("pause", "paused"), ("stop", "stopped")]:
        if mode in idle:
            e, f = idle[mode], idle["window_floor"]
            ratio = e["cpu_percent"] / f["cpu_percent"]
            rows.append((f"CPU {label}", f"{e['cpu_percent']:.4f} %",
                         f"window floor {f['cpu_percent']:.4f} % ({ratio:.2f}x)",
                         f"<= {T['idle_floor_ratio']:g}x window floor",
                         e["length_ms"] > 0 and ratio <= T["idle_floor_ratio"]))
    main = playing.get("main")
    if main in files:
        b, m, f = files[main]["brisnak"], files[main]["mpv"], playing["window_floor"]
        rows.append((f"Wake-ups playing {main}", f"{b['wakeups_per_s']:.1f} /s",
                     f"window floor {f['wakeups_per_s']:.1f} /s; mpv {m['wakeups_per_s']:.1f} /s",
                     f"<= {T['wakeups_playing']:g} /s",
                     heard(b) and b["wakeups_per_s"] <= T["wakeups_playing"]))
    for mode, label in [("pause", "paused"), ("stop", "stopped")]:
        if mode in idle:
            e, f = idle[mode], idle["window_floor"]
            rows.append((f"Wake-ups {label}", f"{e['wakeups_per_s']:.1f} /s",
                         f"window floor {f['wakeups_per_s']:.1f} /s",
                         f"<= {1 + T['wakeups_idle_margin']:g}x the window floor's",
                         e["length_ms"] > 0 and e["wakeups_per_s"]
                         <= f["wakeups_per_s"] * (1 + T["wakeups_idle_margin"])))
    for name in [main, "noise-60min.ogg", "noise-10min.ogg"]:
        if name in files:
            b, m = files[name]["brisnak"], files[name]["mpv"]
            rows.append((f"Peak resident memory playing {name}", f"{b['rss_peak_mb']:.1f} MB",
                         f"mpv {m['rss_peak_mb']:.1f} MB ({b['rss_peak_mb'] / m['rss_peak_mb']:.2f}x)",
                         f"<= {T['rss_mb']:g} MB and <= mpv", heard(b) and
                         b["rss_peak_mb"] <= T["rss_mb"] and b["rss_peak_mb"] <= m["rss_peak_mb"]))
    p = part(results, "playlist")
    if p:
        rows.append((f"{p['paths']} paths added (Add files)", f"{p['add_ms']:.1f} ms", "",
                     f"<= {T['playlist_ms']:g} ms", p["add_ms"] <= T["playlist_ms"]))
        rows.append(("Longest stall of the window while adding them",
                     f"{p['longest_gap_ms']:.1f} ms", "", f"<= {T['playlist_ms']:g} ms",
                     p["longest_gap_ms"] <= T["playlist_ms"]))
    clicks = part(results, "clicks")
    labels = {f"play {name}": f"Play click to first audible sample, {name}"
              for name in [m[len("play "):] for m in clicks if m.startswith("play ")]}
    labels.update({"rate 700": "Play click to first audible sample, right after a track at "
                               "another rate (0.7 s after its Stop)",
                   "rate 100": "Play click to first audible sample, right after a track at "
                               "another rate (0.1 s after its Stop)",
                   "resume": "Play click after Pause to first audible sample",
                   "stop": "Stop click until silent at the sink",
                   "pause": "Pause click until silent at the sink",
                   "seek": "Seek until the new position is heard"})
    for key, label in labels.items():
        if key in clicks:
            e = clicks[key]
            rows.append((label, clicks_text(e), "", f"<= {T['heard_ms']:g} ms, every click",
                         e["heard"] == e["clicks"] and e["max_ms"] is not None
                         and e["max_ms"] <= T["heard_ms"]))
    return rows


def table(results):
    rows = engine_rows(part(results, "engine"), TARGETS) + player_rows(results, TARGETS)
    verdict = {None: "reference", True: "met", False: "**not met**"}
    out = ["| measure | Brisnak | floor / peer | target | met |", "|---|---:|---:|---|---|"]
    out += [f"| {what} | {ours} | {peer} | {target} | {verdict[ok]} |"
            for what, ours, peer, target, ok in rows]
    retried = part(results, "startup").get("failures")
    if retried:
        out.append(f"\n{len(retried)} start-ups did not reach their first frame and were made "
                   "again (in benchmarks.json).")
    failed = {k: v["error"] for k, v in results.items() if isinstance(v, dict) and "error" in v}
    if failed:
        out.append("\nNot measured: " + "; ".join(f"{k} ({v})" for k, v in failed.items()) + ".")
    return "\n".join(out)


def run_text(results):
    m = results["machine"]
    v = m["versions"]
    builds = m["builds_running_percent"]
    return (f"{m['cpu']}, {m['cores']} cores, {m['memory_gb']} GB, Debian {m['debian']}, kernel "
            f"{m['kernel']}; Qt {v['libqt6widgets6']}, mpv {v['mpv']}, mpg123 {v['mpg123']}, "
            f"vorbis-tools {v['vorbis-tools']}, PulseAudio {v['pulseaudio']}. Run on {m['date']}, "
            f"{m['minutes']} minutes; the whole machine was {m['busy_percent_during_run']} % busy "
            f"(this run included), load average {' '.join(m['loadavg_before'])} before and "
            f"{' '.join(m['loadavg_after'])} after; "
            + ("no compiler or linker ran meanwhile." if builds == 0 else
               f"other builds (a compiler or linker) ran during {builds} % of it.")
            # Figures of a part measured again on its own later, said where they come from.
            + "".join(f" {note}" for note in m.get("notes", [])))


BEGIN = "<!-- whole-player:begin (written by bench/run.sh) -->"
END = "<!-- whole-player:end -->"


def replace_block(path, body):
    with open(path) as f:
        text = f.read()
    start, end = text.index(BEGIN) + len(BEGIN), text.index(END)
    with open(path, "w") as f:
        f.write(text[:start] + "\n" + body.strip() + "\n" + text[end:])


def write(results, args):
    body = table(results)
    with open(os.path.join(args.work, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    with open(os.path.join(args.work, "table.md"), "w") as f:
        f.write(run_text(results) + "\n\n" + body + "\n")
    print(body, flush=True)
    if results["quick"]:
        log(f"a quick run: figures in {args.work} only, the docs left as they are")
        return
    docs = os.path.join(args.root, "docs")
    with open(os.path.join(docs, "benchmarks.json"), "w") as f:
        json.dump(results, f, indent=1)
        f.write("\n")
    replace_block(os.path.join(docs, "benchmarks.md"),
                  "## Figures\n\nOne run of `bash bench/run.sh`: " + run_text(results) +
                  " Every figure of the run, per thread and per run, is in "
                  "[benchmarks.json](benchmarks.json).\n\n" + body)
    replace_block(os.path.join(args.root, "README.md"),
                  "## Performance\n\nThe engine, and the whole player against its floors (decoding "
                  "alone, its own window without the engine, a Qt window with text) and Debian's "
                  f"mpv, from one run of `bash bench/run.sh` on {results['machine']['date']}"
                  + (", some parts measured again later" if results["machine"].get("notes") else "")
                  + " (how each figure is taken, and when: [docs/benchmarks.md](docs/benchmarks.md))"
                  ":\n\n" + body)
    log("wrote docs/benchmarks.json, the table in docs/benchmarks.md and in README.md")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for name in ["root", "build", "files", "work"]:
        parser.add_argument("--" + name, required=True, type=os.path.abspath)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", help="run these parts only, comma-separated, and print the "
                        "figures instead of writing the report: " + ", ".join(Bench.PARTS))
    parser.add_argument("--report-only", action="store_true",
                        help="write the report again from the work folder's results.json")
    args = parser.parse_args()
    if args.report_only:
        with open(os.path.join(args.work, "results.json")) as f:
            results = json.load(f)
    else:
        results = Bench(args).run()
    if args.only:
        print(json.dumps(results, indent=1))
    else:
        write(results, args)


if __name__ == "__main__":
    main()
