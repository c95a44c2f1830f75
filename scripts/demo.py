"""The demo that scripts/demo runs: a sample package under build/demo/, nginx in front of it,
phpkeeper.exe under Wine keeping its pool alive through a kill, and everything ended after."""

import os
import re
import signal
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "mingw"
DEMO = ROOT / "build" / "demo"
os.environ.setdefault("PHPKEEPER_BUILD_DIR", str(BUILD))
os.environ["PHPKEEPER_E2E_ROOT"] = str(DEMO)
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

import harness  # noqa: E402
from webserver import Nginx  # noqa: E402

STARTED = time.monotonic()


def say(step, text):
    print(f"  {step:<9} {text}", flush=True)


def sample_config(package_root):
    """The shipped sample, with "path" pointing at the demo package (no trailing backslash)."""
    sample = (ROOT / "packaging" / "Lanterra.ini.sample").read_text()
    return re.sub(r"(?m)^path=.*$", lambda _: "path=" + harness.windows_path(package_root), sample)


def lay_out_package():
    package = harness.Package(DEMO / "package")
    package.install_program()
    package.install_worker(package.root / "php" / "php-8.3")
    package.write_config(text=sample_config(package.root))
    say("package", f"{package.root.relative_to(ROOT)}/  Lanterra.ini, php\\php-8.3\\php-cgi.exe")
    return package


class PoolView:
    """Prints the pool as it changes: one line per worker that appears or goes."""

    def __init__(self, supervisor, package):
        self.supervisor = supervisor
        self.package = package
        self.slots = {}  # slot -> pid
        print(f"\n  {'':<9} {'slot':<5} {'pid':<6} {'command line':<20} state")

    def command_line(self, pid):
        return self.package.record_of(pid)["commandline"].strip()

    def show(self, slot, pid, state, note=""):
        line = f"  {'pool':<9} {slot:<5} {pid:<6} {self.command_line(pid):<20} {state}"
        print(line + (f"  {note}" if note else ""), flush=True)

    def refresh(self, note=""):
        """Marks gone workers, places new ones in the free slots; returns the new ones."""
        running = self.supervisor.workers()
        for slot, pid in sorted(self.slots.items()):
            if pid is not None and pid not in running:
                self.show(slot, pid, "gone")
                self.slots[slot] = None
        new = [pid for pid in running if pid not in self.slots.values()]
        for pid in new:
            slot = next((s for s, p in sorted(self.slots.items()) if p is None), len(self.slots) + 1)
            self.slots[slot] = pid
            self.show(slot, pid, "alive", note)
        return new


def fetch(nginx):
    status, body = harness.wait_for(
        lambda: (lambda reply: reply[0] == 200 and reply)(nginx.fetch()),
        timeout=10,
        what="a page through nginx",
    )
    served = re.search(r"process (\d+)", body)
    say("fetch", f"GET {nginx.url} -> {status} \"{body.strip()}\"")
    return int(served.group(1))


def run_demo():
    print("phpkeeper demo: a local web-server package whose PHP workers are kept alive\n")
    started = time.monotonic()
    harness.prepare_prefix()
    say("wine", f"prefix ready ({time.monotonic() - started:.1f} s)")
    package = lay_out_package()

    nginx = Nginx(DEMO / "nginx")
    cleanup.append(nginx.stop)
    say("nginx", f"{nginx.url} -> fastcgi_pass 127.0.0.1:9000")

    supervisor = harness.Supervisor(package.program_folder / "phpkeeper.exe")
    cleanup.append(supervisor.end)
    say("start", f"phpkeeper.exe (process {supervisor.pid}), hidden, no arguments")

    pool = PoolView(supervisor, package)
    supervisor.wait_for_workers(lambda ids: len(ids) == 3)
    pool.refresh()
    print()

    answered = fetch(nginx)
    harness.wintool("kill", answered)
    killed_at = time.monotonic()
    say("kill", f"worker {answered}, the one that answered")
    pool.refresh()
    fetch(nginx)
    say("wait", "for the next check (every 10 s)")
    supervisor.wait_for_workers(lambda ids: len(ids) == 3, 15, "the replacement")
    pool.refresh(note=f"replacement after {time.monotonic() - killed_at:.1f} s")
    fetch(nginx)

    result = harness.stop_tool()
    say("stop", f"phpkeeper-stop.exe -> exit code {result.returncode}: {result.out.strip()}")
    supervisor.exit_code()
    still = supervisor_workers_after_stop(pool)
    say("after", f"{len(still)} workers still running without it: {' '.join(map(str, still))}")
    return 0 if result.returncode == 0 and len(still) == 3 else 1


def supervisor_workers_after_stop(pool):
    running = {pid for pid, _, _ in harness.processes()}
    return [pid for pid in pool.slots.values() if pid in running]


cleanup = []


def end_everything():
    for step in reversed(cleanup):
        step()
    ended = harness.end_processes({harness.SUPERVISOR_IMAGE, harness.WORKER_IMAGE})
    left = harness.shutdown_prefix()
    say("cleanup", f"ended {len(ended)} workers, nginx and wineserver"
        + (f"; still running: {left}" if left else ""))
    return not left


def interrupted(signum, frame):
    raise KeyboardInterrupt


def main():
    # Ctrl-C or a kill from outside still ends everything the demo started.
    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGTERM, interrupted)
    status = 1
    try:
        status = run_demo()
    except KeyboardInterrupt:
        print("\n  interrupted")
    except Exception as error:  # the demo says what failed, then still cleans up
        print(f"\n  demo failed: {error}", file=sys.stderr)
    finally:
        if not end_everything():
            status = 1
    print(f"\n{'done' if status == 0 else 'FAILED'} in {time.monotonic() - STARTED:.1f} s")
    return status


if __name__ == "__main__":
    sys.exit(main())
