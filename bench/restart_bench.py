#!/usr/bin/env python3
"""Measures how phpkeeper.exe restarts workers under Wine and prints a table. Run by hand after a
mingw build (about 4 minutes):

    python3 bench/restart_bench.py [--ends 100] [--load-seconds 30] [--crash-seconds 60]
                                   [--restarts 1000]

1. Restart latency: a pool of 1 whose workers each live 150 ms and exit 0; the time from a
   worker's end (the last thing it writes) to its replacement's first instruction, beside bare
   CreateProcessA starts of the same executable from wintool, the lower bound.
2. Availability: nginx in front of 3 workers that recycle every 100 requests, under a paced
   load; failed requests and the longest span without a good answer.
3. Crash loop: 3 workers that exit with 255 at once; the supervisor's and wineserver's CPU, and
   how many starts were made (failed starts wait for the 10 s check).
4. Memory: the supervisor's memory before and after many restarts of a pool of 4.

All times come from one clock: the stand-ins and wintool write GetSystemTimePreciseAsFileTime,
which is the Linux wall clock under Wine.
"""

import argparse
import collections
import math
import os
import re
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))

import harness  # noqa: E402
from harness import PERIOD, Package, Supervisor, wait_for, windows_path, wintool  # noqa: E402
from supervision_bench import CpuMeter, wineserver_pid  # noqa: E402
from webserver import Nginx, paced_load, page_from_worker  # noqa: E402

ROOT = harness.WORK / "bench" / "restart"
BARE_ARGS = " -b 127.0.0.1:9099"  # off the pool's port, so a bare start never serves it
SHORT_LIFE = "0 150"  # lives 150 ms, exits 0: long enough not to count as a failed start
CRASH = "255"

GOAL_MEDIAN = 0.060
GOAL_P99 = 0.150
GOAL_FAILED = 0.2  # percent
GOAL_DARK = 0.1
BAR_FAILED = 1.0  # percent, the bar
BAR_DARK = 0.5
FLAT_BYTES = 64 * 1024
NEAR_END = 0.1


