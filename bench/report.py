"""Turns the whole-player figures into docs/benchmarks.md, docs/benchmarks.png and README.md's table.

Only the parts between the whole-player markers are rewritten: whatever else those files hold (the
engine's own benchmarks, the hand-written "Where the time goes" section after the markers, the
rest of the README) stays as it is. When docs/benchmarks.md has no "Where the time goes" section
yet, an empty one is put after the markers, to be written by hand.
"""
import os
import re

BEGIN = "<!-- whole-player:begin (written by bench/run.sh) -->"
END = "<!-- whole-player:end -->"
HAND = "<!-- where-the-time-goes: written by hand; bench/run.sh leaves this section as it is -->"
HAND_PLACEHOLDER = (HAND + "\n## Where the time goes\n\n"
                    "For every ratio above that misses its target: where its time goes, measured, "
                    "and why what remains cannot be removed. Written by hand.\n")

PARTS = ["startup", "playing", "idle", "playlist", "start", "rates", "transport"]

THREAD_NOTES = {
    "main": "the GUI thread",
    "unnamed": "a thread that kept the program's name",
    "threaded-ml": "libpulse's client thread (cubeb's PulseAudio stream)",
    "QXcbEventQueue": "Qt's reader of the X connection",
    "QDBusConnection": "Qt's D-Bus thread",
    # Names the engine's own threads are expected to carry (pthread_setname_np).
    "brisnak-read": "the engine's read-ahead thread, which decodes and times the output",
    "brisnak-device": "the engine's device thread, which waits for the sound server",
    "brisnak-clock": "the engine's silent clock output",
}


def replace_section(path, body, default_head):
    text = open(path).read() if os.path.exists(path) else default_head
    block = BEGIN + "\n" + body.rstrip() + "\n" + END
    pattern = re.compile(re.escape(BEGIN) + ".*?" + re.escape(END), re.S)
    if pattern.search(text):
        text = pattern.sub(lambda _: block, text)
    else:
        text = text.rstrip() + "\n\n" + block + "\n"
    with open(path, "w") as f:
        f.write(text)


def keep_hand_section(path):
    """Puts an empty "Where the time goes" section right after the markers if there is none."""
    text = open(path).read()
    if HAND in text:
        return
    at = text.index(END) + len(END)
    text = text[:at] + "\n\n" + HAND_PLACEHOLDER + text[at:]
    with open(path, "w") as f:
        f.write(text.rstrip() + "\n")


def verdict(ok):
    if ok is None:
        return "reference"
    return "met" if ok else "**not met**"


def fmt(value, digits=1):
    return "n/a" if value is None else f"{value:.{digits}f}"


def ok_part(results, key):
    """A part's figures, or {} when it failed or did not run."""
    part = results.get(key) or {}
    return {} if "error" in part else part


def failures(results):
    return {k: v["error"] for k, v in results.items() if isinstance(v, dict) and "error" in v}


def heard(run):
    """Whether a player's sound reached the sink through most of its measured window: a figure
    for a player that played nothing would flatter it."""
    return run.get("audible_share", 0) >= 0.9


def under_load(m):
    share = m.get("builds_running_percent")
    if share is None:
        return ""
    if share == 0:
        return "No compiler or linker ran on the machine during the run."
    return (f"Other builds (a compiler or linker) were running during {share} % of the run: "
            "figures were taken partly under load, timings the most affected.")


def clicks_ok(entry, bound):
    """Every click heard, and heard within the bound."""
    return (entry.get("max_ms") is not None and entry["heard"] == entry["clicks"]
            and entry["max_ms"] <= bound)


def clicks_text(entry):
    if entry.get("median_ms") is None:
        return "not heard"
    return f"{entry['median_ms']:.1f} ms (max {entry['max_ms']:.1f}, {entry['heard']}/{entry['clicks']})"


def idle_wakeups_ok(entry, floor, targets):
    return entry["wakeups_per_s"] <= floor["wakeups_per_s"] * (1 + targets["wakeups_idle_margin"])


