#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The module measured against peers, side by side in one run, and printed as a table of ratios.

Starts what it needs: two OBS 29 under Xvfb (one with the module, one without), nginx (HTTP and RTMP), the
local cloud; the main-thread counts come from callgrind in the test host, and the account check's cost from
the test host with the check on and off in turns. Each ratio is taken with both sides
measured in the same run, in alternating short windows or at the same time, so machine noise falls on both.

Usage: [ORVANE_BUILD_DIR=build/qt5] bench/run.py [--smoke] [--only obs|main-thread|uplink]
--only main-thread: the test host's rows (main-thread counts, the account check, the relay's connection).
--smoke: tiny durations, to check that every measurement still runs (the figures mean nothing then); the shared
uplink's three minutes of streaming are left to full runs (the real-OBS network suite runs the same cases)."""
import argparse
import glob
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from local_cloud import LocalCloud  # noqa: E402
from obs_harness import BUILD_DIR, Bridge, ObsRun, SilentServer, closed_port, raw_exchange, wait_until  # noqa: E402
from obs_websocket import ObsWebSocket, enable_obs_websocket  # noqa: E402
from nginx_rtmp import free_port  # noqa: E402
from peers import NginxPeer  # noqa: E402
from procstat import cpu_seconds, family, pss_kib  # noqa: E402

FULL = dict(window=3, rounds=4, idle=30, relay=6, page_requests=40, callgrind_count=200,
            account_count=2000, account_rounds=10)
SMOKE = dict(window=1, rounds=2, idle=2, relay=1, page_requests=3, callgrind_count=5,
             account_count=20, account_rounds=1)
OBS_BITRATE = 2500  # kbit/s, OBS's own stream in both instances


def ratio(numerator, denominator):
    return "%.2f" % (numerator / denominator) if denominator else "-"


def progress(what):
    print("[%s] %s" % (time.strftime("%H:%M:%S"), what), file=sys.stderr, flush=True)


def alternate(rounds, first, second):
    """Runs first() and second() in turns, swapping which goes first each round; each returns (count, seconds).
    Returns the two overall rates."""
    totals = {first: [0, 0.0], second: [0, 0.0]}
    for index in range(rounds):
        for side in ((first, second) if index % 2 == 0 else (second, first)):
            count, seconds = side()
            totals[side][0] += count
            totals[side][1] += seconds
    return tuple(totals[side][0] / max(totals[side][1], 1e-9) for side in (first, second))


def wrk(url, seconds):
    """Requests wrk completes in seconds, one connection per request as the dock page makes them."""
    output = subprocess.run(["wrk", "-t1", "-c4", "-d%ds" % seconds, "-H", "Connection: close", url],
                            capture_output=True, text=True, check=True).stdout
    done = re.search(r"(\d+) requests in ([\d.]+)(m?s)", output)
    elapsed = float(done.group(2)) / (1000 if done.group(3) == "ms" else 1)
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", output)
    return int(done.group(1)), elapsed, int(errors.group(1)) if errors else 0


def timed_loop(seconds, one):
    count, start = 0, time.monotonic()
    while time.monotonic() - start < seconds:
        one()
        count += 1
    return count, time.monotonic() - start


class ModuleSide:
    """OBS with the module (its web view companion taken out: the page is played by this script)."""

    def __init__(self, cloud_url, nginx):
        self.obs = ObsRun(env={"ORVANE_CLOUD_URL": cloud_url}, multi=True)
        for companion in glob.glob(os.path.join(self.obs.config_dir, "plugins", "orvane", "**", "orvane-webview*"),
                                   recursive=True):
            os.remove(companion)
        self.websocket_port = free_port()
        enable_obs_websocket(self.obs.config_dir, self.websocket_port)
        write_profile(self.obs, nginx.rtmp_url, "obs-with-module")
        os.makedirs(self.obs.plugin_config(), exist_ok=True)
        with open(self.obs.plugin_config("relay.json"), "w") as relay:
            json.dump({"enabled": True, "server": nginx.rtmp_url, "key": "relay", "bitrate": OBS_BITRATE}, relay)


class PlainSide:
    """OBS without the module, same profile."""

    def __init__(self, nginx):
        self.obs = ObsRun(env={"ORVANE_CLOUD_URL": "http://127.0.0.1:%d" % closed_port()}, multi=True)
        shutil.rmtree(os.path.join(self.obs.config_dir, "plugins", "orvane"))
        self.websocket_port = free_port()
        enable_obs_websocket(self.obs.config_dir, self.websocket_port)
        write_profile(self.obs, nginx.rtmp_url, "obs-alone")


