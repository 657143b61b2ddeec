# SPDX-License-Identifier: GPL-2.0-or-later
"""The HTTP peer the module is measured against: nginx (one worker, as the module has one thread) serving the
module's own bytes, beside the RTMP application the streams go to."""
import os

from nginx_rtmp import NginxRtmp

# The headers the module sends with every answer; its refusal at /refused; a copy of its dock page at /.
HTTP_EXTRA = """
        server_tokens off;
        error_log @DIR@/http-error.log warn;
        add_header Cache-Control no-store always;
        add_header X-Content-Type-Options nosniff always;
        add_header Referrer-Policy no-referrer always;
        location = /refused { default_type "application/json"; return 403 '%s'; }
        location = / { root @DIR@/www; default_type "text/html; charset=utf-8"; try_files /index.html =404; }
"""


class NginxPeer(NginxRtmp):
    def __init__(self, refused_body):
        super().__init__(HTTP_EXTRA % refused_body.decode().replace("'", "\\'"))
        os.makedirs(os.path.join(self.dir, "www"))
        self.set_page(b"")
        self.start()

    def set_page(self, page_bytes):
        with open(os.path.join(self.dir, "www", "index.html"), "wb") as page:
            page.write(page_bytes)

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.http_port, path)
