# SPDX-License-Identifier: GPL-2.0-or-later
"""The development cloud of tools/local-cloud, started on a free loopback port for a test."""
import os
import subprocess
import sys
import tempfile
import time

from obs_harness import ROOT

SCRIPT = os.path.join(ROOT, "tools", "local-cloud", "orvane_local_cloud.py")


class LocalCloud:
    def __init__(self, port=0):
        """port 0: a free one; a given port brings a stopped cloud back where the module looks for it."""
        self.dir = tempfile.mkdtemp(prefix="orvane-cloud-")
        port_file = os.path.join(self.dir, "port")
        self.process = subprocess.Popen([sys.executable, SCRIPT, "--port", str(port), "--port-file", port_file],
                                        stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(port_file):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise AssertionError("the local cloud did not start")
            time.sleep(0.05)
        with open(port_file) as port:
            self.url = "http://127.0.0.1:%s" % port.read().strip()

    def stop(self):
        self.process.terminate()
        self.process.wait()
