"""The real phpkeeper.exe under Wine with several PHP versions: one pool per version, each on
its own port, and a restart brings a worker back on its own version's port."""

import time
import unittest

from harness import MARGIN, PERIOD, WineTestCase, wait_for, windows_path, wintool


class SeveralVersions(WineTestCase):
    def setUp(self):
        super().setUp()
        self.package.install_program()
        php = self.package.root / "php"
        self.exes = {
            " -b 127.0.0.1:9000": windows_path(self.package.install_worker(php / "php-7.4")),
            " -b 127.0.0.1:9001": windows_path(self.package.install_worker(php / "php-8.3")),
        }
        self.package.write_config(
            path=windows_path(self.package.root),
            phpver="php-8.3",
            phpnum="2",
            phpvers=" php-7.4 , php-8.3",
        )

    def running_records(self, supervisor):
        alive = set(supervisor.workers())
        return [r for r in self.package.records() if int(r["pid"]) in alive]

    def wait_for_pools(self, supervisor, condition=lambda records: True, timeout=20.0):
        return wait_for(
            lambda: (lambda records: len(records) == 4 and condition(records) and records)(
                self.running_records(supervisor)
            ),
            timeout=timeout,
            what="two pools of two workers",
        )

    def pools(self, records):
        by_command_line = {}
        for record in records:
            by_command_line.setdefault(record["commandline"], set()).add(record["exe"])
        return {line: sorted(exes) for line, exes in by_command_line.items()}

    def test_each_version_runs_its_own_pool_on_its_own_port(self):
        supervisor = self.start_supervisor()
        records = self.wait_for_pools(supervisor)
        self.assertEqual(self.pools(records), {line: [exe] for line, exe in self.exes.items()})
        counts = sorted(
            sum(1 for r in records if r["commandline"] == line) for line in self.exes
        )
        self.assertEqual(counts, [2, 2])

    def test_killed_worker_of_the_second_version_comes_back_on_its_port(self):
        supervisor = self.start_supervisor()
        records = self.wait_for_pools(supervisor)
        victim = next(r for r in records if r["commandline"] == " -b 127.0.0.1:9001")
        wintool("kill", victim["pid"])
        killed_at = time.monotonic()
        after = self.wait_for_pools(
            supervisor,
            lambda records: victim["pid"] not in {r["pid"] for r in records},
            timeout=PERIOD + MARGIN,
        )
        self.assertLessEqual(time.monotonic() - killed_at, PERIOD + MARGIN)
        self.assertEqual(self.pools(after), {line: [exe] for line, exe in self.exes.items()})
        (replacement,) = [r for r in after if r["pid"] not in {r["pid"] for r in records}]
        self.assertEqual(replacement["commandline"], " -b 127.0.0.1:9001")
        self.assertEqual(replacement["exe"], self.exes[" -b 127.0.0.1:9001"])


if __name__ == "__main__":
    unittest.main()
