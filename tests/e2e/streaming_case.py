# SPDX-License-Identifier: GPL-2.0-or-later
"""A test case with a fresh nginx-rtmp and an OBS (cloud unreachable) beside it."""
import json
import os
import unittest

from nginx_rtmp import NginxRtmp
from obs_harness import Bridge, ObsRun, closed_port, closes_cleanly_while_streaming, wait_until


class StreamingCase(unittest.TestCase):
    record_streams = False  # nginx keeps each stream as a file

    def setUp(self):
        self.nginx = NginxRtmp(record=self.record_streams)
        self.nginx.start()
        self.addCleanup(self.nginx.stop)
        self.obs = ObsRun(env={"ORVANE_CLOUD_URL": "http://127.0.0.1:%d" % closed_port()})
        self.addCleanup(self.obs.stop)

    def end_stream_before_closing(self):
        """Where OBS can't close cleanly while it streams, its stream ends first: through the bridge, as the
        dock page ends it. The relay must end with it."""
        if closes_cleanly_while_streaming():
            return
        Bridge(self.obs.dock_port()).call("POST", "stop")
        wait_until(lambda: not self.nginx.bytes_in(), what="both streams to end")

    def profile_file(self, name):
        return os.path.join(self.obs.config_dir, "basic", "profiles", "Untitled", name)

    def write_relay_settings(self, server, bitrate=1500):
        os.makedirs(self.obs.plugin_config(), exist_ok=True)
        with open(self.obs.plugin_config("relay.json"), "w") as relay:
            json.dump({"enabled": True, "server": server, "key": "relaykey", "bitrate": bitrate}, relay)

    def point_obs_stream_at(self, server):
        with open(self.profile_file("service.json"), "w") as service:
            json.dump({"type": "rtmp_custom", "settings": {"server": server, "key": "obsmain"}}, service)

    def encode_obs_stream(self, bitrate, keyint_sec, dynamic_bitrate=False):
        """OBS's own stream in advanced output mode with x264 at these settings; dynamic_bitrate: OBS's own
        "Dynamically change bitrate to manage congestion"."""
        with open(self.profile_file("basic.ini"), "w") as ini:
            ini.write("[General]\nName=Untitled\n[Output]\nMode=Advanced\nDynamicBitrate=%s\n[AdvOut]\n"
                      "Encoder=obs_x264\n" % ("true" if dynamic_bitrate else "false"))
        with open(self.profile_file("streamEncoder.json"), "w") as encoder:
            json.dump({"rate_control": "CBR", "bitrate": bitrate, "keyint_sec": keyint_sec, "preset": "ultrafast"},
                      encoder)
