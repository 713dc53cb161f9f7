#!/usr/bin/env bash
# pip installs the Python client into a fresh virtual environment, offline
# (pip, setuptools and wheel are the system's, seen through
# --system-site-packages), and runs the client's tests against the installed
# copy instead of the source tree.
# usage: installed_client_test.sh PYTHON CLIENT_SOURCE SCRATCH VERSION TEST...
set -euo pipefail
python=$1 source=$2 scratch=$3 version=$4
shift 4
rm -rf "$scratch"
mkdir -p "$scratch"
# pip builds inside the folder it is given; a copy keeps the source tree clean
# (and turns the VERSION link into a file).
cp -rL "$source" "$scratch/src"
"$python" -m venv --without-pip --system-site-packages "$scratch/venv"
"$scratch/venv/bin/python" -m pip install --no-index --no-build-isolation --no-cache-dir \
  --quiet "$scratch/src"
rm -rf "$scratch/src"

cd "$source/tests"
export TETHER_CLIENT_INSTALLED=1
"$scratch/venv/bin/python" - "$scratch/venv" "$version" <<'PY'
import sys
from pathlib import Path
import tether_client
venv, version = Path(sys.argv[1]).resolve(), sys.argv[2]
where = Path(tether_client.__file__).resolve()
assert venv in where.parents, f"tether_client imported from {where}, not from {venv}"
assert tether_client.__version__ == version, f"version {tether_client.__version__}, not {version}"
assert (where.parent / "py.typed").is_file(), "py.typed is not installed"
print(f"tether_client {version} installed at {where.parent}")
PY
"$scratch/venv/bin/python" -m unittest "$@"
