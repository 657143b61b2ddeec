# SPDX-License-Identifier: GPL-2.0-or-later
"""The dock page from the module in the real OBS, opened in Chromium, signing in through the local cloud."""
import json
import os
import subprocess
import time
import unittest

from local_cloud import LocalCloud
from obs_harness import ROOT, ObsRun, SilentServer, raw_exchange

BROWSER_TESTS = os.path.join(ROOT, "tests", "browser")


class ObsDockPage(unittest.TestCase):
    def setUp(self):
        self.cloud = LocalCloud()
        self.addCleanup(self.cloud.stop)
        # BROWSER: where "open" would hand the confirm page to the desktop browser, hand it to nothing.
        self.obs = ObsRun(env={"ORVANE_CLOUD_URL": self.cloud.url, "BROWSER": "true"})
        self.addCleanup(self.obs.stop)

    def test_page_runs_in_a_browser_and_signs_in(self):
        self.obs.start()
        port = self.obs.dock_port()
        dock_file = self.obs.plugin_config("dock.json")
        deadline = time.monotonic() + 10
        while not os.path.exists(dock_file) and time.monotonic() < deadline:
            time.sleep(0.1)
        with open(dock_file) as dock:
            self.assertIs(json.load(dock)["shown"], True)

        checked = subprocess.run(
            ["node", os.path.join(BROWSER_TESTS, "check_dock_page.mjs"), "http://127.0.0.1:%d/" % port,
             self.cloud.url, os.path.join(self.obs.home, "dock.png")],
            cwd=BROWSER_TESTS, capture_output=True, text=True, timeout=120)
        self.assertEqual(checked.returncode, 0, checked.stderr[-3000:])
        seen = json.loads(checked.stdout)

        self.assertRegex(seen["config"]["bridge"], r"^[0-9a-f]{32}$")
        self.assertEqual(seen["config"]["cloud"], self.cloud.url)
        self.assertEqual(seen["stateBefore"]["status"], 200)
        self.assertFalse(seen["stateBefore"]["json"]["signedIn"])
        self.assertEqual(seen["meBefore"], {"status": 401, "json": {"error": "Sign in first."}})
        self.assertEqual(seen["crossOrigin"], "refused")
        self.assertEqual(seen["who"], "Signed in as Dev Streamer")
        self.assertEqual(seen["me"], {"status": 200, "json": {"user": {"id": "dev-user", "name": "Dev Streamer"}}})
        self.assertTrue(seen["stateAfter"]["json"]["signedIn"])

        with open(self.obs.plugin_config("account.json")) as account:
            token = json.load(account)["token"]
        self.assertTrue(token.startswith("dev-"))
        self.assertGreater(len(seen["received"]), 5)
        for response in seen["received"]:
            self.assertNotIn(token, response["body"], response["url"])
            self.assertNotIn(token, json.dumps(response["headers"]), response["url"])

        self.assertEqual(self.obs.stop(), 0)
        log = self.obs.log()
        self.assertNotRegex(log, r"(warning|error): \[orvane\]")

    def test_cached_page_comes_at_once_from_a_silent_cloud(self):
        self.obs.start()
        port = self.obs.dock_port()

        def whole_page():
            answers = {}
            for path in ("/", "/app.js", "/style.css"):
                request = b"GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (path.encode(), port)
                answers[path] = raw_exchange(port, request, timeout=5).split(b"\r\n\r\n", 1)[1]
            return answers

        fresh = whole_page()  # fills the dock cache
        self.assertEqual(self.obs.stop(), 0)

        # The next OBS start finds the cloud accepting and never answering (a stalled network).
        silent = SilentServer()
        self.addCleanup(silent.close)
        self.obs.env["ORVANE_CLOUD_URL"] = "http://127.0.0.1:%d" % silent.port
        self.obs.start()
        port = self.obs.dock_port()
        asked = time.monotonic()
        cached = whole_page()  # each file within 5 s, where the transfer time-outs are 6 s and 15 s
        print("whole cached page from a silent cloud in %.2f s" % (time.monotonic() - asked))
        self.assertEqual(cached["/app.js"], fresh["/app.js"])
        self.assertEqual(cached["/style.css"], fresh["/style.css"])
        self.assertIn(b"window.__OV=", cached["/"])
        self.assertGreater(len(silent.accepted), 0)


if __name__ == "__main__":
    unittest.main()
