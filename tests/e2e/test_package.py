"""The release zip and the programs in it: what it holds, what the exe is and what it says of
itself in its version resource."""

import os
import struct
import tempfile
import unittest
import zipfile
from pathlib import Path

from harness import BUILD, CTL, PHPKEEPER, STOP_TOOL, WineTestCase, windows_path, wintool

VERSION = os.environ.get("PHPKEEPER_VERSION", "")
ZIP = BUILD / f"phpkeeper-{VERSION}-win64.zip"
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll"}
GUI_SUBSYSTEM, CONSOLE_SUBSYSTEM = 2, 3


def pe_facts(path):
    """Subsystem, imported DLL names and whether a COFF symbol table is left, from the headers."""
    data = Path(path).read_bytes()
    header = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[header : header + 4] == b"PE\0\0", f"{path} is not a PE file"
    sections, symbols, optional_size = (
        struct.unpack_from("<H", data, header + 6)[0],
        struct.unpack_from("<I", data, header + 12)[0],
        struct.unpack_from("<H", data, header + 20)[0],
    )
    optional = header + 24
    assert struct.unpack_from("<H", data, optional)[0] == 0x20B, "not a 64-bit PE"
    subsystem = struct.unpack_from("<H", data, optional + 68)[0]
    import_rva = struct.unpack_from("<I", data, optional + 112 + 8)[0]
    section_table = [
        struct.unpack_from("<8sIIII", data, optional + optional_size + 40 * i)
        for i in range(sections)
    ]

    def offset(rva):
        for _, size, address, raw_size, raw_pointer in section_table:
            if address <= rva < address + max(size, raw_size):
                return rva - address + raw_pointer
        raise ValueError(f"RVA {rva:#x} is in no section")

    dlls = []
    entry = offset(import_rva)
    while True:
        name_rva = struct.unpack_from("<I", data, entry + 12)[0]
        if name_rva == 0:
            break
        name_at = offset(name_rva)
        dlls.append(data[name_at : data.index(b"\0", name_at)].decode().lower())
        entry += 20
    return subsystem, dlls, symbols != 0


class Programs(unittest.TestCase):
    def test_phpkeeper_is_a_small_stripped_gui_program_importing_only_system_dlls(self):
        subsystem, dlls, has_symbols = pe_facts(PHPKEEPER)
        self.assertEqual(subsystem, GUI_SUBSYSTEM)
        self.assertEqual(set(dlls), SYSTEM_DLLS)
        self.assertFalse(has_symbols, "phpkeeper.exe is not stripped")
        self.assertLessEqual(PHPKEEPER.stat().st_size, 200 * 1024)

    def test_tools_are_stripped_console_programs_importing_only_system_dlls(self):
        for tool in (CTL, STOP_TOOL):
            subsystem, dlls, has_symbols = pe_facts(tool)
            self.assertEqual(subsystem, CONSOLE_SUBSYSTEM, tool.name)
            self.assertLessEqual(set(dlls), SYSTEM_DLLS, tool.name)
            self.assertFalse(has_symbols, tool.name)


class ReleaseZip(WineTestCase):
    def setUp(self):
        super().setUp()
        self.assertTrue(VERSION, "PHPKEEPER_VERSION is not set; run this through ctest")
        self.assertTrue(
            ZIP.exists(), f"{ZIP.name} is missing: cmake --build --preset mingw --target package"
        )

    def test_zip_holds_exactly_the_six_release_files(self):
        with zipfile.ZipFile(ZIP) as archive:
            self.assertEqual(
                sorted(archive.namelist()),
                sorted(["phpkeeper.exe", "phpkeeperctl.exe", "phpkeeper-stop.exe", "README.md",
                        "Lanterra.ini.sample", "LICENSE"]),
            )
            self.assertIn("MIT License", archive.read("LICENSE").decode())
            self.assertEqual(
                archive.read("phpkeeper.exe"), PHPKEEPER.read_bytes(),
                "the zip is older than the build: cmake --build --preset mingw --target package",
            )

    def test_phpkeeper_carries_the_project_version(self):
        with tempfile.TemporaryDirectory(dir=self.package.root) as folder:
            with zipfile.ZipFile(ZIP) as archive:
                archive.extract("phpkeeper.exe", folder)
            version = dict(
                line.split("=", 1)
                for line in wintool("version", windows_path(Path(folder) / "phpkeeper.exe")).splitlines()
            )
        self.assertEqual(version["FileVersion"], VERSION)
        self.assertEqual(version["ProductVersion"], VERSION)
        self.assertEqual(version["ProductName"], "phpkeeper")
        self.assertIn("PHP FastCGI", version["FileDescription"])


if __name__ == "__main__":
    unittest.main()
