#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""A streamer's long day: OBS live with the relay, the dock page polling in the module's web view, for MINUTES.

Samples once a minute the memory of OBS and of its helper processes (the web view's: private memory of each,
which other programs on the machine do not move, OBS's anonymous memory, which is what a leak grows, and PSS of
all), OBS's open descriptors and threads, and the bytes that reached nginx from OBS's stream and from the relay;
prints the samples and each measure's slope per 10 minutes (least squares over the samples after the first two
minutes, which still hold start-up, and over the second half alone, once OBS's own profiler has levelled off).

Usage: ORVANE_BUILD_DIR=build/qt5 bench/soak.py MINUTES [--control] [--without relay|webview]... [--smoke]
--control: OBS without the module beside it, same profile and stream, its memory sampled too: the
           control for what OBS itself grows.
--without relay: the relay stays off; --without webview: the module's web view is not installed and this
           script polls the state every second instead of the page: to tell apart what each part grows.
--smoke: a few samples a few seconds apart, to check that the run still works (the slopes mean nothing then)."""
import argparse
import glob
import json
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))
from local_cloud import LocalCloud  # noqa: E402
from nginx_rtmp import NginxRtmp  # noqa: E402
from obs_harness import Bridge, ObsRun, wait_until  # noqa: E402
from procstat import anonymous_kib, family, private_kib, pss_kib  # noqa: E402

MEASURES = ("OBS private (MiB)", "OBS anonymous (MiB)", "helpers private (MiB)", "PSS of all (MiB)", "descriptors",
            "threads", "stream (MB)", "relay (MB)", "OBS alone, private (MiB)", "OBS alone, anonymous (MiB)")


def write_profile(obs, rtmp_url, key="obsmain", relay_on=True):
    """Simple output at 640x360, 30 fps, into nginx; the relay encodes with its own x264."""
    profile = os.path.join(obs.config_dir, "basic", "profiles", "Untitled")
    with open(os.path.join(profile, "basic.ini"), "w") as ini:
        ini.write("[General]\nName=Untitled\n[SimpleOutput]\nVBitrate=1500\n"
                  "[Video]\nBaseCX=640\nBaseCY=360\nOutputCX=640\nOutputCY=360\nFPSType=0\nFPSCommon=30\n")
    with open(os.path.join(profile, "service.json"), "w") as service:
        json.dump({"type": "rtmp_custom", "settings": {"server": rtmp_url, "key": key}}, service)
    os.makedirs(obs.plugin_config(), exist_ok=True)
    with open(obs.plugin_config("relay.json"), "w") as relay:
        json.dump({"enabled": relay_on, "server": rtmp_url, "key": "relaykey", "bitrate": 1000}, relay)


def sample(obs_pid, nginx, alone_pid):
    with open("/proc/%d/status" % obs_pid) as status:
        threads = int(next(line for line in status if line.startswith("Threads:")).split()[1])
    received = nginx.bytes_in()
    everyone = family(obs_pid)
    alone = [alone_pid] if alone_pid else []
    return (private_kib([obs_pid]) / 1024, anonymous_kib([obs_pid]) / 1024, private_kib(everyone[1:]) / 1024,
            pss_kib(everyone) / 1024, len(os.listdir("/proc/%d/fd" % obs_pid)), threads,
            received.get("obsmain", 0) / 1e6, received.get("relaykey", 0) / 1e6, private_kib(alone) / 1024,
            anonymous_kib(alone) / 1024)


def poll_state(bridge, stop):
    """The dock page's poll, without the page."""
    while not stop.wait(1):
        bridge.state()


def slope_per_10_minutes(times, values):
    count = len(times)
    mean_t, mean_v = sum(times) / count, sum(values) / count
    spread = sum((t - mean_t) ** 2 for t in times)
    return sum((t - mean_t) * (v - mean_v) for t, v in zip(times, values)) / spread * 600 if spread else 0.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("minutes", type=float, nargs="?", default=20)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--control", action="store_true")
    parser.add_argument("--without", action="append", choices=("relay", "webview"), default=[])
    args = parser.parse_args()
    relay_on, webview_on = "relay" not in args.without, "webview" not in args.without
    streams = ["obsmain", "relaykey"] if relay_on else ["obsmain"]
    interval, count = (3, 4) if args.smoke else (60, int(args.minutes) + 1)

    cloud, nginx = LocalCloud(), NginxRtmp()
    nginx.start()
    obs = ObsRun(env={"ORVANE_CLOUD_URL": cloud.url}, multi=True)
    write_profile(obs, nginx.rtmp_url, relay_on=relay_on)
    if not webview_on:
        companions = glob.glob(os.path.join(obs.config_dir, "plugins", "*", "bin", "*", "orvane-webview.*"))
        assert companions, "no web view installed to take out"
        for companion in companions:
            os.remove(companion)
    alone = ObsRun(install_module=False, multi=True) if args.control else None
    if alone:
        write_profile(alone, nginx.rtmp_url, "alone")
    samples, poll = [], threading.Event()
    try:
        obs.start("--startstreaming")
        if alone:
            alone.start("--startstreaming")
        if webview_on:
            obs.wait_for_log(r"Orvane dock: showing the page in its own web view")
        else:
            threading.Thread(target=poll_state, args=(Bridge(obs.dock_port()), poll), daemon=True).start()
        if relay_on:
            obs.wait_for_log(r"\[orvane\] Orvane output: sending with")
        nginx.wait_for_flowing(streams, timeout=60)
        pid = obs.obs_pid()
        alone_pid = alone.obs_pid() if alone else None
        start = time.monotonic()
        for index in range(count):
            time.sleep(max(0.0, start + index * interval - time.monotonic()))
            samples.append((time.monotonic() - start, sample(pid, nginx, alone_pid)))
            print("[%s] sample %d of %d" % (time.strftime("%H:%M:%S"), index + 1, count), file=sys.stderr, flush=True)
        flowing = nginx.wait_for_flowing(streams)
        relay = Bridge(obs.dock_port()).state()["relay"]
    finally:
        poll.set()
        obs.stop()
        if alone:
            alone.stop()
        nginx.stop()
        cloud.stop()

    print("| minute | %s |" % " | ".join(MEASURES))
    print("|---|%s|" % "|".join("---" for _ in MEASURES))
    for seconds, values in samples:
        print("| %.1f | %s |" % (seconds / 60, " | ".join(
            "%d" % value if isinstance(value, int) else "%.1f" % value for value in values)))
    # OBS's profiler keeps every distinct frame time it has seen, so its heap grows at first and then levels
    # off: the second half shows the steady state.
    for label, window in (("slope per 10 min", samples[2:] if len(samples) > 3 else samples),
                          ("slope per 10 min, second half", samples[len(samples) // 2:])):
        times = [seconds for seconds, _ in window]
        slopes = [slope_per_10_minutes(times, [values[i] for _, values in window]) for i in range(len(MEASURES))]
        print("| %s | %s |" % (label, " | ".join("%+.2f" % slope for slope in slopes)))
    print("\nBoth streams flowing at the end: %s; relay sending: %s, error %r"
          % (sorted(flowing), relay["sending"], relay["error"]))
    if args.smoke:
        print("(smoke run: too short for the slopes to mean anything)")


if __name__ == "__main__":
    main()
