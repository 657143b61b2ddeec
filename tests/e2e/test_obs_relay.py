# SPDX-License-Identifier: GPL-2.0-or-later
"""The relay in the real OBS: OBS's own stream and the relay both reach a real RTMP server."""
import subprocess
import time
import unittest

from nginx_rtmp import probe_video
from obs_harness import Bridge, SilentServer, SynDroppingServer, closed_port, connecting_to, closes_cleanly_while_streaming, free_port_in_range, \
    has_obs_plugin, wait_until
from obs_websocket import ObsWebSocket, enable_obs_websocket
from streaming_case import StreamingCase


class ObsRelay(StreamingCase):
    record_streams = True
    def setUp(self):
        super().setUp()
        self.write_relay_settings(self.nginx.rtmp_url)
        self.point_obs_stream_at(self.nginx.rtmp_url)

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

    @unittest.skipUnless(has_obs_plugin("obs-websocket"), "this OBS has no obs-websocket to change its video with")
    def test_relay_follows_a_change_of_obs_video_size(self):
        websocket_port = free_port_in_range(20000, 30000)
        enable_obs_websocket(self.obs.config_dir, websocket_port)
        self.obs.start("--startstreaming")
        self.obs.wait_for_log(r"\[orvane\] Orvane output: sending with x264 \(CPU\)")
        self.nginx.wait_for_flowing(["obsmain", "relaykey"])
        obs = ObsWebSocket(websocket_port, timeout=30)
        self.addCleanup(obs.close)
        before = obs.request("GetVideoSettings")
        size = (480, 270) if (before["outputWidth"], before["outputHeight"]) == (640, 360) else (640, 360)

        # The streamer stops, changes Settings > Video, and goes live again.
        obs.request("StopStream")
        wait_until(lambda: not self.nginx.bytes_in(), what="both streams to end")
        # The relay's output ends on a thread of its own a moment after OBS's: until then OBS refuses the change.
        wait_until(lambda: obs.try_request("SetVideoSettings", {"baseWidth": size[0], "baseHeight": size[1],
                                                               "outputWidth": size[0], "outputHeight": size[1]}),
                   what="OBS to take the new video size")
        obs.request("StartStream")
        self.obs.wait_for_log(r"(?s)(Orvane output: sending with x264 \(CPU\).*){2}")
        self.nginx.wait_for_flowing(["obsmain", "relaykey"])
        self.end_stream_before_closing()
        self.assertEqual(self.obs.stop(), 0)

        # A session that ended before its first frame leaves a file ffprobe reads no video from.
        sizes = []
        for path in self.nginx.recordings("relaykey"):
            try:
                sizes.append(probe_video(path)[:2])
            except (subprocess.CalledProcessError, KeyError, IndexError):
                pass
        self.assertEqual(sizes[-2:], [(before["outputWidth"], before["outputHeight"]), size], sizes)
        self.assertNotIn("invalid width", self.obs.log())
        self.assertNotIn("Orvane output didn't start", self.obs.log())

    def closes_at_once_while_the_relay_waits(self, waiting_server):
        """The relay's server, on another loopback host at nginx's port, holds the relay's connection attempt.
        OBS's own stream reconnects to nginx meanwhile, so its socket is newer than the relay's start and goes
        to the same port: the exit cut must still leave it alone."""
        server = waiting_server(port=self.nginx.rtmp_port, host="127.0.0.2")
        self.addCleanup(server.close)
        self.write_relay_settings("rtmp://127.0.0.2:%d/live" % self.nginx.rtmp_port)
        self.obs.start("--startstreaming")
        self.nginx.wait_for_flowing(["obsmain"])
        self.nginx.restart()
        self.nginx.wait_for_flowing(["obsmain"], timeout=60)
        wait_until(lambda: connecting_to(("127.0.0.2", self.nginx.rtmp_port)), what="the relay's connection attempt")
        # The streamer points the relay elsewhere meanwhile: the attempt still waits on the first server.
        Bridge(self.obs.dock_port()).call("POST", "relay", {"enabled": True, "key": "relaykey", "bitrate": 1500,
                                                            "server": "rtmp://127.0.0.1:%d/live" % closed_port()})
        self.end_stream_before_closing()
        if not closes_cleanly_while_streaming():  # OBS's stream ended first: its stop gave the attempt up
            bridge = Bridge(self.obs.dock_port())
            wait_until(lambda: not bridge.state()["relay"]["connecting"], timeout=5, what="the attempt to end")

        closing = time.monotonic()
        log_before_close = len(self.obs.log())
        self.assertEqual(self.obs.stop(), 0)
        closed_after = time.monotonic() - closing
        # For docs/performance.md: the server would hold OBS's exit 30 s (silent) or 2 minutes (SYNs dropped).
        print("%s: OBS closed %.1f s after it was asked to" % (waiting_server.__name__, closed_after))
        self.assertLess(closed_after, 10)
        self.assertNotIn("Reconnecting", self.obs.log()[log_before_close:])
        self.assertTrue(probe_video(self.nginx.recordings("obsmain")[-1])[2], "OBS's own recording is unreadable")

    def test_obs_closes_at_once_while_the_relay_waits_for_a_silent_server(self):
        self.closes_at_once_while_the_relay_waits(SilentServer)

    def test_obs_closes_at_once_while_the_relay_server_drops_its_connection_request(self):
        self.closes_at_once_while_the_relay_waits(SynDroppingServer)

    def test_unreachable_relay_leaves_obs_stream_alone(self):
        self.write_relay_settings("rtmp://127.0.0.1:%d/live" % closed_port())
        self.obs.start("--startstreaming")
        # The relay keeps trying (an attempt every 5 seconds) while OBS's own stream flows.
        self.obs.wait_for_log(r"(?s)(Orvane output couldn't connect: Couldn't reach Orvane.*){2}", timeout=30)
        self.nginx.wait_for_flowing(["obsmain"])
        self.assertNotIn("relaykey", self.nginx.bytes_in())
        self.assertNotIn("Cannot apply a new", self.obs.log())  # libobs' warning at a retry's encoders
        self.end_stream_before_closing()
        self.assertEqual(self.obs.stop(), 0)


if __name__ == "__main__":
    unittest.main()
