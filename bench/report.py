"""Turns the whole-player figures into docs/benchmarks.md, docs/benchmarks.png and README.md's table.

Only the parts between the whole-player markers are rewritten: whatever else those files hold (the
engine's own benchmarks, the rest of the README) stays as it is.
"""
import os
import re

BEGIN = "<!-- whole-player:begin (written by bench/run.sh) -->"
END = "<!-- whole-player:end -->"


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


def verdict(ok):
    if ok is None:
        return "reference"
    return "met" if ok else "**not met**"


def fmt(value, digits=1):
    return "n/a" if value is None else f"{value:.{digits}f}"


def under_load(m):
    share = m.get("builds_running_percent")
    if share is None:
        return ""
    if share == 0:
        return "No compiler or linker ran on the machine during the run."
    return (f"Other builds (a compiler or linker) were running during {share} % of the run: "
            "figures were taken partly under load, timings the most affected.")


def headline(results, targets):
    """(what, Brisnak, peer or floor, ratio or note, target, met) rows for both documents."""
    rows = []
    for plat in ["offscreen", "xcb"]:
        s = ok_part(results, "startup").get(plat)
        if s:
            rows.append((f"Start-up to first painted window ({plat})",
                         f"{s['brisnak']['total_ms']:.1f} ms", f"floor {s['floor']['total_ms']:.1f} ms",
                         f"{s['ratio']:.2f}x", f"<= {targets['startup_ratio']}x floor",
                         s["ratio"] <= targets["startup_ratio"]))
            rows.append((f"Start-up against the floor with text ({plat})",
                         f"{s['brisnak']['total_ms']:.1f} ms",
                         f"floor with text {s['text_floor']['total_ms']:.1f} ms",
                         f"{s['text_ratio']:.2f}x", "", None))
    for name, e in ok_part(results, "playing").items():
        b, m = e["brisnak"], e["mpv"]
        rows.append((f"CPU playing {name}", f"{b['cpu_percent']:.2f} %", f"mpv {m['cpu_percent']:.2f} %",
                     f"{e['cpu_ratio']:.2f}x",
                     f"<= {targets['cpu_ratio']}x mpv",
                     heard(b) and e["cpu_ratio"] <= targets["cpu_ratio"]))
    for mode, label in [("pause", "paused"), ("stop", "stopped")]:
        e = ok_part(results, "idle").get(mode)
        if e:
            rows.append((f"CPU {label}", f"{e['cpu_percent']:.4f} %", "", "",
                         f"< {targets['idle_cpu_percent']} %",
                         e.get("length_ms", 0) > 0 and e["cpu_percent"] < targets["idle_cpu_percent"]))
    for name in ["noise-60min.mp3", "noise-60min.ogg"]:
        e = ok_part(results, "playing").get(name)
        if e:
            b, m = e["brisnak"]["rss_peak_mb"], e["mpv"]["rss_peak_mb"]
            rows.append((f"Peak resident memory playing {name}", f"{b:.1f} MB", f"mpv {m:.1f} MB",
                         f"{b / m:.2f}x", f"<= {targets['rss_mb']:.0f} MB and <= mpv",
                         heard(e["brisnak"]) and b <= targets["rss_mb"] and b <= m))
    p = ok_part(results, "playlist")
    if not p:
        return rows + start_rows(results, targets)
    rows.append((f"{p['paths']} paths added (Add files)", f"{p['add_ms']:.1f} ms", "", "",
                 f"<= {targets['playlist_ms']:.0f} ms", p["add_ms"] <= targets["playlist_ms"]))
    rows.append(("Longest stall of the window while adding them", f"{p['longest_gap_ms']:.1f} ms", "",
                 "", f"<= {targets['playlist_ms']:.0f} ms",
                 p["longest_gap_ms"] <= targets["playlist_ms"]))
    return rows + start_rows(results, targets)


def start_rows(results, targets):
    rows = []
    for name, e in ok_part(results, "start").items():
        ok = e["median_ms"] is not None and e["heard"] == e["clicks"] and e["median_ms"] <= targets["start_ms"]
        rows.append((f"Play click to first audible sample, {name}", f"{fmt(e['median_ms'])} ms", "", "",
                     f"<= {targets['start_ms']:.0f} ms", ok))
    return rows


def heard(run):
    """Whether a player's sound reached the sink through most of its measured window: a figure
    for a player that played nothing would flatter it."""
    return run.get("audible_share", 0) >= 0.9


