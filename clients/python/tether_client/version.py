"""The client's version: the project's one version, from its VERSION file."""

from __future__ import annotations

import importlib.metadata
from pathlib import Path

_DISTRIBUTION = "tether-client"


def _version() -> str:
    # Run from the source tree, the repository's VERSION file is the truth (an
    # installed copy elsewhere may be older); installed, the package's metadata.
    tree = Path(__file__).resolve().parent.parent
    if (tree / "pyproject.toml").is_file() and (tree / "VERSION").is_file():
        return (tree / "VERSION").read_text().strip()
    try:
        return importlib.metadata.version(_DISTRIBUTION)
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


__version__ = _version()
