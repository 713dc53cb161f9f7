"""Running the tether task as a child process and talking to it."""

from __future__ import annotations

import collections
import errno
import ipaddress
import itertools
import os
import queue
import shutil
import stat
import subprocess
import tempfile
import threading
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from . import names
from .codec import DEFAULT_MAX_FRAME_BYTES, FrameReader, ProtocolError, encode_frame
from .events import (CameraChoices, CameraError, DeviceAdded, DeviceRemoved, Event, FileDownloaded,
                     LiveFrame, LiveViewStopped, ObjectAdded, Reply, SetResult, SettingsReply,
                     Settings, ThumbnailDownloaded, choices_from, event_from_frame,
                     set_result_from)

_END = object()  # the task's output has ended
_FRAME_READY = object()  # a live frame waits in Task._live_frame

# Events read but not yet taken are at most this many by default (Task's max_events).
DEFAULT_MAX_EVENTS = 1000
_POLL = 0.1  # seconds between looks at a closing task or a finished reader


class TaskExited(RuntimeError):
    """The task's output ended (the task exited) while a message was awaited."""


# Where an installed task is looked for, below the prefix that holds bin/tether-host
# (PREFIX/bin/tether-host), and the prefixes tried when no tether-host is on PATH.
INSTALLED_TASK_LAYOUTS = ("lib/tether/tether-task", "lib/tether/bin/tether-task",
                          "libexec/tether/tether-task")
INSTALLED_PREFIXES = ("/usr/local", "/usr")


def _number(text: str, digits: int, largest: int) -> bool:
    return (0 < len(text) <= digits and all(c in "0123456789" for c in text)
            and 1 <= int(text) <= largest)


def _ipv4(text: str) -> bool:
    try:
        ipaddress.IPv4Address(text)
        return True
    except ValueError:
        return False


def camera_problem(word: str) -> str | None:
    """None when `word` names a camera: "sim" (the simulated camera), "usb" (the first
    camera libgphoto2 detects), "usb:BUS,DEV", "ptpip:ADDR[:PORT[:EVENTPORT]]" (an IPv4
    literal, ports 1 to 65535); else why not."""
    if word in ("sim", "usb"):
        return None
    if isinstance(word, str) and word.startswith("usb:"):
        parts = word[4:].split(",")
        if len(parts) == 2 and all(_number(p, 3, 999) for p in parts):
            return None
    if isinstance(word, str) and word.startswith("ptpip:"):
        parts = word[6:].split(":")
        if len(parts) <= 3 and _ipv4(parts[0]) and all(_number(p, 5, 65535) for p in parts[1:]):
            return None
    return (f"unknown camera {word!r}: the camera is one of sim, usb, usb:BUS,DEV or "
            "ptpip:ADDR[:PORT[:EVENTPORT]]")


def camera_environment(camera: str, executable: str | os.PathLike,
                       library_path: str = "") -> dict[str, str]:
    """What the task at `executable` needs in its environment to drive `camera`.

    Nothing for "sim". Otherwise the libgphoto2 bridge's folder, found relative to the
    task as <task's folder>/../Frameworks/gphoto2, goes first in LD_LIBRARY_PATH (before
    `library_path`, and before the task's own run path) and KRV_GPHOTO_CAMERA names the
    camera. ValueError for a malformed word; FileNotFoundError when the bridge is not
    there.
    """
    problem = camera_problem(camera)
    if problem:
        raise ValueError(problem)
    if camera == "sim":
        return {}
    bridge = Path(os.path.realpath(os.path.dirname(os.path.abspath(os.fspath(executable))))).parent
    bridge = bridge / "Frameworks" / "gphoto2"
    if not (bridge / "libKRV_SDK.so.1").is_file():
        raise FileNotFoundError(f"the libgphoto2 camera library is not at {bridge}/libKRV_SDK.so.1")
    return {"LD_LIBRARY_PATH": str(bridge) + (":" + library_path if library_path else ""),
            "KRV_GPHOTO_CAMERA": camera}


def find_task() -> str:
    """The tether task that Task() runs when given no executable.

    In this order: "tether-task" on PATH; the task installed beside the "tether-host"
    on PATH (PREFIX/bin/tether-host, then PREFIX/<layout> for INSTALLED_TASK_LAYOUTS);
    the same layouts under /usr/local and /usr. FileNotFoundError when there is none.
    """
    found = shutil.which("tether-task")
    if found:
        return found
    prefixes = list(INSTALLED_PREFIXES)
    host = shutil.which("tether-host")
    if host:
        prefixes.insert(0, str(Path(os.path.realpath(host)).parent.parent))
    for prefix in prefixes:
        for layout in INSTALLED_TASK_LAYOUTS:
            candidate = Path(prefix, layout)
            if candidate.is_file() and os.access(candidate, os.X_OK):
                return str(candidate)
    raise FileNotFoundError("no tether-task found on PATH, beside tether-host, or in "
                            f"{' or '.join(INSTALLED_PREFIXES)}; pass its path to Task()")