def ok_part(results, key):
    """A part's figures, or {} when it failed or did not run."""
    part = results.get(key) or {}
    return {} if "error" in part else part


def failures(results):
    return {k: v["error"] for k, v in results.items() if isinstance(v, dict) and "error" in v}


def plot(results, targets, path):
    quick = results.get("quick")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 3, figsize=(15, 8.5))
    blue, grey = "#3465a4", "#babdb6"
    results = {k: ok_part(results, k) for k in ["startup", "playing", "idle", "playlist", "start"]}
    for key, ax in [("startup", axes[0][0]), ("playing", axes[0][1]), ("playing", axes[0][2]),
                    ("idle", axes[1][0]), ("playlist", axes[1][1]), ("start", axes[1][2])]:
        if not results[key]:
            ax.text(0.5, 0.5, "not measured", ha="center", va="center", transform=ax.transAxes)

    ax = axes[0][0]
    plats = [p for p in ["offscreen", "xcb"] if p in results["startup"]]
    xs = range(len(plats))
    ax.bar([x - 0.27 for x in xs], [results["startup"][p]["floor"]["total_ms"] for p in plats], 0.27,
           label="floor: empty QMainWindow", color=grey)
    ax.bar([x for x in xs], [results["startup"][p]["text_floor"]["total_ms"] for p in plats], 0.27,
           label="floor with text", color="#888a85")
    ax.bar([x + 0.27 for x in xs], [results["startup"][p]["brisnak"]["total_ms"] for p in plats], 0.27,
           label="Brisnak", color=blue)
    ax.set_xticks(list(xs), plats)
    ax.set_ylabel("ms, median")
    ax.set_title("Start-up to first painted window")
    ax.legend(fontsize=8)

    names = list(results["playing"])
    short = [n.replace("-60min", "").replace(", ", "\n") for n in names]
    xs = range(len(names))
    ax = axes[0][1]
    ax.bar([x - 0.2 for x in xs], [results["playing"][n]["mpv"]["cpu_percent"] for n in names], 0.4,
           label="mpv", color=grey)
    ax.bar([x + 0.2 for x in xs], [results["playing"][n]["brisnak"]["cpu_percent"] for n in names], 0.4,
           label="Brisnak", color=blue)
    ax.set_xticks(list(xs), short)
    ax.set_ylabel("% of one core")
    ax.set_title("CPU while playing (60-minute files)")
    ax.legend(fontsize=8)

    ax = axes[0][2]
    ax.bar([x - 0.2 for x in xs], [results["playing"][n]["mpv"]["rss_peak_mb"] for n in names], 0.4,
           label="mpv", color=grey)
    ax.bar([x + 0.2 for x in xs], [results["playing"][n]["brisnak"]["rss_peak_mb"] for n in names], 0.4,
           label="Brisnak", color=blue)
    ax.axhline(targets["rss_mb"], color="#cc0000", linestyle="--", linewidth=1, label="target")
    ax.set_xticks(list(xs), short)
    ax.set_ylabel("MB")
    ax.set_title("Peak resident memory while playing")
    ax.legend(fontsize=8, loc="lower left")

    ax = axes[1][0]
    modes = [m for m in ["pause", "stop"] if m in results["idle"]]
    ax.bar(modes, [results["idle"][m]["cpu_percent"] for m in modes], 0.5, color=blue)
    ax.axhline(targets["idle_cpu_percent"], color="#cc0000", linestyle="--", linewidth=1,
               label="target")
    ax.set_ylabel("% of one core")
    ax.set_title("CPU while paused and stopped (60 s)")
    ax.legend(fontsize=8)

    ax = axes[1][1]
    p = results["playlist"]
    if p:
        labels = ["rows added", "until painted", "longest stall"]
        ax.bar(labels, [p["add_ms"], p["dialog_to_painted_ms"], p["longest_gap_ms"]], 0.5, color=blue)
        ax.axhline(targets["playlist_ms"], color="#cc0000", linestyle="--", linewidth=1, label="target")
        ax.legend(fontsize=8)
    ax.set_ylabel("ms, median")
    ax.set_title(f"Adding {p.get('paths', 10000)} paths")

    ax = axes[1][2]
    names = list(results["start"])
    if names:
        data = [results["start"][n]["all_ms"] or [0] for n in names]
        ax.boxplot(data, labels=[n.replace(".", "\n") for n in names])
    ax.axhline(targets["start_ms"], color="#cc0000", linestyle="--", linewidth=1, label="target")
    ax.set_ylabel("ms")
    ax.set_title("Play click to first audible sample")
    ax.legend(fontsize=8)

    fig.suptitle("Brisnak, whole player" + (" (quick run)" if quick else ""))
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


