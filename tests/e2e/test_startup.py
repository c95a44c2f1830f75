"""The real phpkeeper.exe under Wine: the first launch, the hidden window and the ways it ends."""

import os
import time
import unittest

from harness import (
    CLASS_NAME,
    PREFIX,
    WineTestCase,
    processes,
    stop_tool,
    wait_for,
    windows,
    windows_path,
    wintool,
)

COMMAND_LINE = " -b 127.0.0.1:9000"
SYSTEM_DIRECTORY = r"c:\windows\system32"
WS_VISIBLE = 0x10000000
WS_CAPTION = 0x00C00000
WS_SYSMENU = 0x00080000
WS_THICKFRAME = 0x00040000
WS_MINIMIZEBOX = 0x00020000
WS_MAXIMIZEBOX = 0x00010000


class FirstLaunch(WineTestCase):
    def nested_package(self, workers="3", version="php-8.3"):
        """The package root without a trailing backslash, its versions under php\\."""
        self.package.install_program()
        worker = self.package.install_worker(self.package.root / "php" / version)
        self.package.write_config(
            path=windows_path(self.package.root), phpver=version, phpnum=workers
        )
        return windows_path(worker)

    def wait_until_supervising(self, supervisor):
        """Until its message loop runs: every first start has been made by then."""
        wintool("sync", supervisor.pid)

    def test_configured_count_starts_hidden_with_the_exact_command_line(self):
        exe = self.nested_package(workers="3")
        supervisor = self.start_supervisor()
        self.wait_until_supervising(supervisor)
        records = self.package.wait_for_records(3)

        self.assertEqual(len(records), 3)
        for record in records:
            self.assertEqual(record["exe"], exe)
            self.assertEqual(record["commandline"], COMMAND_LINE)
            self.assertEqual(record["cwd"].lower(), SYSTEM_DIRECTORY)
            self.assertEqual(int(record["parent"]), supervisor.pid)
            self.assertEqual(record["flags"], "0x101")  # show-window and std-handles flags
            self.assertEqual(record["show"], "0")  # SW_HIDE
            for stream in ("stdin", "stdout", "stderr"):
                self.assertEqual(int(record[stream], 16), 0, f"{stream} handle")
        self.assertEqual(sorted(int(r["pid"]) for r in records), supervisor.workers())
        self.assertTrue(supervisor.running())

    def test_flat_layout_with_trailing_backslash(self):
        self.package.install_program()
        versions = self.package.root / "php"
        worker = self.package.install_worker(versions / "php-7.4")
        self.package.write_config(path=windows_path(versions) + "\\", phpver="php-7.4", phpnum="2")
        supervisor = self.start_supervisor()
        self.wait_until_supervising(supervisor)
        records = self.package.wait_for_records(2)
        self.assertEqual([r["exe"] for r in records], [windows_path(worker)] * 2)

    def test_relative_path_resolves_against_the_programs_folder(self):
        # Started from "/", so only the program's own folder can make "." mean the package.
        self.package.install_program()
        worker = self.package.install_worker(self.package.root / "php" / "php-8.3")
        self.package.write_config(path=".", phpver="php-8.3", phpnum="1")
        supervisor = self.start_supervisor()
        self.wait_until_supervising(supervisor)
        (record,) = self.package.wait_for_records(1)
        self.assertEqual(record["exe"].lower(), windows_path(worker).lower())
        self.assertEqual(record["cwd"].lower(), SYSTEM_DIRECTORY)

    def test_phpnum_zero_starts_nothing(self):
        self.nested_package(workers="0")
        supervisor = self.start_supervisor()
        self.wait_until_supervising(supervisor)
        time.sleep(1)
        self.assertEqual(self.package.records(), [])
        self.assertEqual(supervisor.workers(), [])
        self.assertTrue(supervisor.running())

    def test_without_a_configuration_file_three_starts_are_tried_at_the_drive_root(self):
        # Drive D: is the package folder, so the test owns the root that the defaults probe.
        drive = PREFIX / "dosdevices" / "d:"
        if drive.is_symlink():
            drive.unlink()
        os.symlink(self.package.root, drive)
        self.addCleanup(drive.unlink)
        self.package.install_program()
        self.package.install_worker(self.package.root)
        self.assertFalse((self.package.root / "Lanterra.ini").exists())

        supervisor = self.start_supervisor(windows_name="D:\\phpkeeper.exe")
        self.wait_until_supervising(supervisor)
        records = self.package.wait_for_records(3)
        self.assertEqual([r["exe"] for r in records], ["D:\\php-cgi.exe"] * 3)
        self.assertEqual({r["commandline"] for r in records}, {COMMAND_LINE})
        self.assertTrue(supervisor.running())


