"""Elements and frames of the task's wire protocol (doc/protocol.md).

Values map to Python as: nil <-> None, number <-> float (int and bool are
accepted when encoding), string <-> str (UTF-8), data <-> bytes, table <-> dict.
"""

from __future__ import annotations

import math
import struct
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, BinaryIO

NIL, NUMBER, STRING, DATA, TABLE = 1, 2, 3, 4, 5

# Tables nest at most this deep (the payload table is level 1); the task drops
# a frame that nests deeper.
MAX_TABLE_DEPTH = 100
# Frames from the task are small (the largest carries a thumbnail); a length
# beyond this is taken for a broken stream rather than waited for.
DEFAULT_MAX_FRAME_BYTES = 256 * 1024 * 1024
# The shortest body that can hold an id and two elements.
_MIN_FRAME_LENGTH = 12
_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1

_I32 = struct.Struct("<i")
_F64 = struct.Struct("<d")


class ProtocolError(ValueError):
    """Bytes that do not follow the protocol."""


class ElementError(ProtocolError):
    """An element that is malformed or cut short."""


class FrameError(ProtocolError):
    """A frame that is malformed, too long, or cut short by the end of the stream."""


@dataclass(frozen=True)
class Frame:
    """One message: its id, its name and its payload (None when nil)."""

    message_id: int
    name: str
    payload: Any = None


def encode_element(value: Any) -> bytes:
    """The element's bytes, table keys in the order the task writes them."""
    out = bytearray()
    _encode(value, out, 1)
    return bytes(out)


def _text_bytes(text: str) -> bytes:
    raw = text.encode("utf-8", "surrogateescape")
    if b"\0" in raw:
        raise ValueError("a string cannot hold NUL: the wire ends text at its first NUL")
    return raw


def _key_order(key: Any) -> tuple:
    """nil, numbers (NaN last), strings bytewise, data: the task's key order."""
    if key is None:
        return (NIL,)
    if isinstance(key, (int, float)):
        number = float(key)
        return (NUMBER, 1, 0.0) if math.isnan(number) else (NUMBER, 0, number)
    if isinstance(key, str):
        return (STRING, _text_bytes(key))
    if isinstance(key, (bytes, bytearray, memoryview)):
        # The task orders data keys by identity; content order is as good.
        return (DATA, bytes(key))
    raise TypeError(f"cannot encode a table key of type {type(key).__name__}")


def _encode(value: Any, out: bytearray, depth: int) -> None:
    if value is None:
        out += _I32.pack(NIL)
    elif isinstance(value, (int, float)):
        out += _I32.pack(NUMBER) + _F64.pack(float(value))
    elif isinstance(value, str):
        raw = _text_bytes(value)
        out += _I32.pack(STRING) + _I32.pack(len(raw) + 1) + raw + b"\0"
    elif isinstance(value, (bytes, bytearray, memoryview)):
        raw = bytes(value)
        if len(raw) > _INT32_MAX:
            raise ValueError("data of 2 GiB or more does not fit an element")
        out += _I32.pack(DATA) + _I32.pack(len(raw)) + raw
    elif isinstance(value, Mapping):
        if depth > MAX_TABLE_DEPTH:
            raise ValueError(f"tables nested deeper than {MAX_TABLE_DEPTH}")
        entries = sorted(value.items(), key=lambda item: _key_order(item[0]))
        out += _I32.pack(TABLE) + _I32.pack(len(entries))
        for key, item in entries:
            _encode(key, out, depth + 1)
            _encode(item, out, depth + 1)
    else:
        raise TypeError(f"cannot encode a value of type {type(value).__name__}")


def decode_element(data: bytes, offset: int = 0) -> tuple[Any, int]:
    """Decodes the element at `offset`; returns it and the offset just behind it.

    Raises ElementError for an unknown tag, a negative data length, tables nested
    too deep, a table used as a key, or an element cut short by the end of `data`.
    """
    return _decode(memoryview(data).cast("B"), offset, 1)


def _int32_at(data: memoryview, offset: int) -> int:
    if offset < 0 or offset + 4 > len(data):
        raise ElementError(f"element cut short at offset {offset}")
    return _I32.unpack_from(data, offset)[0]


def _body(data: memoryview, offset: int, count: int) -> memoryview:
    if offset + count > len(data):
        raise ElementError(f"element cut short: {count} bytes announced at offset {offset}, "
                           f"{len(data) - offset} left")
    return data[offset:offset + count]


