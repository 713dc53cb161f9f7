"""Task(camera=...): the camera words, and a capture from the simulated PTP/IP
camera (krv-sim-ptpip, loopback) through the libgphoto2 bridge found beside
the task. Environment: TETHER_TASK, KRV_SIM_PTPIP, KRV_SIM_CTL."""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from support import required_path

from tether_client import Task, camera_environment, camera_problem

WAIT = 30.0


class Words(unittest.TestCase):
    def test_words_and_environment(self):
        for word in ["sim", "usb", "usb:1,2", "usb:001,999", "ptpip:127.0.0.1", "ptpip:10.0.0.2:15740",
                     "ptpip:127.0.0.1:1:65535"]:
            self.assertIsNone(camera_problem(word), word)
        for word in ["", "SIM", "usb:", "usb:1", "usb:0,1", "usb:1,2,3", "usb:١,٢", "ptpip:", "ptpip:host",
                     "ptpip:127.0.0.1:0", "ptpip:127.0.0.1:65536", "ptpip:127.0.0.1:1:2:3", "ptpip:1.2.3"]:
            self.assertIsNotNone(camera_problem(word), word)
            with self.assertRaises(ValueError):
                Task(required_path("TETHER_TASK"), camera=word)
        task = required_path("TETHER_TASK")
        self.assertEqual(camera_environment("sim", task), {})
        env = camera_environment("usb:1,2", task, "/x")
        bridge = Path(os.path.realpath(task)).parent.parent / "Frameworks" / "gphoto2"
        self.assertEqual(env, {"LD_LIBRARY_PATH": f"{bridge}:/x", "KRV_GPHOTO_CAMERA": "usb:1,2"})
        with tempfile.TemporaryDirectory() as tmp:
            with self.assertRaises(FileNotFoundError):
                camera_environment("usb", os.path.join(tmp, "bin", "tether-task"))


class Ptpip(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="client-ptpip-")
        self.socket = os.path.join(self.dir, "control.sock")
        self.camera = subprocess.Popen(
            [required_path("KRV_SIM_PTPIP"), "--port", "0", "--event-port", "0", "--control", self.socket],
            stdout=subprocess.PIPE, text=True)
        self.words = self.camera.stdout.readline().split()  # ptpip ADDRESS PORT EVENTPORT
        self.assertEqual(self.words[0], "ptpip")
        for command in ["size 320 240", "raw-format NEF"]:
            out = subprocess.run([required_path("KRV_SIM_CTL"), "--socket", self.socket] + command.split(),
                                 capture_output=True, text=True, timeout=WAIT).stdout
            self.assertTrue(out.startswith("ok"), out)

    def tearDown(self):
        self.camera.terminate()
        self.camera.wait(WAIT)
        self.camera.stdout.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_capture_through_the_bridge(self):
        word = "ptpip:%s:%s:%s" % tuple(self.words[1:4])
        with Task(required_path("TETHER_TASK"), env={"HOME": self.dir}, camera=word) as task:
            camera = task.wait_for_camera(timeout=WAIT)
            self.assertEqual(camera.device_id, 12289)
            capture = task.capture(timeout=WAIT, files=2)
            self.assertEqual(sorted(Path(f.path).suffix for f in capture.files), [".JPG", ".NEF"])
            moved = capture.move_files(os.path.join(self.dir, "out"))
            self.assertEqual(sorted(p.suffix for p in moved), [".jpg", ".nef"])
            self.assertEqual(len({p.stem for p in moved}), 1)


if __name__ == "__main__":
    unittest.main()
