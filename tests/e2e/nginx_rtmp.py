# SPDX-License-Identifier: GPL-2.0-or-later
"""nginx with its RTMP module on free loopback ports: the RTMP server the streams go to."""
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.request
import xml.etree.ElementTree as ElementTree

CONFIG = """
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off;
master_process off;
pid {dir}/nginx.pid;
error_log {dir}/error.log info;
events {{ worker_connections 64; }}
rtmp {{
    server {{
        listen 127.0.0.1:{rtmp_port};
        application live {{ live on; {record} }}
    }}
}}
http {{
    access_log off;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    server {{
        listen 127.0.0.1:{http_port};
        location /stat {{ rtmp_stat all; }}
{http_extra}
    }}
}}
"""


_handed_out = set()


def free_port():
    """A loopback port nobody listens on, never one handed out before in this process: the kernel can give two
    probes in a row the same free port, and nginx then refuses to listen twice on it."""
    while True:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        if port not in _handed_out:
            _handed_out.add(port)
            return port


class NginxRtmp:
    def __init__(self, http_extra="", record=False):
        """http_extra: more directives for the HTTP server block; "@DIR@" in it stands for nginx's own folder.
        record: keep every stream that arrives as an FLV file of its own (recordings())."""
        self.dir = tempfile.mkdtemp(prefix="orvane-nginx-")
        self.record_dir = os.path.join(self.dir, "recorded")
        os.makedirs(self.record_dir)
        record_rule = ("record all; record_path %s; record_unique on;" % self.record_dir) if record else "record off;"
        self.rtmp_port, self.http_port = free_port(), free_port()
        with open(os.path.join(self.dir, "nginx.conf"), "w") as conf:
            conf.write(CONFIG.format(dir=self.dir, rtmp_port=self.rtmp_port, http_port=self.http_port,
                                     http_extra=http_extra.replace("@DIR@", self.dir), record=record_rule))
        self.process = None

    @property
    def rtmp_url(self):
        return "rtmp://127.0.0.1:%d/live" % self.rtmp_port

    def start(self):
        self.process = subprocess.Popen(
            ["nginx", "-p", self.dir, "-c", os.path.join(self.dir, "nginx.conf"), "-e",
             os.path.join(self.dir, "error.log")], stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.rtmp_port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.1)
        raise AssertionError("nginx did not start")

    def restart(self):
        """The server goes away and comes back on the same ports, as after a crash; recordings stay."""
        self.process.kill()
        self.process.wait()
        self.start()

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def bytes_in(self):
        """Stream name -> bytes received so far, from rtmp_stat."""
        with urllib.request.urlopen("http://127.0.0.1:%d/stat" % self.http_port, timeout=5) as answer:
            tree = ElementTree.fromstring(answer.read())
        return {stream.findtext("name"): int(stream.findtext("bytes_in") or 0) for stream in tree.iter("stream")}

    def wait_for_flowing(self, names, timeout=30):
        """Waits until every named stream is there and its byte count grows; returns the last counts."""
        deadline = time.monotonic() + timeout
        first = {}
        while time.monotonic() < deadline:
            counts = self.bytes_in()
            for name in names:
                if name in counts and name not in first:
                    first[name] = counts[name]
            if all(name in counts and counts[name] > first.get(name, counts[name]) for name in names):
                return counts
            time.sleep(0.5)
        raise AssertionError("streams not flowing into nginx: %s (seen %s)" % (names, self.bytes_in()))

    def recordings(self, name):
        """The recorded files of stream name, oldest first."""
        paths = [os.path.join(self.record_dir, entry) for entry in os.listdir(self.record_dir)
                 if entry.startswith(name + "-") and entry.endswith(".flv")]
        return sorted(paths, key=os.path.getmtime)


def probe_video(path):
    """(width, height, keyframe times in seconds) of an FLV file's video, by ffprobe."""
    answer = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=width,height:packet=pts_time,flags",
         "-of", "json", path], capture_output=True, text=True, timeout=60, check=True)
    probed = json.loads(answer.stdout)
    stream = probed["streams"][0]
    keyframes = [float(packet["pts_time"]) for packet in probed.get("packets", [])
                 if "K" in packet.get("flags", "") and "pts_time" in packet]
    return stream["width"], stream["height"], keyframes


def video_times(path):
    """The time stamps (s) of an FLV file's video frames, in order, by ffprobe."""
    answer = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time",
                             "-of", "csv=p=0", path], capture_output=True, text=True, timeout=60)
    return sorted(float(line) for line in answer.stdout.split() if line and line != "N/A")
