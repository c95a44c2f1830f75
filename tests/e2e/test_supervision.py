"""The real phpkeeper.exe under Wine keeps its pool at size: every dead worker is started again at
the next check, in its own place, and never a second one beside a live worker."""

import threading
import time
import unittest

from harness import MARGIN, PERIOD, WineTestCase, windows_path, wintool

POOL = 3
COMMAND_LINE = " -b 127.0.0.1:9000"


class PoolSizeSampler(threading.Thread):
    """Counts the supervisor's workers over and over for as long as a test runs."""

    def __init__(self, supervisor):
        super().__init__(daemon=True)
        self.supervisor = supervisor
        self.largest = 0
        self.samples = 0
        self.finished = threading.Event()

    def run(self):
        while not self.finished.is_set():
            self.largest = max(self.largest, len(self.supervisor.workers()))
            self.samples += 1

    def stop(self):
        self.finished.set()
        self.join()


class Supervision(WineTestCase):
    def setUp(self):
        super().setUp()
        self.package.install_program()
        self.versions = self.package.root / "php" / "php-8.3"
        self.package.write_config(
            path=windows_path(self.package.root), phpver="php-8.3", phpnum=str(POOL)
        )

    def start_pool(self):
        self.exe = self.package.install_worker(self.versions)
        supervisor = self.start_supervisor()
        workers = supervisor.wait_for_workers(lambda ids: len(ids) == POOL)
        self.sampler = PoolSizeSampler(supervisor)
        self.sampler.start()
        self.addCleanup(self.check_pool_never_grew)
        return supervisor, workers

    def check_pool_never_grew(self):
        self.sampler.stop()
        self.assertGreater(self.sampler.samples, 5)
        self.assertLessEqual(self.sampler.largest, POOL, "a second worker ran beside a live one")

    def assert_replacement_like(self, new_pid, old_pid):
        new, old = self.package.record_of(new_pid), self.package.record_of(old_pid)
        self.assertEqual(new["exe"], old["exe"])
        self.assertEqual(new["commandline"], COMMAND_LINE)
        self.assertEqual(new["cwd"], old["cwd"])

    def test_killed_worker_is_started_again_within_one_period(self):
        supervisor, workers = self.start_pool()
        victim = workers[1]
        wintool("kill", victim)
        killed_at = time.monotonic()
        after = supervisor.wait_for_workers(
            lambda ids: len(ids) == POOL and victim not in ids, PERIOD + MARGIN
        )
        self.assertLessEqual(time.monotonic() - killed_at, PERIOD + MARGIN)
        (replacement,) = set(after) - set(workers)
        self.assertEqual(set(after) - {replacement}, set(workers) - {victim})
        self.assert_replacement_like(replacement, victim)

    def test_worker_that_exits_by_itself_is_started_again(self):
        supervisor, workers = self.start_pool()
        victim = workers[0]
        self.package.request_exit(self.package.record_of(victim))
        after = supervisor.wait_for_workers(
            lambda ids: len(ids) == POOL and victim not in ids, PERIOD + MARGIN + 1
        )
        (replacement,) = set(after) - set(workers)
        self.assert_replacement_like(replacement, victim)

    def test_every_worker_killed_comes_back_in_the_same_check(self):
        supervisor, workers = self.start_pool()
        wintool("kill", *workers)
        after = supervisor.wait_for_workers(
            lambda ids: len(ids) == POOL and not set(ids) & set(workers),
            PERIOD + MARGIN,
        )
        starts = [self.package.record_of(pid)["started_at"] for pid in after]
        self.assertLess(max(starts) - min(starts), 2.0, "the restarts came in different checks")
        for new, old in zip(after, workers):
            self.assert_replacement_like(new, old)

    def test_workers_appear_once_the_missing_executable_is_put_in_place(self):
        # The flat layout: when nothing is found at start the path stays as configured, which
        # here is where the executable will be. (The nested layout is only recognised when its
        # executable exists at start.)
        versions = self.package.root / "php"
        self.package.write_config(
            path=windows_path(versions) + "\\", phpver="php-8.3", phpnum=str(POOL)
        )
        supervisor = self.start_supervisor()
        wintool("sync", supervisor.pid)
        time.sleep(1)
        self.assertEqual(supervisor.workers(), [])
        # A failed start is tried again at every check, so the pool fills at the first check
        # after the executable appears.
        self.package.install_worker(versions / "php-8.3")
        placed_at = time.monotonic()
        supervisor.wait_for_workers(
            lambda ids: len(ids) == POOL, PERIOD + MARGIN)
        self.assertLessEqual(time.monotonic() - placed_at, PERIOD + MARGIN)
        self.assertEqual({r["commandline"] for r in self.package.records()}, {COMMAND_LINE})

    def test_no_handle_of_a_dead_worker_is_kept(self):
        supervisor, workers = self.start_pool()
        # Wine reports the size of the handle table rather than the number of handles in it;
        # the table only grows, so a leak of one handle per death makes it grow here.
        baseline = int(wintool("handles", supervisor.pid))
        dead = []
        for _ in range(4):
            wintool("kill", *workers)
            # Until the next check the supervisor holds each dead worker, so no newcomer can
            # take its ID.
            self.assertEqual(
                {wintool("open", pid).strip() for pid in workers}, {"exited-but-held php-cgi.exe"}
            )
            dead += workers
            workers = supervisor.wait_for_workers(
            lambda ids: len(ids) == POOL and not set(ids) & set(dead),
                PERIOD + MARGIN,
            )
        # Once replaced, a dead worker is held by nobody. Its ID may already have passed to a
        # newcomer (Wine reuses IDs at once), which the image name tells apart.
        held = [pid for pid in dead if wintool("open", pid).strip() == "exited-but-held php-cgi.exe"]
        self.assertEqual(held, [])
        self.assertLessEqual(int(wintool("handles", supervisor.pid)), baseline)

if __name__ == "__main__":
    unittest.main()
