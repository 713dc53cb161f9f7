"""The client against the built task and the simulated camera, end to end."""

import os
import subprocess
import tempfile
import threading
import time
import unittest
from pathlib import Path

from support import NotatedFrame, Simulator, doc_example, required_path

from tether_client import (DeviceAdded, DeviceRemoved, FrameReader, SettingsReply, Task,
                           TaskExited, encode_frame)

GUARD = 30.0  # seconds; only a guard against a hung task, never a measure


def wait_for_log(path: str, text: str, count: int = 1) -> None:
    deadline = time.monotonic() + GUARD
    while Path(path).read_text(errors="replace").count(text) < count:
        if time.monotonic() > deadline:
            raise AssertionError(f"{text!r} not logged {count} times")
        time.sleep(0.02)


class RecordingStream:
    """A binary stream that keeps every byte read from it."""

    def __init__(self, stream):
        self.stream, self.data = stream, bytearray()

    def read(self, count: int) -> bytes:
        chunk = self.stream.read(count)
        self.data += chunk
        return chunk


class SimulatorTest(unittest.TestCase):
    def setUp(self):
        self.task_path = required_path("TETHER_TASK")
        self.sim = Simulator()
        self.addCleanup(self.sim.cleanup)
        self.scratch = tempfile.TemporaryDirectory(prefix="tether-test-")
        self.addCleanup(self.scratch.cleanup)

    def start(self, **kwargs) -> Task:
        task = Task(self.task_path, env=self.sim.env, **kwargs)
        self.addCleanup(task.close)
        return task


class WireBytes(SimulatorTest):
    """The task's real frames: the doc's examples as the task sends them, and the Python
    encoder giving the same bytes for every frame."""

    def test_live_frames_match_the_doc_and_the_python_encoder(self):
        tmpdir = os.path.join(self.scratch.name, "tmp")
        os.mkdir(tmpdir)
        process = subprocess.Popen([self.task_path], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0,
                                   env=dict(os.environ, TMPDIR=tmpdir, **self.sim.env))
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.kill)
        recorded = RecordingStream(process.stdout)
        reader = FrameReader(recorded)

        def next_frame(name):
            while True:
                recorded.data.clear()
                frame = reader.read_frame()
                self.assertIsNotNone(frame, f"output ended before {name}")
                self.assertEqual(encode_frame(frame.message_id, frame.name, frame.payload),
                                 bytes(recorded.data), frame.name)
                if frame.name == name:
                    return frame, bytes(recorded.data)

        next_frame("deviceAdded")
        # The doc's "ok" example holds the simulated camera's settings.
        ok, ok_bytes = doc_example('frame 12 "ok"')
        process.stdin.write(encode_frame(12, "getCameraSettings"))
        self.assertEqual(next_frame("ok")[1], ok_bytes)
        capture, _ = doc_example('frame 7 "doCapture"')
        process.stdin.write(encode_frame(capture.message_id, capture.name, capture.payload))
        for name in ["objectWasAdded", "thumbnailWasDownloaded", "fileDownloadComplete",
                     "fileDownloadComplete"]:
            next_frame(name)
        self.sim.control("disconnect")
        removed, removed_bytes = doc_example('frame 0 "deviceRemoved"')
        self.assertIsInstance(removed, NotatedFrame)
        self.assertEqual(next_frame("deviceRemoved")[1], removed_bytes)
        process.stdin.close()
        self.assertEqual(process.wait(GUARD), 0)


