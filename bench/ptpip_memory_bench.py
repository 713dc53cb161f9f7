#!/usr/bin/python3
"""The task's peak extra memory while one large raw arrives from the simulated
PTP/IP camera through the libgphoto2 bridge, as a multiple of the file's
size. Prints the ratio; no threshold.

    bench/ptpip_memory_bench.py BUILD_DIR [MEGABYTES]

The camera shoots a raw alone of MEGABYTES (100 by default) million bytes.
Before the shutter is pressed the task is connected and idle; its resident
size then (VmRSS) is the base, and its peak (VmHWM, reset first through
/proc/<pid>/clear_refs) is read once the host has the file. What the ratio
counts: the bridge's buffer for the file, libgphoto2's buffer for the piece
in flight, and anything the task adds on its way to disk.
"""

import os
import shutil
import sys
import tempfile
import time

from ptpip_camera import WAIT, Camera
from tether_client import Task
from tether_client.events import FileDownloaded

SETTLE = 1.0


def status_kib(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise RuntimeError(key + " not in /proc/%d/status" % pid)


def main():
    build = sys.argv[1]
    size = int(float(sys.argv[2]) * 1e6) if len(sys.argv) > 2 else 100_000_000
    scratch = tempfile.mkdtemp(prefix="ptpip-memory-")
    camera = Camera(build, scratch, ["size 640 480", "files raw", "raw-format NEF",
                                     "dng-bytes %d" % size])
    task = Task(os.path.join(build, "bin", "tether-task"), env={"HOME": scratch}, camera=camera.word)
    try:
        task.wait_for_camera(timeout=WAIT)
        time.sleep(SETTLE)
        with open("/proc/%d/clear_refs" % task.pid, "w") as f:
            f.write("5")  # VmHWM starts again from VmRSS
        base = status_kib(task.pid, "VmRSS")
        camera.ctl("capture")
        while True:
            event = task.next_event(timeout=WAIT)
            if isinstance(event, FileDownloaded):
                break
        peak = status_kib(task.pid, "VmHWM")
        file_bytes = os.path.getsize(event.path)
        os.unlink(event.path)
    finally:
        task.close(timeout=WAIT)
        shutil.rmtree(task.tmpdir, ignore_errors=True)
        camera.close()
        shutil.rmtree(scratch, ignore_errors=True)
    extra = (peak - base) * 1024
    print("Task's peak extra memory while a %.0f MB raw arrives through the bridge:" % (file_bytes / 1e6))
    print("  resident before %.1f MB, peak %.1f MB, extra %.1f MB"
          % (base * 1024 / 1e6, peak * 1024 / 1e6, extra / 1e6))
    print("ratio extra/file: %.2f" % (extra / file_bytes))


if __name__ == "__main__":
    main()
