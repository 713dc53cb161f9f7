"""Camera control and live view through the libgphoto2 bridge, against the
simulated PTP/IP camera: choices from its property descriptions, values set
and confirmed, refusals, and live frames from its PTP streams.

Environment: TETHER_TASK, TETHER_BRIDGE_DIR, KRV_SIM_PTPIP, KRV_SIM_CTL.
Every wait is bounded; no assertion depends on how fast the machine is.
"""

import time
import unittest

from test_bridge_sim_camera import WAIT, SimCameraCase

from tether_client.events import LiveFrame, SettingsChanged  # noqa: E402


class SimControl(SimCameraCase):
    def test_choices_set_and_refusals(self):
        self.task.wait_for_camera(WAIT)
        choices = self.task.choices(WAIT)
        self.assertEqual(choices.iso.values, (100, 200, 400, 800, 1600, 3200, 6400, 0))
        self.assertIn(5.6, choices.aperture.values)
        self.assertEqual(len(choices.aperture.values), 10)
        self.assertIn("1/125", choices.shutter.values)
        self.assertIn("Bulb", choices.shutter.values)
        self.assertIn("Daylight", choices.white_balance.values)
        self.assertFalse(any(c.read_only for c in choices.__dict__.values()))

        cases = [  # keywords, settings after (unchanged when absent), refused
            ({"iso": 1600, "shutter": "1/250"}, {"iso": 1600, "shutter": "1/250"}, {}),
            ({"aperture": 8, "white_balance": "Tungsten"},
             {"aperture": 8.0, "white_balance": "Tungsten"}, {}),
            ({"iso": 1000}, {}, {"iso": "not among the choices"}),
            ({"shutter": "1/3"}, {}, {"shutter": "not among the choices"}),
        ]
        for keywords, after, refused in cases:
            with self.subTest(**keywords):
                before = self.task.settings(WAIT)
                result = self.task.set_settings(**keywords, timeout=WAIT)
                self.assertEqual(result.refused, refused)
                self.assertEqual(result.settings.__dict__, before.__dict__ | after)
                self.assertEqual(self.task.settings(WAIT), result.settings)
        # The camera itself holds the values set.
        state = self.ctl("state")
        for field in ("iso=1600", "shutter=40", "aperture=800", "wb=6"):
            self.assertIn(" " + field + " ", state + " ")
        # A set value reaches hosts as a change too.
        self.task._wait_for(lambda e: isinstance(e, SettingsChanged) and e.settings.iso == 1600,
                            WAIT)

        # The bridge reads the choices every few seconds and libgphoto2 keeps a
        # property's description for about 2 s: a switch to read-only shows soon.
        self.ctl("read-only iso on")
        # Set at once, the bridge may still think ISO writable: then the camera refuses.
        result = self.task.set_settings(iso=400, timeout=WAIT)
        self.assertIn(result.refused.get("iso"), ("read-only in this mode", "camera refused"))
        self.assertEqual(result.settings.iso, 1600)
        self.assertTrue(self.choices_until(lambda c: c.iso.read_only).iso.read_only)
        result = self.task.set_settings(iso=400, timeout=WAIT)
        self.assertEqual(result.refused, {"iso": "read-only in this mode"})
        self.assertEqual(result.settings.iso, 1600)
        self.ctl("read-only iso off")
        self.choices_until(lambda c: not c.iso.read_only)
        self.assertEqual(self.task.set_settings(iso=400, timeout=WAIT).settings.iso, 400)

    def choices_until(self, done):
        deadline = time.monotonic() + WAIT
        while not done(choices := self.task.choices(WAIT)) and time.monotonic() < deadline:
            time.sleep(0.2)
        return choices


class SimLiveView(SimCameraCase):
    def test_frames_advance_and_a_capture_comes_through(self):
        self.task.wait_for_camera(WAIT)
        with self.task.live_view(WAIT) as live:
            frames = [live.next_frame(WAIT) for _ in range(4)]
            for frame in frames:
                self.assertIsInstance(frame, LiveFrame)
                self.assertTrue(frame.jpeg.startswith(b"\xff\xd8"))
                self.assertTrue(frame.jpeg.endswith(b"\xff\xd9"))
                self.assertEqual(frame.size, len(frame.jpeg))
            sequences = [f.sequence for f in frames]
            self.assertEqual(sequences, sorted(set(sequences)))
            # Different pictures: the scene moves from frame to frame.
            self.assertGreater(len({f.jpeg for f in frames}), 1)

            self.task.send("doCapture")
            added, thumbnail, done = self.collect(2)
            self.assertEqual(thumbnail.data[:2], b"\xff\xd8")
            self.assert_as_on_card(done)
            after = live.next_frame(WAIT)  # live view goes on after the capture
            self.assertGreater(after.sequence, sequences[-1])

    def test_live_view_ends_with_the_camera(self):
        self.task.wait_for_camera(WAIT)
        live = self.task.live_view(WAIT)
        live.next_frame(WAIT)
        self.ctl("unplug")
        with self.assertRaises(StopIteration):
            for _ in range(10000):  # bounded: frames already sent, then the end
                live.next_frame(WAIT)
        self.assertEqual(live.stopped, "no camera")


if __name__ == "__main__":
    unittest.main()
