"""The task on the libgphoto2 bridge (chosen by LD_LIBRARY_PATH) against the
simulated PTP/IP camera, krv-sim-ptpip, driven through its control socket.

Environment: TETHER_TASK, TETHER_BRIDGE_DIR, KRV_SIM_PTPIP, KRV_SIM_CTL.
Every wait is bounded; no assertion depends on how fast the machine is.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "..", "clients", "python"))

from tether_client.events import (DeviceAdded, DeviceRemoved, FileDownloaded,  # noqa: E402
                                  ObjectAdded, SettingsChanged, ThumbnailDownloaded)
from tether_client.task import Task  # noqa: E402

WAIT = 30.0
NAME = "Tether Sim Sim PTP/IP Camera"  # manufacturer and model from its DeviceInfo


def fnv1a64(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


class SimCameraCase(unittest.TestCase):
    environment = {}
    camera_settings = []  # control commands applied before the task connects
    wait = WAIT

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="bridge-sim-")
        self.socket = os.path.join(self.dir, "control.sock")
        self.camera = subprocess.Popen(
            [os.environ["KRV_SIM_PTPIP"], "--port", "0", "--event-port", "0",
             "--control", self.socket], stdout=subprocess.PIPE, text=True)
        words = self.camera.stdout.readline().split()  # ptpip ADDRESS PORT EVENTPORT
        self.assertEqual(words[0], "ptpip")
        self.ctl("size 320 240")  # small pictures keep the test light
        for command in self.camera_settings:
            self.ctl(command)
        self.task = Task(os.environ["TETHER_TASK"], log=os.path.join(self.dir, "task.log"), env={
            "HOME": self.dir, "LD_LIBRARY_PATH": os.environ["TETHER_BRIDGE_DIR"],
            "KRV_GPHOTO_CAMERA": "ptpip:%s:%s:%s" % tuple(words[1:4]), **self.environment})

    def tearDown(self):
        status = self.task.close(timeout=WAIT)
        self.camera.terminate()
        self.camera.wait(WAIT)
        self.camera.stdout.close()
        shutil.rmtree(self.task.tmpdir, ignore_errors=True)
        shutil.rmtree(self.dir, ignore_errors=True)
        self.assertEqual(status, 0)

    def ctl(self, command):
        out = subprocess.run([os.environ["KRV_SIM_CTL"], "--socket", self.socket] + command.split(),
                             capture_output=True, text=True, timeout=WAIT).stdout.strip()
        self.assertTrue(out.startswith("ok"), command + ": " + out)
        return out

    def wait_for(self, kind):
        return self.task._wait_for(lambda e: isinstance(e, kind), self.wait)

    def collect(self, files):
        added = self.wait_for(ObjectAdded)
        thumbnail = self.wait_for(ThumbnailDownloaded)
        done = [self.wait_for(FileDownloaded) for _ in range(files)]
        for event in [thumbnail] + done:
            self.assertEqual(event.capture_id, added.capture_id)
        return added, thumbnail, done

    def assert_as_on_card(self, done):
        """Each file holds exactly the bytes of the camera's object of that extension."""
        card = {}
        for handle in self.ctl("objects").split()[2:]:
            fields = dict(f.split("=", 1) for f in self.ctl("object " + handle).split()[1:])
            card[fields["name"]] = fields
        for event in done:
            with open(event.path, "rb") as f:
                data = f.read()
            extension = event.path.rsplit(".", 1)[1]
            match = [v for k, v in card.items() if k.upper().endswith("." + extension)
                     and v["fnv1a64"] == fnv1a64(data)]
            self.assertEqual(len(match), 1, event.path)
            self.assertEqual(int(match[0]["size"]), event.size)