class UnsafeFileError(OSError):
    """A reported file that is not a regular file directly inside the task's TMPDIR."""


@dataclass
class Capture:
    """Everything the task reported for one capture id.

    `tmpdir` is the task's own TMPDIR: move_files() takes files from there only.
    """

    capture_id: int
    file_name: str
    orientation: str
    thumbnail: bytes | None = None
    files: list[FileDownloaded] = field(default_factory=list)
    tmpdir: str | None = None

    def move_files(self, folder: str | os.PathLike) -> list[Path]:
        """Moves the reported files into `folder` under the camera's name, never replacing.

        The task's reports are not trusted as paths: each file must be a regular file
        directly inside the task's TMPDIR (checked after resolving the reported folder,
        never through a symbolic link), or UnsafeFileError is raised and nothing of that
        file is touched. Files moved before the refusal stay moved.
        """
        if self.tmpdir is None:
            raise UnsafeFileError("no TMPDIR is known for this capture: nothing is moved")
        stem = Path(self.file_name).stem or f"capture{self.capture_id}"
        moved = []
        for reported in self.files:
            name = _name_in(reported.path, self.tmpdir)
            moved.append(_move_from(self.tmpdir, name, folder, stem + Path(name).suffix.lower()))
        return moved


class CaptureIncomplete(TimeoutError):
    """Not every expected message of a capture arrived in time; .capture holds what did."""

    def __init__(self, message: str, capture: Capture | None):
        super().__init__(message)
        self.capture = capture


def _name_in(reported: str, tmpdir: str) -> str:
    """The file name of `reported` when its folder resolves to `tmpdir`; else UnsafeFileError."""
    head, name = os.path.split(reported)
    if not os.path.isabs(reported) or name in ("", ".", "..") or "\0" in reported:
        raise UnsafeFileError(f"not a file of the task's TMPDIR: {reported!r}")
    if os.path.realpath(head) != os.path.realpath(tmpdir):
        raise UnsafeFileError(f"not directly inside the task's TMPDIR {tmpdir!r}: {reported!r}")
    return name


def move_file(source: str | os.PathLike, folder: str | os.PathLike,
              name: str | None = None) -> Path:
    """Moves `source` into `folder` as `name` (default: its own name) and returns the new path.

    Never replaces a file: when the name is taken, NAME-1.EXT, NAME-2.EXT ... are tried.
    Never follows a symbolic link at `source` (UnsafeFileError; so is anything but a
    regular file). Works across file systems (copy, then remove the source).
    """
    head, base = os.path.split(os.fspath(source))
    return _move_from(head or ".", base, folder, name or base)


