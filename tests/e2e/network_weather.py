# SPDX-License-Identifier: GPL-2.0-or-later
"""Network weather in a network namespace of the test's own: the machine's own network is never touched.
enter_own_network() moves this process (and so OBS, nginx and Xvfb that it starts) into a new namespace
whose loopback carries everything; a shared uplink is an HTB class on that loopback, a hole an nft rule."""
import ctypes
import os
import socket
import subprocess
import tempfile
import threading
import time

from obs_harness import wait_until

CLONE_NEWNET = 0x40000000


def enter_own_network():
    """Returns None once in a namespace of this process's own, else why that can't be had here."""
    if ctypes.CDLL(None, use_errno=True).unshare(CLONE_NEWNET) != 0:
        return "no network namespace of the test's own (unshare -n refused: %s)" % ctypes.get_errno()
    # Segments as a real link carries them (loopback would hand 64 KiB at once to the shaper).
    for tool in (["ip", "link", "set", "lo", "up", "mtu", "1500", "gso_max_size", "1500"],
                 ["nft", "add", "table", "inet", "weather"]):
        try:
            subprocess.run(tool, check=True, capture_output=True)
        except (OSError, subprocess.CalledProcessError) as error:
            return "%s unavailable here: %s" % (tool[0], error)
    subprocess.run(["nft", "add", "chain", "inet", "weather", "out",
                    "{ type filter hook output priority 0; policy accept; }"], check=True)
    return None


def shared_uplink(ports, kbit):
    """One uplink of kbit kbit/s, with a modem's small queue, that every connection to these server ports
    shares; kbit None lifts the limit (the queue stays: nothing in it is lost)."""
    if kbit is None:
        subprocess.run(["tc", "class", "change", "dev", "lo", "parent", "1:", "classid", "1:10", "htb", "rate",
                        "10gbit", "ceil", "10gbit", "quantum", "1514"], capture_output=True)
        return
    subprocess.run(["tc", "qdisc", "del", "dev", "lo", "root"], capture_output=True)
    commands = [["qdisc", "add", "dev", "lo", "root", "handle", "1:", "htb", "default", "99"],
                ["class", "add", "dev", "lo", "parent", "1:", "classid", "1:10", "htb", "rate", "%dkbit" % kbit,
                 "ceil", "%dkbit" % kbit, "burst", "16k", "quantum", "1514"],
                ["qdisc", "add", "dev", "lo", "parent", "1:10", "handle", "10:", "bfifo", "limit", "64kb"],
                ["class", "add", "dev", "lo", "parent", "1:", "classid", "1:99", "htb", "rate", "10gbit", "quantum", "1514"]]
    for port in ports:
        commands.append(["filter", "add", "dev", "lo", "parent", "1:", "protocol", "ip", "prio", "1", "u32",
                         "match", "ip", "dport", str(port), "0xffff", "flowid", "1:10"])
    for command in commands:
        subprocess.run(["tc", *command], check=True)


def recorded_uplink(name, start=0, seconds=None):
    """A recorded cellular uplink from tests/data/uplinks: its capacity every 200 ms, in kbit/s."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "uplinks", name + ".kbps")
    with open(path) as trace:
        kbps = [int(line) for line in trace if line.strip() and not line.startswith("#")]
    return kbps[start * 5:(start + seconds) * 5 if seconds else None]


class ReplayedUplink:
    """The shared uplink's rate follows a recorded capacity, a value every 200 ms, on a thread of its own (a
    hole is a rate of next to nothing: HTB takes no 0)."""

    def __init__(self, ports, kbps):
        shared_uplink(ports, max(8, kbps[0]))
        self.kbps, self.done = kbps, threading.Event()
        self.thread = threading.Thread(target=self._replay, daemon=True)
        self.thread.start()

    def _replay(self):
        began = time.monotonic()
        for index, rate in enumerate(self.kbps):
            if self.done.wait(max(0.0, began + index * 0.2 - time.monotonic())):
                return
            subprocess.run(["tc", "class", "change", "dev", "lo", "parent", "1:", "classid", "1:10", "htb", "rate",
                            "%dkbit" % max(8, rate), "ceil", "%dkbit" % max(8, rate), "burst", "16k", "quantum",
                            "1514"], capture_output=True)
        self.done.set()

    def wait(self):
        self.done.wait()

    def stop(self):
        self.done.set()
        self.thread.join(timeout=5)


def hole(port):
    """Every packet to and from the server at port vanishes: no reset, no answer. Returns what ends it."""
    handles = []
    for direction in ("dport", "sport"):
        out = subprocess.run(["nft", "--echo", "--handle", "add", "rule", "inet", "weather", "out", "tcp",
                              direction, str(port), "drop"], check=True, capture_output=True, text=True).stdout
        handles.append(out.rsplit("# handle", 1)[1].split()[0])

    def mend():
        for handle in handles:
            subprocess.run(["nft", "delete", "rule", "inet", "weather", "out", "handle", handle], check=True)
    return mend


class StallProbe:
    """Asks the bridge for its state every 50 ms on a thread of its own: the longest answer in a stretch of
    time is the longest that OBS's main thread was held then."""

    def __init__(self, bridge):
        self.bridge, self.samples, self.errors = bridge, [], []
        self.running, self.asking_since = True, None
        self.thread = threading.Thread(target=self._poll, daemon=True)
        self.thread.start()

    def _poll(self):
        while self.running:
            began = self.asking_since = time.monotonic()
            try:
                self.bridge.call("GET", "state")
                self.samples.append((began, time.monotonic() - began))
            except OSError as error:
                self.errors.append(error)
            self.asking_since = None
            time.sleep(max(0.0, 0.05 - (time.monotonic() - began)))

    def longest_during(self, action, settle=1.5):
        """Runs action() and returns the longest answer from then until settle seconds after it returned
        (an answer still awaited counts as long as it has waited)."""
        began = time.monotonic()
        action()
        time.sleep(settle)
        ended = time.monotonic()
        answers = [took for at, took in self.samples if began <= at <= ended]
        asking_since = self.asking_since
        return max(answers + [0.0, ended - asking_since if asking_since else 0.0])

    def stop(self):
        self.running = False
        self.thread.join(timeout=15)


