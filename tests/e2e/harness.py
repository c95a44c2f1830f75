"""Runs the real phpkeeper.exe under Wine for the end-to-end tests.

One Wine prefix under the build tree serves the whole suite. Each test lays out its own
package folder, starts the supervisor in it and, on the way out, ends every Windows process it
started, so nothing of a test outlives it. `python3 harness.py prepare|shutdown` makes the prefix
before the suite and ends its wineserver after it; `python3 harness.py wine PROGRAM [ARGS...]`
runs a program by hand in that prefix.
"""

import contextlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

BUILD = Path(os.environ.get("PHPKEEPER_BUILD_DIR", Path(__file__).resolve().parents[2] / "build/mingw"))
# The demo keeps its own prefix and package folders apart from the tests'.
E2E_ROOT = Path(os.environ.get("PHPKEEPER_E2E_ROOT", BUILD / "e2e"))
PREFIX = E2E_ROOT / "prefix"
WORK = E2E_ROOT / "work"
PHPKEEPER = BUILD / "phpkeeper.exe"
STOP_TOOL = BUILD / "phpkeeper-stop.exe"
CTL = BUILD / "phpkeeperctl.exe"
STANDIN = BUILD / "fixtures" / "php-cgi.exe"
WINTOOL = BUILD / "fixtures" / "wintool.exe"

PERIOD = 10.0  # the supervisor's check period, in seconds
# How late a restart may come after a tick was due: Wine's start-up of a new process and our
# polling of the process list both fall in it.
MARGIN = 3.0
CLASS_NAME = "phpkeeper.MainWindow"
WORKER_IMAGE = "php-cgi.exe"
SUPERVISOR_IMAGE = "phpkeeper.exe"


def wine_env(lang="C.UTF-8", extra=None):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(extra or {})
    env.update(
        WINEPREFIX=str(PREFIX),
        WINEDEBUG="-all",
        # No Mono or Gecko installer on a fresh prefix: nothing here needs them.
        WINEDLLOVERRIDES="mscoree,mshtml=",
        LANG=lang,
        LC_ALL=lang,
    )
    return env


def run(args, timeout=60, lang="C.UTF-8", check=True, cwd="/"):
    # Output goes to files, not pipes: the first Wine program to start also starts wineserver
    # and Wine's services, which inherit its descriptors and would hold a pipe open for good.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        result = subprocess.run(
            [str(a) for a in args], cwd=cwd, env=wine_env(lang), stdout=out, stderr=err,
            stdin=subprocess.DEVNULL, timeout=timeout,
        )
        out.seek(0)
        err.seek(0)
        result.out = out.read().decode("latin-1").replace("\r", "")
        result.err = err.read().decode("latin-1").replace("\r", "")
    if check and result.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, args))} exited {result.returncode}: {result.err}")
    return result


def wine(*args, **kwargs):
    return run(["wine", *args], **kwargs)


def wintool(*args, **kwargs):
    return wine(WINTOOL, *args, **kwargs).out


def prepare_prefix():
    marker = PREFIX / ".phpkeeper-ready"
    if marker.exists():
        return
    shutil.rmtree(PREFIX, ignore_errors=True)
    PREFIX.parent.mkdir(parents=True, exist_ok=True)
    run(["wine", "wineboot", "-i"], timeout=300, check=False)
    # With no display every window creation fails until the prefix uses the null driver; the
    # wineserver must restart to read it.
    run(["wine", "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f"])
    shutdown_prefix()
    marker.write_text("ready\n")


def prefix_unix_processes():
    """Unix processes that run in our prefix (wineserver, services, leftovers of a test)."""
    found = []
    needle = f"WINEPREFIX={PREFIX}".encode()
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit() or int(entry.name) == os.getpid():
            continue
        try:
            environ = (entry / "environ").read_bytes().split(b"\0")
        except OSError:
            continue
        if needle in environ:
            found.append(int(entry.name))
    return found


def shutdown_prefix():
    run(["wineserver", "-k"], check=False, timeout=60)
    deadline = time.monotonic() + 10
    while prefix_unix_processes() and time.monotonic() < deadline:
        time.sleep(0.2)
    for pid in prefix_unix_processes():
        with contextlib.suppress(OSError):
            os.kill(pid, signal.SIGKILL)
    return prefix_unix_processes()


