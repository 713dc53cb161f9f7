"""The task on the libgphoto2 bridge (chosen by LD_LIBRARY_PATH) against a
small PTP/IP camera on loopback: announcement, settings, captures from the
host and from the camera, RAW+JPEG pairing, faults and shutting down.

Environment: TETHER_TASK (the task), TETHER_BRIDGE_DIR (the bridge's folder).
Every wait is bounded; no assertion depends on how fast the machine is.
"""

import os
import shutil
import struct
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "..", "clients", "python"))

from fake_camera import FakeCamera  # noqa: E402
from tether_client.events import (DeviceAdded, DeviceRemoved, FileDownloaded,  # noqa: E402
                                  ObjectAdded, SettingsChanged, ThumbnailDownloaded)
from tether_client.task import Task  # noqa: E402

# A 16x8 grey baseline JPEG.
GREY_JPEG = bytes.fromhex(
    "ffd8ffe000104a46494600010100000100010000ffdb004300080606070605080707070909080a0c140d0c0b0b0c1912"
    "130f141d1a1f1e1d1a1c1c20242e2720222c231c1c2837292c30313434341f27393d38323c2e333432ffdb0043010909"
    "090c0b0c180d0d1832211c21323232323232323232323232323232323232323232323232323232323232323232323232"
    "3232323232323232323232323232ffc00011080008001003012200021101031101ffc4001f0000010501010101010100"
    "000000000000000102030405060708090a0bffc400b5100002010303020403050504040000017d010203000411051221"
    "31410613516107227114328191a1082342b1c11552d1f02433627282090a161718191a25262728292a3435363738393a"
    "434445464748494a535455565758595a636465666768696a737475767778797a838485868788898a9293949596979899"
    "9aa2a3a4a5a6a7a8a9aab2b3b4b5b6b7b8b9bac2c3c4c5c6c7c8c9cad2d3d4d5d6d7d8d9dae1e2e3e4e5e6e7e8e9eaf1"
    "f2f3f4f5f6f7f8f9faffc4001f0100030101010101010101010000000000000102030405060708090a0bffc400b51100"
    "020102040403040705040400010277000102031104052131061241510761711322328108144291a1b1c109233352f015"
    "6272d10a162434e125f11718191a262728292a35363738393a434445464748494a535455565758595a63646566676869"
    "6a737475767778797a82838485868788898a92939495969798999aa2a3a4a5a6a7a8a9aab2b3b4b5b6b7b8b9bac2c3c4"
    "c5c6c7c8c9cad2d3d4d5d6d7d8d9dae2e3e4e5e6e7e8e9eaf2f3f4f5f6f7f8f9faffda000c03010002110311003f0028"
    "a28a00ffd9")

WAIT = 30.0  # generous: a loaded machine is slow, never wrong


def with_orientation(jpeg, code):
    """`jpeg` with an EXIF segment whose IFD0 holds Orientation `code`."""
    tiff = (b"MM\0\x2a\0\0\0\x08" + struct.pack(">H", 1)
            + struct.pack(">HHIHH", 0x0112, 3, 1, code, 0) + b"\0\0\0\0")
    segment = b"Exif\0\0" + tiff
    return jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(segment) + 2) + segment + jpeg[2:]


class BridgeCase(unittest.TestCase):
    """A fake camera and a task on the bridge, ended after each test."""

    camera_options = {}
    environment = {}

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="bridge-home-")  # libgphoto2 keeps settings there
        self.log = os.path.join(self.home, "task.log")
        self.camera = FakeCamera(jpeg=with_orientation(GREY_JPEG, 6), raw=os.urandom(300000),
                                 **self.camera_options)
        env = {"HOME": self.home, "LD_LIBRARY_PATH": os.environ["TETHER_BRIDGE_DIR"],
               "KRV_GPHOTO_CAMERA": self.camera.address}
        env.update(self.environment)
        self.task = Task(os.environ["TETHER_TASK"], env=env, log=self.log)

    def tearDown(self):
        status = self.task.close()
        self.camera.close()
        shutil.rmtree(self.task.tmpdir, ignore_errors=True)
        shutil.rmtree(self.home, ignore_errors=True)
        self.assertEqual(status, 0)

    def log_text(self):
        with open(self.log, errors="replace") as f:
            return f.read()

    def wait_for(self, kind, timeout=WAIT):
        return self.task._wait_for(lambda e: isinstance(e, kind), timeout)

    def collect(self, files):
        """The next capture's object, thumbnail and `files` files."""
        added = self.wait_for(ObjectAdded)
        thumbnail = self.wait_for(ThumbnailDownloaded)
        done = [self.wait_for(FileDownloaded) for _ in range(files)]
        for event in [thumbnail] + done:
            self.assertEqual(event.capture_id, added.capture_id)
        return added, thumbnail, done

    def assert_files(self, done, names):
        """Each file has the extension and the exact bytes of the camera's object."""
        sent = {name.rsplit(".", 1)[1].upper(): data for name, data in self.camera_files(names)}
        for event in done:
            extension = event.path.rsplit(".", 1)[1]
            with open(event.path, "rb") as f:
                self.assertEqual(f.read(), sent[extension], event.path)
            self.assertEqual(event.size, len(sent[extension]))
        self.assertEqual(sorted(e.path.rsplit(".", 1)[1] for e in done), sorted(sent))

    def camera_files(self, names):
        return [entry for entry in self.camera.objects.values() if entry[0] in names]


