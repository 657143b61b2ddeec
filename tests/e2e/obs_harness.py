# SPDX-License-Identifier: GPL-2.0-or-later
"""Runs the real OBS with the installed module in a scratch HOME, under xvfb-run, and talks to it."""
import http.client
import json
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

from nginx_rtmp import free_port

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD_DIR = os.environ.get("ORVANE_BUILD_DIR", os.path.join(ROOT, "build", "qt5"))
FIRST_PORT, LAST_PORT = 14590, 14599
# Screenshots and other things a person may want to look at after a run.
ARTIFACTS_DIR = os.environ.get("ORVANE_TEST_ARTIFACTS") or os.path.join(BUILD_DIR, "test-artifacts")
# The OBS these tests run: Debian's obs by default, or an OBS tree's bin/obs.
OBS_PROGRAM = os.environ.get("ORVANE_E2E_OBS") or "obs"


def obs_version():
    """(major, minor, patch) of OBS_PROGRAM, from its --version line ("OBS Studio - 30.2.3")."""
    if not hasattr(obs_version, "cached"):
        line = subprocess.run([OBS_PROGRAM, "--version"], capture_output=True, text=True, timeout=30).stdout
        numbers = re.search(r"(\d+)\.(\d+)\.(\d+)", line)
        obs_version.cached = tuple(int(number) for number in numbers.groups())
    return obs_version.cached


def frontend_calls_after_exit(log):
    """Log lines of front-end calls made after OBS tore its front-end down, but for obs-websocket's own: it makes
    them in its unload in OBS 30 and later (one just before its first line there in OBS 32, one after), with or
    without this module."""
    lines = log.splitlines()
    websocket_unload = "[obs-websocket] [obs_module_unload]"
    return [line for index, line in enumerate(lines) if "Tried to call obs_frontend" in line
            and not any(websocket_unload in near for near in lines[max(index - 1, 0):index + 2])]


def wait_until(condition, timeout=20, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.25)
    raise AssertionError("timed out waiting for " + what)


def has_obs_plugin(name):
    """Whether the OBS under test ships the plug-in name (Debian's OBS does obs-websocket; the OBS 30 tree does not)."""
    program = OBS_PROGRAM if os.path.sep in OBS_PROGRAM else (shutil.which(OBS_PROGRAM) or OBS_PROGRAM)
    prefix = os.path.dirname(os.path.dirname(os.path.realpath(program)))
    return any(os.path.exists(os.path.join(prefix, lib, "obs-plugins", name + ".so"))
               for lib in ("lib", os.path.join("lib", "x86_64-linux-gnu")))


def closes_cleanly_while_streaming():
    """OBS 30.2.3 crashes (SIGSEGV, one exit in three to two) when closed while it streams, with or
    without this module; OBS 29 here exits cleanly. Tests end the stream first where that applies."""
    return obs_version() < (30, 0, 0)


def last_version_setting():
    """global.ini's LastVersion for OBS_PROGRAM: the value that skips its first-run wizard."""
    major, minor, patch = obs_version()
    return (major << 24) | (minor << 16) | patch


def loopback_socket():
    """A socket that, like Qt's listener, may bind a port that still has connections in TIME_WAIT."""
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    return sock


def port_is_free(port):
    with loopback_socket() as probe:
        try:
            probe.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def free_port_in_range(first, last):
    return next(port for port in range(first, last) if port_is_free(port))


def closed_port():
    """A loopback port with nobody listening: a cloud that refuses connections."""
    return free_port()


class SilentServer:
    """Accepts connections on loopback and never answers, like an RTMP server that hangs."""

    def __init__(self, port=0, host="127.0.0.1"):
        """Listens on host:port, or on a free loopback port (self.port)."""
        self.listener = loopback_socket()
        self.listener.bind((host, port))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.accepted = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                self.accepted.append(self.listener.accept()[0])
            except OSError:
                return

    def close(self):
        self.listener.close()
        for connection in self.accepted:
            connection.close()


