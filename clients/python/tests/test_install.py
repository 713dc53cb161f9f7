"""Where the client finds the task by default, its version, and which copy is tested."""

import os
import tempfile
import unittest
from pathlib import Path
from unittest import mock

from support import HERE, required_path

import tether_client
from tether_client import find_task, task as task_module


def executable(path: Path) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("#!/bin/sh\n")
    path.chmod(0o755)
    return path


class FindTask(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="tether-find-")
        self.addCleanup(scratch.cleanup)
        self.root = Path(scratch.name)
        # Stands in for /usr/local and /usr, which may hold a real installation.
        prefixes = mock.patch.object(task_module, "INSTALLED_PREFIXES", (str(self.root / "usr"),))
        prefixes.start()
        self.addCleanup(prefixes.stop)

    def find(self, *path_dirs: Path) -> str:
        with mock.patch.dict(os.environ, {"PATH": os.pathsep.join(map(str, path_dirs))}):
            return find_task()

    def test_the_order_of_the_places_looked_in(self):
        built = required_path("TETHER_TASK")
        self.assertEqual(self.find(Path(built).parent), built)  # on PATH
        prefix = self.root / "opt" / "tether"
        executable(prefix / "bin" / "tether-host")
        for layout in task_module.INSTALLED_TASK_LAYOUTS:  # beside tether-host
            with self.subTest(layout):
                task = executable(prefix / layout)
                self.assertEqual(self.find(prefix / "bin"), str(task))
                task.unlink()
        fallback = executable(self.root / "usr" / task_module.INSTALLED_TASK_LAYOUTS[0])
        self.assertEqual(self.find(prefix / "bin"), str(fallback))
        fallback.unlink()
        with self.assertRaises(FileNotFoundError):
            self.find(prefix / "bin")


class Installed(unittest.TestCase):
    def test_version_is_the_projects_and_the_tested_copy_is_the_one_meant(self):
        version = (HERE.parent.parent.parent / "VERSION").read_text().strip()
        self.assertEqual(tether_client.__version__, version)
        source = HERE.parent / "tether_client"
        in_tree = Path(tether_client.__file__).resolve().parent == source.resolve()
        self.assertEqual(in_tree, not os.environ.get("TETHER_CLIENT_INSTALLED"))
        self.assertTrue(Path(tether_client.__file__).with_name("py.typed").is_file())


if __name__ == "__main__":
    unittest.main()
