#!/usr/bin/env python3
"""Measures the cost of phpkeeper.exe's periodic check under Wine and prints a table. Run by
hand after a mingw build:

    python3 bench/supervision_bench.py [--idle 60] [--sizes 1,8,32,64]

1. Idle cost: the supervisor's CPU time over a stretch of idle supervision of 3 workers.
2. Cost of one check for several pool sizes: the CPU time of each burst of work of the
   supervisor's main thread, which runs the check (one burst per check), averaged.

Restarts are measured by bench/restart_bench.py. CPU times are read from Linux: a Wine process
is a Unix process, and the work of a process snapshot is split between it and wineserver, so
both are shown.
"""

import argparse
import contextlib
import statistics
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))

import harness  # noqa: E402
from harness import PERIOD, Package, Supervisor, windows_path  # noqa: E402


class CpuMeter:
    """CPU time of a Unix process's threads since the meter was made, in seconds, at nanosecond
    resolution. Wine's pool threads end after a few idle seconds and take their time out of
    /proc with them, so every thread is read often and its last reading kept: of a thread that
    ends, at most one interval's time is lost."""

    def __init__(self, unix_pid, interval=0.05):
        self.unix_pid = unix_pid
        self.lock = threading.Lock()
        self.last = {}
        self.sample()
        # Threads that start later count from zero: all of their time falls after this.
        self.first = dict(self.last)
        self.finished = threading.Event()
        self.poller = threading.Thread(target=self.poll, args=(interval,), daemon=True)
        self.poller.start()

    def sample(self):
        with self.lock:
            for task in Path(f"/proc/{self.unix_pid}/task").iterdir():
                try:
                    self.last[task.name] = int((task / "schedstat").read_text().split()[0])
                except (OSError, ValueError):
                    continue

    def poll(self, interval):
        while not self.finished.wait(interval):
            with contextlib.suppress(OSError):
                self.sample()

    def seconds(self):
        with contextlib.suppress(OSError):
            self.sample()
        with self.lock:
            return sum(ns - self.first.get(tid, 0) for tid, ns in self.last.items()) / 1e9

    def stop(self):
        self.finished.set()
        self.poller.join()


def main_thread_seconds(unix_pid):
    """CPU time of a Unix process's first thread, which runs a Windows program's WinMain."""
    return int(Path(f"/proc/{unix_pid}/task/{unix_pid}/schedstat").read_text().split()[0]) / 1e9


def wineserver_pid():
    for pid in harness.prefix_unix_processes():
        try:
            if "wineserver" in Path(f"/proc/{pid}/exe").resolve().name:
                return pid
        except OSError:
            continue
    return None


class Pool:
    def __init__(self, name, workers):
        self.package = Package(harness.WORK / "bench" / name)
        self.package.install_program()
        versions = self.package.root / "php" / "php-8.3"
        self.package.install_worker(versions)
        self.package.write_config(
            path=windows_path(self.package.root), phpver="php-8.3", phpnum=str(workers)
        )
        self.size = workers
        self.supervisor = Supervisor(self.package.program_folder / "phpkeeper.exe")
        self.supervisor.wait_for_workers(lambda ids: len(ids) == workers, 60 + workers)

    def close(self):
        self.supervisor.end()
        harness.end_processes({harness.SUPERVISOR_IMAGE, harness.WORKER_IMAGE})


def measure_idle_cpu(seconds):
    pool = Pool("idle", 3)
    try:
        time.sleep(1)
        own = CpuMeter(pool.supervisor.process.pid)
        server = CpuMeter(wineserver_pid())
        time.sleep(seconds)
        used = own.seconds(), server.seconds()
        own.stop()
        server.stop()
    finally:
        pool.close()
    return used


def measure_check_cost(size, periods=3):
    """CPU per check: sampled every 50 ms, each burst of CPU use is one check. The check runs on
    the hidden window's thread, the main one; Wine's pool threads wake by themselves between
    checks, and their bursts would pass for checks."""
    pool = Pool(f"size-{size}", size)
    bursts = []
    try:
        unix_pid = pool.supervisor.process.pid
        deadline = time.monotonic() + periods * PERIOD + 1
        last = main_thread_seconds(unix_pid)
        burst, quiet_since = 0.0, time.monotonic()
        while time.monotonic() < deadline:
            time.sleep(0.05)
            now_cpu = main_thread_seconds(unix_pid)
            if now_cpu > last:
                burst += now_cpu - last
                quiet_since = time.monotonic()
            elif burst and time.monotonic() - quiet_since > 1.0:
                bursts.append(burst)
                burst = 0.0
            last = now_cpu
        if burst:
            bursts.append(burst)
    finally:
        pool.close()
    return bursts


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--idle", type=float, default=60.0)
    parser.add_argument("--sizes", default="1,8,32,64")
    args = parser.parse_args()
    if not harness.PHPKEEPER.exists():
        print(f"bench: {harness.PHPKEEPER} is missing; build first: "
              "cmake --preset mingw && cmake --build --preset mingw", file=sys.stderr)
        return 1

    harness.prepare_prefix()
    try:
        print(f"idle supervision of 3 workers for {args.idle:.0f} s")
        own, server = measure_idle_cpu(args.idle)
        print(f"  supervisor CPU {own * 1000:8.1f} ms   (aim: under 50 ms)")
        print(f"  wineserver CPU {server * 1000:8.1f} ms   (includes the stand-in workers' own calls)")

        print("\nCPU of one check by pool size (supervisor's main thread)")
        print(f"  {'workers':>7} {'checks':>6} {'per check':>10} {'per worker':>11}")
        for size in (int(s) for s in args.sizes.split(",")):
            bursts = measure_check_cost(size)
            per_check = statistics.mean(bursts) if bursts else 0.0
            print(f"  {size:>7} {len(bursts):>6} {per_check * 1000:8.2f}ms "
                  f"{per_check * 1e6 / size:9.0f}us")
    finally:
        harness.end_processes({harness.SUPERVISOR_IMAGE, harness.WORKER_IMAGE})
        harness.shutdown_prefix()
    return 0


if __name__ == "__main__":
    sys.exit(main())