def write_profile(obs, rtmp_url, key):
    """Advanced output, x264 at CBR OBS_BITRATE with 2 s keyframes, streaming to nginx. The canvas is small
    enough that three encodes fit on this machine's two cores beside OBS's software rendering."""
    profile = os.path.join(obs.config_dir, "basic", "profiles", "Untitled")
    with open(os.path.join(profile, "basic.ini"), "w") as ini:
        ini.write("[General]\nName=Untitled\n[Output]\nMode=Advanced\n[AdvOut]\nEncoder=obs_x264\n"
                  "[Video]\nBaseCX=640\nBaseCY=360\nOutputCX=640\nOutputCY=360\nFPSType=0\nFPSCommon=30\n")
    with open(os.path.join(profile, "streamEncoder.json"), "w") as encoder:
        json.dump({"rate_control": "CBR", "bitrate": OBS_BITRATE, "keyint_sec": 2, "preset": "veryfast"}, encoder)
    with open(os.path.join(profile, "service.json"), "w") as service:
        json.dump({"type": "rtmp_custom", "settings": {"server": rtmp_url, "key": key}}, service)


class Poller(threading.Thread):
    """The dock page's state poll, once a second."""

    def __init__(self, bridge):
        super().__init__(daemon=True)
        self.bridge, self.running = bridge, True

    def run(self):
        while self.running:
            self.bridge.state()
            time.sleep(1)


def side_by_side_usage(pids, seconds):
    """CPU (% of one core) of each process family over the same window, and PSS (MiB) at its end."""
    start = {name: cpu_seconds(family(pid)) for name, pid in pids.items()}
    time.sleep(seconds)
    cpu = {name: (cpu_seconds(family(pid)) - start[name]) / seconds * 100 for name, pid in pids.items()}
    pss = {name: pss_kib(family(pid)) / 1024 for name, pid in pids.items()}
    return cpu, pss


def set_relay(bridge, nginx, bitrate):
    """The relay as the dock page sets it: off (bitrate None) or on at bitrate; off waits until it stopped."""
    status, _ = bridge.call("POST", "relay", {"enabled": bitrate is not None, "server": nginx.rtmp_url,
                                              "key": "relay", "bitrate": bitrate or OBS_BITRATE})
    assert status == 200
    if bitrate is None:
        wait_until(lambda: not bridge.state()["relay"]["sending"], 30, "the relay to stop")


def stream_both(module_ws, plain_ws, start):
    for ws in (module_ws, plain_ws):
        ws.request("StartStream" if start else "StopStream")


