# SPDX-License-Identifier: GPL-2.0-or-later
"""Where the Orvane dock sits in the real OBS: on the right on the first run, and where OBS put it back on the
next, seen in what OBS saves and on the screen."""
import base64
import configparser
import json
import os
import time
import unittest

from obs_harness import ARTIFACTS_DIR, ObsRun, closed_port, obs_version
from screenshot import Screenshot

# The dock placeholder's background: nothing else in OBS's window has this colour.
DOCK_BACKGROUND = (0x0E, 0x0E, 0x13)


class ObsDockLayout(unittest.TestCase):
    def setUp(self):
        self.obs = ObsRun(env={"ORVANE_CLOUD_URL": "http://127.0.0.1:%d/" % closed_port()})
        self.addCleanup(self.obs.stop)

    def dock_on_screen(self, name):
        """The dock's box on the screen, checked to be a docked panel on the right of OBS's window."""
        self.obs.dock_port()
        deadline = time.monotonic() + 20
        while True:
            shot = Screenshot.of_process(self.obs.obs_pid())
            box = shot.bounding_box(DOCK_BACKGROUND)
            # OBS may still be laying out or painting its window: wait for a whole panel.
            whole = box and box[2] - box[0] >= 299 and box[3] - box[1] >= 299
            if whole or time.monotonic() > deadline:
                break
            time.sleep(0.5)
        shot.save_png(os.path.join(ARTIFACTS_DIR, "obs-%d.%d-%s.png" % (obs_version()[:2] + (name,))))
        self.assertIsNotNone(box, "no Orvane dock on the screen (%s)" % name)
        left, top, right, bottom = box
        self.assertGreaterEqual(right - left + 1, 300, box)
        self.assertGreaterEqual(bottom - top + 1, 300, box)
        self.assertGreater((left + right) / 2, shot.width / 2, "the dock is not on the right: %s" % (box,))
        # A solid panel, not scattered pixels of the same colour.
        self.assertGreater(shot.count(DOCK_BACKGROUND, box), 0.8 * (right - left + 1) * (bottom - top + 1))
        return box

    def saved_dock_state(self):
        ini = configparser.ConfigParser(strict=False, interpolation=None)
        ini.optionxform = str
        # OBS 31 moved the window layout from global.ini to user.ini.
        ini.read(os.path.join(self.obs.config_dir, "user.ini" if obs_version() >= (31, 0, 0) else "global.ini"),
                 encoding="utf-8-sig")
        return base64.b64decode(ini.get("BasicWindow", "DockState", fallback=""))

    def test_placed_on_the_right_once_then_restored(self):
        self.obs.start()
        first = self.dock_on_screen("first-run")
        self.assertEqual(self.obs.stop(), 0)
        # OBS saved the layout with the dock in it (Qt keeps object names as UTF-16).
        self.assertIn("orvane".encode("utf-16-be"), self.saved_dock_state())
        with open(self.obs.plugin_config("dock.json")) as dock:
            self.assertEqual(json.load(dock), {"shown": True})

        self.obs.start()
        again = self.dock_on_screen("next-run")
        self.assertEqual(self.obs.stop(), 0)
        self.assertLessEqual(abs(first[0] - again[0]), 40, (first, again))
        self.assertNotIn("Orvane dock: OBS already has a dock", self.obs.log())


if __name__ == "__main__":
    unittest.main()
