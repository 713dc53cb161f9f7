"""tether-host --camera: the words it takes, and a capture from the simulated
PTP/IP camera (krv-sim-ptpip, on loopback) through the libgphoto2 bridge
that tether-host finds beside the task.

Environment: TETHER_HOST, KRV_SIM_PTPIP, KRV_SIM_CTL. Every wait is bounded.
"""

import os
import shutil
import subprocess
import tempfile
import unittest

WAIT = 60.0


class CameraWords(unittest.TestCase):
    def test_a_malformed_camera_is_a_usage_error_before_any_task_starts(self):
        for word in ["", "sims", "usb:1", "usb:1,2,3", "usb:a,b", "usb:1,0", "ptpip:", "ptpip:localhost",
                     "ptpip:127.0.0.1:0", "ptpip:127.0.0.1:65536", "ptpip:127.0.0.1:1:2:3", "ptpip:::1",
                     "usb:1,2\n\x1b[2J"]:
            with self.subTest(word=word):
                # A task that cannot start tells whether one was tried.
                run = subprocess.run([os.environ["TETHER_HOST"], "--camera", word, "--task", "/nonexistent/task",
                                      "settings"], capture_output=True, text=True, timeout=WAIT)
                self.assertEqual(run.returncode, 1, run.stderr)
                self.assertIn("camera", run.stderr)
                self.assertNotIn("\x1b", run.stderr)

    def test_a_missing_bridge_is_told(self):
        with tempfile.TemporaryDirectory() as tmp:
            task = os.path.join(tmp, "bin", "tether-task")
            os.makedirs(os.path.dirname(task))
            run = subprocess.run([os.environ["TETHER_HOST"], "--camera", "usb:1,2", "--task", task, "settings"],
                                 capture_output=True, text=True, timeout=WAIT)
            self.assertEqual(run.returncode, 2, run.stderr)
            self.assertIn(os.path.join(tmp, "Frameworks", "gphoto2"), run.stderr.replace("/bin/..", ""))


class Cameras(unittest.TestCase):
    def run_cameras(self, task):
        return subprocess.run([os.environ["TETHER_HOST"], "--task", task, "cameras"],
                              capture_output=True, text=True, timeout=WAIT)

    def test_the_real_helper_lists_or_says_none(self):
        run = subprocess.run([os.environ["TETHER_HOST"], "cameras"], capture_output=True, text=True, timeout=WAIT)
        self.assertEqual(run.returncode, 0, run.stderr)
        lines = run.stdout.splitlines()
        self.assertTrue(lines == ["no camera detected"] or all("  " in line for line in lines), run.stdout)

    def test_camera_text_is_made_safe_and_a_missing_helper_is_told(self):
        with tempfile.TemporaryDirectory() as tmp:
            task = os.path.join(tmp, "tether-task")
            run = self.run_cameras(task)
            self.assertEqual(run.returncode, 2)
            self.assertIn(os.path.join(tmp, "tether-cameras"), run.stderr)
            helper = os.path.join(tmp, "tether-cameras")
            with open(helper, "w") as f:
                f.write("#!/bin/sh\nprintf 'Evil\\033[2J Cam\\tusb:001,002\\nnot a line\\n'\n")
            os.chmod(helper, 0o755)
            run = self.run_cameras(task)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertNotIn("\x1b", run.stdout)
            lines = run.stdout.splitlines()
            self.assertEqual(len(lines), 1, run.stdout)
            self.assertTrue(lines[0].startswith("Evil") and lines[0].endswith("Cam  usb:001,002"), lines)
            with open(helper, "w") as f:
                f.write("#!/bin/sh\nexit 0\n")
            self.assertEqual(self.run_cameras(task).stdout, "no camera detected\n")


class CaptureOverPtpip(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="camera-ptpip-")
        self.socket = os.path.join(self.dir, "control.sock")
        self.camera = subprocess.Popen(
            [os.environ["KRV_SIM_PTPIP"], "--port", "0", "--event-port", "0", "--control", self.socket],
            stdout=subprocess.PIPE, text=True)
        self.words = self.camera.stdout.readline().split()  # ptpip ADDRESS PORT EVENTPORT
        self.assertEqual(self.words[0], "ptpip")
        self.ctl("size 320 240")
        self.ctl("raw-format NEF")

    def tearDown(self):
        self.camera.terminate()
        self.camera.wait(WAIT)
        self.camera.stdout.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def ctl(self, command):
        out = subprocess.run([os.environ["KRV_SIM_CTL"], "--socket", self.socket] + command.split(),
                             capture_output=True, text=True, timeout=WAIT).stdout.strip()
        self.assertTrue(out.startswith("ok"), command + ": " + out)
        return out

    def test_capture_saves_thumbnail_nef_and_jpeg(self):
        out = os.path.join(self.dir, "out")
        env = dict(os.environ, HOME=self.dir, XDG_STATE_HOME=self.dir, TMPDIR=self.dir)
        run = subprocess.run([os.environ["TETHER_HOST"], "--camera", "ptpip:%s:%s:%s" % tuple(self.words[1:4]),
                              "capture", "-n", "1", "--out", out],
                             capture_output=True, text=True, timeout=WAIT, env=env)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertEqual(sorted(os.listdir(out)), ["IMG_0001.jpg", "IMG_0001.nef", "IMG_0001.thumb.jpg"])
        for name in os.listdir(out):
            with open(os.path.join(out, name), "rb") as f:
                head = f.read(4)
            # The NEF is the simulated camera's TIFF-based raw; the others are JPEGs.
            self.assertEqual(head[:2], b"II" if name.endswith(".nef") else b"\xff\xd8", name)
        self.assertIn("NEF", run.stdout)  # the summary names the raw file's format
        self.assertNotIn("INCOMPLETE", run.stdout + run.stderr)


if __name__ == "__main__":
    unittest.main()