def _decode(data: memoryview, offset: int, depth: int) -> tuple[Any, int]:
    tag = _int32_at(data, offset)
    at = offset + 4
    if tag == NIL:
        return None, at
    if tag == NUMBER:
        return _F64.unpack(_body(data, at, 8))[0], at + 8
    if tag in (STRING, DATA):
        count = _int32_at(data, at)
        at += 4
        if tag == STRING:
            if count <= 0:
                return "", at
            raw = bytes(_body(data, at, count)).split(b"\0", 1)[0]
            return raw.decode("utf-8", "surrogateescape"), at + count
        if count < 0:
            raise ElementError(f"negative data length {count} at offset {offset}")
        return bytes(_body(data, at, count)), at + count
    if tag == TABLE:
        return _decode_table(data, offset, depth)
    raise ElementError(f"unrecognised tag {tag} at offset {offset}")


def _decode_table(data: memoryview, offset: int, depth: int) -> tuple[dict, int]:
    if depth > MAX_TABLE_DEPTH:
        raise ElementError(f"tables nested deeper than {MAX_TABLE_DEPTH} at offset {offset}")
    count = _int32_at(data, offset + 4)
    at = offset + 8
    table: dict = {}
    for _ in range(max(count, 0)):
        key_at = at
        key, at = _decode(data, at, depth + 1)
        if isinstance(key, dict):
            raise ElementError(f"a table used as a table key at offset {key_at}")
        value, at = _decode(data, at, depth + 1)
        table[key] = value  # a repeated key keeps its first key, takes the later value
    return table, at


def encode_frame(message_id: int, name: str, payload: Any = None) -> bytes:
    """One complete frame: length, id, name element, payload element (nil for None)."""
    if not _INT32_MIN <= message_id <= _INT32_MAX:
        raise ValueError(f"message id {message_id} does not fit 32 bits")
    body = _I32.pack(message_id) + encode_element(name) + encode_element(payload)
    if len(body) > _INT32_MAX:
        raise ValueError("frames of 2 GiB or more are outside the protocol")
    return _I32.pack(len(body)) + body


def decode_frame_body(body: bytes) -> Frame:
    """The frame whose bytes after the length field are `body` (exactly)."""
    if len(body) < _MIN_FRAME_LENGTH:
        raise FrameError(f"frame body of {len(body)} bytes is too short")
    message_id = _I32.unpack_from(body, 0)[0]
    try:
        name, at = decode_element(body, 4)
        payload, at = decode_element(body, at)
    except ElementError as error:
        raise FrameError(f"frame {message_id}: {error}") from error
    if not isinstance(name, str):
        raise FrameError(f"frame {message_id}: the name is not a string")
    if at != len(body):
        raise FrameError(f"frame {message_id}: length says {len(body)} bytes, "
                         f"its elements take {at}")
    return Frame(message_id, name, payload)


class FrameReader:
    """Reads whole frames from a binary stream, one at a time.

    Each read asks the stream for exactly the bytes of one frame, never more.
    A length outside 12..max_frame_bytes, elements that do not fill the frame
    exactly, a name that is not a string, or an end of stream inside a frame
    raise FrameError.
    """

    def __init__(self, stream: BinaryIO, max_frame_bytes: int = DEFAULT_MAX_FRAME_BYTES):
        self._stream = stream
        self._max = max_frame_bytes

    def read_frame(self) -> Frame | None:
        """The next frame, or None when the stream ends between frames."""
        header = self._read_exactly(4, at_boundary=True)
        if header is None:
            return None
        length = _I32.unpack(header)[0]
        if not _MIN_FRAME_LENGTH <= length <= self._max:
            raise FrameError(f"frame length {length} outside {_MIN_FRAME_LENGTH}..{self._max}")
        return decode_frame_body(self._read_exactly(length))

    def __iter__(self):
        while (frame := self.read_frame()) is not None:
            yield frame

    def _read_exactly(self, count: int, at_boundary: bool = False) -> bytes | None:
        parts: list[bytes] = []
        got = 0
        while got < count:
            chunk = self._stream.read(count - got)
            if not chunk:
                if at_boundary and got == 0:
                    return None
                raise FrameError(f"stream ended inside a frame ({got} of {count} bytes)")
            parts.append(chunk)
            got += len(chunk)
        return b"".join(parts)
