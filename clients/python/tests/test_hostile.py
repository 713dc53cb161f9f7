"""The client against a hostile or broken task: a fake task writes chosen bytes, and
reported files are placed where the client must refuse them."""

import os
import stat
import struct
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

import support  # noqa: F401  (puts the package on the path)

from tether_client import (Capture, DeviceAdded, FileDownloaded, ObjectAdded, ProtocolError,
                           Task, TaskExited, UnsafeFileError, encode_frame, move_file)

GUARD = 30.0  # seconds; only a guard against a hang, never a measure

# Writes the bytes of the file $FAKE_OUTPUT to stdout; then, with $FAKE_STAY, keeps
# reading stdin until it ends (a live task that sends nothing more), else exits.
FAKE_TASK = f"""#!{sys.executable}
import os, sys
with open(os.environ["FAKE_OUTPUT"], "rb") as f:
    sys.stdout.buffer.write(f.read())
sys.stdout.buffer.flush()
if os.environ.get("FAKE_STAY"):
    while sys.stdin.buffer.read(4096):
        pass
"""


def added(capture_id, name="IMG_1.dng"):
    return encode_frame(0, "objectWasAdded", {"capture_id": capture_id, "has_sidecar": 0.0,
                                              "file_name": name, "image_orientation": "AB"})


class FakeTaskTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="tether-fake-")
        self.addCleanup(self.dir.cleanup)
        self.program = Path(self.dir.name, "fake-task")
        self.program.write_text(FAKE_TASK)
        self.program.chmod(0o700)

    def start(self, output: bytes, stay: bool = True, **kwargs) -> Task:
        path = Path(self.dir.name, f"output-{time.monotonic_ns()}")
        path.write_bytes(output)
        env = {"FAKE_OUTPUT": str(path), **({"FAKE_STAY": "1"} if stay else {})}
        task = Task(self.program, env=env, **kwargs)
        self.addCleanup(task.close, GUARD)
        return task


class DecodingErrors(FakeTaskTest):
    """Each undecodable message ends the stream with a ProtocolError raised to the caller
    (never a silent hang), then TaskExited; the task itself is still running."""

    CASES = [
        ("capture_id infinite", added(float("inf"))),
        ("capture_id -infinite", added(float("-inf"))),
        ("capture_id NaN", added(float("nan"))),
        ("capture_id huge", added(1e300)),
        ("capture_id beyond 32 bits", added(float(2**40))),
        ("capture_id a fraction", added(1.5)),
        ("device_id infinite", encode_frame(0, "deviceAdded",
                                            {"device_id": float("inf"), "name": "x"})),
        ("file_size huge", encode_frame(0, "fileDownloadComplete",
                                        {"capture_id": 1.0, "file_path": "/t/a",
                                         "file_size": 1e20})),
        ("key missing", encode_frame(0, "objectWasAdded", {"capture_id": 1.0})),
        ("frame length too small", struct.pack("<i", 5) + b"\0" * 5),
        ("frame longer than allowed", struct.pack("<i", 4096) + b"\0" * 4096),
    ]

    def test_each_error_ends_the_stream_with_an_exception(self):
        for what, bad in self.CASES:
            with self.subTest(what):
                task = self.start(added(1.0) + bad + added(2.0), max_frame_bytes=1024)
                self.assertEqual(task.next_event(GUARD).capture_id, 1)
                with self.assertRaises(ProtocolError):
                    task.next_event(GUARD)
                with self.assertRaises(TaskExited):
                    task.next_event(GUARD)
                task.close(GUARD)

    def test_helpers_raise_it_too(self):
        task = self.start(added(float("inf")))
        with self.assertRaises(ProtocolError):
            task.wait_for_camera(GUARD)
        task = self.start(added(float("inf")))
        with self.assertRaises(ProtocolError):
            task.capture(GUARD)

    def test_a_task_that_dies_ends_next_event_without_a_timeout(self):
        task = self.start(added(1.0), stay=False)
        outcome = []

        def wait():
            try:
                while True:
                    task.next_event()
            except TaskExited:
                outcome.append("exited")

        waiter = threading.Thread(target=wait, daemon=True)
        waiter.start()
        waiter.join(GUARD)
        self.assertEqual(outcome, ["exited"])


