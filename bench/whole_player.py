#!/usr/bin/python3
"""Whole-player benchmarks: Brisnak against its floors and against mpv, on the same files, machine
and run.

Started by bench/run.sh, which installs, builds and encodes first. Writes the figures as JSON into
the work folder, then docs/benchmarks.md (between its whole-player markers), docs/benchmarks.png
and the performance table of README.md.

The player measured is the program itself (build/src/brisnak), driven from the inside by the
driver's Qt plugin (tests/support/DriverPlugin.h). Its floors: the same file decoded by Debian's
command-line decoder alone; bench_window_floor, the player's own widgets and tick with no engine;
for start-up, the least Qt window and the least window that shows text.

Every process is started and stopped by its own PID: a private PulseAudio server
with a null sink (what reaches the sink is recorded from its monitor) and a private D-Bus session
bus, both started by the tests' own helpers (bench_session_servers), and an Xvfb server.
"""
import argparse
import datetime
import json
import math
import os
import platform
import re
import resource
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import make_audio  # noqa: E402
import procwatch  # noqa: E402
from procwatch import stop_process  # noqa: E402
from servers import Capture, PulseServer, SessionBus, XServer  # noqa: E402
from sink_analysis import Recording, summary  # noqa: E402

TARGETS = {
    "startup_text_ratio": 1.2,  # start-up over the floor with text's
    "cpu_floor_ratio": 3.0,  # CPU playing over (decoding alone + the window's tick)
    "cpu_mpv_ratio": 0.25,  # CPU playing over mpv's
    "idle_floor_ratio": 1.2,  # CPU paused or stopped over the window floor's
    "wakeups_playing": 40.0,  # wake-ups a second while playing, all threads
    "wakeups_idle_margin": 0.1,  # paused or stopped: at most this share over the window floor's
    "rss_mb": 50.0,  # and at most mpv's
    "playlist_ms": 100.0,  # 10 000 paths added
    "start_ms": 100.0,  # Play click to the first audible sample at the sink, every click
    "change_ms": 100.0,  # Stop, Pause or seek click until heard at the sink, every click
}

MAIN_FILE = "noise-60min.mp3"  # the file of record for playing: repeated, interleaved with floors


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


def seconds_of(name):
    """A test file's length, from its name (bench/run.sh writes "-60min", "-5min", ...)."""
    match = re.search(r"-(\d+)min", name)
    return int(match.group(1)) * 60 if match else 120


