#!/usr/bin/python3
"""From the camera's ObjectAdded to the last file of the capture on disk,
through the task on the libgphoto2 bridge, against `gphoto2
--wait-event-and-download` of the same pictures from the same simulated PTP/IP
camera, measured in the same run. Prints the ratio (task / gphoto2); no
threshold.

    bench/ptpip_download_bench.py BUILD_DIR [ROUNDS]

A camera takes one host at a time, so two instances of krv-sim-ptpip with the
same settings (the same pictures, capture by capture) serve the two sides,
both connected throughout. Each round is one capture on each side, one after
the other, so that both see the same load on a shared machine; the figure is
the median over ROUNDS (15 by default) of the rounds' ratios. The shutter is
pressed through the camera's control socket, whose reply comes once the
pictures are made and their ObjectAdded events queued: the clock starts there,
so neither side is charged for the camera making the picture. Each side is
warmed up by one capture first, so connecting is not counted. RAW+JPEG, a NEF
of about 30 MB, so that the transfer, not the wake-up, dominates.

What each side includes: noticing the events, fetching both files over
PTP/IP (libgphoto2 fetches the raw with GetPartialObject, 1 MiB a request,
on both sides) and writing them to disk; neither side calls fsync. gphoto2
writes each piece as it comes; the task's camera library hands it each file
whole, which it then writes. The task's side also fetches the thumbnail,
reads the orientation and reports the capture to its host, and ends when the
host has read the last "fileDownloadComplete"; gphoto2's ends when this
script sees both files at their full size under their final names (polled
every millisecond).
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


class TaskSide:
    def __init__(self, build, camera, home):
        self.camera = camera
        self.task = Task(os.path.join(build, "bin", "tether-task"), env={"HOME": home},
                         camera=camera.word)
        self.task.wait_for_camera(timeout=WAIT)

    def capture(self):
        start, files = press(self.camera)
        done = 0
        while done < len(files):
            event = self.task.next_event(timeout=WAIT)
            if isinstance(event, FileDownloaded):
                done += 1
                end = time.monotonic()
                os.unlink(event.path)
        return end - start

    def close(self):
        self.task.close(timeout=WAIT)
        shutil.rmtree(self.task.tmpdir, ignore_errors=True)


class Gphoto2Side:
    def __init__(self, camera, home):
        self.camera = camera
        self.out = os.path.join(home, "gphoto2-out")
        os.makedirs(self.out)
        self.process = subprocess.Popen(
            ["gphoto2", "--port", camera.word, "--camera", "PTP/IP Camera", "--keep",
             "--filename", os.path.join(self.out, "%f.%C"), "--wait-event-and-download=3600s"],
            env=dict(os.environ, HOME=home), cwd=self.out,  # its temporary files: renamed in place
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(2.0)  # gphoto2 opens the camera before it waits for events

    def whole(self, files):
        for name, size in files.items():
            try:
                if os.stat(os.path.join(self.out, name)).st_size != size:
                    return False
            except FileNotFoundError:
                return False
        return True

    def capture(self):
        start, files = press(self.camera)
        while not self.whole(files):
            if time.monotonic() - start > WAIT:
                raise RuntimeError("gphoto2 did not download " + " ".join(files))
            time.sleep(0.001)
        end = time.monotonic()
        for name in files:
            os.unlink(os.path.join(self.out, name))
        return end - start

    def close(self):
        self.process.terminate()
        self.process.wait(WAIT)


def main():
    build = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    scratch = tempfile.mkdtemp(prefix="ptpip-bench-")
    cameras, sides = [], []
    task, gphoto, ratios = [], [], []
    try:
        for name in ("task", "gphoto2"):
            os.mkdir(os.path.join(scratch, name))
            cameras.append(Camera(build, os.path.join(scratch, name), SETTINGS))
        sides.append(TaskSide(build, cameras[0], os.path.join(scratch, "task")))
        sides.append(Gphoto2Side(cameras[1], os.path.join(scratch, "gphoto2")))
        for side in sides:
            side.capture()  # warm-up
        for _ in range(rounds):
            t, g = (side.capture() for side in sides)
            task.append(t)
            gphoto.append(g)
            ratios.append(t / g)
    finally:
        for thing in sides + cameras:
            thing.close()
        shutil.rmtree(scratch, ignore_errors=True)
    print("ObjectAdded to the capture's last file on disk, RAW+JPEG (NEF of 30 MB), %d rounds:"
          % rounds)
    print("  task on the bridge  median %.3f s  (to the host's last \"fileDownloadComplete\")"
          % statistics.median(task))
    print("  gphoto2             median %.3f s  (to both files whole on disk)"
          % statistics.median(gphoto))
    print("  neither side calls fsync; both fetch the raw with GetPartialObject, 1 MiB a request;")
    print("  gphoto2 writes each piece as it comes, the task writes each file once it is whole")
    print("  rounds (task gphoto2): " + " ".join("%.0f/%.0f" % (t * 1e3, g * 1e3) for t, g in zip(task, gphoto)))
    print("ratio task/gphoto2: %.2f  (median of the rounds' ratios; quartiles %.2f %.2f)"
          % (statistics.median(ratios), *statistics.quantiles(ratios, n=4)[::2]))


if __name__ == "__main__":
    main()
