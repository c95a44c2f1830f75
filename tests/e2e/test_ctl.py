"""phpkeeperctl against the real phpkeeper.exe under Wine: the status it shows, the rolling restart,
stop with and without the workers, and a window that takes garbage without harm."""

import json
import threading
import time
import unittest

from harness import (
    STANDIN,
    WineTestCase,
    ctl,
    processes,
    stop_tool,
    wait_for,
    windows_path,
    wintool,
)
from webserver import Nginx, paced_load

POOL = 3
REQUEST_TAG = "0x504B5251"
NOT_RUNNING = "phpkeeper is not running: no supervisor window was found."
# A worker killed in its first second (exit code 1) counts as a failed start.
SETTLE = 1.2


def slot_rows(table):
    """The slot lines of a status table, cut at the header's columns, as dicts."""
    lines = table.splitlines()
    header = next(i for i, line in enumerate(lines) if line.strip().startswith("SLOT"))
    titles = ["SLOT", "VERSION", "PORT", "PID", "STATE", "UPTIME", "STARTS", "LAST EXIT"]
    starts = [lines[header].index(title) for title in titles]
    rows = []
    for line in lines[header + 1:]:
        if not line.strip():
            break
        cells = [line[a:b].strip() for a, b in zip(starts, starts[1:] + [None])]
        row = dict(zip(titles, cells))
        # The last column runs on into the note: "0x000000FF  failed to start; ...".
        row["LAST EXIT"], _, row["NOTE"] = row["LAST EXIT"].partition("  ")
        row["NOTE"] = row["NOTE"].strip()
        rows.append(row)
    return rows