def headline(results, targets):
    """(what, Brisnak, floor or peer, ratio, target, met) rows for both documents."""
    R = {k: ok_part(results, k) for k in PARTS}
    rows = []
    for plat in ["offscreen", "xcb"]:
        s = R["startup"].get(plat)
        if s:
            b = s["brisnak"]["total_ms"]
            rows.append((f"Start-up to the first painted frame ({plat})", f"{b:.1f} ms",
                         f"floor with text {s['text_floor']['total_ms']:.1f} ms",
                         f"{s['text_ratio']:.2f}x", f"<= {targets['startup_text_ratio']}x floor with text",
                         s["text_ratio"] <= targets["startup_text_ratio"]))
            rows.append((f"Start-up against the empty window ({plat})", f"{b:.1f} ms",
                         f"empty window {s['floor']['total_ms']:.1f} ms", f"{s['ratio']:.2f}x", "",
                         None))
    play = R["playing"].get("files", {})
    for name, e in play.items():
        b, m = e["brisnak"], e["mpv"]
        reference = "48 kHz" in name
        rows.append((
            f"CPU playing {name}", f"{b['cpu_percent']:.3f} %",
            f"floor {e['floor_percent']:.3f} % (decoding {e['decode_percent']:.3f} + tick "
            f"{e['tick_percent']:.3f}); mpv {m['cpu_percent']:.3f} %",
            f"{e['floor_ratio']:.2f}x floor, {e['mpv_ratio']:.2f}x mpv",
            "" if reference else
            f"<= {targets['cpu_floor_ratio']:g}x floor, <= {targets['cpu_mpv_ratio']:g}x mpv",
            None if reference else heard(b) and e["floor_ratio"] <= targets["cpu_floor_ratio"]
            and e["mpv_ratio"] <= targets["cpu_mpv_ratio"]))
    idle = R["idle"]
    for mode, label in [("pause", "paused"), ("stop", "stopped")]:
        e = idle.get(mode)
        if e:
            f = idle["window_floor"]
            rows.append((f"CPU {label}", f"{e['cpu_percent']:.4f} %",
                         f"window floor {f['cpu_percent']:.4f} %", f"{e['floor_ratio']:.2f}x",
                         f"<= {targets['idle_floor_ratio']}x window floor",
                         e.get("length_ms", 0) > 0 and e["floor_ratio"] <= targets["idle_floor_ratio"]))
    main = R["playing"].get("main")
    if main in play:
        b, m = play[main]["brisnak"], play[main]["mpv"]
        f = R["playing"]["window_floor"]
        rows.append((f"Wake-ups playing {main}", f"{b['wakeups_per_s']:.1f} /s",
                     f"window floor {f['wakeups_per_s']:.1f} /s; mpv {m['wakeups_per_s']:.1f} /s",
                     "", f"<= {targets['wakeups_playing']:g} /s",
                     heard(b) and b["wakeups_per_s"] <= targets["wakeups_playing"]))
    for mode, label in [("pause", "paused"), ("stop", "stopped")]:
        e = idle.get(mode)
        if e:
            f = idle["window_floor"]
            rows.append((f"Wake-ups {label}", f"{e['wakeups_per_s']:.1f} /s",
                         f"window floor {f['wakeups_per_s']:.1f} /s",
                         f"+{e['wakeups_per_s'] - f['wakeups_per_s']:.1f} /s",
                         f"none beyond the window's (<= {1 + targets['wakeups_idle_margin']:g}x)",
                         e.get("length_ms", 0) > 0 and idle_wakeups_ok(e, f, targets)))
    for name in [main, "noise-60min.ogg"]:
        e = play.get(name)
        if e:
            b, m = e["brisnak"]["rss_peak_mb"], e["mpv"]["rss_peak_mb"]
            rows.append((f"Peak resident memory playing {name}", f"{b:.1f} MB", f"mpv {m:.1f} MB",
                         f"{b / m:.2f}x", f"<= {targets['rss_mb']:.0f} MB and <= mpv",
                         heard(e["brisnak"]) and b <= targets["rss_mb"] and b <= m))
    p = R["playlist"]
    if p:
        rows.append((f"{p['paths']} paths added (Add files)", f"{p['add_ms']:.1f} ms", "", "",
                     f"<= {targets['playlist_ms']:.0f} ms", p["add_ms"] <= targets["playlist_ms"]))
        rows.append(("Longest stall of the window while adding them",
                     f"{p['longest_gap_ms']:.1f} ms", "", "",
                     f"<= {targets['playlist_ms']:.0f} ms",
                     p["longest_gap_ms"] <= targets["playlist_ms"]))
    bound = f"<= {targets['start_ms']:.0f} ms, every click"
    for name, e in R["start"].items():
        rows.append((f"Play click to first audible sample, {name}", clicks_text(e), "", "", bound,
                     clicks_ok(e, targets["start_ms"])))
    for gap, e in R["rates"].items():
        rows.append((f"Play click to first audible sample, right after a track at another rate "
                     f"({int(gap) / 1000:g} s after its Stop)", clicks_text(e), "", "", bound,
                     clicks_ok(e, targets["start_ms"])))
    t = R["transport"]
    change = f"<= {targets['change_ms']:.0f} ms, every click"
    for key, what, bound_text, limit in [
            ("resume", "Play click after Pause to first audible sample", bound, targets["start_ms"]),
            ("stop", "Stop click until silent at the sink", change, targets["change_ms"]),
            ("pause", "Pause click until silent at the sink", change, targets["change_ms"]),
            ("seek", "Seek until the new position is heard", change, targets["change_ms"])]:
        if key in t:
            rows.append((what, clicks_text(t[key]), "", "", bound_text, clicks_ok(t[key], limit)))
    return rows