def _move_from(source_dir: str, source_name: str, folder: str | os.PathLike,
               wanted: str) -> Path:
    """Moves the regular file `source_name` of `source_dir` into `folder` as `wanted`.

    The source folder is opened once and the file is named relative to it, without
    following a link; the link or copy is checked to be the file first opened.
    """
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    wanted = Path(wanted).name  # never a path of the camera's making
    stem, suffix = Path(wanted).stem, Path(wanted).suffix
    dir_fd = os.open(source_dir, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        try:
            fd = os.open(source_name, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK,
                         dir_fd=dir_fd)
        except OSError as error:
            if error.errno == errno.ELOOP:
                raise UnsafeFileError(f"a symbolic link, not followed: {source_name!r}") from None
            raise
        opened = os.fstat(fd)
        if not stat.S_ISREG(opened.st_mode):
            os.close(fd)
            raise UnsafeFileError(f"not a regular file: {source_name!r}")
        with os.fdopen(fd, "rb") as src:
            for n in itertools.count():
                target = folder / (wanted if n == 0 else f"{stem}-{n}{suffix}")
                try:
                    # linkat without following: a name swapped for a link since the open
                    # is linked as the link, and caught by the check below.
                    os.link(source_name, target, src_dir_fd=dir_fd, follow_symlinks=False)
                except FileExistsError:
                    continue  # never replaces
                except OSError:  # another file system, or no hard links there
                    try:
                        with open(target, "xb") as dst:  # O_EXCL: not through a link either
                            shutil.copyfileobj(src, dst)
                            os.fchmod(dst.fileno(), stat.S_IMODE(opened.st_mode))
                    except FileExistsError:
                        continue
                else:
                    placed = os.stat(target, follow_symlinks=False)
                    if (placed.st_dev, placed.st_ino) != (opened.st_dev, opened.st_ino):
                        os.unlink(target)
                        raise UnsafeFileError(f"{source_name!r} was replaced while moved")
                _unlink_if_same(dir_fd, source_name, opened)
                return target
    finally:
        os.close(dir_fd)
    raise AssertionError("unreachable")


def _unlink_if_same(dir_fd: int, name: str, opened: os.stat_result) -> None:
    """Removes `name` only while it is still the file that was opened."""
    now = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
    if (now.st_dev, now.st_ino) == (opened.st_dev, opened.st_ino):
        os.unlink(name, dir_fd=dir_fd)


class Task:
    """One tether task with a private TMPDIR; use as a context manager.

    Messages arrive as typed events (events.py). One thread at a time may use a
    Task. Events that settings(), capture() and wait_for_camera() pass over are
    kept, in order, for next_event().

    Limits: a frame longer than `max_frame_bytes` ends the stream. At most
    `max_events` events wait to be taken: when that many are read and not yet
    taken, the client stops reading (backpressure: nothing is dropped, and a task
    that keeps sending then waits on its output). Events passed over by the
    helpers are kept up to `max_events` too; beyond that the oldest of them is
    dropped and counted in `dropped_events`.

    Any error decoding the task's output (a malformed frame, a number that is not a
    whole 32-bit number where one belongs, a known message lacking a key) ends the
    stream: next_event() and the helpers raise it (a ProtocolError) once, and
    TaskExited afterwards. When the task's output ends (the task exited), they raise
    TaskExited at once instead of waiting.
    """

    def __init__(self, executable: str | os.PathLike | None = None,
                 env: Mapping[str, str] | None = None,
                 log: str | os.PathLike | None = None, *,
                 camera: str = "sim",
                 max_events: int = DEFAULT_MAX_EVENTS,
                 max_frame_bytes: int = DEFAULT_MAX_FRAME_BYTES):
        """Starts `executable` (default: find_task()); `env` adds to this process's
        environment (TMPDIR is always the task's own); the task's log lines go to the
        file `log`, or nowhere. `camera` is a word of camera_environment()."""
        if max_events < 1:
            raise ValueError("max_events must be at least 1")
        if executable is None:
            executable = find_task()
        environment = dict(os.environ)
        environment.update(env or {})
        environment.update(camera_environment(camera, executable, environment.get("LD_LIBRARY_PATH", "")))
        self.tmpdir = tempfile.mkdtemp(prefix="tether-task-")
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
        self.dropped_events = 0  # passed-over events dropped beyond max_events
        self._max_events = max_events
        self._max_frame_bytes = max_frame_bytes
        self._ids = itertools.count(1)
        self._write_lock = threading.Lock()
        self._inbox: queue.Queue = queue.Queue(maxsize=max_events)
        self._backlog: collections.deque[Event] = collections.deque()
        self._ended = False
        self._closed = False
        self._closing = threading.Event()  # set by close(): a full queue then drops
        self._last_capture_id = 0
        # Ids of the added commands in flight: their "ok" is not a settings reply.
        self._added_requests: set[int] = set()
        # Only the newest live frame waits: a reader that falls behind gets newer
        # frames, never a backlog of old ones.
        self._live_lock = threading.Lock()
        self._live_frame: LiveFrame | None = None
        self.skipped_frames = 0  # live frames replaced by a newer one before being taken
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
        reader = FrameReader(self._process.stdout, self._max_frame_bytes)
        try:
            for frame in reader:
                event = event_from_frame(frame, lambda id: id not in self._added_requests)
                if isinstance(event, LiveFrame):
                    with self._live_lock:
                        waiting, self._live_frame = self._live_frame, event
                        self.skipped_frames += waiting is not None
                    if waiting is not None:
                        continue  # its _FRAME_READY is still queued
                    event = _FRAME_READY
                self._deliver(event)
        except ProtocolError as error:
            self._deliver(error)
        except Exception as error:  # whatever else, the caller hears of it
            failure = ProtocolError(f"reading the task's output failed: {error!r}")
            failure.__cause__ = error
            self._deliver(failure)
        finally:
            self._deliver(_END)

    def _deliver(self, item: Any) -> None:
        """Queues `item`, waiting while the queue is full; once closing, an item that
        finds the queue full is discarded, so that the task can finish writing."""
        while True:
            try:
                self._inbox.put(item, timeout=_POLL)
                return
            except queue.Full:
                if self._closing.is_set():
                    return

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
        item = self._get(timeout)
        while item is _FRAME_READY:
            with self._live_lock:
                frame, self._live_frame = self._live_frame, None
            if frame is not None:
                return frame
            item = self._get(timeout)
        if item is _END:
            self._ended = True
            raise TaskExited("the task's output has ended")
        if isinstance(item, Exception):
            self._ended = True  # a decoding error ends the stream
            raise item
        if isinstance(item, DeviceAdded):
            self.camera = item
        elif isinstance(item, DeviceRemoved):
            self.camera = None
        elif isinstance(item, ObjectAdded):
            self._last_capture_id = max(self._last_capture_id, item.capture_id)
        return item

    def _get(self, timeout: float | None) -> Any:
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            wait = _POLL if deadline is None else min(_POLL, deadline - time.monotonic())
            try:
                return self._inbox.get(timeout=max(0.0, wait))
            except queue.Empty:
                pass
            if not self._reader.is_alive() and self._inbox.empty():
                return _END  # the reader is gone (closed): nothing more can come
            if deadline is not None and time.monotonic() >= deadline:
                raise TimeoutError(f"no message from the task within {timeout} s") from None

    def _pass_over(self, event: Event) -> None:
        """Keeps an event a helper passed over, dropping the oldest beyond max_events.
        Live frames are not kept: a frame not shown now is worth nothing later."""
        if isinstance(event, LiveFrame):
            return
        if len(self._backlog) >= self._max_events:
            self._backlog.popleft()
            self.dropped_events += 1
        self._backlog.append(event)

    def next_event(self, timeout: float | None = None) -> Event:
        """The next message; TimeoutError after `timeout` s, TaskExited at the end, and a
        ProtocolError when the task's output could not be decoded (which ends it)."""
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
            self._pass_over(event)

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

    def _request(self, name: str, payload: Any, timeout: float) -> Reply:
        """Sends an added command and waits for its "ok"."""
        message_id = next(self._ids)
        self._added_requests.add(message_id)
        try:
            self.send(name, payload, message_id)
            return self._wait_for(
                lambda e: isinstance(e, Reply) and e.message_id == message_id, timeout)
        finally:
            self._added_requests.discard(message_id)

    def choices(self, timeout: float = 5.0) -> CameraChoices:
        """The values each of the four settings takes now; CameraError("no camera"),
        CameraError("not supported") when the camera library cannot tell."""
        return choices_from(self._request(names.GET_CAMERA_CHOICES, None, timeout))

    def set_settings(self, *, iso: int | None = None, aperture: float | None = None,
                     shutter: str | None = None, white_balance: str | None = None,
                     timeout: float = 5.0) -> SetResult:
        """Sets the settings given, in the forms choices() lists ("1/250", "Daylight",
        "5600K"); returns the settings after the change and what was refused, and why.
        The task waits up to 2 s for the camera to confirm each value."""
        given = {"iso": iso, "aperture": aperture, "shutter": shutter,
                 "white_balance": white_balance}
        payload = {names.SETTING_KEYS[word]: (float(value) if isinstance(value, (int, float))
                                              else value)
                   for word, value in given.items() if value is not None}
        if not payload:
            raise ValueError("set_settings() needs at least one setting")
        return set_result_from(self._request(names.SET_CAMERA_SETTINGS, payload, timeout))

    def live_view(self, timeout: float = 5.0) -> LiveView:
        """Starts live view; iterate the result for frames, close it (or leave its with
        block) to stop. CameraError when the camera cannot."""
        reply = self._request(names.START_LIVE_VIEW, None, timeout)
        if names.ERROR in reply.payload:
            raise CameraError(str(reply.payload[names.ERROR]))
        return LiveView(self, timeout)

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
            result = Capture(added.capture_id, added.file_name, added.orientation,
                             tmpdir=self.tmpdir)
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
            self._closing.set()  # the reader no longer waits for room
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


class LiveView:
    """Live frames until closed (stops live view) or the camera goes away; iterating
    yields LiveFrame, the newest the task had when this reader was ready, and ends
    when live view stopped. Other events meanwhile are kept for next_event()."""

    def __init__(self, task: Task, timeout: float):
        self._task = task
        self._timeout = timeout
        self.stopped: str | None = None  # why live view ended, when it did by itself

    def __enter__(self) -> LiveView:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __iter__(self) -> LiveView:
        return self

    def __next__(self) -> LiveFrame:
        return self.next_frame()

    def next_frame(self, timeout: float | None = None) -> LiveFrame:
        """The next frame; StopIteration once live view has stopped."""
        if self.stopped is not None:
            raise StopIteration
        event = self._task._wait_for(lambda e: isinstance(e, (LiveFrame, LiveViewStopped)),
                                     self._timeout if timeout is None else timeout)
        if isinstance(event, LiveViewStopped):
            self.stopped = event.reason
            raise StopIteration
        return event

    def close(self) -> None:
        """Stops live view (once); frames still on their way are discarded."""
        if self.stopped is None:
            self.stopped = "stopped"
            try:
                self._task._request(names.STOP_LIVE_VIEW, None, self._timeout)
            except TaskExited:
                pass
