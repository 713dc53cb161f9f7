#!/usr/bin/python3
"""From the camera's ObjectAdded to the last file of the capture on disk,
through the task on the libgphoto2 bridge, against `gphoto2
--wait-event-and-download` of the same pictures from the same simulated PTP/IP
camera, measured in the same run. Prints the ratio (task / gphoto2); no
threshold.

    bench/ptpip_download_bench.py BUILD_DIR [CAPTURES] [ROUNDS]

Each round runs the task for CAPTURES captures (5 by default), then gphoto2
for as many; the figure is the median over ROUNDS (3) of each round's ratio of
medians. The shutter is pressed through the camera's control socket, whose
reply comes once the pictures are made and their ObjectAdded events queued:
the clock starts there, so neither side is charged for the camera making the
picture. Each side is warmed up by one capture first, so connecting is not
counted. RAW+JPEG, a NEF of about 30 MB, so that the transfer, not the
wake-up, dominates.

What each side includes: noticing the events, fetching both files over
PTP/IP (libgphoto2 fetches the raw with GetPartialObject, 1 MiB a request,
on both sides) and writing them to disk, neither side calling fsync. The
task's side also fetches the thumbnail, reads the orientation and reports
the capture to its host, and ends when the host has read the last
"fileDownloadComplete"; gphoto2's ends when this script sees both files at
their full size under their final names (polled every millisecond).
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from ptpip_camera import WAIT, Camera
from tether_client import Task
from tether_client.events import FileDownloaded

SETTINGS = ["size 640 480", "dng-bytes 30000000", "files raw+jpeg", "raw-format NEF"]


def press(camera):
    """Presses the shutter; the clock's start and the new objects' names and sizes."""
    handles = camera.ctl("capture").split()[2:]
    start = time.monotonic()
    files = {}
    for handle in handles:
        fields = dict(f.split("=", 1) for f in camera.ctl("object " + handle).split()[1:])
        files[fields["name"]] = int(fields["size"])
    return start, files


def task_times(build, camera, scratch, captures):
    times = []
    task = Task(os.path.join(build, "bin", "tether-task"), env={"HOME": scratch}, camera=camera.word)
    try:
        task.wait_for_camera(timeout=WAIT)
        for n in range(captures + 1):
            start, files = press(camera)
            deadline = start + WAIT
            done = 0
            while done < len(files):
                event = task.next_event(timeout=max(0.1, deadline - time.monotonic()))
                if isinstance(event, FileDownloaded):
                    done += 1
                    end = time.monotonic()
                    os.unlink(event.path)
            if n > 0:
                times.append(end - start)
    finally:
        task.close(timeout=WAIT)
        shutil.rmtree(task.tmpdir, ignore_errors=True)
    return times


def whole(folder, files):
    for name, size in files.items():
        try:
            if os.stat(os.path.join(folder, name)).st_size != size:
                return False
        except FileNotFoundError:
            return False
    return True


def gphoto2_times(camera, scratch, captures):
    out = os.path.join(scratch, "gphoto2-out")
    os.makedirs(out)
    gphoto = subprocess.Popen(
        ["gphoto2", "--port", camera.word, "--camera", "PTP/IP Camera", "--keep",
         "--filename", os.path.join(out, "%f.%C"),
         "--wait-event-and-download=%ds" % (WAIT * (captures + 2))],
        env=dict(os.environ, HOME=scratch), cwd=out,  # its temporary files: renamed in place
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    times = []
    try:
        for n in range(captures + 1):
            if n == 0:
                time.sleep(2.0)  # gphoto2 opens the camera before it waits for events
            start, files = press(camera)
            while not whole(out, files):
                if time.monotonic() - start > WAIT:
                    raise RuntimeError("gphoto2 did not download capture %d" % n)
                time.sleep(0.001)
            end = time.monotonic()
            if n > 0:
                times.append(end - start)
            for name in os.listdir(out):
                os.unlink(os.path.join(out, name))
    finally:
        gphoto.terminate()
        gphoto.wait(WAIT)
    return times


def main():
    build = sys.argv[1]
    captures = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    scratch = tempfile.mkdtemp(prefix="ptpip-bench-")
    camera = Camera(build, scratch, SETTINGS)
    task, gphoto, ratios = [], [], []
    try:
        for r in range(rounds):
            home = os.path.join(scratch, "round%d" % r)
            os.mkdir(home)
            t = task_times(build, camera, home, captures)
            g = gphoto2_times(camera, home, captures)
            task += t
            gphoto += g
            ratios.append(statistics.median(t) / statistics.median(g))
    finally:
        camera.close()
        shutil.rmtree(scratch, ignore_errors=True)
    print("ObjectAdded to the capture's last file on disk, RAW+JPEG (NEF of 30 MB), "
          "%d rounds of %d captures a side:" % (rounds, captures))
    print("  task on the bridge  median %.3f s  (to the host's last \"fileDownloadComplete\")"
          % statistics.median(task))
    print("  gphoto2             median %.3f s  (to both files whole on disk)"
          % statistics.median(gphoto))
    print("  neither side calls fsync; both fetch the raw with GetPartialObject, 1 MiB a request;")
    print("  gphoto2 writes each piece as it comes, the task writes each file once it is whole")
    print("ratio task/gphoto2: %.2f  (median of the rounds: %s)"
          % (statistics.median(ratios), " ".join("%.2f" % x for x in ratios)))


if __name__ == "__main__":
    main()
