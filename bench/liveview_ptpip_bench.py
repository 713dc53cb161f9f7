#!/usr/bin/python3
"""A capture during live view against the same capture without it, through the
task on the libgphoto2 bridge with the simulated PTP/IP camera: "doCapture" to
the capture's last "fileDownloadComplete", captures of both kinds alternating
in one run. Prints both medians and the ratio (live / without); no threshold.

    bench/liveview_ptpip_bench.py BUILD_DIR [CAPTURES]

The host reads every frame (the client's reader thread does). The bridge
pauses previews from the capture request until the capture's files are
delivered, so what live view may add is the preview in progress when the
request arrives.
"""

import os
import shutil
import statistics
import sys
import tempfile
import time

from ptpip_camera import WAIT, Camera
from tether_client import Task


def capture_seconds(task):
    start = time.monotonic()
    result = task.capture(timeout=WAIT, files=2)
    seconds = time.monotonic() - start
    for f in result.files:
        os.unlink(f.path)
    return seconds


def main():
    build = sys.argv[1]
    captures = int(sys.argv[2]) if len(sys.argv) > 2 else 8
    scratch = tempfile.mkdtemp(prefix="liveview-ptpip-bench-")
    camera = Camera(build, scratch, ["size 1600 1200", "dng-bytes 4000000", "files raw+jpeg"])
    off, on, frames = [], [], 0
    try:
        task = Task(os.path.join(build, "bin", "tether-task"), env={"HOME": scratch},
                    camera=camera.word)
        try:
            task.wait_for_camera(timeout=WAIT)
            capture_seconds(task)  # warm-up: connection settled, first files
            for _ in range(captures):
                off.append(capture_seconds(task))
                with task.live_view(timeout=WAIT) as live:
                    for _ in range(3):  # running, not just started
                        live.next_frame()
                    frames += 3
                    on.append(capture_seconds(task))
                    live.next_frame()  # and it comes back after the capture
                    frames += 1
        finally:
            task.close(timeout=WAIT)
            shutil.rmtree(task.tmpdir, ignore_errors=True)
    finally:
        camera.close()
        shutil.rmtree(scratch, ignore_errors=True)
    o, n = statistics.median(off), statistics.median(on)
    print("doCapture to the capture's last file, median of %d RAW+JPEG captures:" % captures)
    print("  without live view  %.3f s" % o)
    print("  with live view     %.3f s  (%d frames taken, live view resumed after each)" % (n, frames))
    print("ratio live/without: %.3f (goal <= 1.1)" % (n / o))


if __name__ == "__main__":
    main()