def measure_obs(durations, rows):
    cloud = LocalCloud()
    refused_body = b'{"error":"Not allowed."}'
    nginx = NginxPeer(refused_body)
    module, plain = ModuleSide(cloud.url, nginx), PlainSide(nginx)
    poller = None
    try:
        module.obs.start()
        plain.obs.start()
        port = module.obs.dock_port()
        plain.obs.wait_for_log(r"Startup complete")
        bridge = Bridge(port)
        module_ws, plain_ws = ObsWebSocket(module.websocket_port, 30), ObsWebSocket(plain.websocket_port, 30)
        time.sleep(min(10, durations["idle"]))  # both settle

        progress("idle")
        # Idle, with the page's poll.
        poller = Poller(bridge)
        poller.start()
        pids = {"module": module.obs.obs_pid(), "plain": plain.obs.obs_pid()}
        cpu, pss = side_by_side_usage(pids, durations["idle"])
        rows.append(("idle CPU, page polling at 1 Hz (% of a core)", "%.2f" % cpu["module"], "%.2f" % cpu["plain"],
                     "%+.2f" % (cpu["module"] - cpu["plain"]), "≤ +0.5"))
        rows.append(("idle memory, PSS (MiB)", "%.1f" % pss["module"], "%.1f" % pss["plain"],
                     "%+.1f" % (pss["module"] - pss["plain"]), "≤ +8"))

        progress("server rate")
        # Server rate: a refused request, and the cached dock page while the cloud refuses connections.
        refused_url = "http://127.0.0.1:%d/bridge/state" % port
        module_rate, nginx_rate = alternate(durations["rounds"], lambda: wrk(refused_url, durations["window"])[:2],
                                            lambda: wrk(nginx.url("/refused"), durations["window"])[:2])
        rows.append(("server rate, refused request (req/s)", "%.0f" % module_rate, "%.0f" % nginx_rate,
                     ratio(module_rate, nginx_rate), "≥ 0.9"))

        page = raw_exchange(port, b"GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
        cloud_port = int(cloud.url.rsplit(":", 1)[1])
        cloud.stop()
        nginx.set_page(page.split(b"\r\n\r\n", 1)[1])
        page_url = "http://127.0.0.1:%d/" % port
        module_rate, nginx_rate = alternate(durations["rounds"], lambda: wrk(page_url, durations["window"])[:2],
                                            lambda: wrk(nginx.url("/"), durations["window"])[:2])
        rows.append(("server rate, cached dock page, cloud down (req/s)", "%.0f" % module_rate,
                     "%.0f" % nginx_rate, ratio(module_rate, nginx_rate), "≥ 0.9"))

        progress("offline dock")
        # Offline dock: the cached index with the cloud refusing connections, against the cloud answering.
        def page_ms():
            start = time.monotonic()
            answer = raw_exchange(port, b"GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
            assert answer.startswith(b"HTTP/1.1 200"), answer[:100]
            return (time.monotonic() - start) * 1000

        offline, online = [], []
        for _ in range(durations["rounds"]):
            offline += [page_ms() for _ in range(durations["page_requests"])]
            cloud = LocalCloud(cloud_port)
            online += [page_ms() for _ in range(durations["page_requests"])]
            cloud.stop()
        rows.append(("offline dock index, median (ms)", "%.1f" % statistics.median(offline),
                     "%.1f" % statistics.median(online), ratio(statistics.median(offline), statistics.median(online)),
                     "≤ 50 ms"))
        cloud = LocalCloud(cloud_port)

        progress("stalled cloud")
        # The whole cached page (index, script, style, as the dock loads them) while the cloud accepts and never
        # answers, against the same page from the cloud answering.
        def whole_page_ms():
            start = time.monotonic()
            for path in (b"/", b"/app.js", b"/style.css"):
                answer = raw_exchange(port, b"GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (path, port), 30)
                assert answer.startswith(b"HTTP/1.1 200"), answer[:100]
            return (time.monotonic() - start) * 1000

        answered = [whole_page_ms() for _ in range(durations["rounds"])]
        cloud.stop()
        silent = SilentServer(cloud_port)
        stalled = [whole_page_ms() for _ in range(durations["rounds"])]
        silent.close()
        rows.append(("whole cached dock page, cloud stalled, median (ms)", "%.0f" % statistics.median(stalled),
                     "%.0f" % statistics.median(answered), ratio(statistics.median(stalled), statistics.median(answered)),
                     "≤ 1000 ms"))
        cloud = LocalCloud(cloud_port)

        progress("state round trips")
        # State round trips against obs-websocket's GetStreamStatus, in the same OBS.
        state_request = b"GET /bridge/state HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nx-ov-bridge: %s\r\n\r\n" % (
            port, bridge.key.encode())

        def one_state():
            assert raw_exchange(port, state_request).startswith(b"HTTP/1.1 200")

        state_rate, websocket_rate = alternate(
            durations["rounds"], lambda: timed_loop(durations["window"], one_state),
            lambda: timed_loop(durations["window"], lambda: module_ws.request("GetStreamStatus")))
        rows.append(("state round trips (1/s)", "%.0f" % state_rate, "%.0f" % websocket_rate,
                     ratio(state_rate, websocket_rate), "≥ 1.0"))

        progress("relay")
        # Relay: both OBS stream the same all along; the module's relay goes off, on with OBS's encoders, and on
        # with its own, in turns. OBS alone is the control for each window, and relay-off is the base.
        stream_both(module_ws, plain_ws, True)
        wait_until(lambda: bridge.state()["obs"]["streaming"], 30, "both streams to start")
        modes = (("off", None, ""), ("shared", OBS_BITRATE, "OBS's stream encoder"),
                 ("own", OBS_BITRATE + 500, "x264 (CPU)"))
        usage = {mode: {"module": 0.0, "plain": 0.0} for mode, _, _ in modes}
        for index in range(durations["rounds"]):
            for mode, relay_bitrate, encoder in modes[index % 3:] + modes[:index % 3]:
                set_relay(bridge, nginx, None)
                if relay_bitrate:
                    set_relay(bridge, nginx, relay_bitrate)
                    wait_until(lambda: bridge.state()["relay"]["sending"], 30, "the relay to send")
                    assert bridge.state()["relay"]["encoder"] == encoder, bridge.state()["relay"]
                time.sleep(1)
                cpu, _ = side_by_side_usage(pids, durations["relay"])
                for name in cpu:
                    usage[mode][name] += cpu[name]
        stream_both(module_ws, plain_ws, False)
        base = usage["off"]["module"] / usage["off"]["plain"]
        rounds = durations["rounds"]
        for mode, goal, label in (("shared", "≤ 1.1", "with OBS's stream encoders"),
                                  ("own", "≤ 2.0", "with its own x264")):
            relative = usage[mode]["module"] / usage[mode]["plain"]
            rows.append(("relay %s: CPU of OBS streaming + relay, against relay off (%% of a core)" % label,
                         "%.1f" % (usage[mode]["module"] / rounds), "%.1f" % (usage["off"]["module"] / rounds),
                         ratio(relative, base), goal))
        module_ws.close()
        plain_ws.close()
    finally:
        if poller:
            poller.running = False
        module.obs.stop()
        plain.obs.stop()
        cloud.stop()
        nginx.stop()


def machine_stops_valgrind(report, build_dir):
    """Why valgrind could not run the test host at all on this machine, from what valgrind printed; None when it
    failed otherwise. That is a SIGILL inside a system library while the libraries load, before main: an
    instruction this valgrind does not know on this processor (Debian 12's valgrind 3.19 and rdtscp in libhwy's
    start-up, which the host loads through libobs's FFmpeg libraries). A fault in the module's code, or anywhere
    once main has run, is not the machine's."""
    if "signal 4 (SIGILL)" not in report:
        return None
    stack = re.findall(r"^==\d+==\s+(?:at|by) 0x[0-9A-Fa-f]+: (.*)$",
                       report[report.index("signal 4 (SIGILL)"):], re.M)
    if not stack or not any(re.match(r"(_dl_init|call_init|_dl_start_user)\b", frame) for frame in stack):
        return None
    if any(re.match(r"main \(", frame) or build_dir in frame for frame in stack):
        return None
    where = re.match(r"(.*) \(in (/\S+)\)$", stack[0])
    if not where or where.group(2).startswith(build_dir):
        return None
    return ("valgrind stops the test host with SIGILL in %s (%s) while it loads its libraries, before main: "
            "an instruction this valgrind does not know on this processor" %
            (os.path.basename(where.group(2)), where.group(1)))


def measure_main_thread(durations, build_dir, rows):
    """Instructions of OBS's main thread per request and per tick, counted by callgrind in the test host."""
    progress("main thread (callgrind)")
    out_dir = tempfile.mkdtemp(prefix="orvane-callgrind-")
    count = durations["callgrind_count"]
    try:
        run = subprocess.run(["xvfb-run", "-a", "valgrind", "--tool=callgrind", "--collect-atstart=no",
                              "--separate-threads=yes", "--callgrind-out-file=%s/cg.out" % out_dir,
                              os.path.join(build_dir, "bench", "orvane_bench_costs"),
                              "--gtest_filter=MainThreadCost.*"],
                             env=dict(os.environ, ORVANE_BENCH_COUNT=str(count), QT_QPA_PLATFORM="offscreen"),
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, errors="replace")
        if run.returncode != 0:
            reason = machine_stops_valgrind(run.stderr, os.path.realpath(build_dir))
            if reason is None:
                sys.stderr.write(run.stderr[-4000:])
                raise subprocess.CalledProcessError(run.returncode, run.args)
            rows.append(("main thread, instruction counts", "not taken: " + reason, "", "", ""))
            # The test command's summary lists this line as a skip, by name.
            print("skipped: main-thread instruction counts: " + reason)
            return
        phases = {}
        for path in glob.glob(os.path.join(out_dir, "cg.out*")):
            with open(path) as dump:
                text = dump.read(4096)
            phase = re.search(r"^desc: Trigger: Client Request: (\S+)", text, re.M)
            thread = re.search(r"^thread: (\d+)", text, re.M)
            if phase and thread and thread.group(1) == "1":
                with open(path) as dump:
                    phases[phase.group(1)] = int(re.search(r"^totals: (\d+)", dump.read(), re.M).group(1)) / count
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)
    refused = phases["refused"]
    rows.append(("main thread, one refused request (instructions)", "%.0f" % refused, "", "", ""))
    for phase, label in (("state-simple", "simple output"), ("state-advanced", "advanced output")):
        rows.append(("main thread, one state request, %s (instructions)" % label, "%.0f" % phases[phase],
                     "%.0f (refused)" % refused, ratio(phases[phase], refused), ""))
    rows.append(("main thread, one tick while streaming (instructions)", "%.0f" % phases["tick"], "", "", ""))


def measure_account_check(durations, build_dir, rows):
    """Requests a second with the account check and without it, in turns in the test host's same run."""
    progress("account check")
    output = subprocess.run(["xvfb-run", "-a", os.path.join(build_dir, "bench", "orvane_bench_costs"),
                             "--gtest_filter=AccountCheckCost.*"],
                            env=dict(os.environ, QT_QPA_PLATFORM="offscreen",
                                     ORVANE_BENCH_COUNT=str(durations["account_count"]),
                                     ORVANE_BENCH_ROUNDS=str(durations["account_rounds"])),
                            check=True, capture_output=True, text=True).stdout
    for kind, label in (("state", "state round trips"), ("refused", "refused requests")):
        checked, unchecked = map(float, re.search(r"account check %s: (\d+)/s (\d+)/s" % kind, output).groups())
        rows.append(("%s in the test host, account check on (1/s)" % label, "%.0f" % checked,
                     "%.0f (check off)" % unchecked, ratio(checked, unchecked), "≥ 0.90"))


def measure_relay_connection(durations, build_dir, rows):
    """The relay's own connection against a server reached directly, in turns in the test host's same run: the
    delay it adds to the stream's bytes, and its CPU, set against the relay's whole CPU where the OBS rows took it."""
    progress("relay connection")
    output = subprocess.run(["xvfb-run", "-a", os.path.join(build_dir, "bench", "orvane_bench_costs"),
                             "--gtest_filter=RelayConnectionCost.*"],
                            env=dict(os.environ, QT_QPA_PLATFORM="offscreen",
                                     ORVANE_BENCH_WINDOW_MS=str(durations["window"] * 1000),
                                     ORVANE_BENCH_ROUNDS=str(durations["rounds"])),
                            check=True, capture_output=True, text=True).stdout
    through, direct, cpu_through, cpu_direct = map(float, re.search(
        r"relay connection: delay p50 ([\d.]+) ms ([\d.]+) ms, cpu ([\d.]+) % ([\d.]+) %", output).groups())
    rows.append(("relay's connection: delay of its stream at the server, 50th percentile (ms)", "%.2f" % through,
                 "%.2f (direct)" % direct, "+%.2f" % (through - direct), "≤ +50"))
    added = max(0.0, cpu_through - cpu_direct)
    rows.append(("relay's connection: CPU it adds at 2.5 Mbit/s (% of a core)", "%.2f" % cpu_through,
                 "%.2f (direct)" % cpu_direct, "+%.2f" % added, "-"))
    # The OBS rows measured the relay with its connection: without it, the relay would cost what it adds less.
    for encoders in ("its own x264", "OBS's stream encoders"):
        relay_cpu = [float(row[1]) - float(row[2]) for row in rows
                     if row[0].startswith("relay with %s: CPU" % encoders)]
        if relay_cpu and relay_cpu[0] > added:
            rows.append(("relay's connection: the relay's CPU with it, against without (%s)" % encoders,
                         "%.2f" % relay_cpu[0], "%.2f (without)" % (relay_cpu[0] - added),
                         ratio(relay_cpu[0], relay_cpu[0] - added), "≤ 1.05"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--only", choices=("obs", "main-thread", "uplink"), help="run one part of the suite")
    args = parser.parse_args()
    durations = SMOKE if args.smoke else FULL

    rows = []
    if args.only in (None, "obs"):
        measure_obs(durations, rows)
    if args.only in (None, "main-thread"):
        measure_main_thread(durations, BUILD_DIR, rows)
        measure_account_check(durations, BUILD_DIR, rows)
        measure_relay_connection(durations, BUILD_DIR, rows)
    # Minutes of streaming on a shaped uplink, in a network namespace of its own (a process of its own).
    if args.only == "uplink" or (args.only is None and not args.smoke):
        table = subprocess.run([sys.executable, os.path.join(HERE, "uplink.py")], capture_output=True, text=True).stdout
        rows += [tuple(cell.strip() for cell in line.strip("|").split("|")) for line in table.splitlines()
                 if line.startswith("|")]

    header = ("measure", "module", "peer", "ratio / difference", "goal")
    print("| %s |" % " | ".join(header))
    print("|%s|" % "|".join("---" for _ in header))
    for row in rows:
        print("| %s |" % " | ".join(row))
    print("\nPeers: nginx (one worker) serving the same bytes; obs-websocket's GetStreamStatus in the same OBS; "
          "OBS 29 without the module, running at the same time with the same profile.")
    if args.smoke:
        print("(smoke run: durations too short for the figures to mean anything)")


if __name__ == "__main__":
    main()
