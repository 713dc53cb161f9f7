"""The task's messages as typed events (doc/protocol.md, section 8)."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Union

from . import names
from .codec import Frame, ProtocolError


@dataclass(frozen=True)
class DeviceAdded:
    """A camera of a supported model has connected."""

    device_id: int
    name: str


@dataclass(frozen=True)
class DeviceRemoved:
    """The camera has gone away (device_id 0 when none was known)."""

    device_id: int


@dataclass(frozen=True)
class ObjectAdded:
    """A new picture exists; its thumbnail and files follow under capture_id."""

    capture_id: int
    file_name: str
    orientation: str  # "AB" upright, "BC", "CD", "DA"
    has_sidecar: int


@dataclass(frozen=True)
class ThumbnailDownloaded:
    """The thumbnail of a picture."""

    capture_id: int
    data: bytes


@dataclass(frozen=True)
class FileDownloaded:
    """An image file saved in the task's TMPDIR; the host must move it away."""

    capture_id: int
    path: str
    size: int


@dataclass(frozen=True)
class Settings:
    """The camera's settings as display values; aperture None means unknown ("--")."""

    iso: int
    aperture: float | None
    shutter: str
    white_balance: str


@dataclass(frozen=True)
class SettingsReply:
    """The "ok" reply to the "getCameraSettings" request with message_id."""

    message_id: int
    settings: Settings


@dataclass(frozen=True)
class SettingsChanged:
    """The camera reported a change of its settings."""

    settings: Settings


@dataclass(frozen=True)
class UnknownMessage:
    """A message this client does not know."""

    frame: Frame


Event = Union[DeviceAdded, DeviceRemoved, ObjectAdded, ThumbnailDownloaded, FileDownloaded,
              SettingsReply, SettingsChanged, UnknownMessage]


def _get(frame: Frame, key: str, kinds: tuple[type, ...]) -> Any:
    payload = frame.payload if isinstance(frame.payload, dict) else {}
    value = payload.get(key)
    if not isinstance(value, kinds):
        raise ProtocolError(f'"{frame.name}" without a {kinds[0].__name__} "{key}": {value!r}')
    return value


# The task sends its integers (ids, counts, sizes) as numbers of 32 bits at most.
_INT_RANGE = (-(2**31), 2**32 - 1)


def _int(frame: Frame, key: str) -> int:
    value = _get(frame, key, (float,))
    if not (math.isfinite(value) and value.is_integer()
            and _INT_RANGE[0] <= value <= _INT_RANGE[1]):
        raise ProtocolError(f'"{frame.name}": "{key}" is not a whole number of 32 bits: {value!r}')
    return int(value)


def _text(frame: Frame, key: str) -> str:
    return _get(frame, key, (str,))


def _settings(frame: Frame) -> Settings:
    aperture = _get(frame, names.APERTURE, (float, str))
    return Settings(iso=_int(frame, names.ISO_SPEED),
                    aperture=aperture if isinstance(aperture, float) else None,
                    shutter=_text(frame, names.SHUTTER),
                    white_balance=_text(frame, names.WHITE_BALANCE))


def event_from_frame(frame: Frame) -> Event:
    """The typed event of a frame; ProtocolError when a known message lacks a key."""
    match frame.name:
        case names.DEVICE_ADDED:
            return DeviceAdded(_int(frame, names.DEVICE_ID), _text(frame, names.NAME))
        case names.DEVICE_REMOVED:
            return DeviceRemoved(_int(frame, names.DEVICE_ID))
        case names.OBJECT_WAS_ADDED:
            return ObjectAdded(_int(frame, names.CAPTURE_ID), _text(frame, names.FILE_NAME),
                               _text(frame, names.IMAGE_ORIENTATION),
                               _int(frame, names.HAS_SIDECAR))
        case names.THUMBNAIL_WAS_DOWNLOADED:
            return ThumbnailDownloaded(_int(frame, names.CAPTURE_ID),
                                       _get(frame, names.THUMBNAIL_DATA, (bytes,)))
        case names.FILE_DOWNLOAD_COMPLETE:
            return FileDownloaded(_int(frame, names.CAPTURE_ID), _text(frame, names.FILE_PATH),
                                  _int(frame, names.FILE_SIZE))
        case names.OK:
            return SettingsReply(frame.message_id, _settings(frame))
        case names.CAMERA_SETTINGS_CHANGED:
            return SettingsChanged(_settings(frame))
    return UnknownMessage(frame)
