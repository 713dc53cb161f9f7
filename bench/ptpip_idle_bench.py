#!/usr/bin/python3
"""The task's CPU time while idle with a camera connected: through the
libgphoto2 bridge to the simulated PTP/IP camera, against the same task on the
simulated camera SDK, measured in the same run (user + system time of the
task's threads from /proc/<pid>/task/*/schedstat, in nanoseconds). Prints the ratio (bridge / simulated SDK); no threshold.

    bench/ptpip_idle_bench.py BUILD_DIR [SECONDS] [ROUNDS]

Each round measures both tasks for SECONDS (10 by default) after the camera
has connected and settled; the figure is the median over ROUNDS (3). Both
sides include the task's own idle loop; the bridge's side adds its worker
waiting for the camera's events and reading its settings' choices every few
seconds.
"""

import os
import shutil
import statistics
import sys
import tempfile
import time

from ptpip_camera import WAIT, Camera, cpu_seconds
from tether_client import Task

SETTLE = 1.0


def idle_cpu(build, scratch, seconds, camera):
    task = Task(os.path.join(build, "bin", "tether-task"), env={"HOME": scratch}, camera=camera)
    try:
        task.wait_for_camera(timeout=WAIT)
        time.sleep(SETTLE)
        before = cpu_seconds(task.pid)
        time.sleep(seconds)
        return cpu_seconds(task.pid) - before
    finally:
        task.close(timeout=WAIT)
        shutil.rmtree(task.tmpdir, ignore_errors=True)


def main():
    build = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10.0
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    scratch = tempfile.mkdtemp(prefix="ptpip-idle-")
    camera = Camera(build, scratch)
    bridge, simulated = [], []
    try:
        for _ in range(rounds):
            bridge.append(idle_cpu(build, scratch, seconds, camera.word))
            simulated.append(idle_cpu(build, scratch, seconds, "sim"))
    finally:
        camera.close()
        shutil.rmtree(scratch, ignore_errors=True)
    b, s = statistics.median(bridge), statistics.median(simulated)
    print("Task CPU time (user+system) over %.0f s idle with a camera connected, median of %d rounds:"
          % (seconds, rounds))
    print("  bridge, PTP/IP camera  %.4f s  (%s)" % (b, " ".join("%.4f" % x for x in bridge)))
    print("  simulated SDK          %.4f s  (%s)" % (s, " ".join("%.4f" % x for x in simulated)))
    print("ratio bridge/simulated: %.2f" % (b / s))


if __name__ == "__main__":
    main()
