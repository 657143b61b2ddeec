# SPDX-License-Identifier: GPL-2.0-or-later
"""A test case with a fresh nginx-rtmp and an OBS (cloud unreachable) beside it."""
import unittest

from nginx_rtmp import NginxRtmp
from obs_harness import ObsRun, closed_port


class StreamingCase(unittest.TestCase):
    record_streams = False  # nginx keeps each stream as a file

    def setUp(self):
        self.nginx = NginxRtmp(record=self.record_streams)
        self.nginx.start()
        self.addCleanup(self.nginx.stop)
        self.obs = ObsRun(env={"ORVANE_CLOUD_URL": "http://127.0.0.1:%d" % closed_port()})
        self.addCleanup(self.obs.stop)
