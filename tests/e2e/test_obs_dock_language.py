# SPDX-License-Identifier: GPL-2.0-or-later
"""The module's own words follow OBS's language: OBS in German, without a browser for the page, shows the
dock's text in German (read off the screen by tesseract)."""
import glob
import os
import shutil
import subprocess
import time
import unittest

from obs_harness import ARTIFACTS_DIR, ObsRun, closed_port
from screenshot import Screenshot

DOCK_BACKGROUND = (0x0E, 0x0E, 0x13)


@unittest.skipUnless(shutil.which("tesseract"), "needs tesseract to read the screen")
class ObsDockLanguage(unittest.TestCase):
    def test_dock_without_a_page_speaks_german(self):
        obs = ObsRun(env={"ORVANE_CLOUD_URL": "http://127.0.0.1:%d/" % closed_port()})
        self.addCleanup(obs.stop)
        for companion in glob.glob(os.path.join(obs.config_dir, "plugins", "orvane", "bin", "64bit",
                                                "orvane-webview.so")):
            os.remove(companion)  # no web view: the dock shows its own text and button
        for ini in ("global.ini", "user.ini"):
            with open(os.path.join(obs.config_dir, ini)) as read:
                text = read.read()
            with open(os.path.join(obs.config_dir, ini), "w") as write:
                write.write(text.replace("[General]\n", "[General]\nLanguage=de-DE\n", 1))
        obs.start()
        obs.dock_port()
        deadline = time.monotonic() + 20
        while True:
            shot = Screenshot.of_process(obs.obs_pid())
            box = shot.bounding_box(DOCK_BACKGROUND)
            words = read_words(shot, box) if box else ""
            if "Browser" in words or time.monotonic() > deadline:
                break
            time.sleep(1)
        self.assertIn("Das Orvane-Dock braucht den Browser", words)


def read_words(shot, box):
    """The text in box, enlarged three times and inverted (light text on the dock's dark ground reads worse)."""
    left, top, right, bottom = box
    rows = []
    for row in shot.rows[top:bottom + 1]:
        line = [tuple(255 - channel for channel in pixel) for pixel in row[left:right + 1] for _ in range(3)]
        rows += [line] * 3
    path = os.path.join(ARTIFACTS_DIR, "dock-de-DE.png")
    Screenshot(len(rows[0]), len(rows), rows).save_png(path)
    read = subprocess.run(["tesseract", path, "-", "-l", "deu", "--psm", "6"], capture_output=True, text=True,
                          timeout=60)
    return " ".join(read.stdout.split())


if __name__ == "__main__":
    unittest.main()
