# SPDX-License-Identifier: GPL-2.0-or-later
"""The module in the real OBS: it loads, serves on loopback with the designed refusals, and leaves cleanly."""
import os
import shutil
import signal
import subprocess
import time
import unittest

from obs_harness import (FIRST_PORT, LAST_PORT, Bridge, ObsRun, closed_port, expected_response,
                         frontend_calls_after_exit, loopback_socket, port_is_free, raw_exchange)


class ObsFoundation(unittest.TestCase):
    def setUp(self):
        self.obs = ObsRun(env={"ORVANE_CLOUD_URL": "http://127.0.0.1:%d/" % closed_port()})
        self.addCleanup(self.obs.stop)

    def test_loads_serves_and_exits_cleanly(self):
        # Whatever else runs on this machine: the first free port of the range, else one the system picks.
        expected_port = next((p for p in range(FIRST_PORT, LAST_PORT + 1) if port_is_free(p)), None)
        self.obs.start()
        port = self.obs.dock_port()
        if expected_port is None:
            self.assertFalse(FIRST_PORT <= port <= LAST_PORT)
        else:
            self.assertEqual(port, expected_port)
        self.assertEqual(self.obs.log().count("[orvane] loaded (version 1.0.0)"), 1)

        host = b"Host: 127.0.0.1:%d\r\n" % port
        refusals = [
            (b"GET / HTTP/1.1\r\nHost: localhost\r\n\r\n", b"403 Forbidden", b"text/plain", b"Wrong host"),
            (b"GET /a/../b HTTP/1.1\r\n" + host + b"\r\n", b"400 Bad Request", b"text/plain", b"Bad path"),
            (b"GET /bridge/state HTTP/1.1\r\n" + host + b"\r\n", b"403 Forbidden",
             b"application/json; charset=utf-8", b'{"error":"Not allowed."}'),
            (b"DELETE / HTTP/1.1\r\n" + host + b"\r\n", b"405 Method Not Allowed", b"text/plain",
             b"Method not allowed"),
            (b"POST / HTTP/1.1\r\n" + host + b"Content-Length: 4194305\r\n\r\n", b"413 Payload Too Large",
             b"text/plain", b"Too large"),
            (b"GET\r\n\r\n", b"400 Bad Request", b"text/plain", b"Bad request"),
            (b"GET / HTTP/1.1\r\nX: " + b"a" * 70000, b"431 Request Header Fields Too Large", b"text/plain",
             b"Too large"),
            (b"GET /%7e HTTP/1.1\r\n" + host + b"\r\n", b"404 Not Found", b"text/plain", b"Not found"),
        ]
        for request, status, content_type, body in refusals:
            with self.subTest(request=request[:40]):
                self.assertEqual(raw_exchange(port, request), expected_response(status, content_type, body))

        page = raw_exchange(port, b"GET / HTTP/1.1\r\n" + host + b"\r\n").decode()
        self.assertTrue(page.startswith("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"))
        self.assertRegex(page, r'<head><script>window\.__OV=\{"bridge":"[0-9a-f]{32}","cloud":"http://127')
        self.assertIn("Can't reach Orvane", page)

        self.assertEqual(self.obs.stop(), 0)
        self.assertTrue(port_is_free(port), "the port is still taken after OBS exited")
        self.assertEqual(self.obs.log().count("[orvane] loaded (version 1.0.0)"), 1)
        # OBS 30 and later tear the front-end down after the exit event: nothing may call it later. (Debian's
        # obs-websocket does, in its own unload: those lines are OBS's.)
        self.assertEqual(frontend_calls_after_exit(self.obs.log()), [])

    def test_closing_right_after_page_requests_is_clean(self):
        # OBS delivers its exit event from inside Qt's socket dispatch; a teardown that freed sockets
        # there crashed OBS on a good share of these exits.
        for attempt in range(5):
            run = ObsRun(env={"ORVANE_CLOUD_URL": "http://127.0.0.1:%d/" % closed_port()})
            self.addCleanup(run.stop)
            run.start()
            bridge = Bridge(run.dock_port())
            for _ in range(20):
                bridge.state()
            self.assertEqual(run.stop(), 0, "OBS did not exit cleanly (attempt %d)" % attempt)

    def test_a_second_ctrl_c_while_obs_closes_is_harmless(self):
        # OBS 29.0's own handler closes the main window inside the signal; a second Ctrl+C once the module
        # had unloaded crashed OBS now and then in the rest of its exit. Later OBS close from their main loop.
        for gap in (0.05, 0.15, 0.3, 0.5, 0.05, 0.3):
            run = ObsRun(env={"ORVANE_CLOUD_URL": "http://127.0.0.1:%d/" % closed_port()})
            self.addCleanup(run.stop)
            run.start()
            run.dock_port()
            pid = run.obs_pid()
            os.kill(pid, signal.SIGINT)
            time.sleep(gap)
            try:
                os.kill(pid, signal.SIGINT)
            except ProcessLookupError:
                pass
            self.assertEqual(run.process.wait(timeout=60), 0, "two Ctrl+C %.2f s apart" % gap)

    def test_takes_the_next_port_when_the_first_ones_are_busy(self):
        # Holds every free port of the range but the last free one, which the module must then take; with
        # none free (the product or another OBS may run here), it must take one outside the range.
        free = [port for port in range(FIRST_PORT, LAST_PORT + 1) if port_is_free(port)]
        for port in free[:-1]:
            holder = loopback_socket()
            self.addCleanup(holder.close)
            holder.bind(("127.0.0.1", port))
            holder.listen()
        self.obs.start()
        if free:
            self.assertEqual(self.obs.dock_port(), free[-1])
        else:
            self.assertFalse(FIRST_PORT <= self.obs.dock_port() <= LAST_PORT)
        self.assertEqual(self.obs.stop(), 0)
    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("runuser"), "needs root to act as another account")
    def test_other_accounts_get_nothing(self):
        self.obs.start()
        port = self.obs.dock_port()
        key = Bridge(port).key  # the streamer's own programs are served as before
        for path in ("/", "/bridge/state"):
            with self.subTest(path=path):
                script = ("import socket; c = socket.create_connection(('127.0.0.1', %d)); c.sendall(b'GET %s "
                          "HTTP/1.1\\r\\nHost: 127.0.0.1:%d\\r\\nx-ov-bridge: %s\\r\\n\\r\\n'); "
                          "import sys; sys.stdout.buffer.write(b''.join(iter(lambda: c.recv(65536), b'')))"
                          % (port, path, port, key))
                other = subprocess.run(["runuser", "-u", "nobody", "--", "python3", "-c", script],
                                       capture_output=True, timeout=30)
                self.assertEqual(other.stdout, expected_response(b"403 Forbidden", b"text/plain", b"Wrong user"),
                                 other.stderr)
                own = raw_exchange(port, b"GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nx-ov-bridge: %s\r\n\r\n"
                                   % (path.encode(), port, key.encode()))
                self.assertTrue(own.startswith(b"HTTP/1.1 200 OK\r\n"), own[:200])
        self.assertEqual(self.obs.stop(), 0)
        self.assertNotIn("can't tell which account", self.obs.log())


if __name__ == "__main__":
    unittest.main()