class Bounds(FakeTaskTest):
    def test_a_flood_waits_in_a_bounded_queue_and_nothing_is_lost(self):
        task = self.start(b"".join(added(float(i)) for i in range(1, 501)), max_events=10)
        deadline = time.monotonic() + GUARD
        while task._inbox.qsize() < 10 and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.2)  # the reader would overrun the bound now if it could
        self.assertEqual(task._inbox.qsize(), 10)
        self.assertEqual([task.next_event(GUARD).capture_id for _ in range(500)],
                         list(range(1, 501)))

    def test_events_passed_over_keep_the_newest_within_the_bound(self):
        unknown = b"".join(encode_frame(i, "somethingNew") for i in range(1, 51))
        task = self.start(unknown, stay=False, max_events=10)
        with self.assertRaises(TaskExited):
            task.wait_for_camera(GUARD)
        self.assertEqual(task.dropped_events, 40)
        self.assertEqual([task.next_event().frame.message_id for _ in range(10)],
                         list(range(41, 51)))


class MoveFiles(unittest.TestCase):
    """move_files() takes only regular files directly inside the task's TMPDIR, never
    through a link; everything else is refused and left as it is."""

    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="tether-move-")
        self.addCleanup(scratch.cleanup)
        self.root = Path(scratch.name)
        self.tmpdir = self.root / "tmp"
        self.out = self.root / "out"
        (self.tmpdir / "sub").mkdir(parents=True)
        self.victim = self.root / "victim"
        self.victim.write_bytes(b"precious")
        (self.tmpdir / "sub" / "TetherTMP1.DNG").write_bytes(b"x")
        (self.tmpdir / "TetherTMP2.DNG").symlink_to(self.victim)
        (self.tmpdir / "TetherTMP3.DNG").mkdir()
        os.mkfifo(self.tmpdir / "TetherTMP4.DNG")
        (self.root / "alias").symlink_to(self.tmpdir)

    def capture(self, path: str) -> Capture:
        return Capture(1, "IMG_1.dng", "AB", files=[FileDownloaded(1, path, 1)],
                       tmpdir=str(self.tmpdir))

    def test_anything_but_a_regular_file_directly_in_the_tmpdir_is_refused(self):
        refused = [str(self.victim), f"{self.tmpdir}/../victim", f"{self.tmpdir}/sub/../../victim",
                   f"{self.tmpdir}/sub/TetherTMP1.DNG", "TetherTMP1.DNG", f"{self.tmpdir}/..",
                   f"{self.tmpdir}/TetherTMP2.DNG", f"{self.tmpdir}/TetherTMP3.DNG",
                   f"{self.tmpdir}/TetherTMP4.DNG"]
        before = sorted(os.listdir(self.tmpdir))
        for path in refused:
            with self.subTest(path), self.assertRaises(UnsafeFileError):
                self.capture(path).move_files(self.out)
        self.assertEqual(self.victim.read_bytes(), b"precious")
        self.assertEqual(sorted(os.listdir(self.tmpdir)), before)
        self.assertFalse(self.out.exists() and os.listdir(self.out))
        with self.assertRaises(UnsafeFileError):
            Capture(1, "IMG_1.dng", "AB").move_files(self.out)  # no TMPDIR known
        with self.assertRaises(UnsafeFileError):
            move_file(self.tmpdir / "TetherTMP2.DNG", self.out)

    def test_a_file_in_the_tmpdir_moves_also_when_named_through_an_alias(self):
        for n, path in enumerate([f"{self.tmpdir}/TetherTMP5.JPG",
                                  f"{self.root}/alias/TetherTMP5.JPG"]):
            Path(self.tmpdir, "TetherTMP5.JPG").write_bytes(b"jpeg")
            (self.out / "IMG_1.jpg").parent.mkdir(exist_ok=True)
            moved = self.capture(path).move_files(self.out)
            self.assertEqual(moved, [self.out / ("IMG_1.jpg" if n == 0 else "IMG_1-1.jpg")])
            self.assertEqual(moved[0].read_bytes(), b"jpeg")
            self.assertFalse(stat.S_ISLNK(os.lstat(moved[0]).st_mode))
            self.assertFalse(Path(self.tmpdir, "TetherTMP5.JPG").exists())


if __name__ == "__main__":
    unittest.main()
