"""The peers the module is measured against: nginx serving the same bytes over HTTP, and taking RTMP streams."""
import os
import shutil
import socket
import subprocess
import tempfile
import time

CONFIG = """
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off;
master_process off;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
events {{ worker_connections 1024; }}
rtmp {{
    server {{
        listen 127.0.0.1:{rtmp_port};
        application live {{ live on; record off; }}
    }}
}}
http {{
    access_log off;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    server_tokens off;
    server {{
        listen 127.0.0.1:{http_port};
        # The headers the module sends with every answer.
        add_header Cache-Control no-store always;
        add_header X-Content-Type-Options nosniff always;
        add_header Referrer-Policy no-referrer always;
        location = /refused {{ default_type "application/json"; return 403 '{refused}'; }}
        location = / {{ root {dir}/www; default_type "text/html; charset=utf-8"; try_files /index.html =404; }}
        location /stat {{ rtmp_stat all; }}
    }}
}}
"""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class NginxPeer:
    """nginx with one worker, as the module has one thread: the refusal body at /refused, page bytes at /."""

    def __init__(self, refused_body, page_bytes=b""):
        self.dir = tempfile.mkdtemp(prefix="orvane-bench-nginx-")
        self.rtmp_port, self.http_port = free_port(), free_port()
        os.makedirs(os.path.join(self.dir, "www"))
        with open(os.path.join(self.dir, "www", "index.html"), "wb") as page:
            page.write(page_bytes)
        with open(os.path.join(self.dir, "nginx.conf"), "w") as conf:
            conf.write(CONFIG.format(dir=self.dir, rtmp_port=self.rtmp_port, http_port=self.http_port,
                                     refused=refused_body.decode().replace("'", "\\'")))
        self.process = subprocess.Popen(
            ["nginx", "-p", self.dir, "-c", os.path.join(self.dir, "nginx.conf"), "-e",
             os.path.join(self.dir, "error.log")], stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.http_port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise AssertionError("nginx did not start")
                time.sleep(0.1)

    def set_page(self, page_bytes):
        with open(os.path.join(self.dir, "www", "index.html"), "wb") as page:
            page.write(page_bytes)

    @property
    def rtmp_url(self):
        return "rtmp://127.0.0.1:%d/live" % self.rtmp_port

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.http_port, path)

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)