class Bench:
    def __init__(self, args):
        self.args = args
        self.quick = args.quick
        self.brisnak = os.path.join(args.build, "src", "brisnak")
        bindir = os.path.join(args.build, "bench", "player")
        self.plugins = os.path.join(args.build, "plugins")
        self.window_floor = os.path.join(bindir, "bench_window_floor")
        self.servers_tool = os.path.join(bindir, "bench_session_servers")
        self.startup_programs = {
            "floor": [os.path.join(bindir, "bench_startup_floor")],
            "text_floor": [os.path.join(bindir, "bench_startup_text_floor")],
            "window_floor": [self.window_floor, "stopped", "", "0"],
            "brisnak": [self.brisnak],
        }
        self.work = args.work
        self.logs = os.path.join(self.work, "logs")
        os.makedirs(self.logs, exist_ok=True)
        self.results = {"quick": self.quick}
        runtime = os.path.join(self.work, "xdg-runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        self.base_env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
        for name in ["DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORMTHEME", "QT_PLUGIN_PATH",
                     "QT_QPA_GENERIC_PLUGINS", "DBUS_SESSION_BUS_ADDRESS", "PULSE_SERVER"]:
            self.base_env.pop(name, None)
        self.commands = 0
        self.seconds = 5 if self.quick else 60
        self.repeats = 1 if self.quick else 3

    def file(self, name):
        return os.path.join(self.args.files, name)

    def env(self, platform_name="xcb", command=None):
        """The environment of a desktop session: the private sound server, session bus and X
        server; with `command`, the benchmark's plugin loaded to carry it out."""
        env = dict(self.base_env, **self.pulse.env, DBUS_SESSION_BUS_ADDRESS=self.bus.address,
                   QT_QPA_PLATFORM=platform_name)
        if platform_name == "xcb":
            env["DISPLAY"] = self.x.display
        if command is not None:
            self.commands += 1
            path = os.path.join(self.work, f"command-{self.commands}.txt")
            with open(path, "w") as f:
                f.write("\n".join(str(c) for c in command) + "\n")
            env["QT_PLUGIN_PATH"] = self.plugins
            env["QT_QPA_GENERIC_PLUGINS"] = "brisnakdriver:" + path
        return env

    def log_file(self, name):
        return open(os.path.join(self.logs, name + ".log"), "a")

    def drive(self, command, timeout=300):
        """Runs Brisnak with the driver carrying out `command` to its end; the driver's marks."""
        with self.log_file(command[0]) as err:
            out = subprocess.run([self.brisnak], env=self.env(command=command),
                                 stdout=subprocess.PIPE, stderr=err, text=True, timeout=timeout)
        marks = parse_marks(out.stdout)
        if out.returncode != 0 or not any(m[0] == "done" or m[0] == "longest-gap" for m in marks):
            raise RuntimeError(f"brisnak {command[0]} failed (exit {out.returncode}); see "
                               f"{self.logs}/{command[0]}.log")
        return marks

    # Start-up ----------------------------------------------------------------------------------

    def startup_once(self, argv, env):
        start = time.monotonic_ns()
        out = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             timeout=60, text=True).stdout
        marks = {name: value for name, value, _ in parse_marks(out)}
        if "painted" not in marks:
            raise RuntimeError(f"{argv[0]} did not report its first paint: {out!r}")
        return {
            "total_ms": (marks["painted"] - start) / 1e6,
            "to_plugin_ms": (marks["plugin"] - start) / 1e6,
            "plugin_to_shown_ms": (marks["shown"] - marks["plugin"]) / 1e6,
            "shown_to_painted_ms": (marks["painted"] - marks["shown"]) / 1e6,
        }

    def startup(self):
        runs = 3 if self.quick else 15
        result = {}
        for plat in ["offscreen", "xcb"]:
            env = self.env(plat, command=["startup"])
            samples = {name: [] for name in self.startup_programs}
            for argv in self.startup_programs.values():  # one warm-up each: page cache, fonts
                self.startup_once(argv, env)
            for _ in range(runs):  # take turns, so that a busy moment hits all alike
                for name, argv in self.startup_programs.items():
                    samples[name].append(self.startup_once(argv, env))
            entry = {"runs": runs}
            for name in self.startup_programs:
                entry[name] = {key: statistics.median(s[key] for s in samples[name])
                               for key in samples[name][0]}
                entry[name]["all_total_ms"] = [round(s["total_ms"], 2) for s in samples[name]]
            b = entry["brisnak"]["total_ms"]
            entry["text_ratio"] = b / entry["text_floor"]["total_ms"]
            entry["ratio"] = b / entry["floor"]["total_ms"]
            entry["window_ratio"] = b / entry["window_floor"]["total_ms"]
            result[plat] = entry
            log(f"start-up {plat}: floor {entry['floor']['total_ms']:.1f} ms, with text "
                f"{entry['text_floor']['total_ms']:.1f} ms, the window without engine "
                f"{entry['window_floor']['total_ms']:.1f} ms, brisnak {b:.1f} ms: "
                f"{entry['text_ratio']:.2f}x the floor with text")
        self.results["startup"] = result

    # Playing, paused, stopped: CPU, memory, wake-ups -------------------------------------------

    def start_brisnak(self, mode, path):
        proc = subprocess.Popen([self.brisnak], env=self.env(command=[mode, path]),
                                stdout=subprocess.PIPE, stderr=self.log_file(mode), text=True)
        want = {"play": "playing", "pause": "paused", "stop": "stopped"}[mode]
        marks = {}
        while want not in marks or "length-ms" not in marks:
            line = proc.stdout.readline()
            if not line:
                stop_process(proc)
                raise RuntimeError(f"brisnak {mode} ended early; see {self.logs}/{mode}.log")
            for name, value, _ in parse_marks(line):
                marks[name] = value
        return proc, marks

    def start_floor(self, mode, path, length_ms):
        proc = subprocess.Popen([self.window_floor, mode, path, str(length_ms)], env=self.env(),
                                stdout=subprocess.PIPE, stderr=self.log_file("window_floor"),
                                text=True)
        line = proc.stdout.readline()
        if not line.startswith("ready"):
            stop_process(proc)
            raise RuntimeError("bench_window_floor did not start")
        return proc

    def level(self, capture, after_ns):
        """RMS level in dBFS of what reached the sink after a moment, and the audible share."""
        rec = Recording(capture)
        start = rec.first_frame_after(after_ns) or 0
        power = rec.power[start:]
        if len(power) == 0:
            return {"rms_dbfs": None, "audible_share": 0.0}
        rms = float(power.mean()) ** 0.5
        audible = float((rec.peak[start:] > 0.01).mean())
        return {"rms_dbfs": round(20 * math.log10(max(rms, 1e-9)), 1),
                "audible_share": round(audible, 3)}

    def stream_latency(self):
        """The buffering the sound server set for the one stream playing to it, in ms, as
        `pactl list sink-inputs` reports it: {"buffer_ms", "sink_ms"}; {} when there is none."""
        out = subprocess.run(["pactl", "list", "sink-inputs"], env=self.env(),
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
        found = {}
        for key, name in [("Buffer Latency", "buffer_ms"), ("Sink Latency", "sink_ms")]:
            match = re.search(key + r": (\d+) usec", out)
            if match:
                found[name] = int(match.group(1)) / 1000
        return found

    def measure(self, proc, seconds, settle, capture=None):
        """Watches a started process from `settle` seconds on; stops it (and the capture)."""
        time.sleep(settle)
        stream = self.stream_latency() if capture else {}
        measure_from = time.monotonic_ns()
        try:
            result = procwatch.watch(proc, seconds)
        finally:
            stop_process(proc)
            if capture:
                capture.stop()
        if capture:
            result.update(self.level(capture, measure_from))
            result["stream"] = stream
        return result

    def play_brisnak(self, name):
        capture = Capture(self.env(), self.pulse.monitor, latency_ms=250)
        proc, marks = self.start_brisnak("play", self.file(name))
        result = self.measure(proc, self.seconds, 1.0, capture)
        result["length_ms"] = marks["length-ms"]
        return result

    def play_mpv(self, name):
        capture = Capture(self.env(), self.pulse.monitor, latency_ms=250)
        with self.log_file("mpv") as err:
            proc = subprocess.Popen(
                ["mpv", "--no-config", "--no-video", "--ao=pulse", "--really-quiet",
                 "--no-terminal", self.file(name)],
                env=self.env(), stdout=subprocess.DEVNULL, stderr=err)
        return self.measure(proc, self.seconds, 1.0, capture)

    def floor_run(self, mode, name):
        proc = self.start_floor(mode, self.file(name), seconds_of(name) * 1000)
        return self.measure(proc, self.seconds, 1.0)

    def decode_alone(self, name):
        """CPU of decoding the whole file with Debian's command-line decoder, as a share of one
        core over the file's duration: the least that playing it can cost."""
        path = self.file(name)
        if name.endswith(".mp3"):
            argv = ["mpg123", "-q", "-t", path]
        else:
            argv = ["oggdec", "-Q", "-o", "/dev/null", path]
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True,
                       timeout=600)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        return {"cpu_seconds": cpu, "cpu_percent": 100.0 * cpu / seconds_of(name),
                "command": " ".join(argv[:-1] + ["FILE"])}

    def play_entry(self, name, brisnak_runs, mpv_runs, decode_runs, tick):
        b = procwatch.median_of_runs(brisnak_runs)
        m = procwatch.median_of_runs(mpv_runs)
        decode = statistics.median(d["cpu_percent"] for d in decode_runs)
        floor = decode + tick
        entry = {
            "brisnak": b, "mpv": m,
            "decode_percent": decode, "decode_command": decode_runs[0]["command"],
            "all_decode_percent": [round(d["cpu_percent"], 4) for d in decode_runs],
            "tick_percent": tick, "floor_percent": floor,
            "floor_ratio": b["cpu_percent"] / max(floor, 1e-9),
            "mpv_ratio": b["cpu_percent"] / max(m["cpu_percent"], 1e-9),
            "runs": len(brisnak_runs),
        }
        log(f"playing {name}: brisnak {b['cpu_percent']:.3f} % {b['wakeups_per_s']:.1f} wake-ups/s "
            f"{b['rss_peak_mb']:.1f} MB; floor {floor:.3f} % (decode {decode:.3f} + tick "
            f"{tick:.3f}); mpv {m['cpu_percent']:.3f} % {m['rss_peak_mb']:.1f} MB: "
            f"{entry['floor_ratio']:.2f}x floor, {entry['mpv_ratio']:.2f}x mpv")
        return entry

    def playing(self):
        result = {"seconds": self.seconds, "main": MAIN_FILE}
        # The file of record: player, window floor and mpv take turns, `repeats` times.
        runs = {"brisnak": [], "floor": [], "mpv": [], "decode": []}
        for _ in range(self.repeats):
            runs["brisnak"].append(self.play_brisnak(MAIN_FILE))
            runs["floor"].append(self.floor_run("playing", MAIN_FILE))
            runs["mpv"].append(self.play_mpv(MAIN_FILE))
            runs["decode"].append(self.decode_alone(MAIN_FILE))
        floor = procwatch.median_of_runs(runs["floor"])
        tick = floor["cpu_percent"]
        result["window_floor"] = floor
        log(f"window floor, playing: {tick:.4f} %, {floor['wakeups_per_s']:.1f} wake-ups/s")
        files = {MAIN_FILE: self.play_entry(MAIN_FILE, runs["brisnak"], runs["mpv"],
                                            runs["decode"], tick)}
        # The other files once each, against the same window floor.
        for name in ["noise-60min.ogg", "tone-60min.mp3", "tone-60min.ogg"]:
            files[name] = self.play_entry(name, [self.play_brisnak(name)], [self.play_mpv(name)],
                                          [self.decode_alone(name)], tick)
        # Debian's PulseAudio runs its sinks at 44.1 kHz; many desktops run at 48 kHz, where the
        # server resamples what both players hand it at the file's rate.
        default_server = self.pulse
        self.pulse = PulseServer(self.servers_tool, rate=48000)
        try:
            label = MAIN_FILE + ", 48 kHz sink"
            files[label] = self.play_entry(label, [self.play_brisnak(MAIN_FILE)],
                                           [self.play_mpv(MAIN_FILE)], runs["decode"], tick)
        finally:
            self.pulse.stop()
            self.pulse = default_server
        result["files"] = files
        self.results["playing"] = result

    def idle(self):
        runs = {"pause": [], "stop": [], "floor": []}
        for _ in range(self.repeats):
            for mode in ["pause", "stop"]:
                proc, marks = self.start_brisnak(mode, self.file(MAIN_FILE))
                # From long after the output has drained and closed its stream.
                run = self.measure(proc, self.seconds, 4.5)
                # A length of 0 means the file never opened: an idle figure that proves nothing.
                run["length_ms"] = marks["length-ms"]
                runs[mode].append(run)
            runs["floor"].append(self.floor_run("paused", MAIN_FILE))
        floor = procwatch.median_of_runs(runs["floor"])
        result = {"seconds": self.seconds, "window_floor": floor}
        for mode in ["pause", "stop"]:
            entry = procwatch.median_of_runs(runs[mode])
            entry["length_ms"] = min(r["length_ms"] for r in runs[mode])
            entry["floor_ratio"] = entry["cpu_percent"] / max(floor["cpu_percent"], 1e-9)
            result[mode] = entry
            log(f"{mode}: brisnak {entry['cpu_percent']:.4f} %, {entry['wakeups_per_s']:.1f} "
                f"wake-ups/s; window floor {floor['cpu_percent']:.4f} %, "
                f"{floor['wakeups_per_s']:.1f} wake-ups/s")
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
            v = {name: value for name, value, _ in self.drive(["add", listing], timeout=600)}
            if v.get("rows") != count:
                raise RuntimeError(f"adding {count} paths gave {v.get('rows')} rows")
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

    # Clicks heard at the sink --------------------------------------------------------------------

    def recorded(self, command):
        """Runs a driver command while the sink's monitor is recorded: (marks, recording)."""
        capture = Capture(self.env(), self.pulse.monitor)
        try:
            marks = self.drive(command)
            time.sleep(0.2)
        finally:
            capture.stop()
        return marks, Recording(capture)

    @staticmethod
    def next_time(marks, i):
        """The time of the next click (or of the end) after the i-th mark; None if none."""
        for name, when, _ in marks[i + 1:]:
            if name.endswith("click") or name == "done":
                return when
        return None

    def latency(self):
        clicks = 3 if self.quick else 10
        start, stops = {}, []
        # Play, 1.5 s, Stop, 0.7 s: the first audible sample after each Play, the moment the
        # sound falls silent after each Stop.
        for name in ["tone-60min.mp3", "noise-60min.mp3", "tone-60min.ogg", "tone-10min.mp3"]:
            marks, rec = self.recorded(["clicks", clicks, 700, self.file(name)])
            heard, play_call = [], []
            for i, (what, when, _) in enumerate(marks):
                if what == "click":
                    heard.append(rec.first_audible(when, self.next_time(marks, i)))
                    play_call.append((marks[i + 1][1] - when) / 1e6)
                elif what == "stop-click":
                    stops.append(rec.falls_silent(when, self.next_time(marks, i)))
            entry = summary(heard, len(heard))
            entry["play_call_median_ms"] = statistics.median(play_call) if play_call else None
            start[name] = entry
            log(f"first audible sample, {name}: median {entry['median_ms']} ms, max "
                f"{entry['max_ms']} ms over {entry['heard']}/{entry['clicks']} clicks")

        # Two files at different rates, Play starting each in turn: every Play after the first
        # opens the output at another rate than the track before, 0.7 s or 0.1 s after its Stop.
        rates = {}
        pitches = [make_audio.LOW_HZ, make_audio.HIGH_HZ]
        for gap in [700, 100]:
            marks, rec = self.recorded(["clicks", clicks + 1, gap, self.file("low-44k.mp3"),
                                        self.file("high-48k.mp3")])
            heard = []
            plays = [i for i, m in enumerate(marks) if m[0] == "click"]
            for i in plays[1:]:
                row = marks[i][2]
                heard.append(rec.pitch_starts(marks[i][1], self.next_time(marks, i), pitches[row]))
            rates[f"{gap}"] = summary(heard, len(heard))
            log(f"first audible sample at another rate, {gap} ms after Stop: median "
                f"{rates[f'{gap}']['median_ms']} ms, max {rates[f'{gap}']['max_ms']} ms")

        # Pause and resume: 1.5 s playing, Pause, 0.7 s, Play.
        marks, rec = self.recorded(["pauses", clicks, self.file("tone-60min.mp3")])
        pauses, resumes = [], []
        for i, (what, when, _) in enumerate(marks):
            if what == "pause-click":
                pauses.append(rec.falls_silent(when, self.next_time(marks, i)))
            elif what == "resume-click":
                resumes.append(rec.first_audible(when, self.next_time(marks, i)))

        # Seeks in a file whose pitch changes every 10 s: each seek lands 2 s into the next block,
        # so the pitch heard changes with every seek.
        block = make_audio.BLOCK_SECONDS
        targets = [((k + 1) * block + 2) * 1000 for k in range(clicks)]
        marks, rec = self.recorded(["seeks", self.file("blocks-5min.mp3")] + targets)
        seeks = []
        for i, (what, when, target) in enumerate(marks):
            if what == "seek-click":
                new = make_audio.block_frequency(target / 1000)
                old = make_audio.HIGH_HZ if new == make_audio.LOW_HZ else make_audio.LOW_HZ
                seeks.append(rec.pitch_changes(when, self.next_time(marks, i), old, new))

        transport = {"stop": summary(stops, len(stops)), "pause": summary(pauses, len(pauses)),
                     "resume": summary(resumes, len(resumes)), "seek": summary(seeks, len(seeks))}
        for what, entry in transport.items():
            log(f"{what} heard: median {entry['median_ms']} ms, max {entry['max_ms']} ms over "
                f"{entry['heard']}/{entry['clicks']} clicks")
        self.results["start"] = start
        self.results["rates"] = rates
        self.results["transport"] = transport

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
        with open("/proc/meminfo") as f:
            mem_kb = int(f.readline().split()[1])
        self.results["machine"] = {
            "cpu": cpu, "cores": os.cpu_count(), "memory_gb": round(mem_kb / 1024 / 1024, 1),
            "kernel": platform.release(), "debian": debian,
            "qt": first_line(["dpkg-query", "-W", "-f=${Version}", "libqt6widgets6"]),
            "mpv": first_line(["mpv", "--version"]).split(" Copyright")[0],
            "mpg123": first_line(["dpkg-query", "-W", "-f=${Version}", "mpg123"]),
            "vorbis_tools": first_line(["dpkg-query", "-W", "-f=${Version}", "vorbis-tools"]),
            "pulseaudio": first_line(["pulseaudio", "--version"]),
            "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        }

    PARTS = {"startup": "startup", "playlist": "playlist", "latency": "start",
             "playing": "playing", "idle": "idle"}

    def run(self):
        self.machine()
        load = procwatch.MachineLoad()
        builds = procwatch.BuildWatch()
        started = time.monotonic()
        with open("/proc/loadavg") as f:
            loadavg_before = f.read().split()[:3]
        self.pulse = PulseServer(self.servers_tool)
        self.x = XServer()
        self.bus = SessionBus(self.servers_tool)
        try:
            for part, key in self.PARTS.items():
                if self.args.only and part not in self.args.only.split(","):
                    continue
                try:
                    getattr(self, part)()
                except (RuntimeError, OSError, subprocess.SubprocessError, ValueError, KeyError) as e:
                    # One part failing spoils only its own figures; the report names the error.
                    log(f"{part} failed: {e}")
                    self.results[key] = {"error": str(e)}
        finally:
            self.bus.stop()
            self.x.stop()
            self.pulse.stop()
        m = self.results["machine"]
        m["busy_percent_during_run"] = round(load.percent(), 1)
        m["builds_running_percent"] = round(builds.share())
        m["loadavg_before"] = loadavg_before
        with open("/proc/loadavg") as f:
            m["loadavg_after"] = f.read().split()[:3]
        m["minutes"] = round((time.monotonic() - started) / 60, 1)
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
    parser.add_argument("--only", help="run these parts only, comma-separated, and print the "
                        "figures instead of writing the docs: " + ", ".join(Bench.PARTS))
    parser.add_argument("--report-only", action="store_true",
                        help="rewrite the docs from the work folder's results.json")
    args = parser.parse_args()
    for name in ["root", "build", "files", "work"]:
        setattr(args, name, os.path.abspath(getattr(args, name)))
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
