"""The demo that scripts/demo runs: a sample package under build/demo/, nginx in front of it,
phpkeeper.exe under Wine keeping its pool alive while the workers recycle under load and one is
killed, phpkeeperctl showing the pool and restarting it one worker at a time, and everything
ended after."""

import os
import re
import signal
import statistics
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "mingw"
DEMO = ROOT / "build" / "demo"
os.environ.setdefault("PHPKEEPER_BUILD_DIR", str(BUILD))
os.environ["PHPKEEPER_E2E_ROOT"] = str(DEMO)
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

import harness  # noqa: E402
from webserver import Nginx, paced_load  # noqa: E402

STARTED = time.monotonic()
# Real PHP recycles a worker every 500 requests; fewer here, so that the demo shows it happen.
MAX_REQUESTS = 25
RATE = 100  # requests per second through nginx


def say(step, text):
    print(f"  {step:<9} {text}", flush=True)


def show_ctl(*args):
    """Runs phpkeeperctl as a user would and prints what it printed."""
    result = harness.ctl(*args)
    print(f"\n  $ phpkeeperctl {' '.join(args)}    (exit code {result.returncode})")
    for line in (result.out + result.err).rstrip("\n").splitlines():
        print(f"    {line}")
    print(flush=True)
    return result


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
    say("", "php-cgi.exe here is the tests' stand-in, not a real PHP: it answers every request "
        "with a line naming its process")
    return package


def fetch(nginx):
    status, body = harness.wait_for(
        lambda: (lambda reply: reply[0] == 200 and reply)(nginx.fetch()),
        timeout=10,
        what="a page through nginx",
    )
    say("fetch", f"GET {nginx.url} -> {status} \"{body.strip()}\"")
    return int(re.search(r"process (\d+)", body).group(1))


def restart_times(package, since):
    """For every worker that recycled itself after `since`, the time until the next start."""
    starts = sorted(float(r["entered"]) for r in package.records())
    times = []
    for ended, _ in package.ends():
        following = [s for s in starts if s > ended]
        if ended > since and following:
            times.append(following[0] - ended)
    return times


def load_phase(nginx, package, seconds=6):
    since = time.time()
    _, results = paced_load(nginx.port, RATE, seconds)
    failed = sum(1 for result in results if not result[3])
    times = restart_times(package, since)
    say("load", f"{len(results)} requests at {RATE}/s through nginx: {len(results) - failed} "
        f"answered, {failed} failed")
    if times:
        say("", f"{len(times)} workers recycled themselves (exit code 0) after "
            f"{MAX_REQUESTS} requests each and were started again "
            f"{statistics.median(times) * 1000:.0f} ms after their end (median), "
            f"{max(times) * 1000:.0f} ms at most")
    return failed


def kill_phase(supervisor, nginx, package):
    # A worker ended within a second of its start counts as one that cannot start; let the
    # pool settle after the load so that the kill is an ordinary one.
    time.sleep(1.5)
    answered = fetch(nginx)
    died_at = float(harness.wintool("kill", answered).split()[2])
    replacement = harness.wait_for(
        lambda: next((r for r in package.live_records(supervisor)
                      if float(r["entered"]) > died_at), None),
        timeout=5,
        what="the replacement",
    )
    say("kill", f"worker {answered}, the one that answered: replaced by {replacement['pid']} "
        f"{(float(replacement['entered']) - died_at) * 1000:.0f} ms after its death")
    fetch(nginx)


def restart_under_load(nginx, rate=10, seconds=6):
    failures = []
    load = threading.Thread(
        target=lambda: failures.extend(r for r in paced_load(nginx.port, rate, seconds)[1]
                                       if not r[3]),
        daemon=True,
    )
    load.start()
    time.sleep(0.5)
    say("restart", f"phpkeeperctl restart, as after a php.ini edit, with {rate} requests/s going "
        "on; a slot whose worker recycled itself meanwhile already runs on the new php.ini")
    result = show_ctl("restart")
    load.join()
    say("", f"{rate * seconds} requests during the restart, {len(failures)} failed")
    return result.returncode == 0 and not failures


def run_demo():
    print("phpkeeper demo: a local web-server package whose PHP workers are kept alive\n")
    started = time.monotonic()
    harness.prepare_prefix()
    say("wine", f"prefix ready ({time.monotonic() - started:.1f} s)")
    package = lay_out_package()

    nginx = Nginx(DEMO / "nginx")
    cleanup.append(nginx.stop)
    say("nginx", f"{nginx.url} -> fastcgi_pass 127.0.0.1:9000")

    supervisor = harness.Supervisor(package.program_folder / "phpkeeper.exe",
                                    env={"PHP_FCGI_MAX_REQUESTS": str(MAX_REQUESTS)})
    cleanup.append(supervisor.end)
    say("start", f"phpkeeper.exe (process {supervisor.pid}), hidden, no arguments; its workers "
        f"inherit PHP_FCGI_MAX_REQUESTS={MAX_REQUESTS}")
    supervisor.wait_for_workers(lambda ids: len(ids) == 3)
    show_ctl("status")

    fetch(nginx)
    failed = load_phase(nginx, package)
    kill_phase(supervisor, nginx, package)
    show_ctl("status")
    restarted = restart_under_load(nginx)

    result = show_ctl("stop", "--workers")
    left = [pid for pid, _, name in harness.processes() if name == harness.WORKER_IMAGE]
    say("after", f"phpkeeper and its workers ended; php-cgi.exe processes left: {len(left)}")
    return 0 if failed == 0 and restarted and result.returncode == 0 and not left else 1


cleanup = []


def end_everything():
    for step in reversed(cleanup):
        step()
    ended = harness.end_processes({harness.SUPERVISOR_IMAGE, harness.WORKER_IMAGE})
    left = harness.shutdown_prefix()
    say("cleanup", f"ended {len(ended)} leftover processes, nginx and wineserver"
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
