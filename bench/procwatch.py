"""What a running process costs, read from /proc: CPU time, resident memory, and the wake-ups of
each of its threads (voluntary context switches), sampled over a window of time.

Used by bench/whole_player.py. Reading /proc does not wake the process watched.
"""
import os
import signal
import statistics
import subprocess
import threading
import time

CLK_TCK = os.sysconf("SC_CLK_TCK")


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


def read_threads(pid):
    """Per thread of a process: name, voluntary context switches and CPU ns (schedstat)."""
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
            voluntary = None
            with open(base + "/status") as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        voluntary = int(line.split()[1])
                        break
            with open(base + "/schedstat") as f:
                cpu_ns = int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            continue  # the thread ended while being read
        threads[int(tid)] = {"comm": comm, "wakeups": voluntary, "cpu_ns": cpu_ns}
    return threads


def process_ticks_ns(pid):
    """utime + stime of the whole process, ended threads included (clock ticks, as ns)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1_000_000_000 // CLK_TCK


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


def thread_labels(pid, threads):
    """A stable label per thread id: "main" for the process's first thread, "unnamed" for threads
    that kept the process's name (a thread the program did not name), else the thread's own name;
    several threads of one label are numbered in the order they were made."""
    main_comm = threads.get(pid, {}).get("comm")
    base = {}
    for tid in sorted(threads):
        comm = threads[tid]["comm"]
        if tid == pid:
            base[tid] = "main"
        elif comm == main_comm:
            base[tid] = "unnamed"
        else:
            base[tid] = comm
    labels = {}
    for tid, label in base.items():
        same = [t for t in sorted(base) if base[t] == label]
        labels[tid] = label if len(same) == 1 else f"{label} {same.index(tid) + 1}"
    return labels


def watch(proc, seconds, period=0.5):
    """CPU, memory and wake-ups of a running process over `seconds`.

    The threads are read at the start, every `period` and at the end. A thread born in the window
    counts from zero; a thread that ended in the window counts up to the last time it was seen
    (its last moments are lost: its figures are then lower bounds, and the thread is flagged). CPU
    is the sum of the threads' schedstat (nanoseconds) counted the same way; the process's
    utime+stime (clock ticks, coarse, but keeping even threads that lived between two reads) is
    kept beside it as a check."""
    pid = proc.pid
    load = MachineLoad()
    first = read_threads(pid)
    first_ticks = process_ticks_ns(pid)
    started = time.monotonic()
    seen = {tid: dict(v) for tid, v in first.items()}
    rss = []
    while True:
        remaining = seconds - (time.monotonic() - started)
        if remaining <= 0:
            break
        time.sleep(min(period, remaining))
        if proc.poll() is not None:
            raise RuntimeError(f"the process ended while measured (exit {proc.returncode})")
        now = read_threads(pid)
        for tid, v in now.items():
            seen[tid] = dict(v)
        rss.append(rss_kb(pid)["VmRSS"])
    last = read_threads(pid)
    last_ticks = process_ticks_ns(pid)
    elapsed = time.monotonic() - started
    mem = rss_kb(pid)
    for tid, v in last.items():
        seen[tid] = dict(v)

    labels = thread_labels(pid, seen)
    threads = {}
    ended = []
    for tid, v in seen.items():
        start = first.get(tid, {"wakeups": 0, "cpu_ns": 0})
        entry = {
            "wakeups_per_s": (v["wakeups"] - start["wakeups"]) / elapsed,
            "cpu_percent": 100.0 * (v["cpu_ns"] - start["cpu_ns"]) / (elapsed * 1e9),
            "born": tid not in first,
            "ended": tid not in last,
        }
        if entry["ended"]:
            ended.append(labels[tid])
        threads[labels[tid]] = entry
    cpu_ns = sum(v["cpu_ns"] - first.get(tid, {"cpu_ns": 0})["cpu_ns"] for tid, v in seen.items())
    return {
        "seconds": round(elapsed, 2),
        "cpu_percent": 100.0 * cpu_ns / (elapsed * 1e9),
        "cpu_method": "schedstat, a thread ended" if ended else "schedstat",
        "ticks_cpu_percent": 100.0 * (last_ticks - first_ticks) / (elapsed * 1e9),
        "rss_median_mb": statistics.median(rss) / 1024.0 if rss else mem["VmRSS"] / 1024.0,
        "rss_peak_mb": mem["VmHWM"] / 1024.0,
        "thread_count": len(last),
        "threads": threads,
        "wakeups_per_s": sum(t["wakeups_per_s"] for t in threads.values()),
        "ended_threads": ended,
        "machine_busy_percent": load.percent(),
    }


def median_of_runs(runs):
    """Medians over repeated watch() results: every number, and each thread's rates (a thread
    missing from a run counts as zero there). Keeps every run's CPU and wake-up total."""
    if len(runs) == 1:
        out = dict(runs[0])
    else:
        out = {}
        for key, value in runs[0].items():
            if isinstance(value, (int, float)) and not isinstance(value, bool):
                out[key] = statistics.median(r[key] for r in runs)
            else:
                out[key] = value
        labels = sorted({label for r in runs for label in r["threads"]})
        out["threads"] = {}
        for label in labels:
            present = [r["threads"][label] for r in runs if label in r["threads"]]
            out["threads"][label] = {
                "wakeups_per_s": statistics.median(
                    r["threads"][label]["wakeups_per_s"] if label in r["threads"] else 0.0
                    for r in runs),
                "cpu_percent": statistics.median(
                    r["threads"][label]["cpu_percent"] if label in r["threads"] else 0.0
                    for r in runs),
                "born": any(p["born"] for p in present),
                "ended": any(p["ended"] for p in present),
                "runs_present": len(present),
            }
        out["ended_threads"] = sorted({e for r in runs for e in r["ended_threads"]})
        out["cpu_method"] = ("schedstat, a thread ended" if any(r["ended_threads"] for r in runs)
                             else "schedstat")
    out["runs"] = len(runs)
    out["all_cpu_percent"] = [round(r["cpu_percent"], 4) for r in runs]
    out["all_wakeups_per_s"] = [round(r["wakeups_per_s"], 2) for r in runs]
    return out


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
