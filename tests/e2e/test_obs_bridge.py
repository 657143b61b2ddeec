# SPDX-License-Identifier: GPL-2.0-or-later
"""The bridge in the real OBS, watched from outside: obs-websocket, nginx and the profile files."""
import configparser
import json
import os
import time
import unittest

from nginx_rtmp import probe_video
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
        self.assertEqual(bridge.call("POST", "encoder", {"bitrate": 3000}), (200, {"ok": True}))
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
        self.assertFalse(os.path.exists(self.obs.plugin_config("account.json")))

        obs.close()
        self.assertEqual(self.obs.stop(), 0)


class ObsKeyframes(StreamingCase):
    """The keyframe interval the state reports is the one in the stream that reaches the server."""
    record_streams = True

    def test_state_tells_the_keyframe_interval_that_reaches_the_server(self):
        profile = os.path.join(self.obs.config_dir, "basic", "profiles", "Untitled")
        with open(os.path.join(profile, "service.json"), "w") as service:
            json.dump({"type": "rtmp_custom", "settings": {"server": self.nginx.rtmp_url, "key": "obsmain"}}, service)
        for mode in ("simple", "advanced"):
            if mode == "advanced":
                with open(os.path.join(profile, "basic.ini"), "w") as ini:
                    ini.write("[General]\nName=Untitled\n[Output]\nMode=Advanced\n[AdvOut]\nEncoder=obs_x264\n")
                with open(os.path.join(profile, "streamEncoder.json"), "w") as encoder:
                    json.dump({"rate_control": "CBR", "bitrate": 1500, "keyint_sec": 2, "preset": "ultrafast"}, encoder)
            self.obs.start()
            bridge = Bridge(self.obs.dock_port())
            before = bridge.state()["obs"]
            self.assertEqual(bridge.call("POST", "start"), (200, {"ok": True}))
            self.nginx.wait_for_flowing(["obsmain"])
            live = bridge.state()["obs"]
            recording = self.nginx.recordings("obsmain")[-1]
            keyframes = wait_until(lambda: len(probe_video(recording)[2]) >= 2 and probe_video(recording)[2], 60,
                                   "two keyframes in the recording")
            bridge.call("POST", "stop")
            wait_until(lambda: not self.nginx.bytes_in(), what="the stream to end")
            self.assertEqual(self.obs.stop(), 0)

            measured = keyframes[1] - keyframes[0]
            keyint = live["encoder"]["keyintSec"]
            self.assertEqual(before["encoder"]["keyintSec"], keyint, mode)
            # 0: OBS leaves it to x264, which puts a keyframe every 250 frames.
            expected = keyint if keyint else 250 / live["video"]["fps"]
            self.assertAlmostEqual(measured, expected, delta=0.1, msg="%s: state %s, measured %.2f s" % (
                mode, keyint, measured))
            self.assertEqual(keyint, {"simple": 0, "advanced": 2}[mode])


if __name__ == "__main__":
    unittest.main()
