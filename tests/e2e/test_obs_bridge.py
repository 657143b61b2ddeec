"""The bridge in the real OBS, watched from outside: obs-websocket, nginx and the profile files."""
import configparser
import json
import os
import time
import unittest

from obs_harness import Bridge, free_port_in_range, has_obs_plugin, wait_until
from obs_websocket import ObsWebSocket, enable_obs_websocket
from streaming_case import StreamingCase


@unittest.skipUnless(has_obs_plugin("obs-websocket"),
                     "this OBS has no obs-websocket, the independent witness through which the suite reads OBS")
class ObsBridge(StreamingCase):
    def setUp(self):
        super().setUp()
        self.websocket_port = free_port_in_range(20000, 30000)
        enable_obs_websocket(self.obs.config_dir, self.websocket_port)
        os.makedirs(self.obs.plugin_config(), exist_ok=True)
        with open(self.obs.plugin_config("account.json"), "w") as account:
            json.dump({"token": "signed-in-token"}, account)
        self.profile = os.path.join(self.obs.config_dir, "basic", "profiles", "Untitled")

    def profile_ini(self):
        ini = configparser.ConfigParser(strict=False)
        ini.optionxform = str
        ini.read(os.path.join(self.profile, "basic.ini"), encoding="utf-8-sig")
        return ini

    def test_page_drives_obs_through_the_bridge(self):
        self.obs.start()
        bridge = Bridge(self.obs.dock_port())
        obs = ObsWebSocket(self.websocket_port, timeout=30)
        self.addCleanup(obs.close)
        self.assertTrue(bridge.state()["signedIn"])

        # Stream service.
        self.assertEqual(bridge.call("POST", "service", {"server": self.nginx.rtmp_url, "key": "obsmain"}),
                         (200, {"ok": True}))
        service = obs.request("GetStreamServiceSettings")
        self.assertEqual(service["streamServiceType"], "rtmp_custom")
        self.assertEqual(service["streamServiceSettings"]["server"], self.nginx.rtmp_url)
        self.assertEqual(service["streamServiceSettings"]["key"], "obsmain")
        with open(os.path.join(self.profile, "service.json")) as saved:
            self.assertEqual(json.load(saved)["settings"]["key"], "obsmain")
        self.assertEqual(bridge.state()["obs"]["service"]["server"], self.nginx.rtmp_url)

        # Encoder settings, simple then advanced output mode.
        self.assertEqual(bridge.call("POST", "encoder", {"bitrate": 3000, "keyintSec": 2}), (200, {"ok": True}))
        self.assertEqual(self.profile_ini()["SimpleOutput"]["VBitrate"], "3000")
        self.assertEqual(bridge.state()["obs"]["encoder"]["bitrate"], 3000)
        obs.request("SetProfileParameter", {"parameterCategory": "Output", "parameterName": "Mode",
                                            "parameterValue": "Advanced"})
        self.assertEqual(bridge.call("POST", "encoder", {"bitrate": 2800, "keyintSec": 3}), (200, {"ok": True}))
        with open(os.path.join(self.profile, "streamEncoder.json")) as encoder_file:
            written = json.load(encoder_file)
        self.assertEqual((written["bitrate"], written["keyint_sec"]), (2800, 3))
        encoder = bridge.state()["obs"]["encoder"]
        self.assertEqual((encoder["mode"], encoder["bitrate"], encoder["keyintSec"]), ("advanced", 2800, 3))

        # Go live: OBS's stream reaches nginx and the measured rate matches nginx's own count.
        self.assertEqual(bridge.call("POST", "start"), (200, {"ok": True}))
        wait_until(lambda: obs.request("GetStreamStatus")["outputActive"], what="OBS streaming")
        self.nginx.wait_for_flowing(["obsmain"])
        self.assertEqual(bridge.call("POST", "encoder", {"bitrate": 1000}), (409, {"error": "End the stream first."}))
        time.sleep(3)
        before, started = self.nginx.bytes_in()["obsmain"], time.monotonic()
        time.sleep(4)
        nginx_kbps = (self.nginx.bytes_in()["obsmain"] - before) * 8 / (time.monotonic() - started) / 1000
        state = bridge.state()["obs"]
        self.assertTrue(state["streaming"])
        self.assertGreater(state["startedAt"], 0)
        self.assertGreater(state["kbps"], nginx_kbps * 0.5, (state["kbps"], nginx_kbps))
        self.assertLess(state["kbps"], nginx_kbps * 2, (state["kbps"], nginx_kbps))

        # The relay joins the running stream.
        status, relay = bridge.call("POST", "relay", {"enabled": True, "server": self.nginx.rtmp_url,
                                                      "key": "relaykey", "bitrate": 1500})
        self.assertEqual(status, 200)
        self.assertNotIn("key", relay)
        self.nginx.wait_for_flowing(["obsmain", "relaykey"])
        wait_until(lambda: bridge.state()["relay"]["sending"], what="relay sending")

        # Stop ends both.
        self.assertEqual(bridge.call("POST", "stop"), (200, {"ok": True}))
        wait_until(lambda: self.nginx.bytes_in() == {}, what="both streams to end")
        wait_until(lambda: not bridge.state()["obs"]["streaming"], what="OBS to stop")
        self.assertFalse(bridge.state()["relay"]["sending"])

        # Sign-out.
        self.assertEqual(bridge.call("POST", "signout"), (200, {"ok": True}))
        self.assertFalse(bridge.state()["signedIn"])
        with open(self.obs.plugin_config("account.json")) as account:
            self.assertEqual(json.load(account)["token"], "")

        obs.close()
        self.assertEqual(self.obs.stop(), 0)


if __name__ == "__main__":
    unittest.main()