def windows_path(path):
    """The Windows name of a Unix path, through Wine's Z: drive."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def processes():
    """The Windows process list: (pid, parent pid, image name) per process."""
    listed = []
    for line in wintool("ps").splitlines():
        pid, parent, name = line.split(" ", 2)
        listed.append((int(pid), int(parent), name))
    return listed


def windows(query):
    """Top-level windows of a class, or of a process with "pid=N": the probe's fields of each."""
    return [
        dict(f.split("=", 1) for f in line.split(" ") if "=" in f)
        for line in wintool("windows", query).splitlines()
    ]


def supervisor_windows():
    """The windows of our class, by the process ID that owns them."""
    return {int(fields["pid"]): fields for fields in windows(CLASS_NAME)}


def wait_for(predicate, timeout, interval=0.2, what="the condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout:.1f} s waiting for {what}")
        time.sleep(interval)


def end_processes(image_names):
    ids = [pid for pid, _, name in processes() if name.lower() in image_names]
    if ids:
        wintool("kill", *ids, check=False)
    return ids


def read_record(path, encoding="cp1252"):
    record = {}
    for line in path.read_bytes().decode(encoding).splitlines():
        key, _, value = line.partition("=")
        record[key] = value
    record["folder"] = path.parent
    return record


class Package:
    """A package folder of a test's own: Lanterra.ini, phpkeeper.exe and stand-in workers."""

    def __init__(self, root, encoding="cp1252"):
        self.root = Path(root)
        self.encoding = encoding
        shutil.rmtree(self.root, ignore_errors=True)
        self.root.mkdir(parents=True)
        self.program_folder = self.root

    def install_program(self, folder=None, name="phpkeeper.exe"):
        self.program_folder = self.root if folder is None else Path(folder)
        self.program_folder.mkdir(parents=True, exist_ok=True)
        shutil.copy(PHPKEEPER, self.program_folder / name)
        return self.program_folder / name

    def install_worker(self, folder):
        folder = Path(folder)
        folder.mkdir(parents=True, exist_ok=True)
        shutil.copy(STANDIN, folder / WORKER_IMAGE)
        return folder / WORKER_IMAGE

    def write_config(self, path=None, phpver=None, phpnum=None, phpvers=None, text=None):
        if text is None:
            lines = ["[Lanterra]"]
            if path is not None:
                lines.append(f"path={path}")
            lines.append("[phpFind]")
            for key, value in (("phpver", phpver), ("phpnum", phpnum), ("phpvers", phpvers)):
                if value is not None:
                    lines.append(f"{key}={value}")
            text = "\r\n".join(lines) + "\r\n"
        (self.program_folder / "Lanterra.ini").write_bytes(text.encode(self.encoding))

    def records(self):
        """What every stand-in started from this package wrote down, oldest first."""
        found = [read_record(p, self.encoding) for p in self.root.rglob("php-cgi-*.started")]
        return sorted(found, key=lambda r: float(r["entered"]))

    def ends(self):
        """(time, exit code) of every end that a stand-in made itself, oldest first."""
        found = []
        for path in self.root.rglob("php-cgi-*.ended"):
            record = read_record(path, self.encoding)
            found.append((float(record["ended"]), int(record["code"])))
        return sorted(found)

    def live_records(self, supervisor):
        """The records of the supervisor's running workers; Wine reuses IDs, so the newest record
        of each ID is the running worker's."""
        alive = set(supervisor.workers())
        newest = {int(r["pid"]): r for r in self.records()}
        return [newest[pid] for pid in sorted(alive) if pid in newest]

    def wait_for_records(self, count, timeout=20.0):
        """The records, once at least `count` workers have written theirs."""
        return wait_for(
            lambda: (lambda records: len(records) >= count and records)(self.records()),
            timeout=timeout,
            what=f"{count} workers to write down their start",
        )

    def request_exit(self, record):
        (record["folder"] / f"php-cgi-{record['pid']}.exit").write_text("")


