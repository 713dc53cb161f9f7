#!/usr/bin/python3
"""Installs the client from a copy of clients/python into a fresh virtual environment,
offline, and runs the client's tests against that installed copy.

The environment sees the system's site packages, for Debian's setuptools and wheel,
which an offline pip cannot fetch; pip builds without isolation for the same reason.
Usage: run_installed.py TEST_NAME... (unittest names, run from this folder).
"""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main() -> int:
    with tempfile.TemporaryDirectory(prefix="tether-pip-") as scratch:
        # A copy, links resolved (VERSION), so the build leaves nothing in the tree.
        source = Path(scratch, "src")
        shutil.copytree(HERE.parent, source, ignore=shutil.ignore_patterns(
            "tests", "build", "*.egg-info", "__pycache__"))
        venv = Path(scratch, "venv")
        subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)],
                       check=True)
        python = str(venv / "bin" / "python")
        subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-index",
                        "--no-build-isolation", "--no-cache-dir", str(source)], check=True)
        shutil.rmtree(source)  # the tests must not find it
        env = dict(os.environ, TETHER_CLIENT_INSTALLED="1")
        return subprocess.run([python, "-m", "unittest", "-v", *sys.argv[1:]], cwd=HERE,
                              env=env).returncode


if __name__ == "__main__":
    sys.exit(main())
