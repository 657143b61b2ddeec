"""The relay in the real OBS: OBS's own stream and the relay both reach a real RTMP server."""
import json
import os
import unittest

from nginx_rtmp import NginxRtmp
from obs_harness import ObsRun, closed_port


class ObsRelay(unittest.TestCase):
    def setUp(self):
        self.nginx = NginxRtmp()
        self.nginx.start()
        self.addCleanup(self.nginx.stop)
        self.obs = ObsRun(env={"ORVANE_CLOUD_URL": "http://127.0.0.1:%d" % closed_port()})
        self.addCleanup(self.obs.stop)

        os.makedirs(self.obs.plugin_config(), exist_ok=True)
        with open(self.obs.plugin_config("relay.json"), "w") as relay:
            json.dump({"enabled": True, "server": self.nginx.rtmp_url, "key": "relaykey", "bitrate": 1500}, relay)
        profile = os.path.join(self.obs.config_dir, "basic", "profiles", "Untitled")
        with open(os.path.join(profile, "service.json"), "w") as service:
            json.dump({"type": "rtmp_custom", "settings": {"server": self.nginx.rtmp_url, "key": "obsmain"}},
                      service)

    def test_relay_streams_beside_obs_and_ends_with_it(self):
        self.obs.start("--startstreaming")
        self.obs.wait_for_log(r"\[orvane\] Orvane output: sending with x264 \(CPU\)")
        self.nginx.wait_for_flowing(["obsmain", "relaykey"])

        self.assertEqual(self.obs.stop(), 0)
        self.assertEqual(self.nginx.bytes_in(), {})
        self.assertNotIn("Orvane output didn't start", self.obs.log())


if __name__ == "__main__":
    unittest.main()
