#!/usr/bin/env python3
"""The release archive as a host developer meets it.

The test packages this build twice with the command after -- (which takes
--out), compares the two archives byte for byte, unpacks one into an empty
folder and checks it from there: its contents, the binaries, the import library
for Microsoft's linker, and a C host compiled against include/ and
lib/libkorvel.dll.a alone that runs under Wine with the packaged DLL beside it
and pings the reference pipeline server. Wine takes its prefix from the
environment.
"""

import argparse
import email.utils
import hashlib
import pathlib
import re
import shutil
import subprocess
import sys
import unittest
import zipfile

HOST_SOURCE = pathlib.Path(__file__).resolve().with_name("PingHost.c")
# The host's wrapper library, whose registry key no other test uses.
WRAPPER_KEY = "HKLM\\SOFTWARE\\Talvessa\\Pipeline\\KorvelDistHost"
DLL_SIZE_LIMIT = 2 * 1024 * 1024
LICENCES = {
    "GPL-3.txt": "GNU GENERAL PUBLIC LICENSE",
    "gcc-runtime.txt": "GCC RUNTIME LIBRARY EXCEPTION",
    "mingw-w64-runtime.txt": "mingw-w64-crt",
    "minizip.txt": "Gilles Vollant",
    "pugixml.txt": "Arseny Kapoulkine",
    "zlib.txt": "Jean-loup Gailly",
}

options = None


def run(command, timeout=60, **kwargs):
    return subprocess.run([str(part) for part in command], capture_output=True, text=True,
                          timeout=timeout, **kwargs)


def checked(command, timeout=60, **kwargs):
    result = run(command, timeout, **kwargs)
    if result.returncode != 0:
        raise AssertionError(f"{command[0]} failed ({result.returncode}):\n"
                             f"{result.stdout}{result.stderr}")
    return result.stdout


def exports(definition):
    """The names after EXPORTS in a module definition."""
    lines = definition.read_text().splitlines()
    start = next(i for i, line in enumerate(lines) if line.strip() == "EXPORTS")
    return {line.split()[0] for line in lines[start + 1:] if line.strip()}


