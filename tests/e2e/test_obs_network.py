# SPDX-License-Identifier: GPL-2.0-or-later
"""The relay on a streamer's real uplink, in real OBS, inside a network namespace of the suite's own: it never
holds OBS's window while its server is silent or gone, and OBS closes at once."""
import time
import unittest

from nginx_rtmp import NginxRtmp
from network_weather import StallProbe, enter_own_network, hole
from obs_harness import Bridge, SilentServer, closes_cleanly_while_streaming, wait_until
from streaming_case import StreamingCase

# A freeze, not a slow machine: the main thread was held 29 s here before.
FROZEN = 1.0
no_network_of_our_own = None


def setUpModule():
    global no_network_of_our_own
    no_network_of_our_own = enter_own_network()


class ObsNetwork(StreamingCase):
    def setUp(self):
        if no_network_of_our_own:
            self.skipTest(no_network_of_our_own)
        super().setUp()
        self.relay_server = NginxRtmp()
        self.relay_server.start()
        self.addCleanup(self.relay_server.stop)
        self.write_relay_settings(self.relay_server.rtmp_url)
        self.point_obs_stream_at(self.nginx.rtmp_url)
        self.encode_obs_stream(2000, 2)

    def relay_state(self):
        return self.bridge.state()["relay"]

    def go_live(self):
        self.obs.start("--startstreaming")
        self.bridge = Bridge(self.obs.dock_port())
        self.relay_server.wait_for_flowing(["relaykey"])
        self.nginx.wait_for_flowing(["obsmain"])
        self.probe = StallProbe(self.bridge)
        self.addCleanup(self.probe.stop)

    def relay(self, enabled):
        return lambda: self.bridge.call("POST", "relay", {"enabled": enabled, "server": self.relay_server.rtmp_url,
                                                          "key": "relaykey", "bitrate": 1500})

    def test_relay_never_holds_obs_while_its_server_is_silent_or_gone(self):
        self.go_live()
        stalls = {}
        # Mid-stream the relay's server vanishes: packets dropped both ways.
        mend = hole(self.relay_server.rtmp_port)
        time.sleep(4)
        stalls["off in a mid-stream hole"] = self.probe.longest_during(self.relay(False))
        stalls["on into the hole"] = self.probe.longest_during(self.relay(True))
        stalls["OBS's stream stops, relay in the hole"] = self.probe.longest_during(
            lambda: self.bridge.call("POST", "stop"))
        wait_until(lambda: "obsmain" not in self.nginx.bytes_in(), what="OBS's stream to end at its server")
        mend()

        # The server comes back as one that accepts and never answers; libobs's reconnects wait on it.
        self.bridge.call("POST", "start")
        wait_until(lambda: self.relay_state()["sending"], timeout=30, what="the relay to send again")
        port = self.relay_server.rtmp_port
        self.relay_server.stop()
        silent = SilentServer(port=port)
        self.addCleanup(silent.close)
        wait_until(lambda: silent.accepted, timeout=30, what="libobs to reconnect to the silent server")
        stalls["off while libobs reconnects to a silent server"] = self.probe.longest_during(self.relay(False))
        stalls["on, first attempt to the silent server"] = self.probe.longest_during(self.relay(True))
        wait_until(lambda: len(silent.accepted) >= 2, timeout=30, what="the relay's first attempt")
        self.nginx.wait_for_flowing(["obsmain"])
        self.probe.stop()

        if not closes_cleanly_while_streaming():
            self.bridge.call("POST", "stop")
        closing = time.monotonic()
        self.assertEqual(self.obs.stop(), 0)
        stalls["OBS closes"] = time.monotonic() - closing
        print("longest answer of the bridge, in s:", {what: round(took, 3) for what, took in stalls.items()})
        for what, took in stalls.items():
            self.assertLess(took, FROZEN if what != "OBS closes" else 2 * FROZEN + 3, what)
        self.assertEqual(self.probe.errors, [])


if __name__ == "__main__":
    unittest.main()
