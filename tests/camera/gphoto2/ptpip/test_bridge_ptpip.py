"""The task on the libgphoto2 bridge against a small PTP/IP camera of this
test's own, for what the simulated camera (test_bridge_sim_camera.py) cannot
be made to do: a triggered capture that the camera never delivers, a raw
announced larger than any file may be.

Environment: TETHER_TASK (the task), TETHER_BRIDGE_DIR (the bridge's folder).
Every wait is bounded; no assertion depends on how fast the machine is.
"""

import os
import shutil
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "..", "clients", "python"))

from fake_camera import FakeCamera  # noqa: E402
from tether_client.events import FileDownloaded, ObjectAdded  # noqa: E402
from tether_client.task import Task  # noqa: E402

WAIT = 30.0


class Faults(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="bridge-home-")  # libgphoto2 keeps settings there
        self.log = os.path.join(self.home, "task.log")
        self.camera = FakeCamera(jpeg=b"\xff\xd8 a picture \xff\xd9", raw=os.urandom(3000))
        self.task = Task(os.environ["TETHER_TASK"], log=self.log, env={
            "HOME": self.home, "LD_LIBRARY_PATH": os.environ["TETHER_BRIDGE_DIR"],
            "KRV_GPHOTO_CAMERA": self.camera.address, "KRV_GPHOTO_CAPTURE_TIMEOUT_MS": "300"})

    def tearDown(self):
        status = self.task.close(timeout=WAIT)
        self.camera.close()
        shutil.rmtree(self.task.tmpdir, ignore_errors=True)
        shutil.rmtree(self.home, ignore_errors=True)
        self.assertEqual(status, 0)

    def wait_for_log(self, text):
        deadline = time.monotonic() + WAIT
        while True:
            with open(self.log, errors="replace") as f:
                if text in f.read():
                    return
            self.assertLess(time.monotonic(), deadline, text)
            time.sleep(0.05)

    def test_capture_that_never_comes_times_out_and_the_session_goes_on(self):
        self.task.wait_for_camera(WAIT)
        self.camera.never_complete = True
        self.task.send("doCapture")
        self.wait_for_log("capture timed out")
        self.camera.press()
        added = self.task._wait_for(lambda e: isinstance(e, ObjectAdded), WAIT)
        self.assertEqual((added.capture_id, added.file_name), (1, "DSC_0001.NEF"))
        for _ in range(2):
            done = self.task._wait_for(lambda e: isinstance(e, FileDownloaded), WAIT)
            self.assertEqual(done.capture_id, 1)

    def test_a_raw_announced_over_the_bound_is_refused_unfetched(self):
        self.task.wait_for_camera(WAIT)
        self.camera.raw_claims = 0xC0000000  # 3 GiB, more than the 1 GiB a file may have
        self.camera.press()
        self.wait_for_log("more than a file may have")
        self.assertEqual(self.camera.fetched, [])  # nothing reserved, nothing asked for
        self.camera.raw_claims = None
        self.camera.press()
        added = self.task._wait_for(lambda e: isinstance(e, ObjectAdded), WAIT)
        self.assertEqual((added.capture_id, added.file_name), (1, "DSC_0002.NEF"))
        for _ in range(2):
            done = self.task._wait_for(lambda e: isinstance(e, FileDownloaded), WAIT)
            self.assertEqual(done.capture_id, 1)


if __name__ == "__main__":
    unittest.main()
