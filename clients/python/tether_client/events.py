"""The task's messages as typed events (doc/protocol.md, section 8)."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable, Union

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
class Reply:
    """The "ok" reply to one of the added commands (choices, set, live view)."""

    message_id: int
    payload: dict


@dataclass(frozen=True)
class LiveFrame:
    """One live-view frame: a whole JPEG, numbered by the camera (gaps: frames a slow
    reader did not get)."""

    sequence: int
    size: int
    jpeg: bytes


@dataclass(frozen=True)
class LiveViewStopped:
    """Live view ended without being asked to (the camera went away)."""

    reason: str


@dataclass(frozen=True)
class UnknownMessage:
    """A message this client does not know."""

    frame: Frame


Event = Union[DeviceAdded, DeviceRemoved, ObjectAdded, ThumbnailDownloaded, FileDownloaded,
              SettingsReply, SettingsChanged, Reply, LiveFrame, LiveViewStopped, UnknownMessage]


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


@dataclass(frozen=True)
class SettingChoices:
    """The values one setting takes now, in the settings' own forms (ISO and aperture
    numbers, shutter and white-balance texts); `kelvin` is the (min, max) range of colour
    temperatures the white balance also takes, as "5600K"."""

    values: tuple
    read_only: bool
    kelvin: tuple[int, int] | None = None


@dataclass(frozen=True)
class CameraChoices:
    """The reply to Task.choices()."""

    iso: SettingChoices
    aperture: SettingChoices
    shutter: SettingChoices
    white_balance: SettingChoices


@dataclass(frozen=True)
class SetResult:
    """The reply to Task.set_settings(): the settings as the camera reports them after
    the change, and why each setting that was not set was not ("not among the choices",
    "read-only in this mode", "no camera", "camera refused", "not confirmed", ...),
    keyed like set_settings()'s keywords."""

    settings: Settings
    refused: dict[str, str]


class CameraError(RuntimeError):
    """The task could not do an added command at all ("no camera", "not supported",
    "camera refused"); the reason is the message."""


def _reply_error(reply: Reply) -> None:
    error = reply.payload.get(names.ERROR)
    if error is not None:
        raise CameraError(str(error))


def _number(value: Any, where: str) -> float:
    if not isinstance(value, float) or not math.isfinite(value):
        raise ProtocolError(f"{where}: not a number: {value!r}")
    return value


def _setting_choices(table: Any, key: str) -> SettingChoices:
    if not isinstance(table, dict) or not isinstance(table.get(names.CHOICES), dict):
        raise ProtocolError(f'choices of "{key}": not a table: {table!r}')
    listed = table[names.CHOICES]
    values = []
    for index in range(1, len(listed) + 1):
        value = listed.get(float(index))
        if key in (names.ISO_SPEED, names.APERTURE):
            value = _number(value, f'choices of "{key}"')
            value = int(value) if key == names.ISO_SPEED else value
        elif not isinstance(value, str):
            raise ProtocolError(f'choices of "{key}": not a text: {value!r}')
        values.append(value)
    kelvin = None
    if names.KELVIN_MIN in table:
        kelvin = (int(_number(table[names.KELVIN_MIN], "kelvin_min")),
                  int(_number(table[names.KELVIN_MAX], "kelvin_max")))
    return SettingChoices(tuple(values), table.get(names.READ_ONLY) != 0.0, kelvin)


def choices_from(reply: Reply) -> CameraChoices:
    """CameraChoices from a "getCameraChoices" reply; CameraError when it carries one."""
    _reply_error(reply)
    return CameraChoices(
        **{word: _setting_choices(reply.payload.get(key), key)
           for word, key in names.SETTING_KEYS.items()})


def set_result_from(reply: Reply) -> SetResult:
    """SetResult from a "setCameraSettings" reply."""
    _reply_error(reply)
    settings = reply.payload.get(names.SETTINGS)
    refused = reply.payload.get(names.REFUSED, {})
    if not isinstance(settings, dict) or not isinstance(refused, dict):
        raise ProtocolError(f"a set reply without settings: {reply.payload!r}")
    words = {key: word for word, key in names.SETTING_KEYS.items()}
    return SetResult(_settings_of(settings, "settings"),
                     {words.get(str(k), str(k)): str(v) for k, v in refused.items()})


def _table(frame: Frame) -> dict:
    if not isinstance(frame.payload, dict):
        raise ProtocolError(f'"{frame.name}" {frame.message_id} without a table')
    return frame.payload


def _settings(frame: Frame) -> Settings:
    aperture = _get(frame, names.APERTURE, (float, str))
    return Settings(iso=_int(frame, names.ISO_SPEED),
                    aperture=aperture if isinstance(aperture, float) else None,
                    shutter=_text(frame, names.SHUTTER),
                    white_balance=_text(frame, names.WHITE_BALANCE))


def _settings_of(table: dict, name: str) -> Settings:
    """The same for a settings table nested in a reply."""
    return _settings(Frame(0, name, table))


def event_from_frame(frame: Frame, settings_reply: Callable[[int], bool] = lambda _: True
                     ) -> Event:
    """The typed event of a frame; ProtocolError when a known message lacks a key.
    `settings_reply(id)` tells whether an "ok" with that id answers "getCameraSettings"
    (else it answers an added command and becomes a Reply)."""
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
            if not settings_reply(frame.message_id):
                return Reply(frame.message_id, _table(frame))
            return SettingsReply(frame.message_id, _settings(frame))
        case names.LIVE_VIEW_FRAME:
            jpeg = _get(frame, names.FRAME_DATA, (bytes,))
            return LiveFrame(_int(frame, names.SEQUENCE), _int(frame, names.FRAME_SIZE), jpeg)
        case names.LIVE_VIEW_STOPPED:
            return LiveViewStopped(_text(frame, names.REASON))
        case names.CAMERA_SETTINGS_CHANGED:
            return SettingsChanged(_settings(frame))
    return UnknownMessage(frame)