# --- the plot ----------------------------------------------------------------------------------


def plot(results, targets, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    R = {k: ok_part(results, k) for k in PARTS}
    fig, axes = plt.subplots(2, 3, figsize=(16, 9))
    blue, grey, dark, light = "#3465a4", "#babdb6", "#888a85", "#d3d7cf"
    red = "#cc0000"

    def missing(ax, what):
        if not what:
            ax.text(0.5, 0.5, "not measured", ha="center", va="center", transform=ax.transAxes)
            return True
        return False

    ax = axes[0][0]
    if not missing(ax, R["startup"]):
        plats = [p for p in ["offscreen", "xcb"] if p in R["startup"]]
        programs = [("floor", "empty window", light), ("text_floor", "floor with text", grey),
                    ("window_floor", "its window, no engine", dark), ("brisnak", "Brisnak", blue)]
        width = 0.2
        for k, (key, label, colour) in enumerate(programs):
            ax.bar([x + (k - 1.5) * width for x in range(len(plats))],
                   [R["startup"][p][key]["total_ms"] for p in plats], width, label=label,
                   color=colour)
        ax.set_xticks(range(len(plats)), plats)
        ax.legend(fontsize=8)
    ax.set_ylabel("ms, median")
    ax.set_title("Start-up to the first painted frame")

    ax = axes[0][1]
    files = R["playing"].get("files", {})
    if not missing(ax, files):
        names = list(files)
        xs = range(len(names))
        ax.bar([x - 0.27 for x in xs], [files[n]["decode_percent"] for n in names], 0.27,
               label="floor: decoding alone", color=grey)
        ax.bar([x - 0.27 for x in xs], [files[n]["tick_percent"] for n in names], 0.27,
               bottom=[files[n]["decode_percent"] for n in names], label="floor: window tick",
               color=dark)
        ax.bar(list(xs), [files[n]["brisnak"]["cpu_percent"] for n in names], 0.27,
               label="Brisnak", color=blue)
        ax.bar([x + 0.27 for x in xs], [files[n]["mpv"]["cpu_percent"] for n in names], 0.27,
               label="mpv", color=light)
        ax.set_xticks(list(xs), [n.replace("-60min", "").replace(", ", "\n") for n in names],
                      fontsize=8)
        ax.legend(fontsize=8)
    ax.set_ylabel("% of one core")
    ax.set_title("CPU while playing")

    ax = axes[0][2]
    idle = R["idle"]
    main = R["playing"].get("main")
    states = []
    if main in files:
        states.append(("playing", files[main]["brisnak"], R["playing"]["window_floor"]))
    for mode, label in [("pause", "paused"), ("stop", "stopped")]:
        if mode in idle:
            states.append((label, idle[mode], idle["window_floor"]))
    if not missing(ax, states):
        xs = range(len(states))
        ax.bar([x - 0.2 for x in xs], [f["wakeups_per_s"] for _, _, f in states], 0.4,
               label="window floor", color=grey)
        ax.bar([x + 0.2 for x in xs], [b["wakeups_per_s"] for _, b, _ in states], 0.4,
               label="Brisnak", color=blue)
        ax.axhline(targets["wakeups_playing"], color=red, linestyle="--", linewidth=1,
                   label="target while playing")
        ax.set_xticks(list(xs), [s for s, _, _ in states])
        ax.legend(fontsize=8)
    ax.set_ylabel("voluntary context switches a second")
    ax.set_title("Wake-ups, all threads")

    ax = axes[1][0]
    modes = [m for m in ["pause", "stop"] if m in idle]
    if not missing(ax, modes):
        xs = range(len(modes))
        ax.bar([x - 0.2 for x in xs], [idle["window_floor"]["cpu_percent"]] * len(modes), 0.4,
               label="window floor", color=grey)
        ax.bar([x + 0.2 for x in xs], [idle[m]["cpu_percent"] for m in modes], 0.4,
               label="Brisnak", color=blue)
        ax.set_xticks(list(xs), ["paused" if m == "pause" else "stopped" for m in modes])
        ax.legend(fontsize=8, loc="upper left")
    ax.set_ylabel("% of one core")
    ax.set_title("CPU while paused and stopped")

    ax = axes[1][1]
    if not missing(ax, files):
        names = list(files)
        xs = range(len(names))
        ax.bar([x - 0.2 for x in xs], [files[n]["mpv"]["rss_peak_mb"] for n in names], 0.4,
               label="mpv", color=grey)
        ax.bar([x + 0.2 for x in xs], [files[n]["brisnak"]["rss_peak_mb"] for n in names], 0.4,
               label="Brisnak", color=blue)
        ax.axhline(targets["rss_mb"], color=red, linestyle="--", linewidth=1, label="target")
        ax.set_xticks(list(xs), [n.replace("-60min", "").replace(", ", "\n") for n in names],
                      fontsize=8)
        ax.legend(fontsize=8, loc="lower left")
    ax.set_ylabel("MB")
    ax.set_title("Peak resident memory while playing")

    ax = axes[1][2]
    boxes = []
    for name, e in R["start"].items():
        boxes.append(("Play, " + name, e["all_ms"]))
    for gap, e in R["rates"].items():
        boxes.append((f"Play, other rate, {int(gap) / 1000:g} s after Stop", e["all_ms"]))
    for key, label in [("resume", "Play after Pause"), ("stop", "Stop, until silent"),
                       ("pause", "Pause, until silent"), ("seek", "seek, heard")]:
        if key in R["transport"]:
            boxes.append((label, R["transport"][key]["all_ms"]))
    if not missing(ax, boxes):
        ax.boxplot([b or [0] for _, b in boxes], labels=[label for label, _ in boxes])
        ax.tick_params(axis="x", labelsize=7, labelrotation=35)
        for label in ax.get_xticklabels():
            label.set_horizontalalignment("right")
        ax.axhline(targets["start_ms"], color=red, linestyle="--", linewidth=1, label="target")
        ax.legend(fontsize=8)
    ax.set_ylabel("ms from the click")
    ax.set_title("Clicks heard at the sink")

    fig.suptitle("Brisnak, whole player" + (" (quick run)" if results.get("quick") else ""))
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


# --- the document ------------------------------------------------------------------------------


def times(n):
    return "once" if n == 1 else f"{n} times"


def each(values):
    return ", ".join(f"{v:g} %" for v in values)


def median_of(runs):
    return "One run" if runs == 1 else f"Median of {runs} runs"


def thread_rows(program, run):
    rows = []
    for label, t in sorted(run["threads"].items(), key=lambda kv: -kv[1]["wakeups_per_s"]):
        notes = []
        base = label.rsplit(" ", 1)[0] if label.rsplit(" ", 1)[-1].isdigit() else label
        if base in THREAD_NOTES:
            notes.append(THREAD_NOTES[base])
        if t.get("born"):
            notes.append("started during the window")
        if t.get("ended"):
            notes.append("ended during the window: counted until last seen, a lower bound")
        runs = run.get("runs", 1)
        if t.get("runs_present", runs) < runs:
            notes.append(f"in {t['runs_present']} of {runs} runs")
        rows.append(f"| {program} | {label} | {t['wakeups_per_s']:.2f} | {t['cpu_percent']:.4f} | "
                    f"{'; '.join(notes)} |")
    rows.append(f"| {program} | **all threads** | **{run['wakeups_per_s']:.2f}** | "
                f"**{run['cpu_percent']:.4f}** | |")
    return rows


def markdown(results, targets):
    m = results["machine"]
    rows = headline(results, targets)
    R = {k: ok_part(results, k) for k in PARTS}
    seconds = R["playing"].get("seconds") or R["idle"].get("seconds") or "?"
    out = []
    out.append("## Whole player\n")
    out.append("Brisnak as a user runs it, against what it cannot go below (its floors: decoding "
               "alone, its own window without the engine, the least Qt window) and against "
               "Debian's mpv, on the same files, machine and run. Written by `bash bench/run.sh` "
               "(about 35 minutes; `QUICK=1` for a short trial) from the code as it is; the "
               "section after this one is written by hand.\n")
    if results.get("quick"):
        out.append("**This is a quick run: short windows and one repeat; do not quote it.**\n")
    out.append(f"Machine: {m['cpu']}, {m['cores']} cores, {m['memory_gb']} GB, Debian {m['debian']}, "
               f"kernel {m['kernel']}; Qt {m['qt']}; {m['mpv']}; mpg123 {m.get('mpg123', '?')}; "
               f"vorbis-tools {m.get('vorbis_tools', '?')}; {m['pulseaudio']}. Run on {m['date']}, "
               f"{m.get('minutes', '?')} minutes. The whole machine was "
               f"{m['busy_percent_during_run']} % busy during the run (this run included); load "
               f"average {' '.join(m['loadavg_before'])} before, {' '.join(m['loadavg_after'])} "
               "after. " + under_load(m) + "\n")
    out.append("| measure | Brisnak | floor / peer | ratio | target | |")
    out.append("|---|---:|---:|---:|---|---|")
    for what, ours, peer, ratio, target, ok in rows:
        out.append(f"| {what} | {ours} | {peer} | {ratio} | {target} | {verdict(ok)} |")
    out.append("")
    for key, error in failures(results).items():
        out.append(f"Not measured in this run, {key}: {error}\n")
    out.append("![Whole-player benchmarks](benchmarks.png)\n")

    out.append("### How the player is run\n")
    out.append("The program measured is the player itself, `brisnak` as built, started as a user "
               "starts it. A Qt plugin built with the benchmarks (`tests/support/DriverPlugin.h`), "
               "which Qt loads into any Qt program named by `QT_QPA_GENERIC_PLUGINS`, drives it "
               "from the inside once its main window shows: files go in through File > Add files "
               "(the file dialog answered with the paths), the buttons' slots are pressed, the seek "
               "bar is dragged; it prints the time of each step (CLOCK_MONOTONIC). The player "
               "knows nothing of it. Every process runs in a desktop session of its own: a private "
               "PulseAudio server whose only sink is a null sink at 44.1 kHz (Debian's default "
               "rate; what reaches it is recorded from its monitor), an X server (Xvfb, Qt's xcb "
               "platform, no window manager) and a private D-Bus session bus, on which the player "
               "registers its media controls as it does on a desktop.\n")

    out.append("### Start-up\n")
    out.append("From just before the process is started to the end of the main window's first "
               "paint: the plugin notes the main window's first `Paint` event and queues a call "
               "that runs once the event that carried it (the expose, or the update request) has "
               "returned, the window and its children painted and flushed; it prints the time and "
               "ends the process. Four programs, all with the same plugin: the empty window "
               "(`bench_startup_floor`, a `QMainWindow` shown), the floor with text "
               "(`bench_startup_text_floor`, a `QMainWindow` with a menu bar of three menus and a "
               "status bar label: any window with text loads the font database first, which the "
               "empty window never does; the target is set against this one), the player's own "
               "window without the engine (`bench_window_floor`, below) and Brisnak. They take "
               "turns, after one warm-up each; medians. \"To the plugin\" runs to the plugin's "
               "creation inside the `QApplication` constructor (loading the program and its "
               "libraries, and the platform's set-up); \"plugin to shown\" to the main window's "
               "`Show` event (the rest of the application object, the window built, whatever "
               "`main` does before `show()`); then to the painted frame.\n")
    if R["startup"]:
        out.append("| platform | program | total | to the plugin | plugin to shown | shown to painted | Brisnak's ratio to it |")
        out.append("|---|---|---:|---:|---:|---:|---:|")
        names = {"floor": "empty window", "text_floor": "floor with text",
                 "window_floor": "its window, no engine", "brisnak": "Brisnak"}
        ratios = {"floor": "ratio", "text_floor": "text_ratio", "window_floor": "window_ratio"}
        for plat, s in R["startup"].items():
            for key, label in names.items():
                v = s[key]
                ratio = f"{s[ratios[key]]:.2f}x" if key in ratios else ""
                out.append(f"| {plat} | {label} | {v['total_ms']:.1f} ms | {v['to_plugin_ms']:.1f} | "
                           f"{v['plugin_to_shown_ms']:.1f} | {v['shown_to_painted_ms']:.1f} | {ratio} |")
        out.append(f"\n{next(iter(R['startup'].values()))['runs']} runs per program and platform.\n")

    out.append("### CPU and memory while playing\n")
    out.append(f"Each player plays the same 60-minute file to the null sink. Brisnak is started "
               f"with the driver's `play FILE`: the file added, Play pressed, so its window's 500 "
               f"ms tick runs as for a user. mpv runs as `mpv --no-config --no-video --ao=pulse "
               f"FILE`. From one second into the track, over {seconds} s, the CPU time of the "
               f"process is read (the sum of its threads' `/proc/PID/task/*/schedstat`, read as the "
               f"wake-ups below are: a thread that ended in the window counts until it was last "
               f"seen, and is flagged there), and the resident set (`VmRSS`) "
               f"every half second; peak is `VmHWM`. The sink's monitor is recorded meanwhile: a "
               f"target counts as met only when the player was heard through at least 90 % of "
               f"the window.\n")
    out.append("Brisnak's floor while playing is what it cannot go below: **decoding alone**, the "
               "CPU time Debian's command-line decoder takes to decode the whole file to nowhere "
               "(`mpg123 -q -t FILE` for MP3; `oggdec -Q -o /dev/null FILE` for Ogg Vorbis, which "
               "decodes with libvorbisfile and writes 16-bit samples to the null device), divided "
               "by the file's duration; plus **the window's own tick**: the CPU of "
               "`bench_window_floor playing`, a program that builds the player's widgets with the "
               "player's own form code, in the state they show while playing (the file in the "
               "list, \"Now playing\" in the status bar, the seek bar's range) and moves the seek "
               "bar every 500 ms as the player's tick does, with no engine, over a window as long "
               "as the player's. The 48 kHz row plays the file again to a 48 kHz sink, where the "
               "server resamples what both players hand it at 44.1 kHz outside either player's "
               "account; shown for reference.\n")
    playing = R["playing"]
    if playing.get("files"):
        main = playing["main"]
        out.append(f"{main} is measured {times(playing['files'][main]['runs'])}, Brisnak, the "
                   "window floor and mpv taking turns, and decoded alone after each turn; the "
                   "medians are shown (each run's CPU in the note below the table). The other "
                   "files are measured once, against the same window floor.\n")
        out.append("| file | Brisnak, % of a core | decoding alone | window tick | floor | Brisnak / floor | mpv | Brisnak / mpv | peak RSS, Brisnak | peak RSS, mpv | threads | heard |")
        out.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for name, e in playing["files"].items():
            b, mv = e["brisnak"], e["mpv"]
            out.append(f"| {name} | {b['cpu_percent']:.3f} | {e['decode_percent']:.3f} | "
                       f"{e['tick_percent']:.4f} | {e['floor_percent']:.3f} | {e['floor_ratio']:.2f}x | "
                       f"{mv['cpu_percent']:.3f} | {e['mpv_ratio']:.2f}x | {b['rss_peak_mb']:.1f} MB | "
                       f"{mv['rss_peak_mb']:.1f} MB | {b['thread_count']} | "
                       f"{100 * b.get('audible_share', 0):.0f} % |")
        e = playing["files"][main]
        streams = [(who, e[who].get("stream") or {}) for who in ["brisnak", "mpv"]]
        if all(s for _, s in streams):
            out.append("\nThe buffering the sound server set for each player's stream (`pactl list "
                       "sink-inputs`, one second into the track): " + "; ".join(
                           f"{'Brisnak' if who == 'brisnak' else 'mpv'} {s.get('buffer_ms', 0):.1f} "
                           f"ms in the stream's buffer, {s.get('sink_ms', 0):.1f} ms in the sink"
                           for who, s in streams) + ".")
        out.append(f"\nEach run, {main}: Brisnak {each(e['brisnak']['all_cpu_percent'])}, the "
                   f"window floor {each(playing['window_floor']['all_cpu_percent'])}, mpv "
                   f"{each(e['mpv']['all_cpu_percent'])}, decoding alone "
                   f"{each(e['all_decode_percent'])}.\n")

    out.append("### Paused and stopped\n")
    out.append(f"The driver's `pause FILE` and `stop FILE`: Play, then Pause (or Stop) one second "
               f"later; measured from 4.5 seconds after that, long after the output has drained "
               f"and closed its stream, over {seconds} s, as above. The "
               f"window's 500 ms tick keeps running in both states, as the player is designed. The "
               f"floor is `bench_window_floor paused`: the player's widgets and the tick, setting "
               f"the seek bar to the same value each time as the player's tick does while nothing "
               f"moves (paused and stopped alike). Player and floor take turns; medians.\n")
    idle = R["idle"]
    if idle:
        out.append("| state | Brisnak, % of a core | window floor | ratio | method | peak RSS |")
        out.append("|---|---:|---:|---:|---|---:|")
        for mode in ["pause", "stop"]:
            v = idle[mode]
            out.append(f"| {'paused' if mode == 'pause' else 'stopped'} | {v['cpu_percent']:.4f} | "
                       f"{idle['window_floor']['cpu_percent']:.4f} | {v['floor_ratio']:.2f}x | "
                       f"{v['cpu_method']} | {v['rss_peak_mb']:.1f} MB |")
        out.append(f"\nEach run: paused {each(idle['pause']['all_cpu_percent'])}, stopped "
                   f"{each(idle['stop']['all_cpu_percent'])}, window floor "
                   f"{each(idle['window_floor']['all_cpu_percent'])}.\n")

    out.append("### Wake-ups\n")
    out.append("Every time a thread sleeps and is woken again counts as one voluntary context "
               "switch (`voluntary_ctxt_switches` in `/proc/PID/task/TID/status`); each thread's "
               "name is its `/proc/PID/task/TID/comm`. Read in the same windows as the CPU figures "
               "above (playing, paused, stopped, and the window floor), at the start, every half "
               "second and at the end: a thread started in the window counts from zero, and a "
               "thread that ended in the window counts up to the last time it was seen (a lower "
               "bound, flagged; a thread that lived less than half a second between two reads is "
               "not seen at all). \"main\" is the process's first thread, the GUI thread; "
               "\"unnamed\" marks a thread that kept the program's name because the program did "
               "not name it (numbered when there are several, in the order they were started). "
               "Rates are medians over the runs, per thread and in all.\n")
    tables = []
    if playing.get("files"):
        main = playing["main"]
        tables.append((f"Playing {main}", playing["files"][main]["brisnak"],
                       playing["window_floor"], playing["files"][main]["mpv"]))
    for mode, label in [("pause", "Paused"), ("stop", "Stopped")]:
        if mode in idle:
            tables.append((label, idle[mode], idle["window_floor"], None))
    for title, b, f, mv in tables:
        out.append(f"**{title}**\n")
        out.append("| program | thread | wake-ups a second | CPU, % of a core | note |")
        out.append("|---|---|---:|---:|---|")
        out.extend(thread_rows("Brisnak", b))
        out.extend(thread_rows("window floor", f))
        if mv:
            out.append(f"| mpv | **all {mv['thread_count']} threads** | **{mv['wakeups_per_s']:.2f}** | "
                       f"**{mv['cpu_percent']:.4f}** | |")
        out.append("")

    p = R["playlist"] or {"paths": 10000, "runs": 0}
    out.append("### Playlist scale\n")
    out.append(f"The driver's `add LIST`: File > Add files, with the file dialog answered with "
               f"{p['paths']} existing paths (typed into its file name field, as the dialog itself "
               f"writes several names). \"Rows added\" runs from the first row's insertion to the "
               f"command's return; \"until painted\" from the dialog's closing to the next paint of "
               f"the list; the longest stall is the longest gap between two beats of a 5 ms timer "
               f"from the dialog's closing until 300 ms after that paint. The list keeps its "
               f"default layout, as the player's form builds it. {median_of(p['runs'])}.\n")
    if R["playlist"]:
        out.append("| rows added | dialog closed to command returned | dialog closed to list painted | longest stall |")
        out.append("|---:|---:|---:|---:|")
        out.append(f"| {p['add_ms']:.1f} ms | {p['dialog_to_return_ms']:.1f} ms | "
                   f"{p['dialog_to_painted_ms']:.1f} ms | {p['longest_gap_ms']:.1f} ms |\n")

    out.append("### Clicks heard at the sink\n")
    out.append("While the driver clicks, `parec` records the null sink's monitor with 5 ms "
               "fragments, each stamped on arrival with the clock the driver stamps its clicks "
               "with. A moment in the recording counts as heard when the fragment holding it "
               "arrived: the null sink hands out what it renders a block at a time, and the "
               "recorder adds its own latency, so every figure errs long. A target holds only "
               "when every click was heard, each within the bound.\n")
    out.append("- **Play to the first audible sample**: the driver's `clicks N 700 FILE`: N times "
               "Play, 1.5 s of playback, Stop, 0.7 s of silence. The first frame above -40 dBFS "
               "after the click. \"Play command\" is how long the Play slot itself took.\n"
               "- **Right after a track at another rate**: a playlist of a 440 Hz tone at 44.1 kHz "
               "and a 1000 Hz tone at 48 kHz (MP3), Play starting each in turn, 0.7 s and, in a "
               "second run, 0.1 s after the Stop of the other (while the output may still drain "
               "it), so that every Play after the first needs the output at another rate. The "
               "first 20 ms window (every 2 ms) after the click in which the new track's pitch "
               "is above -40 dBFS, taken at the window's end; the other track's tail, at its own "
               "pitch, does not count. The first Play of each run is left out.\n"
               "- **Play after Pause**: the driver's `pauses N FILE` (a steady tone): 1.5 s "
               "playing, Pause, 0.7 s, Play; the first frame above -40 dBFS after the Play.\n"
               "- **Stop and Pause until silent**: the end of the first 5 ms window (every 1 ms) "
               "after the click whose level is 20 dB below the level of the 200 ms before the "
               "click: the fade-out has been heard to its end. Stop clicks from every run of the "
               "first measure, Pause clicks from the runs of the third.\n"
               "- **Seek until the new position is heard**: the driver's `seeks FILE MS...` on a "
               "tone whose pitch changes every 10 s between 440 Hz and 1000 Hz, each seek dragged "
               "to 2 s into the next block, 1.5 s apart. The middle of the first 20 ms window "
               "after the click in which the new pitch is louder than the old one.\n")
    out.append("| clicks | heard | median | max | Play command, median |")
    out.append("|---|---:|---:|---:|---:|")
    for name, e in R["start"].items():
        out.append(f"| Play, {name} | {e['heard']}/{e['clicks']} | {fmt(e['median_ms'])} ms | "
                   f"{fmt(e['max_ms'])} ms | {fmt(e.get('play_call_median_ms'))} ms |")
    for gap, e in R["rates"].items():
        out.append(f"| Play at another rate, {int(gap) / 1000:g} s after Stop | {e['heard']}/"
                   f"{e['clicks']} | {fmt(e['median_ms'])} ms | {fmt(e['max_ms'])} ms | |")
    for key, label in [("resume", "Play after Pause"), ("stop", "Stop, until silent"),
                       ("pause", "Pause, until silent"), ("seek", "seek, new position heard")]:
        e = R["transport"].get(key)
        if e:
            out.append(f"| {label} | {e['heard']}/{e['clicks']} | {fmt(e['median_ms'])} ms | "
                       f"{fmt(e['max_ms'])} ms | |")
    out.append("")
    return "\n".join(out)


def readme_table(results, targets):
    rows = headline(results, targets)
    out = ["## Performance", "",
           "The whole player against its floors (decoding alone, its own window without the "
           "engine, a Qt window with text) and Debian's mpv, one run of `bash bench/run.sh` "
           "(details in [docs/benchmarks.md](docs/benchmarks.md))"
           + (". **A quick run: short windows and one repeat; do not quote it.**" if results.get("quick")
              else ":"), "",
           "| measure | Brisnak | floor / peer | target | |", "|---|---:|---:|---|---|"]
    for what, ours, peer, ratio, target, ok in rows:
        peer_text = f"{peer} ({ratio})" if ratio else peer
        out.append(f"| {what} | {ours} | {peer_text} | {target} | {verdict(ok)} |")
    return "\n".join(out)


def write(results, root, targets):
    docs = os.path.join(root, "docs")
    os.makedirs(docs, exist_ok=True)
    plot(results, targets, os.path.join(docs, "benchmarks.png"))
    doc = os.path.join(docs, "benchmarks.md")
    replace_section(doc, markdown(results, targets), "# Benchmarks\n")
    keep_hand_section(doc)
    replace_section(os.path.join(root, "README.md"), readme_table(results, targets), "")
    print("[bench] wrote docs/benchmarks.md, docs/benchmarks.png and the README table", flush=True)
