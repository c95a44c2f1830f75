"""A page served through nginx by the pool, before and after the worker that answered dies."""

import re
import unittest

from harness import MARGIN, PERIOD, WineTestCase, wait_for, windows_path, wintool
from webserver import Nginx

POOL = 3


def answering_worker(body):
    found = re.search(r"php-cgi stand-in, process (\d+), port 9000", body)
    return int(found.group(1)) if found else None


class ThroughNginx(WineTestCase):
    def setUp(self):
        super().setUp()
        self.package.install_program()
        self.package.install_worker(self.package.root / "php" / "php-8.3")
        self.package.write_config(
            path=windows_path(self.package.root), phpver="php-8.3", phpnum=str(POOL)
        )
        self.nginx = Nginx(self.package.root / "nginx")
        self.addCleanup(self.nginx.stop)

    def served_by(self):
        """The worker that answered a GET through nginx, once one answers."""
        return wait_for(
            lambda: (lambda reply: reply[0] == 200 and answering_worker(reply[1]))(
                self.nginx.fetch()
            ),
            timeout=10,
            what="a page through nginx",
        )

    def test_page_is_served_before_and_after_the_answering_worker_dies(self):
        supervisor = self.start_supervisor()
        workers = supervisor.wait_for_workers(lambda ids: len(ids) == POOL)
        first = self.served_by()
        self.assertIn(first, workers)

        wintool("kill", first)
        # One of the waiting workers sees the listener die and takes the port over.
        second = self.served_by()
        self.assertNotEqual(second, first)
        self.assertIn(second, workers)

        replaced = supervisor.wait_for_workers(
            lambda ids: len(ids) == POOL and first not in ids, PERIOD + MARGIN, "the replacement"
        )
        self.assertIn(self.served_by(), replaced)


if __name__ == "__main__":
    unittest.main()
