#!/usr/bin/python3
"""From the camera's ObjectAdded to the last file of the capture on the host,
through the task on the libgphoto2 bridge, against `gphoto2
--wait-event-and-download` of the same pictures from the same simulated PTP/IP
camera, measured in the same run. Prints the ratio (task / gphoto2); no
threshold.

    bench/ptpip_download_bench.py BUILD_DIR [CAPTURES]

The shutter is pressed through the camera's control socket, which makes the
camera announce the objects (ObjectAdded) at once; each side is warmed up by
one capture first, so connecting is not counted. RAW+JPEG, 6000x4000-sized
raw (about 30 MB) so that the transfer, not the wake-up, dominates.
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "clients", "python"))

from tether_client import Task  # noqa: E402
from tether_client.events import FileDownloaded, ObjectAdded  # noqa: E402

WAIT = 60.0


class Camera:
    def __init__(self, build, scratch):
        self.ctl_path = os.path.join(build, "bin", "krv-sim-ctl")
        self.socket = os.path.join(scratch, "cam.sock")
        self.process = subprocess.Popen([os.path.join(build, "bin", "krv-sim-ptpip"), "--port", "0",
                                         "--event-port", "0", "--control", self.socket],
                                        stdout=subprocess.PIPE, text=True)
        words = self.process.stdout.readline().split()
        self.word = "ptpip:%s:%s:%s" % tuple(words[1:4])
        for command in ["size 640 480", "dng-bytes 30000000", "files raw+jpeg", "raw-format NEF"]:
            self.ctl(command)

    def ctl(self, command):
        out = subprocess.run([self.ctl_path, "--socket", self.socket] + command.split(),
                             capture_output=True, text=True, timeout=WAIT).stdout
        if not out.startswith("ok"):
            raise RuntimeError(command + ": " + out)

    def close(self):
        self.process.terminate()
        self.process.wait(WAIT)
        self.process.stdout.close()


def task_times(build, camera, scratch, captures):
    times = []
    task = Task(os.path.join(build, "bin", "tether-task"), env={"HOME": scratch}, camera=camera.word)
    try:
        task.wait_for_camera(timeout=WAIT)
        for n in range(captures + 1):
            start = time.monotonic()
            camera.ctl("capture")
            files = 0
            deadline = start + WAIT
            while files < 2:
                event = task.next_event(timeout=max(0.1, deadline - time.monotonic()))
                if isinstance(event, FileDownloaded):
                    files += 1
                    os.unlink(event.path)
            if n > 0:
                times.append(time.monotonic() - start)
    finally:
        task.close(timeout=WAIT)
        shutil.rmtree(task.tmpdir, ignore_errors=True)
    return times


def gphoto2_times(camera, scratch, captures):
    marks = os.path.join(scratch, "marks")
    hook = os.path.join(scratch, "hook.sh")
    with open(hook, "w") as f:
        f.write('#!/bin/sh\n[ "$ACTION" = download ] && echo x >> "%s"\nexit 0\n' % marks)
    os.chmod(hook, 0o755)
    out = os.path.join(scratch, "gphoto2-out")
    os.makedirs(out)
    gphoto = subprocess.Popen(
        ["gphoto2", "--port", camera.word, "--camera", "PTP/IP Camera", "--keep", "--hook-script", hook,
         "--filename", os.path.join(out, "%n.%C"), "--wait-event-and-download=%ds" % (WAIT * (captures + 2))],
        env=dict(os.environ, HOME=scratch), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def downloaded():
        try:
            with open(marks) as f:
                return len(f.read().split())
        except FileNotFoundError:
            return 0

    times = []
    try:
        for n in range(captures + 1):
            if n == 0:
                time.sleep(2.0)  # gphoto2 opens the camera before it waits for events
            start = time.monotonic()
            camera.ctl("capture")
            while downloaded() < 2 * (n + 1):
                if time.monotonic() - start > WAIT:
                    raise RuntimeError("gphoto2 did not download capture %d" % n)
                time.sleep(0.001)
            if n > 0:
                times.append(time.monotonic() - start)
            for name in os.listdir(out):
                os.unlink(os.path.join(out, name))
    finally:
        gphoto.terminate()
        gphoto.wait(WAIT)
    return times


def main():
    build = sys.argv[1]
    captures = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    scratch = tempfile.mkdtemp(prefix="ptpip-bench-")
    camera = Camera(build, scratch)
    try:
        task = task_times(build, camera, scratch, captures)
        gphoto = gphoto2_times(camera, scratch, captures)
    finally:
        camera.close()
        shutil.rmtree(scratch, ignore_errors=True)
    t, g = statistics.median(task), statistics.median(gphoto)
    print("ObjectAdded to the capture's last file, median of %d RAW+JPEG captures:" % captures)
    print("  task on the bridge  %.3f s" % t)
    print("  gphoto2             %.3f s" % g)
    print("ratio task/gphoto2: %.2f" % (t / g))


if __name__ == "__main__":
    main()
