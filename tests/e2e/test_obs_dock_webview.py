# SPDX-License-Identifier: GPL-2.0-or-later
"""The dock page inside the dock, in an OBS without obs-browser: the module's own web view shows it, the page
reaches the cloud through the module, and OBS closes cleanly with it, run after run. Runs as the user CI runs
as (root on these machines), with nothing set in the environment by the test."""
import json
import os
import time
import unittest
import urllib.request

from local_cloud import LocalCloud
from obs_harness import ARTIFACTS_DIR, BUILD_DIR, ObsRun, obs_version, wait_until
from screenshot import Screenshot

PAGE_BUTTON = (0xA9, 0x9C, 0xFF)  # the dock page's "Go live" button


def web_engine_helpers(home):
    """Qt WebEngine helper processes that belong to the OBS run in home."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                if b"QtWebEngineProcess" not in cmdline.read():
                    continue
            with open("/proc/%s/environ" % entry, "rb") as environ:
                if ("HOME=" + home).encode() in environ.read().split(b"\0"):
                    found.append(int(entry))
        except OSError:
            continue
    return found


@unittest.skipUnless(os.path.exists(os.path.join(BUILD_DIR, "orvane-webview.so")),
                     "this build has no web view companion (Qt WebEngine Widgets was not found)")
class ObsDockWebView(unittest.TestCase):
    def setUp(self):
        self.cloud = LocalCloud()
        self.addCleanup(self.cloud.stop)
        self.obs = ObsRun(env={"ORVANE_CLOUD_URL": self.cloud.url})
        self.addCleanup(self.obs.stop)

    def hellos(self):
        with urllib.request.urlopen(self.cloud.url + "/dev/hellos", timeout=5) as answer:
            return json.load(answer)["hellos"]

    def test_page_runs_in_the_dock_and_obs_closes_cleanly(self):
        for run in ("first-run", "next-run"):
            seen = len(self.hellos())
            self.obs.start()
            # The page says hello at load and after a resize: the dock may still be laid out at first.
            laid_out = lambda: [hello for hello in self.hellos()[seen:] if hello["width"] >= 300]
            hello = wait_until(laid_out, timeout=60, what="the dock page's hello at the dock's size")[-1]
            self.assertIn("QtWebEngine", hello["userAgent"])
            self.assertTrue(hello["requestUserAgent"].startswith("Orvane-OBS-Plugin/1.0.0 OBS/"), hello)
            self.assertGreaterEqual(hello["width"], 300)
            self.assertGreaterEqual(hello["height"], 300)
            self.assertIn("[orvane] Orvane dock: showing the page in its own web view", self.obs.log())

            deadline = time.monotonic() + 20
            while True:
                shot = Screenshot.of_process(self.obs.obs_pid())
                button = shot.bounding_box(PAGE_BUTTON)
                if button or time.monotonic() > deadline:
                    break
                time.sleep(0.5)
            shot.save_png(os.path.join(ARTIFACTS_DIR, "obs-%d.%d-webview-%s.png" % (obs_version()[:2] + (run,))))
            self.assertIsNotNone(button, "the dock page is not on the screen")
            self.assertGreater(button[0], shot.width / 2, "the page is not in the dock on the right")

            self.assertEqual(self.obs.stop(), 0)
            self.assertNotIn("EGL_BAD_ACCESS", self.obs.log())
            # Qt 6.8 and later say so when a page outlives its profile.
            self.assertNotIn("Release of profile requested but WebEnginePage still not deleted", self.obs.log())
            wait_until(lambda: not web_engine_helpers(self.obs.home), timeout=10, what="the web engine's helpers to end")


if __name__ == "__main__":
    unittest.main()
