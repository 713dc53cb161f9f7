"""Debian's gphoto2 drives the simulated PTP/IP camera (krv-sim-ptpip) over
loopback: summary, configuration, captures from the host and from the camera,
live view, and files byte-identical to what the camera holds. HostileHost
sends malformed packets and checks the camera refuses them and keeps serving.

Run: test_gphoto2_peer.py CLASS (exit 77, skipped, when gphoto2 is missing
for a class that needs it). KRV_SIM_PTPIP and KRV_SIM_CTL name the binaries.
"""
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

PTPIP = os.environ.get("KRV_SIM_PTPIP", "krv-sim-ptpip")
CTL = os.environ.get("KRV_SIM_CTL", "krv-sim-ctl")
GPHOTO2 = shutil.which("gphoto2")
TIMEOUT = 60


def fnv1a64(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


class Camera:
    """A krv-sim-ptpip on a free loopback port with its control socket."""

    def __init__(self, scratch):
        self.socket = os.path.join(scratch, "ctl")
        self.proc = subprocess.Popen([PTPIP, "--port", "0", "--control", self.socket],
                                     stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().split()
        if len(line) != 4 or line[0] != "ptpip":
            self.close()
            raise RuntimeError("krv-sim-ptpip did not start: %r" % line)
        self.address, self.port, self.event_port = line[1], int(line[2]), int(line[3])
        self.gphoto_port = "ptpip:%s:%d:%d" % (self.address, self.port, self.event_port)

    def ctl(self, *words):
        out = subprocess.run([CTL, "--socket", self.socket] + list(words), capture_output=True,
                             text=True, timeout=TIMEOUT)
        return out.stdout.strip()

    def object(self, handle):
        """name, size, checksum of object `handle` as the camera holds it."""
        reply = self.ctl("object", str(handle))
        fields = dict(w.split("=", 1) for w in reply.split()[1:])
        return fields["name"], int(fields["size"]), fields["fnv1a64"]

    def close(self):
        self.proc.terminate()
        self.proc.wait(timeout=TIMEOUT)
        self.proc.stdout.close()


class CameraCase(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="ptpip-test-")
        self.addCleanup(shutil.rmtree, self.scratch, True)
        self.camera = Camera(self.scratch)
        self.addCleanup(self.camera.close)
        self.home = os.path.join(self.scratch, "home")   # gphoto2 keeps settings here
        self.files = os.path.join(self.scratch, "files")
        os.makedirs(self.home)
        os.makedirs(self.files)

    def gphoto2(self, *args, check=True):
        env = dict(os.environ, HOME=self.home, LANG="C")
        out = subprocess.run([GPHOTO2, "--port", self.camera.gphoto_port, "--camera",
                              "PTP/IP Camera"] + list(args), capture_output=True, text=True,
                             cwd=self.files, env=env, timeout=TIMEOUT)
        if check:
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        return out

    def waiting_gphoto2(self, *args):
        """gphoto2 started in the background, returned once it is in session."""
        proc = subprocess.Popen([GPHOTO2, "--port", self.camera.gphoto_port, "--camera",
                                 "PTP/IP Camera"] + list(args), cwd=self.files,
                                env=dict(os.environ, HOME=self.home, LANG="C"),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.addCleanup(proc.kill)
        for _ in range(200):
            if "session=1" in self.camera.ctl("state"):
                break
            time.sleep(0.05)
        return proc

    def assertSameAsCamera(self, handle):
        name, size, checksum = self.camera.object(handle)
        with open(os.path.join(self.files, name), "rb") as f:
            data = f.read()
        self.assertEqual((len(data), fnv1a64(data)), (size, checksum), name)
        return data


class Gphoto2Peer(CameraCase):
    def test_summary_names_the_camera(self):
        out = self.gphoto2("--summary").stdout
        self.assertIn("Manufacturer: Tether Sim", out)
        self.assertIn("Model: Sim PTP/IP Camera", out)
        self.assertIn("Exposure Index (film speed ISO)(0x500f):(readwrite)", out)

    def test_config_reads_and_sets_within_the_choices(self):
        for name, current in (("iso", "400"), ("f-number", "f/5.6"),
                              ("shutterspeed", "0.0080s"), ("whitebalance", "Automatic")):
            out = self.gphoto2("--get-config", name).stdout
            self.assertIn("Current: %s\n" % current, out, name)
        self.assertIn("Choice: 7 65535", self.gphoto2("--get-config", "iso").stdout)
        self.gphoto2("--set-config", "iso=1600", "--set-config", "whitebalance=Tungsten")
        self.assertIn("iso=1600 ", self.camera.ctl("state"))
        self.assertIn("wb=6 ", self.camera.ctl("state"))
        refused = self.gphoto2("--set-config-value", "iso=123", check=False)
        self.assertNotEqual(refused.returncode, 0)
        self.assertIn("iso=1600 ", self.camera.ctl("state"))
        # Turned on the camera: the host reads the new value.
        self.assertEqual(self.camera.ctl("dial", "iso", "3200"), "ok dial iso 3200")
        self.assertIn("Current: 3200\n", self.gphoto2("--get-config", "iso").stdout)
        self.camera.ctl("read-only", "iso", "on")
        self.assertIn("Readonly: 1", self.gphoto2("--get-config", "iso").stdout)

    def test_capture_from_the_host(self):
        self.camera.ctl("files", "jpeg")
        self.camera.ctl("orientation", "8")
        self.gphoto2("--capture-image-and-download", "--keep")
        data = self.assertSameAsCamera(1)
        self.assertEqual(data[:4], b"\xff\xd8\xff\xe1")  # EXIF first

    def test_camera_side_capture_reaches_a_waiting_host(self):
        self.camera.ctl("raw-format", "NEF")
        self.camera.ctl("order", "raw-first")
        self.camera.ctl("complete", "first")
        waiter = self.waiting_gphoto2("--keep", "--wait-event-and-download=3s")
        self.assertEqual(self.camera.ctl("capture"), "ok capture 1 2")
        out, _ = waiter.communicate(timeout=TIMEOUT)
        self.assertEqual(waiter.returncode, 0, out)
        # Handles follow the announcement: the raw came first.
        self.assertEqual(self.camera.object(1)[0], "IMG_0001.NEF")
        self.assertEqual(self.assertSameAsCamera(1)[:4], b"II*\x00")  # the DNG writer's bytes
        self.assertEqual(self.assertSameAsCamera(2)[:2], b"\xff\xd8")

    def test_dials_turned_on_the_camera_reach_a_waiting_host(self):
        waiter = self.waiting_gphoto2("--wait-event=2s")
        self.assertEqual(self.camera.ctl("dial", "iso", "1600"), "ok dial iso 1600")
        self.assertEqual(self.camera.ctl("dial", "wb", "4"), "ok dial wb 4")
        out, _ = waiter.communicate(timeout=TIMEOUT)
        self.assertIn('Property 500f changed, "iso" to "1600"', out)
        self.assertIn('Property 5005 changed, "whitebalance" to "Daylight"', out)

    def test_live_view_frames_are_jpegs_that_change(self):
        frames = []
        for _ in range(2):
            self.gphoto2("--capture-preview", "--force-overwrite")
            with open(os.path.join(self.files, "capture_preview"), "rb") as f:
                frames.append(f.read())
        self.assertEqual(frames[0][:2], b"\xff\xd8")
        self.assertNotEqual(frames[0], frames[1])

    def test_busy_slow_and_unplugged_camera(self):
        self.camera.ctl("delay", "300")
        self.camera.ctl("busy", "1")  # OpenSession is retried by libgphoto2
        self.assertIn("Tether Sim", self.gphoto2("--summary").stdout)
        self.camera.ctl("delay", "0")
        self.assertEqual(self.camera.ctl("unplug"), "ok unplugged")
        self.assertNotEqual(self.gphoto2("--summary", check=False).returncode, 0)
        self.assertEqual(self.camera.ctl("plug"), "ok plugged")
        self.assertIn("Tether Sim", self.gphoto2("--summary").stdout)

    def test_unplug_mid_transfer_then_replug(self):
        self.camera.ctl("files", "raw")
        self.camera.ctl("dng-bytes", "6000000")
        self.assertEqual(self.camera.ctl("capture"), "ok capture 1")
        self.camera.ctl("chunk-delay", "300")  # 6 packets of 1 MiB: about 2 s
        get = ["--folder", "/store_00010001", "--get-file", "IMG_0001.DNG"]
        getter = self.waiting_gphoto2(*get)
        time.sleep(0.5)
        self.camera.ctl("unplug")
        out, _ = getter.communicate(timeout=TIMEOUT)
        self.assertNotEqual(getter.returncode, 0, out)
        # gphoto2 may leave its scratch file behind, never the picture.
        self.assertNotIn("IMG_0001.DNG", os.listdir(self.files))
        self.camera.ctl("plug")
        self.camera.ctl("chunk-delay", "0")
        self.gphoto2(*get)
        self.assertSameAsCamera(1)


class ControlLanguage(CameraCase):
    def test_readme_lists_exactly_the_commands_of_help(self):
        help_text = self.camera.ctl("help")
        self.assertTrue(help_text.startswith("ok commands: "), help_text)
        words = help_text.split(";")[0].split()[2:]
        commands = {w for w in words if not any(ch in w for ch in "<[|(")}
        readme = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                              "../../../../camera/simulator/ptpip/README.md")
        listed, in_table = set(), False
        with open(readme, encoding="utf-8") as f:
            for line in f:
                if line.startswith("| command | effect and reply |"):
                    in_table = True
                elif in_table and line.startswith("|"):
                    cell = line.split("|")[1]
                    if "---" not in cell:
                        listed.update(code.split()[0] for code in cell.split("`")[1::2])
                elif in_table:
                    break
        self.assertIn("dial", commands)
        self.assertEqual(listed, commands)

    def test_only_this_faces_commands_are_known(self):
        self.assertEqual(self.camera.ctl("connect", "8241"), "error unknown command connect")
        self.assertEqual(self.camera.ctl("files", "tiff"), "error usage: files raw+jpeg|raw|jpeg")
        self.assertTrue(self.camera.ctl("capture").startswith("ok capture 1 2"))
        self.assertIn("objects=2 ", self.camera.ctl("state"))


def packet(kind, payload=b""):
    return struct.pack("<II", 8 + len(payload), kind) + payload


class HostileHost(CameraCase):
    def connect(self):
        s = socket.create_connection((self.camera.address, self.camera.port), timeout=10)
        self.addCleanup(s.close)
        return s

    def closed_by_camera(self, s):
        """True when the camera closes `s` (within the socket's timeout)."""
        try:
            while s.recv(4096):
                pass
        except ConnectionResetError:
            pass
        except socket.timeout:
            return False
        return True

    def init_command(self, s, then=b""):
        init = packet(1, b"\x01" * 16 + "t\0".encode("utf-16-le") + struct.pack("<I", 0x10000))
        s.sendall(init + then)
        header = s.recv(8)
        length, kind = struct.unpack("<II", header)
        self.assertEqual(kind, 2)
        s.recv(length - 8)

    def test_malformed_packets_close_the_connection(self):
        cases = [
            ("length shorter than a header", None, struct.pack("<II", 4, 1)),
            ("length past the bound", None, struct.pack("<II", 1 << 30, 6)),
            ("unknown first packet", None, packet(6, b"\x01\0\0\0\x02\x10\0\0\0\0")),
            ("event request for no session", None, packet(3, struct.pack("<I", 77))),
            ("request cut mid-parameter", "session", packet(6, b"\x01\0\0\0\x02\x10\x01\0\0\0\x05")),
            ("data for no request", "session", packet(12, b"\x01\0\0\0abc")),
            ("host data past its bound", "session",
             packet(6, struct.pack("<IHII", 2, 0x1016, 1, 0x500F)) +
             packet(9, struct.pack("<IQ", 1, 1 << 20))),
        ]
        for what, state, data in cases:
            with self.subTest(what):
                s = self.connect()
                if state:
                    self.init_command(s)
                s.sendall(data)
                self.assertTrue(self.closed_by_camera(s))
        # Still serving a well-behaved host, even one that does not wait for
        # the Ack before its first request.
        s = self.connect()
        self.init_command(s, then=packet(6, struct.pack("<IHI", 1, 0x1001, 1)))
        length, kind = struct.unpack("<II", s.recv(8))
        self.assertEqual(kind, 9)  # start of GetDeviceInfo's data


def main():
    names = sys.argv[1:] or ["Gphoto2Peer", "HostileHost", "ControlLanguage"]
    if GPHOTO2 is None and "Gphoto2Peer" in names:
        print("SKIP: gphoto2 is not installed (Debian package gphoto2, installed by make)")
        sys.exit(77)
    suite = unittest.TestSuite(unittest.defaultTestLoader.loadTestsFromName(n, sys.modules[__name__])
                               for n in names)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
