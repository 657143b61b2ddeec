"""The relay in the real OBS: OBS's own stream and the relay both reach a real RTMP server."""
import json
import os
import unittest

from obs_harness import Bridge, closed_port, closes_cleanly_while_streaming, wait_until
from streaming_case import StreamingCase


class ObsRelay(StreamingCase):
    def setUp(self):
        super().setUp()

        self.write_relay_settings(self.nginx.rtmp_url)
        profile = os.path.join(self.obs.config_dir, "basic", "profiles", "Untitled")
        with open(os.path.join(profile, "service.json"), "w") as service:
            json.dump({"type": "rtmp_custom", "settings": {"server": self.nginx.rtmp_url, "key": "obsmain"}},
                      service)

    def write_relay_settings(self, server):
        os.makedirs(self.obs.plugin_config(), exist_ok=True)
        with open(self.obs.plugin_config("relay.json"), "w") as relay:
            json.dump({"enabled": True, "server": server, "key": "relaykey", "bitrate": 1500}, relay)

    def encode_obs_stream(self, bitrate, keyint_sec):
        """OBS's own stream in advanced output mode with x264 at these settings."""
        profile = os.path.join(self.obs.config_dir, "basic", "profiles", "Untitled")
        with open(os.path.join(profile, "basic.ini"), "w") as ini:
            ini.write("[General]\nName=Untitled\n[Output]\nMode=Advanced\n[AdvOut]\nEncoder=obs_x264\n")
        with open(os.path.join(profile, "streamEncoder.json"), "w") as encoder:
            json.dump({"rate_control": "CBR", "bitrate": bitrate, "keyint_sec": keyint_sec, "preset": "ultrafast"},
                      encoder)

    def end_stream_before_closing(self):
        """Where OBS can't close cleanly while it streams, its stream ends first: through the bridge, as the
        dock page ends it. The relay must end with it."""
        if closes_cleanly_while_streaming():
            return
        Bridge(self.obs.dock_port()).call("POST", "stop")
        wait_until(lambda: not self.nginx.bytes_in(), what="both streams to end")

    def test_relay_streams_beside_obs_and_ends_with_it(self):
        self.obs.start("--startstreaming")
        self.obs.wait_for_log(r"\[orvane\] Orvane output: sending with x264 \(CPU\)")
        self.nginx.wait_for_flowing(["obsmain", "relaykey"])

        self.end_stream_before_closing()
        self.assertEqual(self.obs.stop(), 0)
        self.assertEqual(self.nginx.bytes_in(), {})
        self.assertNotIn("Orvane output didn't start", self.obs.log())


    def test_relay_sends_with_obs_encoders_when_they_make_the_same_stream(self):
        self.encode_obs_stream(1500, 2)  # the relay's bitrate and keyframe interval
        self.obs.start("--startstreaming")
        self.obs.wait_for_log(r"\[orvane\] Orvane output: sending with OBS's stream encoder")
        self.nginx.wait_for_flowing(["obsmain", "relaykey"])
        self.end_stream_before_closing()
        self.assertEqual(self.obs.stop(), 0)
        self.assertNotIn("sending with x264", self.obs.log())

    def test_unreachable_relay_leaves_obs_stream_alone(self):
        self.write_relay_settings("rtmp://127.0.0.1:%d/live" % closed_port())
        self.obs.start("--startstreaming")
        # The relay keeps trying (a start every 5 seconds) while OBS's own stream flows.
        self.obs.wait_for_log(r"(?s)Orvane output: sending with.*Orvane output: sending with", timeout=30)
        self.nginx.wait_for_flowing(["obsmain"])
        self.assertNotIn("relaykey", self.nginx.bytes_in())
        self.end_stream_before_closing()
        self.assertEqual(self.obs.stop(), 0)


if __name__ == "__main__":
    unittest.main()
