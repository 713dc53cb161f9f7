"""Running the tether task as a child process and talking to it."""

from __future__ import annotations

import collections
import itertools
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from . import names
from .codec import FrameReader, ProtocolError, encode_frame
from .events import (DeviceAdded, DeviceRemoved, Event, FileDownloaded, ObjectAdded,
                     SettingsReply, Settings, ThumbnailDownloaded, event_from_frame)

_END = object()  # the task's output has ended

# Where an installed task lives under an installation prefix.
_INSTALLED_TASK = Path("lib", "tether", "bin", "tether-task")


def default_task_path() -> str:
    """The task a Task starts when given none: tether-task on the PATH, else the
    installed one under this Python's prefix, /usr/local or /usr (the Debian
    package). Raises FileNotFoundError naming where it looked."""
    found = shutil.which("tether-task")
    if found:
        return found
    candidates = [Path(prefix) / _INSTALLED_TASK for prefix in (sys.prefix, "/usr/local", "/usr")]
    for candidate in candidates:
        if os.access(candidate, os.X_OK):
            return str(candidate)
    raise FileNotFoundError("no tether-task on the PATH nor at "
                            + ", ".join(str(c) for c in candidates)
                            + "; pass the task's path to Task()")


class TaskExited(RuntimeError):
    """The task's output ended (the task exited) while a message was awaited."""


@dataclass
class Capture:
    """Everything the task reported for one capture id."""

    capture_id: int
    file_name: str
    orientation: str
    thumbnail: bytes | None = None
    files: list[FileDownloaded] = field(default_factory=list)

    def move_files(self, folder: str | os.PathLike) -> list[Path]:
        """Moves the reported files into `folder` under the camera's name, never replacing."""
        stem = Path(self.file_name).stem or f"capture{self.capture_id}"
        return [move_file(f.path, folder, stem + Path(f.path).suffix.lower()) for f in self.files]


class CaptureIncomplete(TimeoutError):
    """Not every expected message of a capture arrived in time; .capture holds what did."""

    def __init__(self, message: str, capture: Capture | None):
        super().__init__(message)
        self.capture = capture


def move_file(source: str | os.PathLike, folder: str | os.PathLike,
              name: str | None = None) -> Path:
    """Moves `source` into `folder` as `name` (default: its own name) and returns the new path.

    Never replaces a file: when the name is taken, NAME-1.EXT, NAME-2.EXT ... are tried.
    Works across file systems (copy, then remove the source).
    """
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    wanted = Path(name or Path(source).name).name  # never a path of the camera's making
    stem, suffix = Path(wanted).stem, Path(wanted).suffix
    for n in itertools.count():
        target = folder / (wanted if n == 0 else f"{stem}-{n}{suffix}")
        try:
            os.link(source, target)  # fails if target exists: nothing is replaced
        except FileExistsError:
            continue
        except OSError:  # another file system, or no hard links there
            try:
                with open(source, "rb") as src, open(target, "xb") as dst:
                    shutil.copyfileobj(src, dst)
            except FileExistsError:
                continue
            shutil.copymode(source, target)
        os.unlink(source)
        return target
    raise AssertionError("unreachable")


