#!/usr/bin/env bash
# Runs the main job against the built-in simulated camera: start the task,
# wait for the camera, capture three images and save them under captures/.
set -euo pipefail
build=${1:-build}
host="$build/bin/tether-host"
if [ ! -x "$host" ]; then
  echo "demo: $host is missing; run 'make demo' from the top of the tree" >&2
  exit 1
fi
mkdir -p captures
echo "== tether-host capture -n 3 --out captures/  (simulated camera; the task's log goes to a file, -v shows it)"
"$host" capture -n 3 --out captures/
echo
echo "== saved files"
ls -l captures/
