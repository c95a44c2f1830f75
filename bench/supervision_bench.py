#!/usr/bin/env python3
"""Measures phpkeeper.exe under Wine and prints a table. Run by hand after a mingw build:

    python3 bench/supervision_bench.py [--kills 10] [--idle 60] [--sizes 1,8,32,64]

1. Restart latency: a worker is killed at a random moment of the check period, over and over;
   the time from its death (its exit time, as Windows records it) to the moment its replacement
   starts running its own code.
2. Idle cost: the supervisor's CPU time over a stretch of idle supervision of 3 workers.
3. Cost of one check for several pool sizes: the CPU time of each burst of work the supervisor
   does (one burst per check), averaged.

CPU times are read from Linux: a Wine process is a Unix process, and the work of a process
snapshot is split between it and wineserver, so both are shown.
"""

import argparse
import random
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))

import harness  # noqa: E402
from harness import PERIOD, Package, Supervisor, windows_path, wintool  # noqa: E402


def cpu_seconds(unix_pid):
    """CPU time of every thread of a Unix process, in seconds, at nanosecond resolution."""
    total = 0
    for task in Path(f"/proc/{unix_pid}/task").iterdir():
        try:
            total += int((task / "schedstat").read_text().split()[0])
        except (OSError, ValueError):
            continue
    return total / 1e9


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


def measure_restart_latency(kills):
    pool = Pool("latency", 3)
    latencies = []
    try:
        for _ in range(kills):
            time.sleep(random.uniform(0, PERIOD))
            workers = pool.supervisor.workers()
            victim = random.choice(workers)
            died_at = float(wintool("kill", victim).split()[2])
            after = pool.supervisor.wait_for_workers(
                lambda ids: len(ids) == 3 and victim not in ids, PERIOD + 5, "the replacement"
            )
            (replacement,) = set(after) - set(workers)
            latencies.append(float(pool.package.record_of(replacement)["entered"]) - died_at)
    finally:
        pool.close()
    return latencies


def measure_idle_cpu(seconds):
    pool = Pool("idle", 3)
    try:
        server = wineserver_pid()
        time.sleep(1)
        own0, server0 = cpu_seconds(pool.supervisor.process.pid), cpu_seconds(server)
        time.sleep(seconds)
        own1, server1 = cpu_seconds(pool.supervisor.process.pid), cpu_seconds(server)
    finally:
        pool.close()
    return own1 - own0, server1 - server0


def measure_check_cost(size, periods=3):
    """CPU per check: sampled every 50 ms, each burst of CPU use is one check."""
    pool = Pool(f"size-{size}", size)
    bursts = []
    try:
        unix_pid = pool.supervisor.process.pid
        deadline = time.monotonic() + periods * PERIOD + 1
        last = cpu_seconds(unix_pid)
        burst, quiet_since = 0.0, time.monotonic()
        while time.monotonic() < deadline:
            time.sleep(0.05)
            now_cpu = cpu_seconds(unix_pid)
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
    parser.add_argument("--kills", type=int, default=10)
    parser.add_argument("--idle", type=float, default=60.0)
    parser.add_argument("--sizes", default="1,8,32,64")
    args = parser.parse_args()
    if not harness.PHPKEEPER.exists():
        print(f"bench: {harness.PHPKEEPER} is missing; build first: "
              "cmake --preset mingw && cmake --build --preset mingw", file=sys.stderr)
        return 1

    harness.prepare_prefix()
    try:
        print(f"restart latency over {args.kills} kills at random moments (period {PERIOD:.0f} s)")
        latencies = measure_restart_latency(args.kills)
        print(f"  {'min':>8} {'median':>8} {'max':>8}   bar: max <= {PERIOD + 0.1:.1f} s")
        print(f"  {min(latencies):7.3f}s {statistics.median(latencies):7.3f}s "
              f"{max(latencies):7.3f}s   {'ok' if max(latencies) <= PERIOD + 0.1 else 'OVER'}")

        print(f"\nidle supervision of 3 workers for {args.idle:.0f} s")
        own, server = measure_idle_cpu(args.idle)
        print(f"  supervisor CPU {own * 1000:8.1f} ms   (aim: under 50 ms)")
        print(f"  wineserver CPU {server * 1000:8.1f} ms   (includes the stand-in workers' own calls)")

        print("\nCPU of one check by pool size (supervisor process)")
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
