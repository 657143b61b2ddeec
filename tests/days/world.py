# SPDX-License-Identifier: GPL-2.0-or-later
"""What a streamer's day runs against: the RTMP servers, a cloud that can fail, and an OBS home with two
profiles (simple and advanced output) and two scene collections."""
import json
import os
import sys
import threading
import time
from http.server import ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "tools", "local-cloud"))

import orvane_local_cloud  # noqa: E402
from nginx_rtmp import NginxRtmp, free_port  # noqa: E402
from obs_harness import SilentServer, SynDroppingServer, closed_port  # noqa: E402

PROFILES = {"Untitled": "Simple", "Advanced": "Advanced"}
COLLECTIONS = ("Untitled", "Second")
VIDEO_MODES = ((640, 360, 30), (480, 270, 30), (640, 360, 25), (320, 180, 60))
RELAY_BITRATE = 1000  # the advanced profile encodes at this rate: the relay then shares OBS's encoders


class FaultyCloud:
    """The local cloud behind a switch: it answers, refuses connections, stalls, or answers 500."""
    MODES = ("answer", "refuse", "stall", "500")

    def __init__(self):
        self.mode = "answer"
        self.state = orvane_local_cloud.CloudState()
        self.port = closed_port()
        self.server = None
        self._listen()

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.port

    def _listen(self):
        cloud = self

        class Handler(orvane_local_cloud.CloudHandler):
            def route(self, method):
                if cloud.mode == "500":
                    return self.send(500, {"error": "Internal error."})
                if cloud.mode == "stall":
                    time.sleep(30)
                    self.close_connection = True
                    return None
                return super().route(method)

        self.server = ThreadingHTTPServer(("127.0.0.1", self.port), Handler)
        self.server.daemon_threads = True
        self.server.state = self.state
        self.server.web_root = os.path.join(ROOT, "tools", "local-cloud", "web", "obs-dock")
        self.server.verbose = False
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def set_mode(self, mode):
        if mode == "refuse" and self.server:
            self.server.shutdown()
            self.server.server_close()
            self.server = None
        elif mode != "refuse" and not self.server:
            self._listen()
        self.mode = mode

    def confirm(self, code):
        with self.state.lock:
            if code in self.state.links:
                self.state.links[code] = "confirmed"

    def close(self):
        if self.server:
            self.server.shutdown()
            self.server.server_close()


class RelayTargets:
    """Where the relay can be pointed: a real server, one that never answers, one that drops the connection
    request, and a closed port. The waiting ones sit on another loopback host at the real server's port."""

    def __init__(self, relay_nginx):
        port = relay_nginx.rtmp_port
        self.silent = SilentServer(port=port, host="127.0.0.2")
        self.syn_dropping = SynDroppingServer(port=port, host="127.0.0.3")
        self.urls = {"good": relay_nginx.rtmp_url, "silent": "rtmp://127.0.0.2:%d/live" % port,
                     "syn-dropping": "rtmp://127.0.0.3:%d/live" % port,
                     "closed": "rtmp://127.0.0.1:%d/live" % closed_port()}

    def close(self):
        self.silent.close()
        self.syn_dropping.close()


class World:
    """The servers of one run of days."""

    def __init__(self):
        self.main = NginxRtmp()
        self.relay = NginxRtmp()
        self.main.start()
        self.relay.start()
        self.relay_targets = RelayTargets(self.relay)
        self.cloud = FaultyCloud()

    def close(self):
        self.cloud.close()
        self.relay_targets.close()
        self.main.stop()
        self.relay.stop()


def write_obs_home(config_dir, main_url, websocket_port):
    """Profiles of both output modes streaming to main_url, a second scene collection, obs-websocket on."""
    for name, mode in PROFILES.items():
        folder = os.path.join(config_dir, "basic", "profiles", name)
        os.makedirs(folder, exist_ok=True)
        width, height, fps = VIDEO_MODES[0]
        with open(os.path.join(folder, "basic.ini"), "w") as ini:
            ini.write("[General]\nName=%s\n[Output]\nMode=%s\nReconnect=true\nRetryDelay=1\nMaxRetries=20\n"
                      "[SimpleOutput]\nStreamEncoder=x264\nVBitrate=1500\nPreset=ultrafast\n"
                      "[AdvOut]\nEncoder=obs_x264\n"
                      "[Video]\nBaseCX=%d\nBaseCY=%d\nOutputCX=%d\nOutputCY=%d\nFPSType=1\nFPSInt=%d\n"
                      % (name, mode, width, height, width, height, fps))
        with open(os.path.join(folder, "streamEncoder.json"), "w") as encoder:
            json.dump({"rate_control": "CBR", "bitrate": RELAY_BITRATE, "keyint_sec": 2, "preset": "ultrafast"},
                      encoder)
        with open(os.path.join(folder, "service.json"), "w") as service:
            json.dump({"type": "rtmp_custom", "settings": {"server": main_url, "key": "obsmain"}}, service)
    scenes = os.path.join(config_dir, "basic", "scenes")
    with open(os.path.join(scenes, "Untitled.json")) as first:
        collection = json.load(first)
    collection["name"] = "Second"
    with open(os.path.join(scenes, "Second.json"), "w") as second:
        json.dump(collection, second)
    with open(os.path.join(config_dir, "global.ini"), "a") as global_ini:
        global_ini.write("\n[OBSWebSocket]\nFirstLoad=false\nServerEnabled=true\nServerPort=%d\n"
                         "AlertsEnabled=false\nAuthRequired=false\n" % websocket_port)
