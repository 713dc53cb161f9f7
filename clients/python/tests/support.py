"""Shared by the tests: the doc's value notation, its hex examples, the built task."""

from __future__ import annotations

import math
import os
import re
import socket
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
# The tether_client package of this tree, unless the tests are to run against an
# installed copy (TETHER_CLIENT_INSTALLED set: run_installed.py).
if not os.environ.get("TETHER_CLIENT_INSTALLED"):
    sys.path.insert(0, str(HERE.parent))

DOC = HERE.parent.parent.parent / "doc" / "protocol.md"


def required_path(variable: str) -> str:
    """A built program whose path CTest passes in the environment."""
    path = os.environ.get(variable)
    if not path or not os.access(path, os.X_OK):
        raise RuntimeError(f"{variable} must name the built program (CTest sets it)")
    return path


@dataclass(frozen=True)
class NotatedFrame:
    message_id: int
    name: Any
    payload: Any


_TOKEN = re.compile(r'\s*(?:(nil)|("(?:[^"\\]|\\.)*")|<([0-9A-Fa-f\s]*)>|([{}:,])|'
                    r'([-+]?(?:inf|nan|[0-9.]+(?:[eE][-+]?[0-9]+)?)))')


def parse_notation(text: str) -> Any:
    """A value, or a NotatedFrame for "frame <id> <name> <payload>"."""
    text = text.strip()
    if text.startswith("frame "):
        message_id, rest = text[6:].lstrip().split(" ", 1)
        name, at = _parse_value(rest, 0)
        payload, at = _parse_value(rest, at)
        _expect_end(rest, at)
        return NotatedFrame(int(message_id), name, payload)
    value, at = _parse_value(text, 0)
    _expect_end(text, at)
    return value


def _expect_end(text: str, at: int) -> None:
    if text[at:].strip():
        raise ValueError(f"unexpected text at {at}: {text}")


def _parse_value(text: str, at: int) -> tuple[Any, int]:
    match = _TOKEN.match(text, at)
    if not match:
        raise ValueError(f"no value at {at}: {text}")
    nil, string, data, punct, number = match.groups()
    at = match.end()
    if nil:
        return None, at
    if string:
        raw = re.sub(rb"\\x([0-9A-Fa-f]{2})|\\(.)",
                     lambda m: bytes([int(m[1], 16)]) if m[1] else m[2],
                     string[1:-1].encode("utf-8"))
        return raw.decode("utf-8", "surrogateescape"), at
    if data is not None:
        return bytes.fromhex(data), at
    if number:
        return float(number), at
    if punct != "{":
        raise ValueError(f"unexpected {punct!r} at {at}: {text}")
    table: dict = {}
    if (m := re.compile(r"\s*}").match(text, at)):
        return table, m.end()
    while True:
        key, at = _parse_value(text, at)
        at = _punct(text, at, ":")
        table[key], at = _parse_value(text, at)
        m = re.compile(r"\s*([,}])").match(text, at)
        if not m:
            raise ValueError(f"expected , or }} at {at}: {text}")
        at = m.end()
        if m[1] == "}":
            return table, at


def _punct(text: str, at: int, char: str) -> int:
    m = re.compile(r"\s*" + re.escape(char)).match(text, at)
    if not m:
        raise ValueError(f"expected {char} at {at}: {text}")
    return m.end()


def format_notation(value: Any) -> str:
    """The notation of a value (str without NUL, float, bytes, dict, None)."""
    if value is None:
        return "nil"
    if isinstance(value, (int, float)):
        number = float(value)
        return "nan" if math.isnan(number) else repr(number)
    if isinstance(value, str):
        raw = value.encode("utf-8", "surrogateescape")
        return '"' + "".join(chr(b) if 0x20 <= b < 0x7F and b not in b'"\\' else f"\\x{b:02x}"
                             for b in raw) + '"'
    if isinstance(value, bytes):
        return "<" + value.hex(" ") + ">"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{format_notation(k)}: {format_notation(v)}"
                               for k, v in value.items()) + "}"
    raise TypeError(type(value).__name__)


@dataclass(frozen=True)
class HexExample:
    line: int
    caption: str
    data: bytes


def doc_examples() -> list[HexExample]:
    """The ```hex blocks of doc/protocol.md: caption line, then hex pairs; ';' starts a comment."""
    examples: list[HexExample] = []
    lines = DOC.read_text(encoding="utf-8").splitlines()
    i = 0
    while i < len(lines):
        if lines[i] != "```hex":
            i += 1
            continue
        caption, hex_text, i = lines[i + 1], "", i + 2
        while lines[i] != "```":
            hex_text += " " + lines[i].split(";", 1)[0]
            i += 1
        examples.append(HexExample(i, caption, bytes.fromhex(hex_text)))
    return examples


def doc_example(caption_start: str) -> tuple[Any, bytes]:
    """The doc's example whose caption starts so: its value and its bytes."""
    for example in doc_examples():
        if example.caption.startswith(caption_start):
            return parse_notation(example.caption), example.data
    raise LookupError(caption_start)


class Simulator:
    """Environment for a task with a small simulated camera and a control socket."""

    def __init__(self, width: int = 64, height: int = 48):
        self.dir = tempfile.TemporaryDirectory(prefix="tether-sim-")
        self.socket_path = os.path.join(self.dir.name, "control.sock")
        self.env = {"KRV_SIM_CONTROL": self.socket_path, "KRV_SIM_IMAGE_WIDTH": str(width),
                    "KRV_SIM_IMAGE_HEIGHT": str(height)}

    def control(self, command: str) -> str:
        """Sends one control command; the reply comes once its callbacks have run."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
            connection.settimeout(30)
            connection.connect(self.socket_path)
            connection.sendall(command.encode() + b"\n")
            reply = b""
            while not reply.endswith(b"\n"):
                chunk = connection.recv(4096)
                if not chunk:
                    break
                reply += chunk
        text = reply.decode().strip()
        if not text.startswith("ok"):
            raise RuntimeError(f"{command}: {text}")
        return text

    def cleanup(self) -> None:
        self.dir.cleanup()
