# SPDX-License-Identifier: GPL-2.0-or-later
"""The relay on a streamer's real uplink, in real OBS, inside a network namespace of the suite's own: it never
holds OBS's window while its server is silent or gone, and OBS closes at once."""
import re
import time
import unittest

from nginx_rtmp import NginxRtmp
from network_weather import StallProbe, enter_own_network, hole, shared_uplink
from obs_harness import Bridge, SilentServer, wait_until
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
        self.relay_server.restart()  # it would keep the vanished session and refuse the same name again

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

        self.end_stream_before_closing()
        closing = time.monotonic()
        self.assertEqual(self.obs.stop(), 0)
        stalls["OBS closes"] = time.monotonic() - closing
        print("longest answer of the bridge, in s:", {what: round(took, 3) for what, took in stalls.items()})
        for what, took in stalls.items():
            self.assertLess(took, FROZEN if what != "OBS closes" else 2 * FROZEN + 3, what)
        self.assertEqual(self.probe.errors, [])

    def flowing_again(self, server, name, since):
        """Seconds from since until name's bytes grow at server again."""
        wait_until(lambda: server.bytes_in().get(name, 0) > 0, timeout=90, what=name + " to reach its server")
        server.wait_for_flowing([name], timeout=90)
        return time.monotonic() - since

    def test_relay_is_back_soon_after_an_outage(self):
        """A 30 s hole on the relay's path, then on both paths; as public ingests drop dead sessions, each
        server starts anew as the hole ends. The relay says it is stalled meanwhile."""
        self.go_live()
        figures = {}
        mend = hole(self.relay_server.rtmp_port)
        wait_until(lambda: self.relay_state()["stalled"] or self.relay_state()["reconnecting"], timeout=10,
                   what="the relay to say it is stalled")
        self.assertFalse(self.relay_state()["sending"])
        time.sleep(30)
        mend()
        self.relay_server.restart()
        figures["relay's path"] = self.flowing_again(self.relay_server, "relaykey", time.monotonic())

        mends = [hole(self.relay_server.rtmp_port), hole(self.nginx.rtmp_port)]
        time.sleep(30)
        for mend in mends:
            mend()
        self.relay_server.restart()
        self.nginx.restart()
        back = time.monotonic()
        figures["both paths: OBS's stream"] = self.flowing_again(self.nginx, "obsmain", back)
        figures["both paths: relay"] = self.flowing_again(self.relay_server, "relaykey", back)
        print("back after the network's return, in s:", {what: round(took, 1) for what, took in figures.items()})
        self.assertLess(figures["relay's path"], 10 + 2)
        self.assertLess(figures["both paths: relay"], figures["both paths: OBS's stream"] + 5 + 2)
        self.bridge.call("POST", "stop")
        wait_until(lambda: not self.nginx.bytes_in(), what="both streams to end")
        self.assertEqual(self.obs.stop(), 0)

    def frames_of(self, output):
        """(sent, attempted) by libobs's own count at the output's last stop, from OBS's log."""
        found = re.findall(r"Output '%s': Total frames output: (\d+)(?: \((\d+) attempted\))?" % re.escape(output),
                           self.obs.log())
        sent, attempted = found[-1]
        return int(sent), int(attempted or sent)

    def yields_on_a_shared_uplink(self, relay_bitrate, encoder):
        """OBS's stream at 2,000 kbit/s and the relay share an uplink of 1.5 times that: OBS's stream keeps its
        frames, the relay takes what is left; once the uplink is lifted the relay is back at its bitrate. An
        uplink that carries both (1.2 times their sum) changes nothing."""
        self.write_relay_settings(self.relay_server.rtmp_url, relay_bitrate)
        ports = [self.nginx.rtmp_port, self.relay_server.rtmp_port]
        shared_uplink(ports, int((2000 + relay_bitrate + 2 * 160) * 1.2))
        self.go_live()
        self.assertEqual(self.relay_state()["encoder"], encoder)
        time.sleep(6)
        self.assertNotIn("giving way to OBS's stream", self.obs.log())
        shared_uplink(ports, 3000)
        wait_until(lambda: self.relay_state()["yielding"], timeout=30, what="the relay to give way")
        before, began = self.relay_server.bytes_in()["relaykey"], time.monotonic()
        time.sleep(25)
        relay_kbps = (self.relay_server.bytes_in()["relaykey"] - before) * 8 / 1000 / (time.monotonic() - began)
        self.assertLess(self.relay_state()["sendingBitrate"], relay_bitrate)
        shared_uplink([], None)
        lifted = time.monotonic()
        wait_until(lambda: not self.relay_state()["yielding"], timeout=60, what="the relay back at its bitrate")
        back_after = time.monotonic() - lifted
        self.assertEqual(self.relay_state()["sendingBitrate"], relay_bitrate)

        self.bridge.call("POST", "stop")
        wait_until(lambda: not self.nginx.bytes_in(), what="both streams to end")
        sent, attempted = self.frames_of("adv_stream")
        lost = 100.0 * (attempted - sent) / attempted
        print("%s: OBS's stream lost %.2f %% of %d frames; the relay delivered %d kbit/s of the 1000 spare; back "
              "at its bitrate %.0f s after the uplink was lifted" % (encoder, lost, attempted, relay_kbps, back_after))
        self.assertLessEqual(lost, 1.0)
        self.assertGreater(relay_kbps, 1000 * 0.5)
        self.assertEqual(self.obs.stop(), 0)

    def test_relay_with_its_own_encoder_gives_way_to_obs_stream(self):
        self.yields_on_a_shared_uplink(1500, "x264 (CPU)")

    def test_relay_with_obs_encoders_gives_way_to_obs_stream(self):
        self.yields_on_a_shared_uplink(2000, "OBS's stream encoder")


if __name__ == "__main__":
    unittest.main()
