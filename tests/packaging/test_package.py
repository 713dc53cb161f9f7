"""The Debian package, read with dpkg-deb and run from a scratch root after dpkg -x;
nothing is installed on the machine."""

import functools
import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from packaging_support import capture_one, dynamic_section, elf_files, run, setting

# Every file the package holds, with its mode; the gphoto2 SDK where it is built.
FILES = {
    "usr/bin/tether-host": 0o755,
    "usr/lib/tether/bin/tether-task": 0o755,
    "usr/lib/tether/bin/krv-sim-ctl": 0o755,
    "usr/lib/tether/bin/krv-sim-ptpip": 0o755,
    "usr/lib/tether/bin/tether-cameras": 0o755,
    "usr/lib/tether/Frameworks/libKRV_SDK.so.1": 0o644,
    "usr/share/bash-completion/completions/tether-host": 0o644,
    "usr/share/doc/tether/changelog.gz": 0o644,
    "usr/share/doc/tether/copyright": 0o644,
    "usr/share/doc/tether/protocol.md": 0o644,
    "usr/share/man/man1/tether-host.1.gz": 0o644,
    "usr/share/man/man1/tether-task.1.gz": 0o644,
}
OPTIONAL_FILES = {"usr/lib/tether/Frameworks/gphoto2/libKRV_SDK.so.1": 0o644}
FILES.update(OPTIONAL_FILES)  # libgphoto2 is a build dependency: the bridge is always built


def deb() -> Path:
    return Path(setting("TETHER_DEB"))


def field(name: str) -> str:
    return run(["dpkg-deb", "-f", str(deb()), name], check=True).stdout.strip()


@functools.cache
def package_of(library: str) -> str:
    """The installed package that holds a library, by its path with or without /usr
    in front (merged /usr: ldconfig and dpkg may name it differently)."""
    plain = library.removeprefix("/usr")
    for path in (plain, "/usr" + plain):
        result = run(["dpkg", "-S", path])
        if result.returncode == 0:
            return result.stdout.split(":")[0]
    raise AssertionError(f"no installed package holds {library}")


class Extracted(unittest.TestCase):
    """The package's files in a scratch root."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = Path(tempfile.mkdtemp(prefix="tether-deb-"))
        cls.root = cls.scratch / "root"
        run(["dpkg-deb", "-x", str(deb()), str(cls.root)], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch)


class Metadata(Extracted):
    def test_control_fields(self):
        arch = run(["dpkg", "--print-architecture"], check=True).stdout.strip()
        expected = {"Package": "tether", "Version": setting("TETHER_VERSION"),
                    "Architecture": arch, "Section": "graphics", "Priority": "optional"}
        self.assertEqual({name: field(name) for name in expected}, expected)
        self.assertRegex(field("Maintainer"), r"^[^<>]+ <[^<>@]+@[^<>@]+>$")
        self.assertRegex(field("Description"), r"^camera tether task .*\n tether-task drives")

    def test_depends_names_the_package_of_every_library_the_binaries_need(self):
        depends = {re.split(r"[\s(]", item.strip())[0] for item in field("Depends").split(",")}
        ldconfig = shutil.which("ldconfig", path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
        libraries = run([ldconfig, "-p"], check=True).stdout
        for path in elf_files(self.root):
            needed, _ = dynamic_section(path)
            for soname in needed:
                if soname == "libKRV_SDK.so.1":
                    continue  # the package's own, found through the run path
                with self.subTest(file=path.name, library=soname):
                    found = re.search(rf"^\s+{re.escape(soname)} \([^)]*\) => (\S+)",
                                      libraries, re.M)
                    self.assertIsNotNone(found, f"{soname} is not on this machine")
                    owner = package_of(found.group(1))
                    self.assertIn(owner, depends, f"Depends lacks {owner}, which has {soname}")


class Contents(Extracted):
    def test_files_and_modes(self):
        listing = run(["dpkg-deb", "-c", str(deb())], check=True).stdout.splitlines()
        files = {}
        for line in listing:
            mode, owner, _size, _date, _time, name = line.split(None, 5)
            with self.subTest(entry=name):
                self.assertEqual(owner, "root/root")
                if mode.startswith("d"):
                    self.assertEqual(mode, "drwxr-xr-x")
                else:
                    files[name.removeprefix("./")] = sum(
                        1 << (8 - i) for i, c in enumerate(mode[1:10]) if c != "-")
        optional = {name: m for name, m in OPTIONAL_FILES.items() if name in files}
        self.assertEqual(files, FILES | optional)

    def test_documents(self):
        doc = self.root / "usr/share/doc/tether"
        self.assertTrue((doc / "copyright").read_text().startswith(
            "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"))
        changelog = gzip.decompress((doc / "changelog.gz").read_bytes()).decode()
        self.assertRegex(changelog.splitlines()[0],
                         rf"^tether \({re.escape(setting('TETHER_VERSION'))}\) unstable; "
                         r"urgency=medium$")
        for page in ("tether-host", "tether-task"):
            with self.subTest(page=page):
                text = gzip.decompress(
                    (self.root / f"usr/share/man/man1/{page}.1.gz").read_bytes()).decode()
                self.assertIn(f'"tether {setting("TETHER_VERSION")}"', text)
                if shutil.which("man") is None:
                    continue  # man-db is not needed to build; the roff check needs it
                check = subprocess.run(["man", "--warnings", "-l", "-Tutf8", "-"], input=text,
                                       capture_output=True, text=True, timeout=60)
                self.assertEqual((check.returncode, check.stderr), (0, ""))


class ExtractedRuns(Extracted):
    def test_capture_from_the_scratch_root(self):
        capture_one(self.root / "usr/bin/tether-host", self.scratch, cwd=self.scratch)


if __name__ == "__main__":
    unittest.main()
