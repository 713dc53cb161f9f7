"""The Python encoder against the task's: the same values must give the same bytes."""

import random
import subprocess
import unittest

from support import format_notation, required_path

from tether_client import encode_element, encode_frame


def random_value(rng: random.Random, depth: int = 0):
    kind = rng.choice(["nil", "number", "string", "data", "table"] if depth < 4 else
                      ["nil", "number", "string", "data"])
    if kind == "nil":
        return None
    if kind == "number":
        return rng.choice([rng.randint(-2**31, 2**31), rng.uniform(-1e6, 1e6),
                           rng.choice([0.0, -0.0, 1 / 3, 5.6, 1e-300, 1e300, float("inf")])])
    if kind == "string":
        return "".join(rng.choice("aZ09_ -/.\u00e9\u20ac\U0001f4f7") for _ in range(rng.randint(0, 12)))
    if kind == "data":
        return rng.randbytes(rng.randint(0, 16))
    table = {}
    for _ in range(rng.randint(0, 6)):
        key = random_value(rng, 5)
        if isinstance(key, bytes) and any(isinstance(k, bytes) for k in table):
            continue  # the task orders data keys by identity: one per table is comparable
        table[key] = random_value(rng, depth + 1)
    return table


class MatchesTaskEncoder(unittest.TestCase):
    def test_same_values_same_bytes(self):
        rng = random.Random(9)
        values = [None, "", {}, {float("nan"): 1, 1: 2, -1: 3}, {0.0: "zero"}, b"\x00" * 3,
                  {"isoSpeed": 400, "aperture": "--", "shutter": "1/125", "whiteBalance": "Auto"}]
        values += [random_value(rng) for _ in range(300)]
        frames = [(7, "doCapture", None), (-1, "ok", {"a": {"b": b"\x01"}}),
                  (2**31 - 1, "fileDownloadComplete", {"file_path": "/tmp/TetherTMP1.DNG"})]
        lines = [format_notation(v) for v in values]
        lines += [f"frame {i} {format_notation(n)} {format_notation(p)}" for i, n, p in frames]
        expected = [encode_element(v).hex() for v in values]
        expected += [encode_frame(*frame).hex() for frame in frames]

        tool = required_path("TETHER_ENCODE_TOOL")
        result = subprocess.run([tool], input="\n".join(lines) + "\n", capture_output=True,
                                text=True, timeout=120, check=True)
        got = result.stdout.splitlines()
        self.assertEqual(len(got), len(lines))
        for line, mine, theirs in zip(lines, expected, got):
            self.assertEqual(mine, theirs, line)


if __name__ == "__main__":
    unittest.main()