class SynDroppingServer:
    """A server that never answers a connection request: its accept queue is full and never taken from, so
    Linux drops new SYNs and a client stays in SYN_SENT, as with a server behind a silent firewall."""

    def __init__(self, port, host="127.0.0.1"):
        self.listener = loopback_socket()
        self.listener.bind((host, port))
        self.listener.listen(0)
        self.fillers = []
        for _ in range(2):  # the queue holds one more than the backlog
            filler = socket.socket()
            filler.settimeout(0.5)
            try:
                filler.connect((host, port))
            except OSError:
                pass
            self.fillers.append(filler)

    def close(self):
        for filler in self.fillers:
            filler.close()
        self.listener.close()


def connecting_to(address):
    """Whether a TCP socket of this machine is connecting to address (host, port): its SYN sent, or connected
    and never answered (nothing ever queued for reading). From the kernel's table, /proc/net/tcp."""
    host, port = address
    remote = "%s:%04X" % ("".join("%02X" % int(part) for part in reversed(host.split("."))), port)
    with open("/proc/net/tcp") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if fields[2] == remote and fields[3] in ("01", "02"):
                return True
    return False


def raw_exchange(port, request, timeout=10):
    """Sends raw bytes and reads until the server closes the connection."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as conn:
        conn.sendall(request)
        received = b""
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                return received
            received += chunk


def expected_response(status_line, content_type, body):
    return (b"HTTP/1.1 " + status_line + b"\r\nContent-Type: " + content_type +
            b"\r\nContent-Length: " + str(len(body)).encode() +
            b"\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
            b"Referrer-Policy: no-referrer\r\nConnection: close\r\n\r\n" + body)


# What OBS 30.2.3 and 32 log at a start after a run that did not close cleanly, before asking about Safe Mode.
UNCLEAN = re.compile(r"Unclean shutdown detected|Crash or unclean shutdown detected")


def other_obs_running():
    """The OBS processes this network namespace shows (their abstract sockets "@/com/obsproject PID VERSION",
    which OBS counts to tell whether it already runs)."""
    with open("/proc/net/unix") as sockets:
        return sorted({line[line.index("/com/obsproject"):].strip() for line in sockets if "/com/obsproject" in line})


def keep_core_dumps():
    """A crash leaves its core in OBS's working folder (its HOME here), where the kernel's pattern is "core"."""
    resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))


class ObsRun:
    """One OBS process with its own HOME. Use start(), then stop() (SIGINT, as a user closing OBS)."""

    def __init__(self, env=None, install_module=True, multi=False):
        """install_module: the build's module as a per-user plug-in of this HOME (else OBS loads whatever
        its system has). multi: beside other OBS, as the benchmarks run a peer (OBS's --multi, which turns its
        unclean-shutdown check off)."""
        self.multi = multi
        self.home = tempfile.mkdtemp(prefix="orvane-obs-home-")
        self.config_dir = os.path.join(self.home, ".config", "obs-studio")
        self.log_path = os.path.join(self.home, "obs-output.log")
        self.env = dict(os.environ, HOME=self.home)
        self.env.pop("DISPLAY", None)
        self.env.update(env or {})
        self.process = None
        if obs_version() >= (30, 0, 0):
            # The OBS 30 tree's EGL takes the software renderer only when told (there is no GPU here).
            self.env.setdefault("LIBGL_ALWAYS_SOFTWARE", "1")
        subprocess.run([os.path.join(ROOT, "scripts", "obs-home.sh"), self.home, BUILD_DIR if install_module else "",
                        str(last_version_setting())], check=True)

    def plugin_config(self, name=""):
        return os.path.join(self.config_dir, "plugin_config", "orvane", name)

    def start(self, *args):
        """Without --multi, which turns OBS's unclean-shutdown check off: a start after a close that crashed
        says so (wait_for_log fails on it). OBS then asks before it runs beside another OBS of this network
        namespace, so none may run."""
        others = [] if self.multi else other_obs_running()
        if others:
            raise AssertionError("another OBS runs in this network namespace (%s): this one would wait on its "
                                 "question whether to run a second OBS" % others)
        self._log_file = open(self.log_path, "wb")
        self.process = subprocess.Popen(
            ["xvfb-run", "-a", "-s", "-screen 0 1280x800x24",
             *os.environ.get("ORVANE_E2E_OBS_WRAPPER", "").split(), OBS_PROGRAM, "--disable-updater",
             *(["--multi"] if self.multi else []), *args],
            env=self.env, stdout=self._log_file, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
            start_new_session=True, cwd=self.home, preexec_fn=keep_core_dumps)

    def log(self):
        with open(self.log_path, "rb") as log:
            return log.read().decode("utf-8", "replace")

    def wait_for_log(self, pattern, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            log = self.log()
            if UNCLEAN.search(log):
                raise AssertionError("OBS reported an unclean shutdown of its last run:\n" + log[-3000:])
            found = re.search(pattern, log)
            if found:
                return found
            if self.process.poll() is not None:
                raise AssertionError("OBS ended early:\n" + self.log()[-3000:])
            time.sleep(0.25)
        raise AssertionError("not in OBS's log within %ss: %s\n%s" % (timeout, pattern, self.log()[-3000:]))

    def dock_port(self):
        return int(self.wait_for_log(r"\[orvane\] Orvane dock on 127\.0\.0\.1:(\d+), cloud ").group(1))

    def obs_pid(self):
        """OBS itself, below the xvfb-run script (directly, or under a wrapper such as gdb)."""
        parents, names = {}, {}
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as stat:
                    parents[int(entry)] = int(stat.read().rsplit(")", 1)[1].split()[1])
                with open("/proc/%s/comm" % entry) as comm:
                    names[int(entry)] = comm.read().strip()
            except OSError:
                continue
        for pid, name in names.items():
            ancestor = parents.get(pid)
            while name == "obs" and ancestor:
                if ancestor == self.process.pid:
                    return pid
                ancestor = parents.get(ancestor)
        return None

    def stop(self, timeout=60):
        """Closes OBS as a user does, by its window (SIGINT when it has none); returns its exit status (None
        when it had to be killed). OBS's SIGINT handler closes the window from inside the signal handler, which
        deadlocks OBS now and then on a lock the interrupted code held."""
        if self.process is None or self.process.poll() is not None:
            return self.process and self.process.returncode
        pid = self.obs_pid()
        if pid and not self._ask_window_to_close(pid):
            os.kill(pid, signal.SIGINT)
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
            return None
        finally:
            self._log_file.close()


    def _ask_window_to_close(self, pid):
        closer = os.environ.get("ORVANE_CLOSE_WINDOW") or os.path.join(BUILD_DIR, "tests", "orvane_close_window")
        try:
            with open("/proc/%d/environ" % pid, "rb") as environ:
                pairs = dict(item.split(b"=", 1) for item in environ.read().split(b"\0") if b"=" in item)
        except OSError:
            return False
        env = dict(os.environ, DISPLAY=pairs.get(b"DISPLAY", b"").decode())
        if b"XAUTHORITY" in pairs:
            env["XAUTHORITY"] = pairs[b"XAUTHORITY"].decode()
        return os.path.exists(closer) and subprocess.run([closer, str(pid)], env=env, timeout=30).returncode == 0


class Bridge:
    """Calls the module's bridge the way the dock page does: the key comes from the page it was served."""

    def __init__(self, port):
        self.port = port
        # OBS's main loop, which answers, runs only once OBS has started: on a busy machine that is long after
        # the module listens.
        page = raw_exchange(port, b"GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port, timeout=60).decode()
        self.config = json.loads(re.search(r"window\.__OV=(\{.*?\})</script>", page).group(1))
        self.key = self.config["bridge"]

    def call(self, method, action, body=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        payload = None if body is None else json.dumps(body).encode()
        headers = {"x-ov-bridge": self.key}
        if payload is not None:
            headers["Content-Type"] = "application/json"
        connection.request(method, "/bridge/" + action, body=payload, headers=headers)
        answer = connection.getresponse()
        result = answer.status, json.loads(answer.read() or b"{}")
        connection.close()
        return result

    def state(self):
        status, state = self.call("GET", "state")
        assert status == 200, state
        return state
