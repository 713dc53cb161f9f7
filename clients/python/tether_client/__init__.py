"""A client of the tether task, standard library only (doc/protocol.md is the contract).

    from tether_client import Task
    with Task() as task:            # the installed task, or Task("build/bin/tether-task")
        task.wait_for_camera()
        print(task.settings())
        task.capture().move_files("captures")
"""

from pathlib import Path

from .codec import (DEFAULT_MAX_FRAME_BYTES, MAX_TABLE_DEPTH, ElementError, Frame, FrameError,
                    FrameReader, ProtocolError, decode_element, decode_frame_body,
                    encode_element, encode_frame)
from .events import (DeviceAdded, DeviceRemoved, Event, FileDownloaded, ObjectAdded, Settings,
                     SettingsChanged, SettingsReply, ThumbnailDownloaded, UnknownMessage,
                     event_from_frame)
from .task import Capture, CaptureIncomplete, Task, TaskExited, default_task_path, move_file

# The repository's one version file, copied into the built package.
__version__ = (Path(__file__).parent / "VERSION").read_text(encoding="ascii").strip()

__all__ = [
    "DEFAULT_MAX_FRAME_BYTES", "MAX_TABLE_DEPTH", "Capture", "CaptureIncomplete", "DeviceAdded",
    "DeviceRemoved", "ElementError", "Event", "FileDownloaded", "Frame", "FrameError",
    "FrameReader", "ObjectAdded", "ProtocolError", "Settings", "SettingsChanged",
    "SettingsReply", "Task", "TaskExited", "ThumbnailDownloaded", "UnknownMessage",
    "__version__", "decode_element", "decode_frame_body", "default_task_path", "encode_element",
    "encode_frame", "event_from_frame", "move_file",
]