class Task:
    """One tether task with a private TMPDIR; use as a context manager.

    Messages arrive as typed events (events.py). One thread at a time may use a
    Task. Events that settings(), capture() and wait_for_camera() pass over are
    kept, in order, for next_event().
    """

    def __init__(self, executable: str | os.PathLike | None = None,
                 env: Mapping[str, str] | None = None, log: str | os.PathLike | None = None):
        """Starts `executable` (default: default_task_path()); `env` adds to this process's
        environment (TMPDIR is always the task's own); the task's log lines go to the file
        `log`, or nowhere."""
        if executable is None:
            executable = default_task_path()
        self.tmpdir = tempfile.mkdtemp(prefix="tether-task-")
        environment = dict(os.environ)
        environment.update(env or {})
        environment["TMPDIR"] = self.tmpdir
        stderr = open(log, "ab") if log is not None else subprocess.DEVNULL
        try:
            self._process = subprocess.Popen(
                [os.fspath(executable)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                stderr=stderr, env=environment, bufsize=0)
        except BaseException:
            os.rmdir(self.tmpdir)
            raise
        finally:
            if log is not None:
                stderr.close()
        self.camera: DeviceAdded | None = None  # the connected camera, as last reported
        self._ids = itertools.count(1)
        self._write_lock = threading.Lock()
        self._inbox: queue.Queue = queue.Queue()
        self._backlog: collections.deque[Event] = collections.deque()
        self._ended = False
        self._closed = False
        self._last_capture_id = 0
        self._reader = threading.Thread(target=self._read_messages, daemon=True)
        self._reader.start()

    def __enter__(self) -> Task:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    @property
    def pid(self) -> int:
        return self._process.pid

    def _read_messages(self) -> None:
        reader = FrameReader(self._process.stdout)
        try:
            for frame in reader:
                self._inbox.put(event_from_frame(frame))
        except (ProtocolError, OSError, ValueError) as error:
            self._inbox.put(error)
        self._inbox.put(_END)

    def send(self, name: str, payload: Any = None, message_id: int | None = None) -> int:
        """Sends one command, by default with a fresh id; returns the id."""
        if message_id is None:
            message_id = next(self._ids)
        frame = memoryview(encode_frame(message_id, name, payload))
        with self._write_lock:
            try:
                while frame:
                    frame = frame[self._process.stdin.write(frame):]
            except (BrokenPipeError, ValueError) as error:
                raise TaskExited("the task no longer reads its input") from error
        return message_id

    def _take(self, timeout: float | None) -> Event:
        if self._ended:
            raise TaskExited("the task's output has ended")
        try:
            item = self._inbox.get(timeout=timeout)
        except queue.Empty:
            raise TimeoutError(f"no message from the task within {timeout} s") from None
        if item is _END:
            self._ended = True
            raise TaskExited("the task's output has ended")
        if isinstance(item, Exception):
            raise item
        if isinstance(item, DeviceAdded):
            self.camera = item
        elif isinstance(item, DeviceRemoved):
            self.camera = None
        elif isinstance(item, ObjectAdded):
            self._last_capture_id = max(self._last_capture_id, item.capture_id)
        return item

    def next_event(self, timeout: float | None = None) -> Event:
        """The next message; TimeoutError after `timeout` s, TaskExited at the end."""
        if self._backlog:
            return self._backlog.popleft()
        return self._take(timeout)

    def _wait_for(self, wanted: Callable[[Event], bool], timeout: float) -> Event:
        for event in self._backlog:
            if wanted(event):
                self._backlog.remove(event)
                return event
        deadline = time.monotonic() + timeout
        while True:
            event = self._take(max(0.0, deadline - time.monotonic()))
            if wanted(event):
                return event
            self._backlog.append(event)

    def wait_for_camera(self, timeout: float = 10.0) -> DeviceAdded:
        """The connected camera, waiting for its "deviceAdded" if none is known yet."""
        if self.camera is not None:
            return self.camera
        return self._wait_for(lambda e: isinstance(e, DeviceAdded), timeout)

    def settings(self, timeout: float = 5.0) -> Settings:
        """Asks for the camera settings and waits for the reply (none comes without a camera)."""
        request = self.send(names.GET_CAMERA_SETTINGS)
        reply = self._wait_for(
            lambda e: isinstance(e, SettingsReply) and e.message_id == request, timeout)
        return reply.settings

    def capture(self, timeout: float = 30.0, files: int = 2) -> Capture:
        """Sends one "doCapture" and collects the next capture: object, thumbnail, files.

        There is no end-of-capture message: `files` is how many files the camera's file
        format delivers (2: DNG and JPEG; 1: DNG only or JPEG only). Raises
        CaptureIncomplete when they have not all arrived within `timeout` s.
        """
        deadline = time.monotonic() + timeout
        after = self._last_capture_id
        self.send(names.DO_CAPTURE)
        result: Capture | None = None
        try:
            added = self._wait_for(
                lambda e: isinstance(e, ObjectAdded) and e.capture_id > after, timeout)
            result = Capture(added.capture_id, added.file_name, added.orientation)
            while result.thumbnail is None or len(result.files) < files:
                event = self._wait_for(
                    lambda e: isinstance(e, (ThumbnailDownloaded, FileDownloaded))
                    and e.capture_id == result.capture_id,
                    max(0.0, deadline - time.monotonic()))
                if isinstance(event, ThumbnailDownloaded):
                    result.thumbnail = event.data
                else:
                    result.files.append(event)
        except TimeoutError as error:
            raise CaptureIncomplete(f"capture incomplete after {timeout} s", result) from error
        return result

    def close(self, timeout: float = 15.0) -> int:
        """Sends "shutdown", waits up to `timeout` s, kills the task after that; returns its
        exit status. Removes the TMPDIR if it is empty. Safe to call twice."""
        if not self._closed:
            self._closed = True
            try:
                self.send(names.SHUTDOWN)
            except TaskExited:
                pass  # already gone
            try:
                self._process.stdin.close()
            except OSError:
                pass
            try:
                self._process.wait(timeout)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
            self._reader.join(timeout)
            self._process.stdout.close()
            try:
                os.rmdir(self.tmpdir)
            except OSError:
                pass  # files the host has not moved away stay where they are
        return self._process.returncode
