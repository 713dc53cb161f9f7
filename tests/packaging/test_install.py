"""cmake --install gives a tree that works wherever it is moved."""

import shutil
import tempfile
import unittest
from pathlib import Path

from packaging_support import capture_one, clean_env, dynamic_section, elf_files, run, setting


class InstalledTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.build = Path(setting("TETHER_BUILD_DIR")).resolve()
        cls.scratch = Path(tempfile.mkdtemp(prefix="tether-install-"))
        installed = cls.scratch / "first"
        result = run(["cmake", "--install", str(cls.build), "--prefix", str(installed)])
        if result.returncode != 0:
            raise AssertionError(f"cmake --install failed:\n{result.stdout}{result.stderr}")
        cls.prefix = cls.scratch / "moved" / "elsewhere"
        cls.prefix.parent.mkdir()
        installed.rename(cls.prefix)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch)

    def test_layout(self):
        for path in ["bin/tether-host", "lib/tether/bin/tether-task", "lib/tether/bin/krv-sim-ctl",
                     "lib/tether/bin/krv-sim-ptpip",
                     "lib/tether/Frameworks/libKRV_SDK.so.1", "share/man/man1/tether-host.1.gz",
                     "share/man/man1/tether-task.1.gz",
                     "share/bash-completion/completions/tether-host",
                     "share/doc/tether/copyright", "share/doc/tether/protocol.md"]:
            with self.subTest(path=path):
                self.assertTrue((self.prefix / path).is_file(), f"{path} is not installed")

    def test_nothing_refers_to_the_build_folder(self):
        for path in elf_files(self.prefix):
            _, runpath = dynamic_section(path)
            with self.subTest(path=str(path.relative_to(self.prefix))):
                for entry in runpath:
                    self.assertTrue(entry.startswith("$ORIGIN"),
                                    f"run path entry {entry!r} is not relative to the file")
        task_needed, task_runpath = dynamic_section(self.prefix / "lib/tether/bin/tether-task")
        self.assertIn("libKRV_SDK.so.1", task_needed)
        self.assertEqual(task_runpath, ["$ORIGIN/../Frameworks"])

    def test_version(self):
        result = run([str(self.prefix / "bin/tether-host"), "--version"],
                     env=clean_env(self.scratch))
        self.assertEqual((result.returncode, result.stdout.strip()),
                         (0, "tether-host " + setting("TETHER_VERSION")))

    def test_moved_tree_captures_with_its_own_task(self):
        help_text = run([str(self.prefix / "bin/tether-host"), "--help"],
                        env=clean_env(self.scratch)).stdout
        self.assertIn(str(self.prefix / "lib/tether/bin/tether-task"), help_text)
        capture_one(self.prefix / "bin/tether-host", self.scratch, cwd=self.scratch)


if __name__ == "__main__":
    unittest.main()
