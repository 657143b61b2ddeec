#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""A small Orvane cloud for development and tests, on a loopback port.

It serves the dock page's files below /web/obs-dock and a small API below /api/: the app-link sign-in
flow, logout, and one call that needs a valid bearer token. Everything lives in memory.
"""
import argparse
import json
import os
import secrets
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

HERE = os.path.dirname(os.path.abspath(__file__))
DEV_USER = {"id": "dev-user", "name": "Dev Streamer"}

LINK_PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Link OBS to Orvane</title></head>
<body>
<h1>Link OBS to Orvane</h1>
<p id="message">Code: <code>%(code)s</code></p>
<button id="confirm" type="button">Link this OBS</button>
<script>
document.getElementById("confirm").onclick = async () => {
  const answer = await fetch("/api/auth/app-link/confirm", {
    method: "POST", headers: {"Content-Type": "application/json"}, body: JSON.stringify({code: "%(code)s"})});
  document.getElementById("message").textContent = answer.ok ? "Linked. You can go back to OBS." : "That link expired.";
};
</script>
</body></html>
"""

CONTENT_TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
                 ".css": "text/css; charset=utf-8", ".svg": "image/svg+xml", ".png": "image/png",
                 ".json": "application/json"}


class CloudState:
    def __init__(self):
        self.lock = threading.Lock()
        self.links = {}  # code -> "pending" | "confirmed"
        self.tokens = {}  # token -> user
        self.hellos = []  # what dock pages said about themselves, newest last


class CloudHandler(BaseHTTPRequestHandler):
    server_version = "OrvaneLocalCloud/1.0"

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("local cloud: " + fmt % args + "\n")

    # --- plumbing ---------------------------------------------------------------------------------
    def send(self, status, body, content_type="application/json"):
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def json_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        try:
            value = json.loads(self.rfile.read(length) or b"{}")
        except ValueError:
            return {}
        return value if isinstance(value, dict) else {}

    def bearer_user(self):
        header = self.headers.get("Authorization", "")
        token = header[len("Bearer "):] if header.startswith("Bearer ") else ""
        with self.server.state.lock:
            return token, self.server.state.tokens.get(token)

    # --- routes -----------------------------------------------------------------------------------
    def do_GET(self):
        self.route("GET")

    def do_POST(self):
        self.route("POST")

    def route(self, method):
        url = urlsplit(self.path)
        query = parse_qs(url.query)
        if method == "GET" and url.path.startswith("/web/obs-dock/"):
            return self.serve_dock_file(url.path[len("/web/obs-dock/"):])
        if method == "GET" and url.path == "/link":
            code = query.get("code", [""])[0]
            return self.send(200, (LINK_PAGE % {"code": code.replace('"', "")}).encode(), "text/html; charset=utf-8")
        routes = {
            ("POST", "/api/auth/app-link/start"): self.link_start,
            ("POST", "/api/auth/app-link/poll"): self.link_poll,
            ("GET", "/api/auth/app-link/poll"): self.link_poll,
            ("POST", "/api/auth/app-link/confirm"): self.link_confirm,
            ("POST", "/api/auth/logout"): self.logout,
            ("GET", "/api/me"): self.me,
            ("POST", "/api/dock/hello"): self.dock_hello,
            ("GET", "/dev/hellos"): self.dev_hellos,
        }
        handler = routes.get((method, url.path))
        if handler is None:
            return self.send(404, {"error": "Not found."})
        return handler(query)

    def serve_dock_file(self, name):
        root = os.path.realpath(self.server.web_root)
        path = os.path.realpath(os.path.join(root, name))
        if not path.startswith(root + os.sep) or not os.path.isfile(path):
            return self.send(404, b"Not found", "text/plain")
        with open(path, "rb") as served:
            body = served.read()
        self.send(200, body, CONTENT_TYPES.get(os.path.splitext(path)[1], "application/octet-stream"))

    def dock_hello(self, _query):
        hello = self.json_body()
        hello["requestUserAgent"] = self.headers.get("User-Agent", "")
        with self.server.state.lock:
            self.server.state.hellos.append(hello)
        self.send(200, {"ok": True})

    def dev_hellos(self, _query):
        with self.server.state.lock:
            self.send(200, {"hellos": list(self.server.state.hellos)})

    def link_start(self, _query):
        code = secrets.token_hex(4)
        with self.server.state.lock:
            self.server.state.links[code] = "pending"
        base = "http://%s:%d" % self.server.server_address[:2]
        self.send(200, {"code": code, "confirmUrl": "%s/link?code=%s" % (base, code)})

    def link_poll(self, query):
        code = query.get("code", [""])[0] or self.json_body().get("code", "")
        with self.server.state.lock:
            status = self.server.state.links.get(code)
            if status == "confirmed":
                del self.server.state.links[code]
                token = "dev-" + secrets.token_hex(16)
                self.server.state.tokens[token] = DEV_USER
        if status is None:
            return self.send(404, {"error": "Unknown link code."})
        if status == "pending":
            return self.send(202, {"status": "pending"})
        self.send(200, {"status": "linked", "token": token, "user": DEV_USER})

    def link_confirm(self, _query):
        code = self.json_body().get("code", "")
        with self.server.state.lock:
            known = code in self.server.state.links
            if known:
                self.server.state.links[code] = "confirmed"
        self.send(200 if known else 404, {"ok": True} if known else {"error": "Unknown link code."})

    def logout(self, _query):
        token, _user = self.bearer_user()
        with self.server.state.lock:
            self.server.state.tokens.pop(token, None)
        self.send(200, {"ok": True})

    def me(self, _query):
        _token, user = self.bearer_user()
        if user is None:
            return self.send(401, {"error": "Sign in first."})
        self.send(200, {"user": user})


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=14580, help="loopback port (0: any free one)")
    parser.add_argument("--web", default=os.path.join(HERE, "web", "obs-dock"),
                        help="folder served below /web/obs-dock")
    parser.add_argument("--port-file", help="write the bound port here once listening")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", args.port), CloudHandler)
    server.daemon_threads = True
    server.state = CloudState()
    server.web_root = args.web
    server.verbose = args.verbose
    port = server.server_address[1]
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as port_file:
            port_file.write(str(port))
        os.replace(args.port_file + ".tmp", args.port_file)
    print("Orvane local cloud on http://127.0.0.1:%d" % port, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
