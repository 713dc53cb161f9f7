"""Shared by the packaging tests: what CTest passes in, running an installed
tether-host against the simulated camera, and reading ELF files."""

from __future__ import annotations

import os
import re
import subprocess
from pathlib import Path

GUARD = 120  # seconds; only a guard against a hang, never a measure


def setting(name: str) -> str:
    value = os.environ.get(name)
    if not value:
        raise RuntimeError(f"{name} must be set (CTest sets it)")
    return value


def run(args: list[str], **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run(args, capture_output=True, text=True, timeout=GUARD, **kwargs)


def clean_env(scratch: Path) -> dict[str, str]:
    """An environment with nothing of the build folder in it: a plain PATH, no
    library path, state and temporary files in the scratch folder."""
    env = {"PATH": "/usr/bin:/bin", "HOME": str(scratch), "TMPDIR": str(scratch),
           "LANG": "C.UTF-8", "KRV_SIM_IMAGE_WIDTH": "64", "KRV_SIM_IMAGE_HEIGHT": "48"}
    return env


def capture_one(host: Path, scratch: Path, cwd: Path) -> list[str]:
    """Runs 'tether-host capture -n 1' with the task it finds by itself and checks that
    it saved one capture (DNG, JPEG, thumbnail under one stem); the files' names."""
    out = scratch / "captures"
    result = run([str(host), "capture", "-n", "1", "--out", str(out)],
                 env=clean_env(scratch), cwd=cwd)
    if result.returncode != 0:
        raise AssertionError(f"{host} capture -n 1 exited {result.returncode}:\n"
                             f"{result.stdout}{result.stderr}")
    names = sorted(path.name for path in out.iterdir())
    stem = names[0].split(".")[0] if names else ""
    if [name.removeprefix(stem) for name in names] != [".dng", ".jpg", ".thumb.jpg"]:
        raise AssertionError(f"one capture expected, saved: {names}")
    return names


def is_elf(path: Path) -> bool:
    with path.open("rb") as file:
        return file.read(4) == b"\x7fELF"


def elf_files(root: Path) -> list[Path]:
    return sorted(path for path in root.rglob("*")
                  if path.is_file() and not path.is_symlink() and is_elf(path))


def dynamic_section(path: Path) -> tuple[list[str], list[str]]:
    """(NEEDED sonames, RUNPATH/RPATH entries) of an ELF file."""
    text = run(["readelf", "-d", str(path)], check=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", text)
    paths = re.findall(r"\((?:RUNPATH|RPATH)\)\s+Library (?:runpath|rpath): \[([^\]]*)\]", text)
    return needed, [entry for joined in paths for entry in joined.split(":")]
