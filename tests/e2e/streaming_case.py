# SPDX-License-Identifier: GPL-2.0-or-later
"""A test case with a fresh nginx-rtmp and an OBS (cloud unreachable) beside it."""
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