class Session(SimulatorTest):
    def test_settings_capture_move_and_close(self):
        task = self.start()
        camera = task.wait_for_camera(GUARD)
        self.assertEqual(camera, DeviceAdded(8241, "Orvak K (Mk 3)"))
        settings = task.settings(GUARD)
        self.assertEqual((settings.iso, settings.aperture, settings.shutter,
                          settings.white_balance), (400, 5.6, "1/125", "Daylight"))

        capture = task.capture(GUARD, files=2)
        self.assertEqual((capture.capture_id, capture.file_name, capture.orientation),
                         (1, "IMG_0001.dng", "AB"))
        self.assertTrue(capture.thumbnail.startswith(b"\xff\xd8"))
        tmpdir = os.path.realpath(task.tmpdir)
        self.assertEqual(sorted(f.path for f in capture.files),
                         [f"{tmpdir}/TetherTMP1.DNG", f"{tmpdir}/TetherTMP1.JPG"])
        for file in capture.files:
            self.assertEqual(os.path.getsize(file.path), file.size)

        # Moving never replaces: a file already there keeps its bytes.
        out = Path(self.scratch.name, "out")
        out.mkdir()
        (out / "IMG_0001.dng").write_bytes(b"keep")
        moved = capture.move_files(out)
        self.assertEqual(sorted(p.name for p in moved), ["IMG_0001-1.dng", "IMG_0001.jpg"])
        self.assertEqual((out / "IMG_0001.dng").read_bytes(), b"keep")
        self.assertTrue((out / "IMG_0001-1.dng").read_bytes().startswith(b"II*\0"))

        self.assertEqual(task.close(GUARD), 0)
        self.assertFalse(os.path.exists(task.tmpdir), "the empty TMPDIR is removed")
        with self.assertRaises(TaskExited):
            while True:
                task.next_event(GUARD)

    def test_a_file_left_behind_keeps_its_tmpdir(self):
        task = self.start()
        task.wait_for_camera(GUARD)
        capture = task.capture(GUARD)
        self.assertEqual(task.close(GUARD), 0)
        self.assertTrue(all(os.path.exists(f.path) for f in capture.files))
        capture.move_files(self.scratch.name)
        os.rmdir(task.tmpdir)


class Reconnect(SimulatorTest):
    def test_disconnect_and_reconnect_another_model(self):
        log = os.path.join(self.scratch.name, "task.log")
        task = self.start(log=log)
        task.wait_for_camera(GUARD)
        self.sim.control("disconnect")
        self.assertEqual(task.next_event(GUARD), DeviceRemoved(8241))
        self.assertIsNone(task.camera)

        # Without a camera a settings request gets no reply at all.
        unanswered = task.send("getCameraSettings")
        # Commands are carried out in order: once this one is logged, that one is done.
        task.send("getCaptureInfo")
        wait_for_log(log, "getCaptureInfoWithMessageId")
        self.sim.control("connect 8257")
        self.assertEqual(task.wait_for_camera(GUARD), DeviceAdded(8257, "Orvak KX (Mk 1)"))
        self.assertEqual(task.settings(GUARD).white_balance, "Daylight")

        capture = task.capture(GUARD)
        self.assertEqual(capture.capture_id, 1)
        self.assertRegex(capture.file_name, r"^1_IMG_\d{4}\.dng$")
        self.assertEqual(len(capture.files), 2)
        capture.move_files(self.scratch.name)
        task.close(GUARD)
        leftover = []
        try:
            while True:
                leftover.append(task.next_event(GUARD))
        except TaskExited:
            pass
        self.assertFalse([e for e in leftover
                          if isinstance(e, SettingsReply) and e.message_id == unanswered])
        self.assertFalse(os.path.exists(task.tmpdir))


class TwoTasks(SimulatorTest):
    def test_two_tasks_capture_at_once_into_their_own_directories(self):
        sims = [self.sim, Simulator(width=96, height=72)]
        self.addCleanup(sims[1].cleanup)
        tasks = [Task(self.task_path, env=sim.env) for sim in sims]
        for task in tasks:
            self.addCleanup(task.close)
            task.wait_for_camera(GUARD)
        results = [None, None]

        def take(index):
            results[index] = [tasks[index].capture(GUARD) for _ in range(2)]

        threads = [threading.Thread(target=take, args=(i,)) for i in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(GUARD * 2)
        jpeg_sizes = []
        for task, captures in zip(tasks, results):
            self.assertIsNotNone(captures, "a capture thread failed")
            self.assertEqual([c.capture_id for c in captures], [1, 2])
            paths = [f.path for c in captures for f in c.files]
            self.assertTrue(all(p.startswith(os.path.realpath(task.tmpdir) + "/") for p in paths))
            for capture in captures:
                for file in capture.files:
                    self.assertEqual(os.path.getsize(file.path), file.size)
                jpeg_sizes.append({f.size for f in capture.files if f.path.endswith(".JPG")})
            out = Path(self.scratch.name, str(task.pid))
            for capture in captures:
                capture.move_files(out)
            self.assertEqual(len(list(out.iterdir())), 4)
        # The two cameras' pictures differ in size, so no task reported the other's file.
        self.assertFalse(set.union(*jpeg_sizes[:2]) & set.union(*jpeg_sizes[2:]))


if __name__ == "__main__":
    unittest.main()