class DistArchive(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        scratch = options.scratch
        shutil.rmtree(scratch, ignore_errors=True)
        cls.runs = [scratch / "first", scratch / "second"]
        for out in cls.runs:
            checked(options.command + ["--out", out], timeout=120)
        archives = list(cls.runs[0].glob("*.zip"))
        if len(archives) != 1:
            raise AssertionError(f"expected one archive in {cls.runs[0]}, found {archives}")
        cls.archive = archives[0]
        cls.root = scratch / "unpacked"
        cls.root.mkdir()
        with zipfile.ZipFile(cls.archive) as archive:
            archive.extractall(cls.root)

    def test_two_runs_give_identical_archives(self):
        digests = [hashlib.sha256((out / self.archive.name).read_bytes()).hexdigest()
                   for out in self.runs]
        self.assertEqual(digests[0], digests[1])
        self.assertEqual((self.runs[0] / (self.archive.name + ".sha256")).read_text(),
                         f"{digests[0]}  {self.archive.name}\n")

    def test_contents(self):
        expected = {
            "README.txt", "bin/korvel.dll", "bin/korvel.dll.debug", "bin/korvel-cli.exe",
            "lib/korvel.def", "lib/libkorvel.dll.a", "lib/korvel.lib",
            "docs/API.md", "docs/korvel-cli.md",
        }
        expected |= {"include/" + header for header in options.header}
        expected |= {"licenses/" + name for name in LICENCES}
        with zipfile.ZipFile(self.archive) as archive:
            entries = archive.infolist()
        names = [entry.filename for entry in entries]
        self.assertEqual(names, sorted(names))
        self.assertEqual(set(names), set(expected))
        self.assertEqual({entry.date_time for entry in entries}, {(1980, 1, 1, 0, 0, 0)})

    def test_readme_names_every_file_and_the_version_and_licences_hold_their_texts(self):
        readme = (self.root / "README.txt").read_text()
        with zipfile.ZipFile(self.archive) as archive:
            names = [n for n in archive.namelist() if n.startswith(("bin/", "lib/"))]
        for name in [options.version] + names + options.header:
            self.assertIn(name, readme)
        for name, phrase in LICENCES.items():
            self.assertIn(phrase, (self.root / "licenses" / name).read_text(), name)

    def test_binaries_are_stripped_and_undated(self):
        for name in ("korvel.dll", "korvel-cli.exe"):
            with self.subTest(name):
                image = self.root / "bin" / name
                sections = re.findall(r"^\s*\d+\s+(\S+)", checked([options.objdump, "-h", image]),
                                      re.MULTILINE)
                self.assertIn(".text", sections)
                self.assertEqual([s for s in sections if s.startswith(".debug")], [])
                self.assertIn("TimeDateStamp: 1970-01-01 00:00:00 (0x0)\n",
                              checked([options.readobj, "--file-headers", image]))
        self.assertLess((self.root / "bin" / "korvel.dll").stat().st_size, DLL_SIZE_LIMIT)

    def test_debugger_finds_symbols_through_the_debug_link(self):
        # gdb reads korvel.dll, follows its debug link to the file beside it
        # and checks that file's checksum before it uses its line tables.
        result = checked([options.gdb, "-nx", "-batch", "-ex", "info line WsUdOpen",
                          "korvel.dll"], cwd=self.root / "bin")
        self.assertRegex(result, r'Line \d+ of "[^"]+\.cpp"')

    def test_import_library_for_microsofts_linker(self):
        text = checked([options.readobj, self.root / "lib" / "korvel.lib"])
        # The import descriptor, the null descriptor and the null thunk, then
        # an import by name of code for each export.
        self.assertEqual(text.count("Format: COFF-x86-64"), 3)
        imports = re.findall(r"File: korvel.dll\nFormat: COFF-import-file\nType: code\n"
                             r"Name type: name\nSymbol: __imp_(\w+)\nSymbol: (\w+)\n", text)
        self.assertEqual(text.count("Format: COFF-import-file"), len(imports))
        self.assertEqual(sorted(name for name, imp in imports if name == imp),
                         sorted(exports(options.definition)))

    def test_c_host_pings_the_pipeline_server_with_the_packaged_dll(self):
        host = self.root / "bin" / "PingHost.exe"
        checked([options.cc, "-Wall", "-Wextra", "-I", self.root / "include", HOST_SOURCE,
                 self.root / "lib" / "libkorvel.dll.a", "-loleaut32", "-lversion", "-o", host])
        server = options.scratch / "pipeline-server"
        checked([options.pipeline_server, "start", server, "--lifetime", "120", "--idle", "60"])
        self.addCleanup(run, [options.pipeline_server, "stop", server])
        url = f"http://127.0.0.1:{(server / 'port').read_text().strip()}/lumq/pipeline"
        checked(["wine", "reg", "add", WRAPPER_KEY, "/v", "S_URL", "/d", url, "/f"])
        self.addCleanup(run, ["wine", "reg", "delete", WRAPPER_KEY, "/f"])

        result = run(["wine", host.name], cwd=host.parent)
        output = result.stdout + result.stderr
        lines = result.stdout.replace("\r", "").splitlines()
        self.assertEqual(len(lines), 4, output)
        self.assertEqual(lines[:2], [f"version {options.version}", "open 0x00000000 1"], output)
        self.assertRegex(lines[2], r"^ping 0x00000000 ", output)
        self.assertIsNotNone(email.utils.parsedate_to_datetime(lines[2].split(" ", 2)[2]))
        self.assertEqual(lines[3:], ["close 0x00000000"])
        self.assertEqual(result.returncode, 0, output)
        requests = (server / "requests.log").read_text()
        self.assertEqual(len(re.findall(r" GET /lumq/pipeline\?cmd=PingCmd:Ping\S* .*status=200",
                                        requests)), 1, requests)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for name in ("scratch", "version", "cc", "objdump", "readobj", "gdb", "pipeline-server"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--header", action="append", required=True)
    parser.add_argument("--def", dest="definition", required=True, type=pathlib.Path)
    parser.add_argument("command", nargs="+", help="the packaging command, after --")
    options = parser.parse_args(argv)
    options.scratch = pathlib.Path(options.scratch)
    return options


if __name__ == "__main__":
    options = parse_arguments(sys.argv[1:])
    unittest.main(argv=[sys.argv[0], "-v"])
