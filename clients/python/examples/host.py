#!/usr/bin/python3
"""A small host: waits for the camera, prints its settings, takes N pictures into DIR."""

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # the tether_client package

from tether_client import CaptureIncomplete, Task  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--task", help="path of tether-task (default: the installed one, "
                        "tether_client.find_task())")
    parser.add_argument("--out", required=True, help="folder for the pictures")
    parser.add_argument("-n", type=int, default=1, help="number of pictures")
    parser.add_argument("--files", type=int, default=2,
                        help="files per picture: 2 (DNG and JPEG) or 1")
    args = parser.parse_args()

    with Task(args.task) as task:
        camera = task.wait_for_camera(timeout=10)
        print(f"camera: {camera.name} ({camera.device_id})")
        s = task.settings()
        aperture = f"f/{s.aperture:g}" if s.aperture is not None else "f/--"
        print(f"settings: ISO {s.iso}, {aperture}, {s.shutter} s, {s.white_balance}")
        for _ in range(args.n):
            try:
                capture = task.capture(timeout=30, files=args.files)
            except CaptureIncomplete as error:
                print(f"error: {error}", file=sys.stderr)
                if error.capture is not None:
                    error.capture.move_files(args.out)
                return 1
            for path in capture.move_files(args.out):
                print(f"capture {capture.capture_id}: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