class Control(WineTestCase):
    def setUp(self):
        super().setUp()
        self.package.install_program()
        self.versions = self.package.root / "php" / "php-8.3"
        self.exe = self.package.install_worker(self.versions)
        self.package.write_config(
            path=windows_path(self.package.root), phpver="php-8.3", phpnum=str(POOL)
        )

    def start_pool(self, size=POOL):
        supervisor = self.start_supervisor()
        workers = supervisor.wait_for_workers(lambda ids: len(ids) == size)
        wintool("sync", supervisor.pid)
        return supervisor, workers

    def status(self, expected_code=0):
        result = ctl("status")
        self.assertEqual(result.returncode, expected_code, result.out + result.err)
        return result.out, slot_rows(result.out)

    def test_status_right_after_start_lists_every_slot_running_with_its_real_worker(self):
        supervisor, workers = self.start_pool()
        table, rows = self.status()
        self.assertEqual(table.splitlines()[0].split(", up ")[0],
                         f"phpkeeper (process {supervisor.pid}) in "
                         f"{windows_path(self.package.root)}")
        self.assertIn(f"  phpnum        {POOL} ({POOL} workers per version)", table)
        self.assertIn(f"  pool          php-8.3 on port 9000: {windows_path(self.exe)}", table)
        self.assertEqual([r["SLOT"] for r in rows], ["1", "2", "3"])
        self.assertEqual(sorted(int(r["PID"]) for r in rows), workers)
        self.assertEqual({(r["STATE"], r["STARTS"], r["PORT"], r["LAST EXIT"]) for r in rows},
                         {("running", "1", "9000", "-")})

    def test_after_a_kill_that_slot_shows_a_second_start_and_a_new_id(self):
        supervisor, workers = self.start_pool()
        time.sleep(SETTLE)
        _, before = self.status()
        victim = int(before[1]["PID"])
        wintool("kill", victim)
        supervisor.wait_for_workers(lambda ids: len(ids) == POOL and victim not in ids)
        _, after = self.status()
        self.assertNotEqual(after[1]["PID"], str(victim))
        self.assertIn(int(after[1]["PID"]), supervisor.workers())
        self.assertEqual((after[1]["STATE"], after[1]["STARTS"], after[1]["LAST EXIT"]),
                         ("running", "2", "0x00000001"))
        self.assertEqual((after[0]["PID"], after[2]["PID"]), (before[0]["PID"], before[2]["PID"]))

    def test_missing_executable_shows_not_started_with_the_path_tried(self):
        folder = self.package.root / "php" / "php-9.9"
        self.package.write_config(path=windows_path(self.package.root / "php") + "\\",
                                  phpver="php-9.9", phpnum="2")
        self.start_supervisor()
        _, rows = self.status(expected_code=3)
        tried = windows_path(folder / "php-cgi.exe")
        self.assertEqual([(r["STATE"], r["PID"], r["STARTS"]) for r in rows],
                         [("not started", "-", "0")] * 2)
        for row in rows:
            self.assertTrue(row["NOTE"].startswith(f"could not start {tried}; next try in "),
                            row["NOTE"])

    def test_worker_that_cannot_start_shows_failing_with_its_exit_code(self):
        (self.versions / "php-cgi.exitcode").write_text("255")
        self.start_supervisor()
        rows = wait_for(lambda: (lambda rows: rows and all(r["STATE"] == "failing" for r in rows)
                                 and rows)(slot_rows(ctl("status").out)),
                        timeout=10, what="every slot failing")
        self.assertEqual({(r["LAST EXIT"], r["STARTS"]) for r in rows}, {("0x000000FF", "1")})
        self.assertTrue(all(r["NOTE"].startswith("failed to start; next try in ") for r in rows))
        self.assertEqual(ctl("status").returncode, 3)

    def test_json_parses_and_matches_the_text(self):
        supervisor, _ = self.start_pool()
        result = ctl("status", "--json")
        self.assertEqual(result.returncode, 0, result.err)
        document = json.loads(result.out)
        _, rows = self.status()
        self.assertTrue(document["healthy"])
        (found,) = document["supervisors"]
        self.assertEqual(found["pid"], supervisor.pid)
        self.assertEqual(found["folder"], windows_path(self.package.root))
        self.assertEqual(found["settings"]["phpnum"], str(POOL))
        self.assertEqual(found["settings"]["workersPerVersion"], POOL)
        self.assertEqual(found["pools"], [{"version": "php-8.3", "port": 9000,
                                           "exe": windows_path(self.exe)}])
        self.assertEqual(
            [(s["slot"], s["pid"], s["state"], s["starts"]) for s in found["slots"]],
            [(int(r["SLOT"]), int(r["PID"]), r["STATE"], int(r["STARTS"])) for r in rows])

    def test_restart_gives_every_slot_a_new_worker_one_slot_at_a_time(self):
        supervisor, workers = self.start_pool()
        time.sleep(SETTLE)
        sampler = self.sample_pool_size(supervisor, POOL)
        result = ctl("restart")
        self.assertEqual(result.returncode, 0, result.out + result.err)
        lines = result.out.splitlines()
        self.assertEqual(len(lines), POOL, result.out)
        new = []
        for slot, line in enumerate(lines, start=1):
            prefix = f"slot {slot} (php-8.3, port 9000): "
            self.assertTrue(line.startswith(prefix), line)
            old_id, new_id = map(int, line[len(prefix):].split(" -> "))
            self.assertIn(old_id, workers)
            new.append(new_id)
        self.assertEqual(sorted(new), supervisor.workers())
        self.assertFalse(set(new) & set(workers))
        self.assertGreaterEqual(sampler.smallest, POOL - 1, "more than one slot was down at once")

    def test_restart_while_workers_recycle_under_load(self):
        # A slot's worker may recycle itself between the tool's look and its request; the
        # restart must neither stop there nor end a worker that already started after it began.
        nginx = Nginx(self.package.root / "nginx")
        self.addCleanup(nginx.stop)
        supervisor = self.start_supervisor(env={"PHP_FCGI_MAX_REQUESTS": "10"})
        supervisor.wait_for_workers(lambda ids: len(ids) == POOL)
        time.sleep(SETTLE)
        failures = []
        load = threading.Thread(target=lambda: failures.extend(
            r for r in paced_load(nginx.port, 40, 5)[1] if not r[3]))
        load.start()
        result = ctl("restart")
        load.join()
        self.assertEqual(result.returncode, 0, result.out + result.err)
        lines = result.out.splitlines()
        self.assertEqual(len(lines), POOL, result.out)
        for slot, line in enumerate(lines, start=1):
            self.assertRegex(line, rf"^slot {slot} \(php-8.3, port 9000\): (\d+ -> \d+|\d+ started "
                                   r"after the restart began; left as it is)$")
        self.assertEqual(failures, [], "a request failed during the restart")

    def test_restart_stops_at_a_slot_whose_new_worker_cannot_start(self):
        # As after a php.ini edit that breaks PHP: the first new worker fails, the rest of the
        # pool keeps serving with the workers it had.
        supervisor, workers = self.start_pool()
        time.sleep(SETTLE)
        _, before = self.status()
        (self.versions / "php-cgi.exitcode").write_text("255")
        result = ctl("restart")
        self.assertEqual(result.returncode, 2, result.out + result.err)
        self.assertEqual(result.out, "")
        self.assertEqual(result.err.strip(),
                         "slot 1 (php-8.3, port 9000) did not come back: failing, last exit "
                         "0x000000FF. The slots after it were left as they were.")
        _, after = self.status(expected_code=3)
        self.assertEqual(after[0]["STATE"], "failing")
        self.assertEqual([r["PID"] for r in after[1:]], [r["PID"] for r in before[1:]])

    def test_restart_of_one_version_leaves_the_others(self):
        self.package.install_worker(self.package.root / "php" / "php-7.4")
        self.package.write_config(path=windows_path(self.package.root), phpver="php-8.3",
                                  phpnum="1", phpvers="php-7.4,php-8.3")
        self.start_pool(size=2)
        time.sleep(SETTLE)
        _, before = self.status()
        result = ctl("restart", "php-8.3")
        self.assertEqual(result.returncode, 0, result.err)
        self.assertTrue(result.out.startswith("slot 2 (php-8.3, port 9001): "), result.out)
        _, after = self.status()
        self.assertEqual(after[0]["PID"], before[0]["PID"])
        self.assertNotEqual(after[1]["PID"], before[1]["PID"])
        result = ctl("restart", "php-5.6")
        self.assertEqual(result.returncode, 2)
        self.assertIn("No slot runs version 'php-5.6'", result.err)

    def test_stop_ends_the_supervisor_and_leaves_its_workers(self):
        supervisor, workers = self.start_pool()
        result = ctl("stop")
        self.assertEqual(result.returncode, 0, result.err)
        self.assertEqual(result.out.strip(),
                         f"Stopped phpkeeper (process {supervisor.pid}); its workers keep running.")
        self.assertEqual(supervisor.exit_code(), 0)
        running = {pid for pid, _, _ in processes()}
        self.assertTrue(set(workers) <= running)

    def test_stop_workers_ends_the_pools_workers_and_no_other_php_cgi(self):
        supervisor, workers = self.start_pool()
        stranger = int(wintool("spawn", windows_path(STANDIN), "-b", "127.0.0.1:9097").split()[0])
        self.addCleanup(wintool, "kill", stranger, check=False)
        result = ctl("stop", "--workers")
        self.assertEqual(result.returncode, 0, result.out + result.err)
        line = result.out.strip()
        prefix = f"Stopped phpkeeper (process {supervisor.pid}) and its {POOL} workers ("
        self.assertTrue(line.startswith(prefix) and line.endswith(")."), line)
        self.assertEqual(sorted(map(int, line[len(prefix):-2].split(", "))), workers)
        self.assertEqual(supervisor.exit_code(), 0)
        running = {pid: name for pid, _, name in processes()}
        self.assertEqual(set(workers) & set(running), set(), "a worker of the pool is left")
        self.assertEqual(running.get(stranger), "php-cgi.exe", "another php-cgi.exe was ended")

    def test_stop_tool_takes_help_and_refuses_what_it_does_not_know(self):
        supervisor, _ = self.start_pool()
        for args, code in ((["/?"], 0), (["--help"], 0), (["/force"], 64)):
            result = stop_tool(*args)
            self.assertEqual(result.returncode, code, args)
            self.assertIn("usage: phpkeeper-stop [--workers]", result.out + result.err)
            self.assertTrue(supervisor.running(), f"phpkeeper-stop {args} stopped the supervisor")
        result = stop_tool()
        self.assertEqual(result.returncode, 0)
        self.assertEqual(supervisor.exit_code(), 0)

    def test_usage_and_no_supervisor(self):
        for args in ([], ["--help"], ["/?"]):
            result = ctl(*args)
            self.assertEqual(result.returncode, 0, args)
            self.assertTrue(result.out.startswith("usage: phpkeeperctl COMMAND"), result.out)
        result = ctl("frobnicate")
        self.assertEqual(result.returncode, 64)
        self.assertEqual(result.out, "")
        self.assertTrue(result.err.startswith("phpkeeperctl: unknown command 'frobnicate'\n"
                                              "usage: phpkeeperctl COMMAND"), result.err)
        for args in (["status"], ["restart"], ["stop"], ["stop", "--workers"]):
            result = ctl(*args)
            self.assertEqual((result.returncode, result.out.strip()), (1, NOT_RUNNING), args)
        result = ctl("status", "--json")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(json.loads(result.out)["supervisors"], [])

    def test_garbage_sent_to_the_window_leaves_the_pool_as_it_was(self):
        supervisor, workers = self.start_pool()
        _, before = self.status()
        sends = [
            # (tag, payload, reply to): what comes back
            ("0x1234", "text:phpkeeper 1 status", "probe", "sent=1 result=0 replies=0"),
            (REQUEST_TAG, "bytes:4096:ff", "probe", "sent=1 result=0 replies=0"),
            (REQUEST_TAG, "bytes:200:ff", "probe", "reply: phpkeeper 1 error not a phpkeeper "
                                                    "request"),
            (REQUEST_TAG, "empty", "probe", "reply: phpkeeper 1 error not a phpkeeper request"),
            (REQUEST_TAG, "text:phpkeeper 1 end-worker 99 1", "probe",
             "reply: phpkeeper 1 error there is no slot 99; this supervisor has 3"),
            (REQUEST_TAG, f"text:phpkeeper 1 end-worker 1 {int(before[0]['PID']) + 1}", "probe",
             "reply: phpkeeper 1 error slot 1 runs process"),
            (REQUEST_TAG, "text:phpkeeper 1 end-worker 1 1 1", "probe",
             "reply: phpkeeper 1 error 'end-worker' takes a slot number"),
            (REQUEST_TAG, "text:phpkeeper 7 stop", "probe",
             "reply: phpkeeper 1 error request version '7' is not spoken here"),
            # Asked to answer itself, or nobody, or a window that is not there: no answer.
            (REQUEST_TAG, "text:phpkeeper 1 status", "target", "sent=1 result=1 replies=0"),
            (REQUEST_TAG, "text:phpkeeper 1 status", "none", "sent=1 result=1 replies=0"),
            (REQUEST_TAG, "text:phpkeeper 1 status", "bogus", "sent=1 result=1 replies=0"),
        ]
        for tag, payload, reply_to, expected in sends:
            out = wintool("copydata", supervisor.pid, tag, payload, reply_to)
            self.assertIn(expected, out, f"{tag} {payload[:40]} -> {reply_to}")
        self.assertTrue(supervisor.running())
        _, after = self.status()
        without_uptime = lambda rows: [{k: v for k, v in r.items() if k != "UPTIME"} for r in rows]
        self.assertEqual(without_uptime(after), without_uptime(before))
        self.assertEqual(supervisor.workers(), workers)


