"""The codec: round trips, the doc's worked examples, and the validating frame reader."""

import io
import re
import struct
import unittest

from support import DOC, NotatedFrame, doc_examples, parse_notation

from tether_client import names
from tether_client import (MAX_TABLE_DEPTH, ElementError, Frame, FrameError, FrameReader,
                           decode_element, encode_element, encode_frame)


def nested(depth: int) -> dict:
    value: dict = {}
    for _ in range(depth - 1):
        value = {"k": value}
    return value


class RoundTrip(unittest.TestCase):
    def test_values_survive_encoding_and_decoding(self):
        values = [None, 0.0, -0.0, 1.5, -1e300, float("inf"), 8241, True, "", "a", "ümlaut ✓",
                  "bad \udcff byte", b"", b"\x00\x01\xff", {}, {"a": 1.0},
                  {None: "nil key", 2: None, "b": {"c": b"x"}, b"k": 3}, nested(MAX_TABLE_DEPTH)]
        for value in values:
            with self.subTest(value=repr(value)[:60]):
                data = encode_element(value)
                decoded, end = decode_element(data)
                self.assertEqual(end, len(data))
                self.assertEqual(decoded, value)
                self.assertEqual(encode_element(decoded), data)

    def test_keys_go_out_in_the_tasks_order_whatever_the_insertion_order(self):
        table = {"b": 1, "ab": 1, b"d": 1, 10: 1, 9.5: 1, -1: 1, None: 1, "\u00e9": 1, "z": 1}
        data = encode_element(table)
        keys, at = [], 8
        for _ in table:
            key, at = decode_element(data, at)
            _, at = decode_element(data, at)
            keys.append(key)
        self.assertEqual(keys, [None, -1.0, 9.5, 10.0, "ab", "b", "z", "\u00e9", b"d"])
        self.assertEqual(encode_element(dict(reversed(table.items()))), data)

    def test_refused_values(self):
        for value, error in [("a\0b", ValueError), (object(), TypeError), ([1], TypeError),
                             (nested(MAX_TABLE_DEPTH + 1), ValueError)]:
            with self.subTest(value=repr(value)[:40]):
                with self.assertRaises(error):
                    encode_element(value)
        with self.assertRaises(ValueError):
            encode_frame(2**31, "doCapture")

    def test_decoding_follows_the_wire_rules(self):
        i32 = struct.Struct("<i").pack
        cases = [
            (i32(3) + i32(3) + b"a\0b", "a"),            # text ends at its first NUL
            (i32(3) + i32(0), ""),                        # N = 0: empty, no body
            (i32(5) + i32(-4), {}),                       # negative count: empty table
            (i32(5) + i32(2) + encode_element("k") + encode_element(1) + encode_element("k")
             + encode_element(2), {"k": 2.0}),            # a repeated key takes the later value
        ]
        for data, value in cases:
            with self.subTest(data=data.hex()):
                self.assertEqual(decode_element(data), (value, len(data)))

    def test_malformed_and_short_elements_raise(self):
        i32 = struct.Struct("<i").pack
        for data in [b"\x01\x00\x00", i32(6), i32(0), i32(2) + b"\0" * 7, i32(3) + i32(5) + b"ab",
                     i32(4) + i32(-1), i32(5) + i32(1) + i32(9) + i32(1),
                     i32(5) + i32(1) + encode_element({}) + i32(1),
                     encode_element(nested(MAX_TABLE_DEPTH))[:-8] + encode_element({"k": {}})]:
            with self.subTest(data=data[:24].hex()):
                with self.assertRaises(ElementError):
                    decode_element(data)


class DocExamples(unittest.TestCase):
    def test_every_hex_example_encodes_and_decodes_as_written(self):
        examples = doc_examples()
        self.assertGreaterEqual(len(examples), 5)
        for example in examples:
            with self.subTest(line=example.line, caption=example.caption):
                value = parse_notation(example.caption)
                if isinstance(value, NotatedFrame):
                    self.assertEqual(encode_frame(value.message_id, value.name, value.payload),
                                     example.data)
                    frame = FrameReader(io.BytesIO(example.data)).read_frame()
                    self.assertEqual(frame, Frame(value.message_id, value.name, value.payload))
                else:
                    self.assertEqual(encode_element(value), example.data)
                    self.assertEqual(decode_element(example.data), (value, len(example.data)))

    def test_python_names_are_the_tasks(self):
        header = (DOC.parent.parent / "source" / "ProtocolNames.h").read_text()
        task_names = re.findall(r'constexpr char k\w+\[\] = "([^"]*)";', header)
        self.assertGreater(len(task_names), 20)
        self.assertEqual(sorted(names.COMMAND_NAMES + names.MESSAGE_NAMES + names.PAYLOAD_KEYS
                                + names.REASONS),
                         sorted(task_names))


class FrameReading(unittest.TestCase):
    def test_reads_whole_frames_and_never_past_one(self):
        first = encode_frame(7, "doCapture")
        second = encode_frame(0, "deviceRemoved", {"device_id": 8241})
        stream = io.BytesIO(first + second)
        reader = FrameReader(stream)
        self.assertEqual(reader.read_frame(), Frame(7, "doCapture", None))
        self.assertEqual(stream.tell(), len(first))
        self.assertEqual(reader.read_frame(), Frame(0, "deviceRemoved", {"device_id": 8241.0}))
        self.assertIsNone(reader.read_frame())

    def test_bounds_are_inclusive(self):
        frame = encode_frame(2**31 - 1, "ok", {"isoSpeed": 400})
        self.assertEqual(FrameReader(io.BytesIO(frame), max_frame_bytes=len(frame) - 4).read_frame(),
                         Frame(2**31 - 1, "ok", {"isoSpeed": 400.0}))
        self.assertEqual(FrameReader(io.BytesIO(encode_frame(-2**31, "ok"))).read_frame().message_id,
                         -2**31)
        with self.assertRaises(FrameError):
            FrameReader(io.BytesIO(frame), max_frame_bytes=len(frame) - 5).read_frame()
        with self.assertRaises(ValueError):
            encode_frame(-2**31 - 1, "ok")

    def test_malformed_frames_raise_frame_error(self):
        good = encode_frame(3, "ok", {"isoSpeed": 400})
        body = good[4:]
        i32 = struct.Struct("<i").pack
        cases = {
            "cut short": good[:-1],
            "cut inside the length": good[:2],
            "negative length": i32(-1) + body,
            "length below any frame": i32(11) + body[:11],
            "length beyond the bound": i32(1 << 30) + body,
            "length longer than the elements": i32(len(body) + 4) + body + i32(1),
            "length shorter than the elements": i32(len(body) - 4) + body[:-4],
            "name not a string": encode_frame_raw(1, encode_element(5), encode_element(None)),
            "unknown payload tag": encode_frame_raw(1, encode_element("ok"), i32(9)),
        }
        for why, data in cases.items():
            with self.subTest(why):
                with self.assertRaises(FrameError):
                    FrameReader(io.BytesIO(data), max_frame_bytes=1 << 20).read_frame()


def encode_frame_raw(message_id: int, name: bytes, payload: bytes) -> bytes:
    body = struct.pack("<i", message_id) + name + payload
    return struct.pack("<i", len(body)) + body


if __name__ == "__main__":
    unittest.main()
