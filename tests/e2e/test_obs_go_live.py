# SPDX-License-Identifier: GPL-2.0-or-later
"""The go-live routine end to end: a streamer runs it through the reference dock page only, in Chromium,
against real OBS 29, the local cloud and nginx-rtmp. Screenshots of every step are kept as test artefacts."""
import json
import os
import subprocess
import unittest

from local_cloud import LocalCloud
from nginx_rtmp import NginxRtmp
from obs_harness import ARTIFACTS_DIR, ObsRun

BROWSER_TESTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "browser")


class ObsGoLive(unittest.TestCase):
    def setUp(self):
        self.cloud = LocalCloud()
        self.addCleanup(self.cloud.stop)
        self.nginx = NginxRtmp()
        self.nginx.start()
        self.addCleanup(self.nginx.stop)
        # BROWSER=true: the module's "open" has a desktop browser that does nothing; the test confirms itself.
        self.obs = ObsRun(env={"ORVANE_CLOUD_URL": self.cloud.url, "BROWSER": "true"})
        self.addCleanup(self.obs.stop)

    def test_whole_routine_through_the_page(self):
        # The streamer has set Output Mode to Advanced, as the page asks: simple mode can't set keyframes.
        with open(os.path.join(self.obs.config_dir, "basic", "profiles", "Untitled", "basic.ini"), "w") as ini:
            ini.write("[General]\nName=Untitled\n[Output]\nMode=Advanced\n[AdvOut]\nEncoder=obs_x264\n")
        self.obs.start()
        port = self.obs.dock_port()
        os.makedirs(ARTIFACTS_DIR, exist_ok=True)
        ran = subprocess.run(
            ["node", os.path.join(BROWSER_TESTS, "go_live_routine.mjs"), "http://127.0.0.1:%d/" % port,
             self.nginx.rtmp_url, "http://127.0.0.1:%d/stat" % self.nginx.http_port, ARTIFACTS_DIR],
            cwd=BROWSER_TESTS, capture_output=True, text=True, timeout=240)
        self.assertEqual(ran.returncode, 0, ran.stderr[-3000:])
        seen = json.loads(ran.stdout)

        self.assertIn(["fix", "Set where to stream (Destination)."], seen["checksBefore"])
        self.assertIn(["fix", "Keyframes every 250 frames (OBS decides): set the keyframe interval to 2 s (Encoder)."],
                      seen["checksBefore"])
        self.assertEqual(seen["pending"]["who"], "Confirm in your browser…")
        self.assertTrue(seen["pending"]["linkShown"])
        self.assertIn("/link?code=", seen["pending"]["link"])
        self.assertTrue(seen["pending"]["signInDisabled"], "one link at a time")
        self.assertEqual(seen["who"], "Signed in as Dev Streamer")
        self.assertIn("Set where to stream first", seen["noDestination"])
        self.assertIn("rtmp://", seen["badDestination"])
        self.assertIn("••••main", seen["destination"])
        self.assertEqual(seen["encoder"], "Encoder settings saved.")
        self.assertNotIn("fix", [state for state, _ in seen["checksAfter"]], seen["checksAfter"])
        self.assertEqual(sorted(seen["liveStreams"]), ["obsmain", "relaykey"])
        self.assertRegex(seen["figures"], r"^\d+:\d\d:\d\d · dropped \d+ of \d+ frames · congestion \d+ %")
        self.assertTrue(seen["relayStatus"].startswith("Relay sending with"), seen["relayStatus"])
        self.assertRegex(seen["relayFigures"], r"^dropped \d+ of \d+ frames · congestion \d+ %$")
        self.assertNotIn("obsmain", seen["pageText"].replace("••••main", ""), "the stream key shows in full")
        self.assertEqual(seen["after"], "Offline")
        self.assertEqual(self.obs.stop(), 0)


if __name__ == "__main__":
    unittest.main()