class Supervisor:
    """One phpkeeper.exe started under Wine, with no arguments, from an unrelated folder."""

    def __init__(self, exe, lang="C.UTF-8", windows_name=None, env=None):
        before = set(supervisor_windows())
        self.started_at = time.time()
        self.process = subprocess.Popen(
            ["wine", windows_name or str(exe)],
            cwd="/",
            env=wine_env(lang, env),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        # Known by its window rather than its image name, which a user may have changed.
        self.pid = wait_for(
            lambda: next((pid for pid in supervisor_windows() if pid not in before), None),
            timeout=20,
            what="the supervisor's window to appear",
        )

    def window(self):
        """Its main window, as the probe tool sees it."""
        return supervisor_windows().get(self.pid)

    def workers(self):
        """Running workers it started: their Windows process IDs."""
        return sorted(
            pid for pid, parent, name in processes() if parent == self.pid and name == WORKER_IMAGE
        )

    def wait_for_workers(self, condition, timeout=20.0, what="the expected workers"):
        """Its running workers, once `condition` holds for them."""
        return wait_for(
            lambda: (lambda ids: condition(ids) and ids)(self.workers()),
            timeout=timeout,
            what=what,
        )

    def running(self):
        return self.process.poll() is None

    def exit_code(self, timeout=15):
        return self.process.wait(timeout=timeout)

    def end(self):
        if self.running():
            wintool("kill", self.pid, check=False)
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(timeout=10)
        if self.running():
            self.process.kill()
            self.process.wait()


class PoolSizeSampler(threading.Thread):
    """Counts a supervisor's running workers over and over, for as long as a test runs."""

    def __init__(self, supervisor):
        super().__init__(daemon=True)
        self.supervisor = supervisor
        self.largest = 0
        self.smallest = None
        self.samples = 0
        self.finished = threading.Event()

    def run(self):
        while not self.finished.is_set():
            count = len(self.supervisor.workers())
            self.largest = max(self.largest, count)
            self.smallest = count if self.smallest is None else min(self.smallest, count)
            self.samples += 1

    def stop(self):
        self.finished.set()
        self.join()


def stop_tool(*args):
    return wine(STOP_TOOL, *args, check=False, timeout=60)


def ctl(*args, lang="C.UTF-8"):
    """phpkeeperctl with these arguments: its exit code, standard output and error."""
    return wine(CTL, *args, check=False, timeout=90, lang=lang)


class WineTestCase(unittest.TestCase):
    """A test with a package folder of its own and a guarantee that it leaves nothing running."""

    lang = "C.UTF-8"
    encoding = "cp1252"

    def setUp(self):
        prepare_prefix()
        self.supervisors = []
        self.addCleanup(self.end_everything)
        self.package = Package(WORK / self.id().split(".", 1)[-1], self.encoding)

    def start_supervisor(self, exe=None, **kwargs):
        exe = exe or self.package.program_folder / "phpkeeper.exe"
        supervisor = Supervisor(exe, lang=self.lang, **kwargs)
        self.supervisors.append(supervisor)
        return supervisor

    def sample_pool_size(self, supervisor, size):
        """Counts the pool until the test ends, then fails it if the pool ever grew past `size`:
        a second worker started beside a live one."""
        sampler = PoolSizeSampler(supervisor)
        sampler.start()

        def check():
            sampler.stop()
            self.assertGreater(sampler.samples, 3)
            self.assertLessEqual(sampler.largest, size, "a second worker ran beside a live one")

        self.addCleanup(check)
        return sampler

    def end_everything(self):
        for supervisor in self.supervisors:
            supervisor.end()
        end_processes({SUPERVISOR_IMAGE, WORKER_IMAGE})
        left = [p for p in processes() if p[2].lower() in (SUPERVISOR_IMAGE, WORKER_IMAGE)]
        self.assertEqual(left, [], "processes the test started are still running")


def main():
    command = sys.argv[1] if len(sys.argv) > 1 else ""
    if command == "prepare":
        started = time.monotonic()
        prepare_prefix()
        print(f"wine prefix ready at {PREFIX} ({time.monotonic() - started:.1f} s)")
        return 0
    if command == "shutdown":
        left = shutdown_prefix()
        if left:
            print(f"wine processes still running after wineserver -k: {left}", file=sys.stderr)
            return 1
        print("wineserver ended; no Wine process of the suite is left")
        return 0
    if command == "wine" and len(sys.argv) > 2:
        prepare_prefix()
        # Started from the caller's folder, so that relative paths to the programs work.
        os.execvpe("wine", ["wine", *sys.argv[2:]], wine_env())
    print("usage: harness.py prepare | shutdown | wine PROGRAM [ARGS...]", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
