"""Pages served through nginx by the pool: before and after the worker that answered dies, and
while the workers recycle themselves after PHP_FCGI_MAX_REQUESTS requests, as PHP does."""

import re
import time
import unittest

from harness import MARGIN, PERIOD, WineTestCase, wait_for, windows_path, wintool
from webserver import Nginx

POOL = 3
MAX_REQUESTS = 5
PAGES = 60
# A site under load, not a loop that asks again the moment an answer fails: a worker that
# recycles lives for MAX_REQUESTS * PACE as the listener.
PACE = 0.02
AT_ONCE = 1.0


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

    def test_recycling_workers_keep_pages_coming_through_nginx(self):
        # Workers inherit the supervisor's environment, as php-cgi.exe reads the limit there.
        supervisor = self.start_supervisor(env={"PHP_FCGI_MAX_REQUESTS": str(MAX_REQUESTS)})
        supervisor.wait_for_workers(lambda ids: len(ids) == POOL)
        self.sample_pool_size(supervisor, POOL)
        wait_for(lambda: self.nginx.fetch()[0] == 200, timeout=10, what="the first page")

        replies = []
        begin = time.monotonic()
        for page in range(PAGES):
            time.sleep(max(0.0, begin + page * PACE - time.monotonic()))
            replies.append(self.nginx.fetch())
        self.assertEqual([status for status, _ in replies], [200] * PAGES,
                         "a page failed while the workers recycled")
        # The first pool alone could have served only POOL * MAX_REQUESTS of them.
        answered_by = {answering_worker(body) for _, body in replies}
        self.assertGreaterEqual(len(answered_by), PAGES // MAX_REQUESTS)

        ends = self.package.ends()
        self.assertGreaterEqual(len(ends), PAGES // MAX_REQUESTS - 1)
        self.assertEqual({code for _, code in ends}, {0}, "a recycling worker exits with 0")
        unanswered = lambda: [
            ended for ended, _ in ends
            if not any(ended < float(r["entered"]) <= ended + AT_ONCE
                       for r in self.package.records())
        ]
        # The last ends are a moment old; their replacements may still be on their way.
        wait_for(lambda: not unanswered() or time.time() > ends[-1][0] + AT_ONCE + 0.5,
                 timeout=AT_ONCE + 2, what="the last replacements")
        self.assertEqual(unanswered(), [], f"ends with no start within {AT_ONCE} s after them")
        supervisor.wait_for_workers(lambda ids: len(ids) == POOL, timeout=AT_ONCE + 1)


if __name__ == "__main__":
    unittest.main()