def markdown(results, targets):
    m = results["machine"]
    rows = headline(results, targets)
    failed = failures(results)
    R = {k: ok_part(results, k) for k in ["startup", "playing", "idle", "playlist", "start"]}
    out = []
    out.append("## Whole player\n")
    out.append("Brisnak as a user runs it, side by side with Debian's mpv on the same files, on the "
               "same machine and in the same run. Written by `bash bench/run.sh` (about 15 minutes; "
               "`QUICK=1` for a short trial).\n")
    if results.get("quick"):
        out.append("**This is a quick run: short windows and few repeats; do not quote it.**\n")
    out.append(f"Machine: {m['cpu']}, {m['cores']} cores, {m['memory_gb']} GB, Debian {m['debian']}, "
               f"kernel {m['kernel']}; Qt {m['qt']}; {m['mpv']}; {m['pulseaudio']}. Run on {m['date']}. "
               f"The whole machine was {m['busy_percent_during_run']} % busy during the run (this run "
               f"included); load average {' '.join(m['loadavg_before'])} before, "
               f"{' '.join(m['loadavg_after'])} after. "
               + under_load(m) + "\n")
    out.append("| measure | Brisnak | peer / floor | ratio | target | |")
    out.append("|---|---:|---:|---:|---|---|")
    for what, ours, peer, ratio, target, ok in rows:
        out.append(f"| {what} | {ours} | {peer} | {ratio} | {target} | {verdict(ok)} |")
    out.append("")
    for key, error in failed.items():
        out.append(f"Not measured in this run, {key}: {error}\n")
    out.append("![Whole-player benchmarks](benchmarks.png)\n")

    out.append("### Start-up\n")
    out.append("Process start to the end of the main window's first paint. `bench/player/` builds three "
               "programs with the same `main` as the player's: `bench_startup_floor` shows an empty "
               "`QMainWindow` (the floor the target is set against); `bench_startup_text_floor` an "
               "empty `QMainWindow` with a menu bar of three menus and a status bar label (the least "
               "window that shows text, for reference); `bench_startup_brisnak` links the player's "
               "window library and builds `MainWindow` exactly as the player's `main` does. None "
               "changes the product; all use a `QApplication` subclass that notes when the outermost "
               "event around the window's first `Paint` event returns (the window and its children "
               "painted and flushed), prints the time and ends the process. The runner reads "
               "CLOCK_MONOTONIC just before it starts each process. Runs take turns, after one "
               "warm-up each; medians shown. `offscreen` is Qt's offscreen platform, `xcb` a real X "
               "server (Xvfb, no window manager); the PulseAudio server runs, as on a desktop.\n")
    out.append("| platform | program | total | to `main` | QApplication | window built | show to painted |")
    out.append("|---|---|---:|---:|---:|---:|---:|")
    for plat, s in R["startup"].items():
        for name in ["floor", "text_floor", "brisnak"]:
            v = s[name]
            out.append(f"| {plat} | {name.replace('_', ' ')} | {v['total_ms']:.1f} ms | {v['to_main_ms']:.1f} | "
                       f"{v['application_ms']:.1f} | {v['window_ms']:.1f} | {v['show_paint_ms']:.1f} |")
    out.append(f"\n{results['startup'][next(iter(results['startup']))]['runs']} runs per program "
               "and platform.\n")

    out.append("### CPU and memory while playing\n")
    out.append("Each player plays the same 60-minute file to a private PulseAudio server's null sink, "
               "which runs at 44.1 kHz like Debian's default sinks; one file is played again to a "
               "48 kHz sink, where both players hand the track at 44.1 kHz to the server, which "
               "resamples it outside either player's account. "
               "Brisnak runs as `bench_player play FILE`: the player's real `MainWindow`, shown on the "
               "X server (Xvfb, Qt's xcb platform, as every `bench_player` run here), the file added through File > Add files (the dialog answered by the "
               "harness) and the Play button's slot pressed, so the window's 500 ms tick runs as for "
               "a user. mpv runs as `mpv --no-config --no-video --ao=pulse FILE`. From one second "
               "into the track, the CPU time of the process (all threads, from "
               "`/proc/PID/task/*/schedstat`, or utime+stime when a thread ended) is read over the "
               "window, and the resident set (`VmRSS`) every half second; peak is `VmHWM`. The sink's "
               "monitor is recorded meanwhile to prove the sound got there: a CPU or memory target "
               "counts as met only when Brisnak was heard through at least 90 % of the window.\n")
    out.append("| file | player | CPU, % of a core | median RSS | peak RSS | threads | level at the sink | audible |")
    out.append("|---|---|---:|---:|---:|---:|---:|---:|")
    for name, e in R["playing"].items():
        for who in ["brisnak", "mpv"]:
            v = e[who]
            out.append(f"| {name} | {who} | {v['cpu_percent']:.2f} | {v['rss_median_mb']:.1f} MB | "
                       f"{v['rss_peak_mb']:.1f} MB | {v['threads']} | {fmt(v['rms_dbfs'])} dBFS | "
                       f"{100 * v['audible_share']:.0f} % |")
    out.append("")

    out.append("### Paused and stopped\n")
    out.append("`bench_player pause FILE` and `bench_player stop FILE`: Play, then Pause (or Stop) one "
               "second later; measured from half a second after that, over the same window as above. "
               "The window's 500 ms tick keeps running in both states, as the player is designed.\n")
    out.append("| state | CPU, % of a core | method | peak RSS |")
    out.append("|---|---:|---|---:|")
    for mode, v in R["idle"].items():
        out.append(f"| {mode} | {v['cpu_percent']:.4f} | {v['cpu_method']} | {v['rss_peak_mb']:.1f} MB |")
    out.append("")

    p = R["playlist"] or {"paths": 10000, "runs": 0}
    out.append("### Playlist scale\n")
    out.append(f"`bench_player add LIST`: File > Add files, with the file dialog answered with "
               f"{p['paths']} existing paths (typed into its file name field, as the dialog itself "
               f"writes several names). \"Rows added\" runs from the first row's insertion to the "
               f"command's return; \"until painted\" from the dialog's closing to the next paint of "
               f"the list; the longest stall is the longest gap between two beats of a 5 ms timer "
               f"from the dialog's closing until 300 ms after that paint. Median of {p['runs']} runs.\n")
    if R["playlist"]:
        out.append("| rows added | dialog closed to command returned | dialog closed to list painted | longest stall |")
        out.append("|---:|---:|---:|---:|")
        out.append(f"| {p['add_ms']:.1f} ms | {p['dialog_to_return_ms']:.1f} ms | "
                   f"{p['dialog_to_painted_ms']:.1f} ms | {p['longest_gap_ms']:.1f} ms |\n")

    out.append("### Start of playback\n")
    out.append("`bench_player clicks FILE N`: N times Play, 1.5 s of playback, Stop, 0.7 s of silence. "
               "`parec` records the null sink's monitor with 5 ms fragments; every fragment is "
               "stamped on arrival with the same clock the harness stamps the click with. A click "
               "counts as heard when the fragment holding the first frame above -40 dBFS after it "
               "arrives: the null sink hands out what it renders a block at a time, and the figure "
               "includes the recorder's own latency, so it errs long. \"Play command\" is the time "
               "the Play slot itself took.\n")
    out.append("| file | clicks heard | median | max | Play command, median |")
    out.append("|---|---:|---:|---:|---:|")
    for name, e in R["start"].items():
        out.append(f"| {name} | {e['heard']}/{e['clicks']} | {fmt(e['median_ms'])} ms | "
                   f"{fmt(e['max_ms'])} ms | {fmt(e['play_call_median_ms'])} ms |")
    out.append("")
    return "\n".join(out)


def readme_table(results, targets):
    rows = headline(results, targets)
    out = ["## Performance", "",
           "Whole player against Debian's mpv and an empty Qt window, one run of `bash bench/run.sh` "
           "(details in [docs/benchmarks.md](docs/benchmarks.md)):", "",
           "| measure | Brisnak | peer / floor | target | |", "|---|---:|---:|---|---|"]
    for what, ours, peer, ratio, target, ok in rows:
        peer_text = f"{peer} ({ratio})" if ratio else peer
        out.append(f"| {what} | {ours} | {peer_text} | {target} | {verdict(ok)} |")
    return "\n".join(out)


def write(results, root, targets):
    docs = os.path.join(root, "docs")
    os.makedirs(docs, exist_ok=True)
    plot(results, targets, os.path.join(docs, "benchmarks.png"))
    replace_section(os.path.join(docs, "benchmarks.md"), markdown(results, targets), "# Benchmarks\n")
    replace_section(os.path.join(root, "README.md"), readme_table(results, targets), "")
    print("[bench] wrote docs/benchmarks.md, docs/benchmarks.png and the README table", flush=True)