class GbkFolder(WineTestCase):
    """A package whose folder name has GBK characters, one with a backslash trail byte."""

    lang = "zh_CN.UTF-8"  # Wine's ANSI code page is then 936, GBK
    encoding = "gbk"

    def test_status_shows_the_folder_as_it_is_named(self):
        folder = self.package.root / "包乗"
        self.package.install_program(folder)
        worker = self.package.install_worker(folder / "php" / "php-8.3")
        self.package.write_config(path=windows_path(folder), phpver="php-8.3", phpnum="1")
        supervisor = self.start_supervisor()
        supervisor.wait_for_workers(lambda ids: len(ids) == 1)
        result = ctl("status", "--json", lang=self.lang)
        self.assertEqual(result.returncode, 0, result.err)
        # Written as UTF-8 whatever the console's code page; the harness reads bytes as latin-1.
        document = json.loads(result.out.encode("latin-1").decode("utf-8"))
        (found,) = document["supervisors"]
        self.assertEqual(found["folder"], windows_path(folder))
        self.assertEqual(found["slots"][0]["exe"], windows_path(worker))
        table = ctl("status", lang=self.lang).out.encode("latin-1").decode("utf-8")
        self.assertIn(f"  pool          php-8.3 on port 9000: {windows_path(worker)}\n", table)


if __name__ == "__main__":
    unittest.main()