class MachineLoad:
    """How busy all CPUs of the machine were since it was made: the figures here are timings,
    and other work on the machine stretches them."""

    def __init__(self):
        self.begin = self.read()

    @staticmethod
    def read():
        fields = [int(v) for v in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
        idle = fields[3] + fields[4]  # idle and iowait
        return sum(fields), idle

    def __str__(self):
        total, idle = (now - then for now, then in zip(self.read(), self.begin))
        busy = 100.0 * (total - idle) / total if total else 0.0
        return f"machine's {os.cpu_count()} CPUs {busy:.0f} % busy"


def verdict(ok):
    return "ok" if ok else "OVER"


def percentile(values, fraction):
    """Nearest rank: a value that was really measured."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def ms(seconds):
    return f"{seconds * 1000:8.1f} ms"


class Pool:
    """A package of the benchmark's own with one supervisor; ends all it started on close."""

    def __init__(self, name, workers, exitcode=None, env=None):
        self.package = Package(ROOT / name)
        self.package.install_program()
        self.folder = self.package.root / "php" / "php-8.3"
        self.package.install_worker(self.folder)
        if exitcode is not None:
            (self.folder / "php-cgi.exitcode").write_text(exitcode)
        self.package.write_config(
            path=windows_path(self.package.root), phpver="php-8.3", phpnum=str(workers)
        )
        self.supervisor = None
        self.env = env

    def start(self):
        self.supervisor = Supervisor(self.package.program_folder / "phpkeeper.exe", env=self.env)
        return self.supervisor

    def starts(self):
        return len(list(self.folder.glob("php-cgi-*.started")))

    def unix_pid(self):
        """The supervisor's Unix process: wine execs the loader in place, so it is Popen's."""
        pid = self.supervisor.process.pid
        cmdline = Path(f"/proc/{pid}/cmdline").read_bytes()
        if b"phpkeeper.exe" not in cmdline:
            raise RuntimeError(f"process {pid} is not the supervisor: {cmdline!r}")
        return pid

    def close(self):
        if self.supervisor is not None:
            self.supervisor.end()
        harness.end_processes({harness.SUPERVISOR_IMAGE, harness.WORKER_IMAGE})


# 1. Restart latency ------------------------------------------------------------------------------


def bare_starts(samples):
    """Seconds from right before CreateProcessA to the child's first instruction."""
    package = Package(ROOT / "bare")
    exe = windows_path(package.install_worker(package.root))
    spans = []
    try:
        for _ in range(samples):
            pid, before = wintool("spawn", exe, BARE_ARGS).split()
            pid, before = int(pid), float(before)
            record = wait_for(
                lambda: next((r for r in package.records()
                              if int(r["pid"]) == pid and float(r["entered"]) >= before), None),
                timeout=10, what=f"bare start {pid} to write down its start",
            )
            spans.append(float(record["entered"]) - before)
            wintool("kill", pid, check=False)
    finally:
        harness.end_processes({harness.WORKER_IMAGE})
    return spans


def supervised_restarts(ends):
    """Seconds from each end of a worker of a pool of 1 to the start of the next."""
    pool = Pool("latency", 1, SHORT_LIFE)
    try:
        pool.start()
        wait_for(lambda: pool.starts() >= ends + 1, timeout=30 + ends * 2.0,
                 what=f"{ends} restarts")
    finally:
        pool.close()
    entered = sorted(float(r["entered"]) for r in pool.package.records())
    finished = pool.package.ends()
    if {code for _, code in finished} != {0}:
        raise RuntimeError(f"a short-lived worker did not exit with 0: {finished}")
    spans = []
    for ended, _ in finished:
        following = next((t for t in entered if t > ended), None)
        if following is not None:
            spans.append(following - ended)
    return spans[:ends]


def latency_section(args, summary):
    print("1. restart after an end: pool of 1, each worker lives 150 ms and exits 0")
    load = MachineLoad()
    bare = bare_starts(args.bare)
    restarts = supervised_restarts(args.ends)
    busy = str(load)
    print(f"  {'':28} {'n':>4} {'min':>11} {'median':>11} {'p99':>11} {'max':>11}")
    for name, values in (("end -> replacement started", restarts),
                         ("bare CreateProcessA (limit)", bare)):
        print(f"  {name:28} {len(values):>4} {ms(min(values))} {ms(statistics.median(values))} "
              f"{ms(percentile(values, 0.99))} {ms(max(values))}")
    median, p99 = statistics.median(restarts), percentile(restarts, 0.99)
    # The bare start runs beside wintool's own exit, which can slow it; its minimum is the
    # cleaner bound.
    print(f"  above the bare start: median {(median - statistics.median(bare)) * 1000:+.1f} ms, "
          f"minimum {(min(restarts) - min(bare)) * 1000:+.1f} ms")
    summary.append(("restart median", f"<= {GOAL_MEDIAN * 1000:.0f} ms", ms(median).strip(),
                    median <= GOAL_MEDIAN))
    summary.append(("restart p99", f"<= {GOAL_P99 * 1000:.0f} ms", ms(p99).strip(),
                    p99 <= GOAL_P99))
    print(f"  goal: median <= {GOAL_MEDIAN * 1000:.0f} ms {verdict(median <= GOAL_MEDIAN)}, "
          f"p99 <= {GOAL_P99 * 1000:.0f} ms {verdict(p99 <= GOAL_P99)}")
    if len(restarts) < args.ends:
        print(f"  (only {len(restarts)} ends had a replacement)")
    print(f"  meanwhile the {busy}")


# 2. Availability ---------------------------------------------------------------------------------


def upstream_errors(log):
    """What nginx logged about its upstream, by cause, most frequent first."""
    causes = collections.Counter()
    for line in log.read_text(errors="replace").splitlines():
        found = re.search(r"\*\d+ (.*?) while (.*?), client:", line)
        if found:
            causes[f"'{found.group(1)}' while {found.group(2)}"] += 1
    return causes.most_common()


def availability_section(args, summary):
    rate, seconds, limit = args.rate, args.load_seconds, 100
    print(f"\n2. availability: nginx in front of 3 workers recycling every {limit} requests, "
          f"{rate:.0f} requests/s for {seconds:.0f} s")
    pool = Pool("availability", 3, env={"PHP_FCGI_MAX_REQUESTS": str(limit)})
    nginx = None
    try:
        nginx = Nginx(pool.package.root / "nginx")
        pool.start().wait_for_workers(lambda ids: len(ids) == 3)
        wait_for(lambda: page_from_worker(nginx.port), timeout=10, what="the first page")
        ends_before = len(pool.package.ends())
        load = MachineLoad()
        t0, results = paced_load(nginx.port, rate, seconds)
        busy = str(load)
        # The last replacements are written down a moment after the load.
        time.sleep(1)
        ends = pool.package.ends()
    finally:
        if nginx is not None:
            nginx.stop()
        pool.close()
    causes = upstream_errors(nginx.folder / "error.log")

    failed = sum(1 for *_, good, _ in results if not good)
    percent = 100.0 * failed / len(results)
    good_times = sorted(done for _, _, done, good, _ in results if good)
    last_done = max(done for _, _, done, *_ in results)
    # The load's start and its last answer bound the spans, so failures at either edge count.
    marks = [t0, *good_times, last_done]
    dark = max(b - a for a, b in zip(marks, marks[1:]))
    first = (good_times[0] - t0) if good_times else float("inf")
    late = max(sent - due for due, sent, *_ in results)
    answer = [done - sent for _, sent, done, *_ in results]
    end_times = [ended for ended, _ in ends]
    near_end = sum(
        1 for *_, good, sent in results
        if not good and any(abs(sent - ended) <= NEAR_END for ended in end_times)
    )
    recycled = len(ends) - ends_before
    codes = sorted({code for _, code in ends})
    print(f"  requests sent {len(results)}, failed {failed} ({percent:.3f} %)")
    print(f"  longest span without a good answer {ms(dark).strip()} "
          f"(from the load's start to the first good answer {ms(first).strip()})")
    print(f"  answer time median {ms(statistics.median(answer)).strip()}, "
          f"max {ms(max(answer)).strip()}; sends at most {ms(late).strip()} behind schedule")
    print(f"  workers recycled {recycled} (exit codes {codes}); during the load the {busy}")
    if failed:
        print(f"  failed requests sent within {NEAR_END * 1000:.0f} ms of a worker's end: "
              f"{near_end} of {failed}")
        print("  nginx's upstream errors: " + ", ".join(f"{n} {what}" for what, n in causes))
    print(f"  goal: failed <= {GOAL_FAILED} % {verdict(percent <= GOAL_FAILED)}, "
          f"no dark span over {GOAL_DARK} s {verdict(dark <= GOAL_DARK)}")
    print(f"  bar:  failed <= {BAR_FAILED:.0f} % {verdict(percent <= BAR_FAILED)}, "
          f"no span without a good answer over {BAR_DARK} s {verdict(dark <= BAR_DARK)}")
    summary.append(("failed requests", f"<= {GOAL_FAILED} %", f"{percent:.3f} %",
                    percent <= GOAL_FAILED))
    summary.append(("longest dark span", f"<= {GOAL_DARK * 1000:.0f} ms", ms(dark).strip(),
                    dark <= GOAL_DARK))
    summary.append(("failed requests (bar)", f"<= {BAR_FAILED:.0f} %", f"{percent:.3f} %",
                    percent <= BAR_FAILED))
    summary.append(("dark span (bar)", f"<= {BAR_DARK * 1000:.0f} ms", ms(dark).strip(),
                    dark <= BAR_DARK))


# 3. Crash loop -----------------------------------------------------------------------------------


def crash_section(args, summary):
    seconds, size = args.crash_seconds, 3
    print(f"\n3. crash loop: {size} workers that exit with {CRASH} at once, for {seconds:.0f} s")
    pool = Pool("crash", size, CRASH)
    try:
        pool.start()
        wait_for(lambda: pool.starts() >= size, timeout=20, what="the first starts")
        time.sleep(1)
        own, server, starts0 = CpuMeter(pool.unix_pid()), CpuMeter(wineserver_pid()), pool.starts()
        time.sleep(seconds)
        own_cpu, server_cpu, starts1 = own.seconds(), server.seconds(), pool.starts()
        own.stop()
        server.stop()
        codes = {code for _, code in pool.package.ends()}
    finally:
        pool.close()
    starts = starts1 - starts0
    # Every check in the window may start each slot once; a window can hold one check more
    # than it holds whole periods.
    most = size * (math.floor(seconds / PERIOD) + 1)
    print(f"  supervisor CPU {own_cpu * 1000:8.1f} ms")
    print(f"  wineserver CPU {server_cpu * 1000:8.1f} ms   "
          "(includes the crashing workers' own start-up)")
    print(f"  starts {starts} (exit codes {sorted(codes)}); at most one per slot per "
          f"{PERIOD:.0f} s check: <= {most} {verdict(starts <= most)}")
    summary.append(("crash-loop starts", f"<= {most}", str(starts), starts <= most))


# 4. Memory ---------------------------------------------------------------------------------------


def linux_status(unix_pid, field):
    for line in Path(f"/proc/{unix_pid}/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"no {field} for process {unix_pid}")


def linux_rss(unix_pid):
    return linux_status(unix_pid, "VmRSS") * 1024


def thread_names(unix_pid):
    """Wine names its own threads (wine_threadpool), so growth of its pool shows here."""
    names = collections.Counter(
        (task / "comm").read_text().strip() for task in Path(f"/proc/{unix_pid}/task").iterdir()
    )
    return ", ".join(f"{name} {count}" for name, count in sorted(names.items()))


def windows_memory(windows_pid):
    """The counters of wintool's memory command, or None when Wine cannot read them. Wine 8
    reads another process's working set and pagefile usage from Linux (the working set is its
    VmRSS) but leaves its private bytes at 0, so those are reported as not available."""
    result = harness.wine(harness.WINTOOL, "memory", windows_pid, check=False)
    if result.returncode != 0:
        return None
    return {k: int(v) for k, v in (field.split("=") for field in result.out.split())}


def memory_sample(pool):
    """The median of a few readings: the pool restarts all the while."""
    readings = []
    for _ in range(5):
        readings.append((linux_rss(pool.unix_pid()), windows_memory(pool.supervisor.pid)))
        time.sleep(0.2)
    sample = {"VmRSS": statistics.median(r for r, _ in readings)}
    if all(w is not None for _, w in readings):
        for key in ("workingset", "pagefile", "private"):
            sample[key] = statistics.median(w[key] for _, w in readings)
    return sample


def memory_section(args, summary):
    size = 4
    print(f"\n4. memory: pool of {size}, each worker lives 150 ms; sampled after {args.warmup} "
          f"restarts and after {args.restarts} more")
    pool = Pool("memory", size, SHORT_LIFE)
    try:
        pool.start()
        wait_for(lambda: pool.starts() >= size + args.warmup, timeout=60 + args.warmup,
                 what="the warm-up restarts")
        before, starts0 = memory_sample(pool), pool.starts()
        # A step that stays is not a leak that keeps growing; the way there tells them apart.
        unix_pid, step, path = pool.unix_pid(), max(1, args.restarts // 10), []
        deadline = time.monotonic() + 60 + args.restarts * 0.5
        while (done := pool.starts() - starts0) < args.restarts:
            if done >= len(path) * step:
                path.append((done, linux_rss(unix_pid), linux_status(unix_pid, "Threads")))
            if time.monotonic() > deadline:
                raise AssertionError(f"only {done} of {args.restarts} restarts came")
            time.sleep(0.1)
        after, starts1 = memory_sample(pool), pool.starts()
        threads_by_name = thread_names(unix_pid)
        path.append((starts1 - starts0, linux_rss(unix_pid), linux_status(unix_pid, "Threads")))
    finally:
        pool.close()
    print(f"  restarts between the samples: {starts1 - starts0}")
    print("  VmRSS on the way (restarts: KiB/threads): " + ", ".join(
        f"{done}: {rss // 1024}/{threads}" for done, rss, threads in path))
    print(f"  threads at the end: {threads_by_name}")
    steady = max((i for i in range(1, len(path)) if path[i][2] != path[i - 1][2]), default=0)
    if steady > 0:
        print(f"  growth since the thread count last changed ({path[steady][0]} restarts on): "
              f"{(path[-1][1] - path[steady][1]) / 1024:+.0f} KiB")
    print(f"  {'':34} {'before':>12} {'after':>12} {'growth':>12}")
    names = {
        "VmRSS": "Linux VmRSS",
        "workingset": "Windows working set",
        "pagefile": "Windows pagefile usage",
        "private": "Windows private bytes",
    }
    for key, name in names.items():
        if key not in before or key not in after:
            print(f"  {name:34} not readable under Wine")
            continue
        # A zero is no reading: a running process has private pages.
        if key == "private" and before[key] == 0 and after[key] == 0:
            print(f"  {name:34} not available: Wine reports 0 for another process")
            continue
        growth = after[key] - before[key]
        flat = growth < FLAT_BYTES
        print(f"  {name:34} {before[key] / 1024:9.0f} KiB {after[key] / 1024:9.0f} KiB "
              f"{growth / 1024:+9.0f} KiB  {verdict(flat)}")
        summary.append((f"memory growth, {name}", f"< {FLAT_BYTES // 1024} KiB",
                        f"{growth / 1024:+.0f} KiB", flat))
    print(f"  flat: growth under {FLAT_BYTES // 1024} KiB over the restarts. Under Wine the "
          "Windows working set and pagefile usage are Wine's readings of Linux's counters.")


SECTIONS = {
    "latency": latency_section,
    "availability": availability_section,
    "crash": crash_section,
    "memory": memory_section,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--ends", type=int, default=100, help="supervised ends to time")
    parser.add_argument("--bare", type=int, default=20, help="bare CreateProcessA starts")
    parser.add_argument("--load-seconds", type=float, default=30.0)
    parser.add_argument("--rate", type=float, default=200.0, help="requests per second")
    parser.add_argument("--crash-seconds", type=float, default=60.0)
    # Wine's thread pool may add a thread, and a mapping of about 1 MiB with it, somewhere in the
    # first few hundred restarts; the first sample comes after that step.
    parser.add_argument("--warmup", type=int, default=300, help="restarts before the first sample")
    parser.add_argument("--restarts", type=int, default=1000, help="restarts between samples")
    parser.add_argument("--only", default=",".join(SECTIONS),
                        help="sections to run, of " + ",".join(SECTIONS))
    args = parser.parse_args()
    chosen = args.only.split(",")
    if unknown := set(chosen) - set(SECTIONS):
        parser.error(f"unknown sections: {', '.join(sorted(unknown))}")
    for needed in (harness.PHPKEEPER, harness.STANDIN, harness.WINTOOL):
        if not needed.exists():
            print(f"bench: {needed} is missing; build first: "
                  "cmake --preset mingw && cmake --build --preset mingw", file=sys.stderr)
            return 1

    harness.prepare_prefix()
    summary = []
    try:
        for name in chosen:
            SECTIONS[name](args, summary)
    finally:
        harness.end_processes({harness.SUPERVISOR_IMAGE, harness.WORKER_IMAGE})
        harness.shutdown_prefix()

    print(f"\n{'measure':36} {'goal':>10} {'measured':>12}  verdict")
    for name, goal, measured, ok in summary:
        print(f"{name:36} {goal:>10} {measured:>12}  {verdict(ok)}")
    return 0 if all(ok for *_, ok in summary) else 1


if __name__ == "__main__":
    sys.exit(main())
