#!/usr/bin/env python3
"""Mutation runner: makes one realistic slip at a time in the working tree and
checks that the tests catch it.

Each slip in tools/slips.json names a file, an exact snippet that must occur
there exactly once, its replacement, the rule the slip breaks, the CMake
targets to rebuild and a CTest regex for the tests that pin the rule.
"equivalent" (with the reason) marks a slip with no observable change: it is
still tried, but left out of the rate. The file is always restored, also on
Ctrl-C. Standard library only; not part of `make test`.

  tools/mutate.py [--build DIR] [--only PATTERN] [--list] [--slips FILE]
"""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def load(path):
    with open(path, encoding="utf-8") as f:
        slips = json.load(f)
    for i, s in enumerate(slips):
        for key in ("id", "file", "find", "replace", "rule", "tests"):
            if key not in s:
                sys.exit(f"{path}: slip {i} has no '{key}'")
    ids = [s["id"] for s in slips]
    if len(ids) != len(set(ids)):
        sys.exit(f"{path}: slip ids repeat")
    return slips


def run(cmd, log, timeout):
    """True when `cmd` succeeds; its output is appended to `log`."""
    with open(log, "a", encoding="utf-8") as out:
        out.write("$ " + " ".join(cmd) + "\n")
        out.flush()
        try:
            return subprocess.run(cmd, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=timeout).returncode == 0
        except subprocess.TimeoutExpired:
            out.write("(timed out)\n")
            return False


def try_slip(slip, build, log):
    """'killed', 'survived', 'build-failed' or 'not-found'."""
    path = os.path.join(ROOT, slip["file"])
    with open(path, "rb") as f:
        original = f.read()
    text = original.decode("utf-8")
    if text.count(slip["find"]) != 1:
        return "not-found"
    mutated = text.replace(slip["find"], slip["replace"]).encode("utf-8")
    stat = os.stat(path)
    try:
        with open(path, "wb") as f:
            f.write(mutated)
        targets = slip.get("targets", [])
        if targets:
            cmd = ["cmake", "--build", build, "-j2", "--target"] + targets
            if not run(cmd, log, 1800):
                return "build-failed"
        passed = run(["ctest", "--test-dir", build, "-R", slip["tests"], "--no-tests=error",
                      "--timeout", "300", "-j2"], log, 1800)
        return "survived" if passed else "killed"
    finally:
        with open(path, "wb") as f:
            f.write(original)
        # The restored file must look new to make, or the next build would
        # keep the slip's object file.
        now = time.time()
        os.utime(path, (now, max(now, stat.st_mtime + 1)))


def interrupt(signum, frame):
    raise KeyboardInterrupt


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build", help="configured build directory")
    parser.add_argument("--only", help="regex on the slip id or file")
    parser.add_argument("--list", action="store_true", help="list the slips and stop")
    parser.add_argument("--slips", default=os.path.join(ROOT, "tools", "slips.json"))
    args = parser.parse_args()

    slips = load(args.slips)
    if args.only:
        slips = [s for s in slips if re.search(args.only, s["id"]) or re.search(args.only, s["file"])]
    if args.list:
        for s in slips:
            eq = "  [equivalent: %s]" % s["equivalent"] if s.get("equivalent") else ""
            print(f"{s['id']:<28} {s['file']}: {s['rule']}{eq}")
        print(f"{len(slips)} slips")
        return 0

    build = os.path.abspath(args.build)
    log = os.path.join(build, "mutate.log" if not args.only else "mutate-only.log")
    open(log, "w").close()
    # Ctrl-C (or a SIGTERM) lands in try_slip's finally, which restores the
    # file, and ends the run.
    signal.signal(signal.SIGTERM, interrupt)
    results = []
    try:
        for s in slips:
            outcome = try_slip(s, build, log)
            tag = " (equivalent)" if s.get("equivalent") else ""
            print(f"{outcome:<12} {s['id']}{tag}: {s['rule']}", flush=True)
            results.append((s, outcome))
    except KeyboardInterrupt:
        print("interrupted; the file in work was restored", flush=True)
    counted = [o for s, o in results if not s.get("equivalent") and o in ("killed", "survived")]
    killed = counted.count("killed")
    print()
    for s, o in results:
        if o in ("survived", "build-failed", "not-found") or s.get("equivalent"):
            why = s.get("equivalent") or s.get("note", "")
            print(f"  {o}: {s['id']} ({s['file']}){': ' + why if why else ''}")
    broken = sum(1 for _, o in results if o in ("build-failed", "not-found"))
    rate = 100.0 * killed / len(counted) if counted else 0.0
    print(f"killed {killed} of {len(counted)} non-equivalent slips: {rate:.1f} %"
          f"; {len(results) - len(counted) - broken} equivalent; {broken} not applied"
          f" (build failed or snippet not found once); log: {log}")
    return 0 if broken == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