CLONE_NEWNS = 0x00020000
_resolver_file = None


def use_test_resolver():
    """This process's resolver, and its children's, becomes 127.0.0.53, through a mount namespace of its own: the
    machine's own /etc/resolv.conf is never touched."""
    global _resolver_file
    if _resolver_file is None:
        if ctypes.CDLL(None, use_errno=True).unshare(CLONE_NEWNS) != 0:
            raise OSError(ctypes.get_errno(), "no mount namespace of the test's own")
        # In a chroot "/" is no mount point; the test command's roots run in a mount namespace whose mounts
        # are all private already, which is what this checks for there.
        if subprocess.run(["mount", "--make-rprivate", "/"], capture_output=True).returncode != 0:
            with open("/proc/self/mountinfo") as mounts:
                if " shared:" in mounts.read():
                    raise OSError("mounts here are shared: a bind mount would be seen outside the test")
        _resolver_file = tempfile.NamedTemporaryFile("w", prefix="orvane-resolv-", delete=False)
        _resolver_file.write("nameserver 127.0.0.53\n")  # the resolver's own waits, as on a streamer's machine
        _resolver_file.close()
        subprocess.run(["mount", "--bind", _resolver_file.name, "/etc/resolv.conf"], check=True)


class NameServer:
    """A name server of the test's own (dnsmasq, on 127.0.0.53, the test's resolver) that gives name the address
    127.0.0.1. lose() drops its packets, as a network that goes takes it along."""

    def __init__(self, name):
        use_test_resolver()
        self.process = subprocess.Popen(
            ["dnsmasq", "-k", "--no-resolv", "--no-hosts", "--bind-interfaces", "--listen-address=127.0.0.53",
             "--address=/%s/127.0.0.1" % name, "--user=root"], stderr=subprocess.DEVNULL)
        wait_until(lambda: self.answers(name), timeout=10, what="the name server to answer for " + name)

    @staticmethod
    def answers(name):
        try:
            return socket.getaddrinfo(name, None, socket.AF_INET)
        except OSError:
            return None

    def lose(self):
        """Its queries vanish on the way in (dropped on the way out, a sender is told at once and gives up):
        a resolver waits for its answers as long as it waits. Returns what ends that."""
        subprocess.run(["nft", "add", "chain", "inet", "weather", "in",
                        "{ type filter hook input priority 0; policy accept; }"], check=True)
        handles = []
        for protocol in ("udp", "tcp"):
            out = subprocess.run(["nft", "--echo", "--handle", "add", "rule", "inet", "weather", "in", protocol,
                                  "dport", "53", "drop"], check=True, capture_output=True, text=True).stdout
            handles.append(out.rsplit("# handle", 1)[1].split()[0])

        def mend():
            for handle in handles:
                subprocess.run(["nft", "delete", "rule", "inet", "weather", "in", "handle", handle], check=True)
        return mend

    def stop(self):
        self.process.kill()
        self.process.wait()


class SlowNameServer:
    """A name server of the test's own on 127.0.0.53 that answers every question for name with 127.0.0.1 (an
    address question) or with nothing (any other), each after delay(n) seconds, n counting the questions from 1."""

    def __init__(self, name, delay):
        use_test_resolver()
        self.name, self.delay, self.questions = name.encode(), delay, 0
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.53", 53))
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                query, peer = self.socket.recvfrom(512)
            except OSError:
                return
            self.questions += 1
            threading.Timer(self.delay(self.questions), self._answer, (query, peer)).start()

    def _answer(self, query, peer):
        end, labels = 12, []
        while query[end]:
            labels.append(query[end + 1:end + 1 + query[end]])
            end += 1 + query[end]
        question = query[12:end + 5]
        address = b".".join(labels).lower() == self.name and question[-4:] == b"\x00\x01\x00\x01"
        answer = b"\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x00\x00\x04\x7f\x00\x00\x01" if address else b""
        header = query[:2] + b"\x81\x80\x00\x01" + (b"\x00\x01" if address else b"\x00\x00") + b"\x00\x00\x00\x00"
        try:
            self.socket.sendto(header + question + answer, peer)
        except OSError:
            pass

    def stop(self):
        self.socket.close()
