# SPDX-License-Identifier: GPL-2.0-or-later
"""The relay on a streamer's real uplink, in real OBS, inside a network namespace of the suite's own: it never
holds OBS's window while its server is silent or gone, and OBS closes at once."""
import json
import os
import re
import time
import unittest

from nginx_rtmp import NginxRtmp, video_times
from network_weather import (NameServer, ReplayedUplink, SlowNameServer, StallProbe, enter_own_network, hole,
                             recorded_uplink, shared_uplink)
from obs_harness import Bridge, SilentServer, wait_until
from streaming_case import StreamingCase

# A freeze, not a slow machine: the main thread was held 29 s here before.
FROZEN = 1.0
# The relay's own encoder's video bitrate at its floor of 400 kbit/s all told.
RELAY_FLOOR_VIDEO_KBPS = 400 * 95 // 100 - 160
no_network_of_our_own = None


def setUpModule():
    global no_network_of_our_own
    no_network_of_our_own = enter_own_network()


class ObsNetwork(StreamingCase):
    def setUp(self):
        if no_network_of_our_own:
            self.skipTest(no_network_of_our_own)
        super().setUp()
        self.relay_server = NginxRtmp(record=True)  # what the relay's viewers get
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

    def relay(self, enabled, server=None):
        server = server or self.relay_server.rtmp_url
        return lambda: self.bridge.call("POST", "relay", {"enabled": enabled, "server": server, "key": "relaykey",
                                                          "bitrate": 1500})

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

        # The server comes back as one that accepts and never answers; the relay's reconnects wait on it.
        self.bridge.call("POST", "start")
        wait_until(lambda: self.relay_state()["sending"] and self.relay_state()["encoder"] != "OBS's stream encoder",
                   timeout=30, what="the relay to send again on its own encoder")
        port = self.relay_server.rtmp_port
        self.relay_server.stop()
        silent = SilentServer(port=port)
        self.addCleanup(silent.close)
        wait_until(lambda: silent.accepted, timeout=30, what="the relay to reconnect to the silent server")
        stalls["off while it reconnects to a silent server"] = self.probe.longest_during(self.relay(False))
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

    def test_relay_never_holds_obs_while_its_name_server_is_gone(self):
        """The relay's server by host name, and the network goes with the name server: the server unreachable and
        the name server's packets dropped while the relay reconnects. Turning the relay off and on, OBS's stream
        stopping and OBS closing never hold OBS's main thread, and OBS closes within the 2 s the days allow."""
        names = NameServer("relay.orvane.test")
        self.addCleanup(names.stop)
        server = "rtmp://relay.orvane.test:%d/live" % self.relay_server.rtmp_port
        self.write_relay_settings(server)
        self.go_live()
        mends = [names.lose(), hole(self.relay_server.rtmp_port)]
        for mend in mends:
            self.addCleanup(mend)
        wait_until(lambda: self.relay_state()["reconnecting"], timeout=30, what="the relay to reconnect")
        stalls = {"off while reconnecting without a name server":
                  self.probe.longest_during(self.relay(False, server)),
                  "on without a name server": self.probe.longest_during(self.relay(True, server), settle=4),
                  "OBS's stream stops": self.probe.longest_during(lambda: self.bridge.call("POST", "stop"))}
        wait_until(lambda: "obsmain" not in self.nginx.bytes_in(), what="OBS's stream to end at its server")
        self.probe.stop()
        closing = time.monotonic()
        self.assertEqual(self.obs.stop(), 0)
        stalls["OBS closes"] = time.monotonic() - closing
        print("name server gone: longest answer of the bridge, in s:",
              {what: round(took, 3) for what, took in stalls.items()})
        for what, took in stalls.items():
            self.assertLess(took, 2.0 if what == "OBS closes" else 0.2, what)
        self.assertEqual(self.probe.errors, [])

    def test_relay_turned_off_while_its_name_is_looked_up_sends_nothing(self):
        """The name server answers after 1.5 s. The relay turned off, or OBS's stream stopped, while the relay looks
        its server's name up: nothing reaches its server afterwards, and it shows neither an attempt nor an
        error."""
        names = SlowNameServer("relay.orvane.test", lambda question: 1.5)
        self.addCleanup(names.stop)
        server = "rtmp://relay.orvane.test:%d/live" % self.relay_server.rtmp_port
        self.write_relay_settings(server)
        self.go_live()
        for stop in ("relay off", "OBS's stream stops"):
            self.relay(False, server)()
            wait_until(lambda: "relaykey" not in self.relay_server.bytes_in(), what="the relay to end at its server")
            self.relay(True, server)()
            self.assertTrue(self.relay_state()["connecting"], stop)
            self.relay(False, server)() if stop == "relay off" else self.bridge.call("POST", "stop")
            quiet_until = time.monotonic() + 4
            while time.monotonic() < quiet_until:
                self.assertNotIn("relaykey", self.relay_server.bytes_in(), "reached its server after: " + stop)
                time.sleep(0.2)
            state = self.relay_state()
            self.assertEqual((state["connecting"], state["sending"], state["error"]), (False, False, ""), stop)
        self.end_stream_before_closing()
        self.assertEqual(self.obs.stop(), 0)

    def test_obs_closes_at_once_while_the_relay_waits_for_its_name(self):
        """The name server answers the first look-up and holds every later question for 8 s: OBS closed while the
        relay looks its name up again exits at once, and OBS's main thread is never held meanwhile."""
        names = SlowNameServer("relay.orvane.test", lambda question: 0 if question <= 2 else 8)  # A and AAAA
        self.addCleanup(names.stop)
        server = "rtmp://relay.orvane.test:%d/live" % self.relay_server.rtmp_port
        self.write_relay_settings(server)
        self.go_live()
        stalls = {"off": self.probe.longest_during(self.relay(False, server)),
                  "on, its name held": self.probe.longest_during(self.relay(True, server))}
        self.assertTrue(self.relay_state()["connecting"])
        self.end_stream_before_closing()
        self.probe.stop()
        closing = time.monotonic()
        self.assertEqual(self.obs.stop(), 0)
        stalls["OBS closes"] = time.monotonic() - closing
        print("name held: longest answer of the bridge, in s:", {what: round(took, 3) for what, took in stalls.items()})
        for what, took in stalls.items():
            self.assertLess(took, 2.0 if what == "OBS closes" else 0.2, what)
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
        holed = time.monotonic()
        # Nothing sent for 3 s says stalled, after the second or so its socket's buffer still takes, at the next
        # tick.
        wait_until(lambda: self.relay_state()["stalled"] or self.relay_state()["reconnecting"], timeout=6,
                   what="the relay to say it is stalled")
        stalled_after = time.monotonic() - holed
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
        print("stalled %.1f s into the hole; back after the network's return, in s: %s"
              % (stalled_after, {what: round(took, 1) for what, took in figures.items()}))
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

    def viewers_stops(self, since, until):
        """How long the relay's viewers saw each picture between since and until (time.time()): the gaps between
        consecutive video frames in what its server recorded, across its sessions (a reconnect is a stop too; a
        file's last write is its last frame)."""
        frames = []
        for path in self.relay_server.recordings("relaykey"):
            times = video_times(path)
            offset = os.path.getmtime(path) - times[-1] if times else 0
            frames += [at + offset for at in times]
        inside = sorted(at for at in frames if since <= at <= until)
        return [later - earlier for earlier, later in zip(inside, inside[1:])]

    def viewers_longest_stop(self, since, until):
        return max([0.0] + self.viewers_stops(since, until))

    def relay_over(self, seconds):
        """The relay over the next seconds: (frames it dropped, of how many, kbit/s that reached its server,
        its viewers' longest stop in s, the share of those seconds its encoder ran above its floor's bitrate)."""
        began, state, before = time.time(), self.relay_state(), self.relay_server.bytes_in().get("relaykey", 0)
        above_floor = 0
        for _ in range(seconds):
            time.sleep(1)
            above_floor += self.relay_state()["sendingBitrate"] > RELAY_FLOOR_VIDEO_KBPS
        ended, after = time.time(), self.relay_state()
        total = self.relay_server.bytes_in().get("relaykey", 0)
        # The server counts a new session from nothing.
        kbps = (total - before if total >= before else total) * 8 / 1000 / (ended - began)
        restarted = after["frames"] < state["frames"]  # a new output counts anew
        dropped = after["dropped"] - (0 if restarted else state["dropped"])
        frames = after["frames"] - (0 if restarted else state["frames"])
        return dropped, frames, kbps, self.viewers_longest_stop(began, ended), above_floor / seconds

    def yields_on_a_shared_uplink(self, relay_bitrate, encoder, narrower=False):
        """OBS's stream at 2,000 kbit/s and the relay share an uplink of 1.5 times that: OBS's stream keeps its
        frames, the relay finds what is left and holds it, and its viewers see no freeze; once the uplink is
        lifted the relay is back at its bitrate, on the encoder it began with. An uplink that carries both (1.2
        times their sum) changes nothing. narrower: before the lift, 40 s of an uplink about as wide as OBS's
        stream and the relay's floor, then a wide one."""
        self.write_relay_settings(self.relay_server.rtmp_url, relay_bitrate)
        ports = [self.nginx.rtmp_port, self.relay_server.rtmp_port]
        shared_uplink(ports, int((2000 + relay_bitrate + 2 * 160) * 1.2))
        self.go_live()
        self.assertEqual(self.relay_state()["encoder"], encoder)
        dropped_by = {}  # OBS's stream's dropped frames by each phase's end, for a loss to say where it happened

        def phase_ends(name):
            dropped_by[name] = self.bridge.state()["obs"].get("dropped", 0)

        time.sleep(6)
        self.assertNotIn("giving way to OBS's stream", self.obs.log())
        phase_ends("room for both")
        shared_uplink(ports, 3000)
        # Giving way on OBS's encoders is a move onto the relay's own, a new connection: what the relay holds
        # is measured once it sends again.
        wait_until(lambda: "giving way to OBS's stream" in self.obs.log(), timeout=40, what="the relay to give way")
        wait_until(lambda: self.relay_state()["sending"] and self.relay_state()["encoder"] != "OBS's stream encoder",
                   timeout=30, what="the relay to send again on its own encoder")
        time.sleep(10)
        dropped, frames, relay_kbps, longest_stop, above_floor = self.relay_over(40)
        phase_ends("short")
        if narrower:
            # Whether the floor fits depends on what the relay's x264 makes of the picture (an empty scene: far
            # below its bitrate): the relay holds its floor or steps aside, and OBS's stream keeps its frames.
            shared_uplink(ports, 2400)
            stepped_aside = False
            for _ in range(40):
                stepped_aside = stepped_aside or self.relay_state()["steppedAside"]
                time.sleep(1)
            print("stepped aside on the narrower uplink: %s" % stepped_aside)
            phase_ends("narrower")
            # 40 s at 30 fps: OBS's stream keeps all but a few of its frames while the relay finds that out.
            self.assertLessEqual(dropped_by["narrower"] - dropped_by["short"], 12, dropped_by)
        if narrower:  # room comes back as an uplink of 6,000 kbit/s
            shared_uplink(ports, 6000)
        else:
            shared_uplink([], None)
        lifted = time.monotonic()
        wait_until(lambda: not self.relay_state()["yielding"] and self.relay_state()["encoder"] == encoder,
                   timeout=120, what="the relay back at its bitrate and encoder")
        back_after = time.monotonic() - lifted
        self.assertEqual(self.relay_state()["sendingBitrate"], relay_bitrate)
        phase_ends("lifted")
        print("OBS's stream's dropped frames by each phase's end: %s; the relay's moves: %s" % (dropped_by, [
            line.split("Orvane output: ", 1)[1] for line in self.obs.log().splitlines()
            if "[orvane] Orvane output: " in line and "falling behind" not in line]))

        self.bridge.call("POST", "stop")
        wait_until(lambda: not self.nginx.bytes_in(), what="both streams to end")
        sent, attempted = self.frames_of("adv_stream")
        lost = 100.0 * (attempted - sent) / attempted
        relay_lost = 100.0 * dropped / max(frames, 1)
        print("%s: OBS's stream lost %.2f %% of %d frames; the relay delivered %d kbit/s of the 1000 spare, above "
              "its floor %.0f %% of the time; back at its bitrate %.0f s after the uplink was lifted; the relay "
              "dropped %.2f %% of its frames, its viewers' longest stop %.2f s"
              % (encoder, lost, attempted, relay_kbps, 100 * above_floor, back_after, relay_lost, longest_stop))
        # The spare's share and the time back are the benchmark's goals (bench/uplink.py). What reaches the server
        # varies between runs (349-796 kbit/s here and in CI): the relay's x264 makes less than its bitrate of a
        # still picture, the more so on a loaded machine, and one brake mid-phase sends the relay back to its
        # floor. The test holds the rate the relay chose to above its floor most of the time, and what reached
        # its server to a good part of the spare.
        self.assertLessEqual(lost, 1.0)
        self.assertLessEqual(relay_lost, 1.0)
        self.assertLessEqual(longest_stop, 0.5)
        self.assertGreaterEqual(above_floor, 0.6)
        self.assertGreater(relay_kbps, 1000 * 0.3)
        self.assertLess(back_after, 45)
        self.assertEqual(self.obs.stop(), 0)

    def test_relay_with_its_own_encoder_gives_way_to_obs_stream(self):
        self.yields_on_a_shared_uplink(1500, "x264 (CPU)")

    def test_relay_with_obs_encoders_gives_way_to_obs_stream(self):
        self.yields_on_a_shared_uplink(2000, "OBS's stream encoder", narrower=True)

    def stream_on_a_recorded_uplink(self, kbps, relay_bitrate=None, dynamic_bitrate=False):
        """OBS's stream at 2,000 kbit/s, and the relay at relay_bitrate if given (2,000: on OBS's encoders), through
        the uplink replayed from kbps. Returns OBS's stream's kbit/s at its server and frames lost (%), how often
        OBS lowered its bitrate, the relay's kbit/s at its server and its viewers' stops over 0.5 s."""
        self.encode_obs_stream(2000, 2, dynamic_bitrate)
        if relay_bitrate:
            self.write_relay_settings(self.relay_server.rtmp_url, relay_bitrate)
        else:
            with open(self.obs.plugin_config("relay.json"), "w") as relay:
                json.dump({"enabled": False, "server": self.relay_server.rtmp_url, "key": "relaykey"}, relay)
        self.obs.start("--startstreaming")
        self.bridge = Bridge(self.obs.dock_port())
        self.nginx.wait_for_flowing(["obsmain"])
        if relay_bitrate:
            self.relay_server.wait_for_flowing(["relaykey"])
        # Each server counts a session from nothing, and either stream may reconnect on a trace's hole.
        streams = {"obsmain": self.nginx, "relaykey": self.relay_server}
        seen = {name: server.bytes_in().get(name, 0) for name, server in streams.items()}
        grown, began = dict.fromkeys(streams, 0), time.time()
        uplink = ReplayedUplink([self.nginx.rtmp_port, self.relay_server.rtmp_port], kbps)
        self.addCleanup(uplink.stop)
        while not uplink.done.wait(0.5):
            for name, server in streams.items():
                now = server.bytes_in().get(name, 0)
                grown[name] += now - seen[name] if now >= seen[name] else now
                seen[name] = now
        ended = time.time()
        seconds = ended - began
        figures = {"obs": grown["obsmain"] * 8 / 1000 / seconds, "relay": grown["relaykey"] * 8 / 1000 / seconds}
        figures["stops"] = len([gap for gap in self.viewers_stops(began, ended) if gap > 0.5]) if relay_bitrate else 0
        shared_uplink([], None)
        self.bridge.call("POST", "stop")
        wait_until(lambda: not self.nginx.bytes_in().get("obsmain"), what="OBS's stream to end")
        sent, attempted = self.frames_of("adv_stream")
        figures["lost"] = 100.0 * (attempted - sent) / attempted
        log = self.obs.log()  # each start writes its log anew
        figures["lowered"] = log.count("bitrate decreased to")
        figures["gave way"] = "giving way to OBS's stream" in log
        self.assertEqual(self.obs.stop(), 0)
        return figures

    def test_relay_gives_way_when_obs_lowers_its_own_bitrate_on_a_recorded_uplink(self):
        """45 s of a recorded LTE uplink (moving every second, with dips under OBS's own stream), OBS's own dynamic
        bitrate on: OBS's stream alone, then beside the relay on its own x264, from the same start. OBS's
        stream keeps its bitrate, and the relay takes part of what is left."""
        kbps = recorded_uplink("verizon-lte-short", 30, 45)
        alone = self.stream_on_a_recorded_uplink(kbps, dynamic_bitrate=True)
        both = self.stream_on_a_recorded_uplink(kbps, 1500, dynamic_bitrate=True)
        spare = max(1.0, min(sum(kbps) / len(kbps) - alone["obs"], 1500 + 160))
        print("recorded uplink, OBS's dynamic bitrate: OBS's stream %d kbit/s alone (lowered %d times), %d beside "
              "the relay (lowered %d times); the relay delivered %d kbit/s of %d left, its viewers' stops %d"
              % (alone["obs"], alone["lowered"], both["obs"], both["lowered"], both["relay"], spare, both["stops"]))
        # OBS's own changes of bitrate fall where its timers fall, which one run of 45 s does not even out (two
        # runs here: 0.81 and 1.37 of OBS alone): the goal of 95 % is the benchmark's (bench/uplink.py, over whole
        # traces). This holds a relay that takes OBS's stream's room outright.
        self.assertTrue(both["gave way"], "the relay gave way where OBS lowered its bitrate")
        self.assertGreaterEqual(both["obs"], 0.6 * alone["obs"])
        self.assertGreater(both["relay"], 0.15 * spare)

    def test_relay_keeps_its_bitrate_where_only_obs_path_is_short(self):
        """Only OBS's own path is short (its ingest's port capped at 0.9 times its bitrate): the relay sending less
        would not help OBS's stream, so it keeps the streamer's bitrate and the page blames no upload."""
        self.go_live()
        shared_uplink([self.nginx.rtmp_port], 1800)
        began, before = time.monotonic(), self.relay_server.bytes_in()["relaykey"]
        dropped_before = self.bridge.state()["obs"].get("dropped", 0)
        at_setting = []
        while time.monotonic() - began < 40:
            relay = self.relay_state()
            at_setting.append(not relay["yielding"] and not relay["steppedAside"] and relay["sendingBitrate"] == 1500)
            time.sleep(1)
        kbps = (self.relay_server.bytes_in()["relaykey"] - before) * 8 / 1000 / (time.monotonic() - began)
        print("OBS's path short: the relay at its bitrate %.0f %% of the time, delivering %d kbit/s of its 1500"
              % (100.0 * sum(at_setting) / len(at_setting), kbps))
        self.assertGreaterEqual(sum(at_setting), 0.9 * len(at_setting))
        self.assertGreater(self.bridge.state()["obs"].get("dropped", 0), dropped_before,
                           "OBS's stream was short of room all along")
        shared_uplink([], None)
        self.bridge.call("POST", "stop")
        wait_until(lambda: not self.nginx.bytes_in(), what="both streams to end")
        self.assertEqual(self.obs.stop(), 0)


if __name__ == "__main__":
    unittest.main()
