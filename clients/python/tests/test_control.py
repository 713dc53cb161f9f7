"""Camera control and live view against the built task and the simulated camera."""

import unittest

from test_task import GUARD, SimulatorTest

import time

from tether_client import CameraError, DeviceRemoved, LiveFrame, SetResult, Settings, Task

# Property ids of the camera library, for the simulator's control socket.
ISO, APERTURE, SHUTTER, WHITE_BALANCE = 10, 3, 5, 32


class Choices(SimulatorTest):
    """What each model offers, in the settings table's forms, and "no camera"."""

    def test_choices_per_model(self):
        rows = [  # model, ISO tops out at, aperture read-only, white balance read-only
            (8241, 6400, False, False),
            (8201, 3200, False, False),
            (8225, 6400, True, False),    # no aperture on this body
            (8273, 6400, True, True),     # monochrome: neither aperture nor white balance
        ]
        for model, top_iso, no_aperture, no_wb in rows:
            with self.subTest(model=model):
                task = Task(self.task_path, env=dict(self.sim.env, KRV_SIM_MODEL=str(model)))
                self.addCleanup(task.close)
                task.wait_for_camera(GUARD)
                choices = task.choices(GUARD)
                self.assertEqual(choices.iso.values[-1], top_iso)
                self.assertIn("1/250", choices.shutter.values)
                self.assertIn("Bulb", choices.shutter.values)
                self.assertEqual(choices.aperture.read_only, no_aperture)
                self.assertEqual(choices.white_balance.read_only, no_wb)
                if not no_wb:
                    self.assertIn("Daylight", choices.white_balance.values)
                    self.assertEqual(choices.white_balance.kelvin, (2500, 10000))
                task.close()

    def test_without_a_camera_every_added_command_says_so(self):
        task = self.start()
        task.wait_for_camera(GUARD)
        self.sim.control("disconnect")
        task._wait_for(lambda e: isinstance(e, DeviceRemoved), GUARD)
        with self.assertRaisesRegex(CameraError, "no camera"):
            task.choices(GUARD)
        with self.assertRaisesRegex(CameraError, "no camera"):
            task.live_view(GUARD)
        result = task.set_settings(iso=800, timeout=GUARD)
        self.assertEqual(result.refused, {"iso": "no camera"})


class SetSettings(SimulatorTest):
    """A value is set only when among the choices, and the reply tells what the camera holds
    after its change report, with every refusal and its reason."""

    def test_values_and_refusals(self):
        task = self.start()
        task.wait_for_camera(GUARD)
        self.sim.control(f"read-only {APERTURE} on")
        self.sim.control(f"refuse {ISO} on")
        cases = [  # keywords, settings after (None: unchanged), refused
            ({"shutter": "1/250", "white_balance": "5600K"},
             {"shutter": "1/250", "white_balance": "5600K"}, {}),
            ({"white_balance": "Daylight"}, {"white_balance": "Daylight"}, {}),
            ({"shutter": "1/3"}, {}, {"shutter": "not among the choices"}),
            ({"white_balance": "12000K"}, {}, {"white_balance": "not among the choices"}),
            ({"aperture": 8}, {}, {"aperture": "read-only in this mode"}),
            ({"iso": 1600}, {}, {"iso": "camera refused"}),
        ]
        for keywords, after, refused in cases:
            with self.subTest(**keywords):
                before = task.settings(GUARD)
                result = task.set_settings(**keywords, timeout=GUARD)
                self.assertIsInstance(result, SetResult)
                self.assertEqual(result.refused, refused)
                expected = before.__dict__ | after
                self.assertEqual(result.settings, Settings(**expected))
                self.assertEqual(task.settings(GUARD), result.settings)

    def test_a_camera_confirming_from_inside_the_write_gets_one_whole_answer(self):
        # Synchronous callbacks: each value is confirmed while its write is still being
        # made, before the request's next write.
        task = Task(self.task_path, env=dict(self.sim.env, KRV_SIM_SYNC_CALLBACKS="1"))
        self.addCleanup(task.close)
        task.wait_for_camera(GUARD)
        result = task.set_settings(iso=800, shutter="1/500", white_balance="Flash",
                                   timeout=GUARD)
        self.assertEqual(result.refused, {})
        self.assertEqual((result.settings.iso, result.settings.shutter,
                          result.settings.white_balance), (800, "1/500", "Flash"))

    def test_a_set_value_also_reaches_hosts_as_a_change(self):
        task = self.start()
        task.wait_for_camera(GUARD)
        task.set_settings(iso=3200, timeout=GUARD)
        changed = task._wait_for(
            lambda e: type(e).__name__ == "SettingsChanged" and e.settings.iso == 3200, GUARD)
        self.assertEqual(changed.settings.iso, 3200)


class LiveView(SimulatorTest):
    """Frames advance, a slow reader gets newer frames rather than a backlog, a capture
    comes through during live view, and live view ends with the camera."""

    def test_frames_advance_and_a_slow_reader_skips(self):
        task = self.start()
        task.wait_for_camera(GUARD)
        with task.live_view(GUARD) as live:
            first = live.next_frame(GUARD)
            self.assertTrue(first.jpeg.startswith(b"\xff\xd8"))
            self.assertEqual(first.size, len(first.jpeg))
            sequences = [first.sequence] + [live.next_frame(GUARD).sequence for _ in range(3)]
            self.assertEqual(sequences, sorted(set(sequences)))  # never older, never again
            # Not reading for a while: the next frame is a newer one, not the next in line.
            skipped = task.skipped_frames
            time.sleep(0.5)
            later = live.next_frame(GUARD)
            self.assertGreater(later.sequence - sequences[-1], 1)
            self.assertGreater(task.skipped_frames, skipped)

    def test_capture_during_live_view_and_the_camera_going(self):
        task = self.start()
        task.wait_for_camera(GUARD)
        live = task.live_view(GUARD)
        live.next_frame(GUARD)
        capture = task.capture(GUARD)
        self.assertEqual(len(capture.files), 2)
        self.assertIsInstance(live.next_frame(GUARD), LiveFrame)  # live view goes on after it
        self.sim.control("disconnect")
        with self.assertRaises(StopIteration):
            while True:
                live.next_frame(GUARD)
        self.assertEqual(live.stopped, "no camera")


if __name__ == "__main__":
    unittest.main()
