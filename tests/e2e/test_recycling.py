"""PHP's own recycling: workers that end by themselves after PHP_FCGI_MAX_REQUESTS requests are
started again at once, and the site behind nginx keeps answering."""

import re
import time
import unittest

from harness import WineTestCase, wait_for, windows_path
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


class Recycling(WineTestCase):
    def setUp(self):
        super().setUp()
        self.package.install_program()
        self.package.install_worker(self.package.root / "php" / "php-8.3")
        self.package.write_config(
            path=windows_path(self.package.root), phpver="php-8.3", phpnum=str(POOL)
        )
        self.nginx = Nginx(self.package.root / "nginx")
        self.addCleanup(self.nginx.stop)

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