class Session(BridgeCase):
    def test_announce_settings_capture_press_and_changes(self):
        added = self.task.wait_for_camera(WAIT)
        self.assertEqual(added, DeviceAdded(device_id=12289, name="Testmaker TM-1"))
        settings = self.task.settings(WAIT)
        self.assertEqual((settings.iso, settings.aperture, settings.shutter,
                          settings.white_balance), (400, 5.6, "1/250", "Daylight"))

        # From the host: triggered, RAW+JPEG as one capture, the raw stays a NEF.
        self.task.send("doCapture")
        obj, thumbnail, done = self.collect(2)
        self.assertEqual((obj.capture_id, obj.file_name, obj.orientation),
                         (1, "DSC_0001.NEF", "BC"))
        self.assertEqual(thumbnail.data[:2], b"\xff\xd8")  # made from the JPEG
        self.assert_files(done, ["DSC_0001.NEF", "DSC_0001.JPG"])
        self.assertEqual(self.camera.count(0x100E), 1)

        # From the camera's own shutter, objects announced JPEG first and after
        # CaptureComplete: still one capture; the camera's thumbnail is used.
        self.camera.jpeg_first = True
        self.camera.complete_first = True
        self.camera.thumb = GREY_JPEG
        self.camera.press()
        obj, thumbnail, done = self.collect(2)
        self.assertEqual((obj.capture_id, obj.file_name), (2, "DSC_0002.NEF"))
        self.assertEqual(thumbnail.data, GREY_JPEG)
        self.assert_files(done, ["DSC_0002.NEF", "DSC_0002.JPG"])

        # A dial turned on the camera: automatic ISO, then shade.
        self.camera.set_property(0x500F, 0xFFFF)
        self.assertEqual(self.wait_for(SettingsChanged).settings.iso, 0)
        self.camera.set_property(0x5005, 0x0007)
        deadline = time.monotonic() + WAIT
        while self.task.settings(WAIT).white_balance != "Flash":
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.1)
        self.assertEqual(self.camera.deleted, [])  # pictures stay on the card

    def test_jpeg_only_and_raw_only_cameras(self):
        self.task.wait_for_camera(WAIT)
        self.camera.raw_name = None
        self.camera.press()
        obj, _, done = self.collect(1)
        self.assertEqual(obj.file_name, "DSC_0001.JPG")
        self.assert_files(done, ["DSC_0001.JPG"])
        self.camera.raw_name, self.camera.jpeg = "IMG_%04d.CR3", b""
        self.camera.press()
        obj, thumbnail, done = self.collect(1)
        self.assertEqual((obj.file_name, obj.orientation), ("IMG_0002.CR3", "AB"))
        self.assertEqual(thumbnail.data[:2], b"\xff\xd8")  # a stand-in
        self.assert_files(done, ["IMG_0002.CR3"])


class Delete(BridgeCase):
    environment = {"KRV_GPHOTO_DELETE": "1"}

    def test_pictures_deleted_after_their_download(self):
        self.task.wait_for_camera(WAIT)
        self.camera.press()
        self.collect(2)
        deadline = time.monotonic() + WAIT
        while len(self.camera.deleted) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(sorted(self.camera.deleted), ["DSC_0001.JPG", "DSC_0001.NEF"])


class Faults(BridgeCase):
    environment = {"KRV_GPHOTO_CAPTURE_TIMEOUT_MS": "300"}

    def test_unplug_and_replug(self):
        self.task.wait_for_camera(WAIT)
        self.camera.drop()
        self.assertEqual(self.wait_for(DeviceRemoved).device_id, 12289)
        self.camera.plug()
        self.assertEqual(self.wait_for(DeviceAdded).name, "Testmaker TM-1")
        self.camera.press()
        self.collect(2)

    def test_unplug_mid_transfer_reports_no_partial_file(self):
        self.task.wait_for_camera(WAIT)
        self.camera.drop_in_get_object = True
        self.camera.press()
        self.wait_for(DeviceRemoved)
        self.camera.drop_in_get_object = False
        self.camera.plug()
        self.wait_for(DeviceAdded)
        self.camera.press()
        obj, _, done = self.collect(2)
        self.assertEqual(obj.capture_id, 1)  # nothing of the broken capture was reported
        self.assertEqual(sorted(os.listdir(self.task.tmpdir)), ["TetherTMP1.JPG", "TetherTMP1.NEF"])

    def test_busy_camera_is_asked_again(self):
        self.task.wait_for_camera(WAIT)
        self.camera.busy_triggers = 3
        self.task.send("doCapture")
        self.collect(2)
        self.assertEqual(self.camera.count(0x100E), 4)

    def test_capture_that_never_comes_times_out_and_the_session_goes_on(self):
        self.task.wait_for_camera(WAIT)
        self.camera.never_complete = True
        self.task.send("doCapture")
        deadline = time.monotonic() + WAIT
        while "capture timed out" not in self.log_text():
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        self.camera.press()
        self.collect(2)

    def test_slow_camera_still_works(self):
        self.camera.op_delay = 0.2  # each answer late; libgphoto2 waits 2.5 s at most
        self.task.wait_for_camera(WAIT)
        self.task.send("doCapture")
        self.collect(2)

    def test_shutdown_mid_transfer_ends_the_task(self):
        self.task.wait_for_camera(WAIT)
        self.camera.op_delay = 1.0
        self.camera.press()
        deadline = time.monotonic() + WAIT
        while self.camera.count(0x1009) == 0:  # a download has begun
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.02)
        started = time.monotonic()
        self.assertEqual(self.task.close(timeout=WAIT), 0)
        self.assertLess(time.monotonic() - started, WAIT)  # ended, not killed


if __name__ == "__main__":
    unittest.main()