class GbkFolder(WineTestCase):
    """The program under a name with 乗, GBK 0x81 0x5C, whose trail byte is a backslash byte."""

    lang = "zh_CN.UTF-8"  # Wine's ANSI code page is then 936, GBK
    encoding = "gbk"

    def start_in(self, folder, program_name="phpkeeper.exe"):
        exe = self.package.install_program(folder, program_name)
        worker = self.package.install_worker(folder / "php" / "php-8.3")
        self.package.write_config(path=windows_path(folder), phpver="php-8.3", phpnum="2")
        supervisor = self.start_supervisor(exe)
        wintool("sync", supervisor.pid, lang=self.lang)
        records = self.package.wait_for_records(2)
        self.assertEqual([r["exe"] for r in records], [windows_path(worker)] * 2)
        self.assertEqual({r["commandline"] for r in records}, {COMMAND_LINE})

    def test_program_in_a_folder_with_a_backslash_trail_byte(self):
        self.assertEqual("乗".encode("gbk"), b"\x81\\")
        self.start_in(self.package.root / "包乗")

    def test_program_whose_own_name_ends_in_a_backslash_trail_byte(self):
        # Here the last 0x5C byte of the module path is not a separator: a cut made byte by byte
        # would look for the configuration in a folder that does not exist.
        self.start_in(self.package.root / "包乗", program_name="phpkeeper乗.exe")


class HiddenWindow(WineTestCase):
    def setUp(self):
        super().setUp()
        self.package.install_program()
        self.package.install_worker(self.package.root / "php" / "php-8.3")
        self.package.write_config(path=windows_path(self.package.root), phpver="php-8.3", phpnum="1")

    def test_window_is_found_by_class_hidden_and_untitled(self):
        supervisor = self.start_supervisor()
        window = wait_for(supervisor.window, timeout=10, what="the supervisor's window")
        self.assertEqual(window["visible"], "0")
        self.assertEqual(window["titlelength"], "0")
        self.assertEqual((window["width"], window["height"]), ("380", "250"))
        style = int(window["style"], 16)
        self.assertEqual(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX),
                         WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX)
        self.assertEqual(style & (WS_VISIBLE | WS_THICKFRAME | WS_MAXIMIZEBOX), 0)
        # Every GUI thread also owns a hidden "IME" window, on Windows as under Wine.
        classes = [fields["class"] for fields in windows(f"pid={supervisor.pid}")]
        self.assertEqual(sorted(c for c in classes if c != "IME"), [CLASS_NAME])

    def test_quit_message_ends_it_with_the_value_it_carries(self):
        supervisor = self.start_supervisor()
        wintool("sync", supervisor.pid)
        workers = supervisor.wait_for_workers(lambda ids: len(ids) == 1)
        wintool("post-quit", supervisor.window()["tid"], "7")
        self.assertEqual(supervisor.exit_code(), 7)
        running = {pid for pid, _, _ in processes()}
        self.assertTrue(set(workers) <= running, "a worker ended with the supervisor")


class StopTool(WineTestCase):
    def package_with_workers(self, workers):
        self.package.install_program()
        self.package.install_worker(self.package.root / "php" / "php-8.3")
        self.package.write_config(
            path=windows_path(self.package.root), phpver="php-8.3", phpnum=str(workers)
        )

    def test_stop_ends_the_supervisor_and_leaves_every_worker_running(self):
        self.package_with_workers(2)
        supervisor = self.start_supervisor()
        workers = supervisor.wait_for_workers(lambda ids: len(ids) == 2)
        result = stop_tool()
        self.assertEqual(result.returncode, 0, result.out + result.err)
        self.assertEqual(
            result.out.strip(), f"Stopped phpkeeper (process {supervisor.pid}); its workers keep running."
        )
        self.assertEqual(supervisor.exit_code(), 0)
        time.sleep(1)
        running = {pid for pid, _, _ in processes()}
        self.assertTrue(set(workers) <= running, "a worker ended with the supervisor")

    def test_stop_ends_every_running_supervisor(self):
        # There is no single-instance guard: two copies run two pools.
        self.package_with_workers(1)
        first = self.start_supervisor()
        second = self.start_supervisor()
        result = stop_tool()
        self.assertEqual(result.returncode, 0, result.out + result.err)
        stopped = sorted(int(line.split("process ")[1].split(")")[0]) for line in result.out.splitlines())
        self.assertEqual(stopped, sorted([first.pid, second.pid]))
        self.assertEqual((first.exit_code(), second.exit_code()), (0, 0))

    def test_stop_without_a_supervisor_says_so_and_fails(self):
        result = stop_tool()
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.out.strip(), "phpkeeper is not running: no supervisor window was found.")


if __name__ == "__main__":
    unittest.main()