class SimSession(SimCameraCase):
    def test_name_settings_captures_and_dials(self):
        self.assertEqual(self.task.wait_for_camera(WAIT), DeviceAdded(12289, NAME))
        s = self.task.settings(WAIT)
        self.assertEqual((s.iso, s.aperture, s.shutter, s.white_balance),
                         (400, 5.6, "1/125", "Auto"))

        self.ctl("raw-format NEF")
        self.task.send("doCapture")
        added, thumbnail, done = self.collect(2)
        self.assertEqual(added.file_name, "IMG_0001.NEF")
        self.assertEqual(thumbnail.data[:2], b"\xff\xd8")
        self.assertEqual(sorted(e.path[-4:] for e in done), [".JPG", ".NEF"])
        self.assert_as_on_card(done)

        # The camera's own shutter, the pair announced JPEG first and after
        # CaptureComplete: one capture all the same.
        self.ctl("order jpeg-first")
        self.ctl("complete first")
        self.ctl("orientation 6")
        self.ctl("capture")
        added, _, done = self.collect(2)
        self.assertEqual((added.capture_id, added.file_name, added.orientation),
                         (2, "IMG_0002.NEF", "BC"))
        self.assert_as_on_card(done)

        self.ctl("dial iso 0xffff")
        self.assertEqual(self.wait_for(SettingsChanged).settings.iso, 0)  # automatic
        self.ctl("dial wb 6")
        deadline = time.monotonic() + WAIT
        while self.task.settings(WAIT).white_balance != "Tungsten":
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.1)


    def test_jpeg_alone_and_raw_alone_without_thumbnails(self):
        self.task.wait_for_camera(WAIT)
        self.ctl("files jpeg")
        self.ctl("capture")
        added, thumbnail, done = self.collect(1)
        self.assertEqual(added.file_name, "IMG_0001.JPG")
        self.assert_as_on_card(done)
        self.ctl("files raw")
        self.ctl("thumb off")
        self.ctl("orientation none")
        self.ctl("capture")
        added, thumbnail, done = self.collect(1)
        self.assertEqual((added.file_name, added.orientation), ("IMG_0002.DNG", "AB"))
        self.assertEqual(thumbnail.data[:2], b"\xff\xd8")  # a stand-in
        self.assert_as_on_card(done)
        self.assertEqual(len(self.ctl("objects").split()), 4)  # both stay on the card


class SimDelete(SimCameraCase):
    environment = {"KRV_GPHOTO_DELETE": "1"}

    def test_pictures_leave_the_card_after_their_download(self):
        self.task.wait_for_camera(WAIT)
        self.task.send("doCapture")
        self.collect(2)
        deadline = time.monotonic() + WAIT
        while self.ctl("objects") != "ok objects":
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)


class SimFaults(SimCameraCase):
    def test_unplug_and_replug(self):
        self.task.wait_for_camera(WAIT)
        self.ctl("unplug")
        self.assertEqual(self.wait_for(DeviceRemoved).device_id, 12289)
        self.ctl("plug")
        self.assertEqual(self.wait_for(DeviceAdded).name, NAME)
        self.task.send("doCapture")
        self.collect(2)

    def test_unplug_mid_transfer_leaves_no_file(self):
        self.task.wait_for_camera(WAIT)
        self.ctl("files raw")
        self.ctl("dng-bytes 8388608")
        self.ctl("chunk-delay 400")  # 8 packets: seconds of transfer
        self.ctl("capture")
        time.sleep(1.5)  # into the download (if earlier, the same must hold)
        self.ctl("unplug")
        self.wait_for(DeviceRemoved)
        self.ctl("chunk-delay 0")
        self.ctl("plug")
        self.wait_for(DeviceAdded)
        self.task.send("doCapture")
        added, _, done = self.collect(1)
        self.assertEqual(added.capture_id, 1)  # nothing of the cut capture reached the host
        self.assertEqual(sorted(os.listdir(self.task.tmpdir)), ["TetherTMP1.DNG"])
        self.assert_as_on_card(done)

    def test_busy_then_slow_camera(self):
        self.task.wait_for_camera(WAIT)
        self.ctl("busy 3")
        self.task.send("doCapture")
        self.assert_as_on_card(self.collect(2)[2])
        self.ctl("delay 300")  # every answer late, within libgphoto2's 2.5 s
        self.task.send("doCapture")
        self.assert_as_on_card(self.collect(2)[2])

    def test_shutdown_mid_transfer(self):
        self.task.wait_for_camera(WAIT)
        self.ctl("dng-bytes 16777216")
        self.ctl("chunk-delay 1000")
        self.ctl("capture")
        time.sleep(1.5)
        self.assertEqual(self.task.close(timeout=WAIT), 0)  # ended, not killed


class SimSlowCamera(SimCameraCase):
    """Every answer 2 s late, within the 2.5 s libgphoto2 waits on PTP/IP:
    about 13 operations to connect and 7 for a JPEG capture, some 45 s."""
    camera_settings = ["files jpeg", "delay 2000"]
    wait = 120.0

    def test_connects_and_delivers_a_capture(self):
        self.assertEqual(self.task.wait_for_camera(self.wait).name, NAME)
        self.task.send("doCapture")
        added, _, done = self.collect(1)
        self.assertEqual(added.file_name, "IMG_0001.JPG")
        self.assert_as_on_card(done)


if __name__ == "__main__":
    unittest.main()
