"""A client of the tether task, standard library only (doc/protocol.md is the contract).

    from tether_client import Task
    with Task() as task:              # the installed tether-task, or Task("path/to/tether-task")
        task.wait_for_camera()
        print(task.settings())
        task.capture().move_files("captures")
"""

from .codec import (DEFAULT_MAX_FRAME_BYTES, MAX_TABLE_DEPTH, ElementError, Frame, FrameError,
                    FrameReader, ProtocolError, decode_element, decode_frame_body,
                    encode_element, encode_frame)
from .events import (CameraChoices, CameraError, DeviceAdded, DeviceRemoved, Event,
                     FileDownloaded, LiveFrame, LiveViewStopped, ObjectAdded, Reply, SetResult,
                     SettingChoices, Settings, SettingsChanged, SettingsReply,
                     ThumbnailDownloaded, UnknownMessage, event_from_frame)
from .task import (DEFAULT_MAX_EVENTS, INSTALLED_PREFIXES, INSTALLED_TASK_LAYOUTS, Capture,
                   CaptureIncomplete, LiveView, Task, TaskExited, UnsafeFileError, camera_environment,
                   camera_problem, find_task, move_file)
from .version import __version__

__all__ = [
    "DEFAULT_MAX_EVENTS", "DEFAULT_MAX_FRAME_BYTES", "INSTALLED_PREFIXES",
    "INSTALLED_TASK_LAYOUTS", "MAX_TABLE_DEPTH", "CameraChoices", "CameraError", "Capture",
    "CaptureIncomplete", "DeviceAdded", "LiveFrame", "LiveView", "LiveViewStopped", "Reply",
    "SetResult", "SettingChoices",
    "DeviceRemoved", "ElementError", "Event", "FileDownloaded", "Frame", "FrameError",
    "FrameReader", "ObjectAdded", "ProtocolError", "Settings", "SettingsChanged",
    "SettingsReply", "Task", "TaskExited", "ThumbnailDownloaded", "UnknownMessage",
    "UnsafeFileError", "__version__", "decode_element", "decode_frame_body", "encode_element",
    "encode_frame", "event_from_frame", "find_task", "move_file", "camera_environment",
    "camera_problem",
]
