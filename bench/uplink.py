#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The relay on an uplink too small for both streams, in real OBS, in a network namespace of its own: OBS's
stream at 2,000 kbit/s and the relay share 3,000 kbit/s. Runs the network suite's yield cases (both encoder
cases) and OBS alone on the same uplink as the peer; then recorded cellular uplinks (tests/data/uplinks, the
first ORVANE_BENCH_TRACE_SECONDS of each, 120 by default: about 40 minutes for the three), each with OBS alone
as the peer. Prints their rows for bench/run.py."""
import io
import json
import os
import re
import sys
import time
import unittest
from contextlib import redirect_stdout

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "e2e"))
import test_obs_network  # noqa: E402
from network_weather import recorded_uplink, shared_uplink  # noqa: E402
from obs_harness import Bridge, wait_until  # noqa: E402


class UplinkPeer(test_obs_network.ObsNetwork):
    """The peer: OBS's stream alone on the same uplink, the relay off."""

    def obs_stream_alone_on_a_shared_uplink(self):
        with open(self.obs.plugin_config("relay.json"), "w") as relay:
            json.dump({"enabled": False, "server": self.relay_server.rtmp_url, "key": "relaykey"}, relay)
        shared_uplink([self.nginx.rtmp_port, self.relay_server.rtmp_port], 3000)
        self.obs.start("--startstreaming")
        self.bridge = Bridge(self.obs.dock_port())
        self.nginx.wait_for_flowing(["obsmain"])
        time.sleep(50)
        self.bridge.call("POST", "stop")
        wait_until(lambda: not self.nginx.bytes_in(), what="OBS's stream to end")
        sent, attempted = self.frames_of("adv_stream")
        print("OBS alone: OBS's stream lost %.2f %% of %d frames" % (100.0 * (attempted - sent) / attempted, attempted))
        self.assertEqual(self.obs.stop(), 0)

TRACES = ["verizon-lte-short", "tmobile-lte-short", "att-lte-driving-2016"]
TRACE_SECONDS = int(os.environ.get("ORVANE_BENCH_TRACE_SECONDS", "120"))
ENCODERS = {1500: "x264 (CPU)", 2000: "OBS's stream encoder"}


class TracePeer(test_obs_network.ObsNetwork):
    """Each recorded uplink, from the same start: OBS's stream alone, beside the relay on its own x264 (1,500
    kbit/s) and on OBS's encoders (2,000), with OBS's dynamic bitrate off and on."""
    figures = {}

    def on_recorded_uplinks(self):
        for name in TRACES:
            kbps = recorded_uplink(name, 0, TRACE_SECONDS)
            for dynamic in (False, True):
                for relay in (None, 1500, 2000):
                    TracePeer.figures[name, dynamic, relay] = self.stream_on_a_recorded_uplink(kbps, relay, dynamic)
                    TracePeer.figures[name, "mean"] = sum(kbps) / len(kbps)


def trace_rows():
    rows = []
    for name in TRACES:
        found = TracePeer.figures
        if (name, True, 2000) not in found:
            continue
        alone, alone_dbr = found[name, False, None], found[name, True, None]
        for relay, encoder in ENCODERS.items():
            frames, bitrate = found[name, False, relay], found[name, True, relay]
            spare = max(1.0, min(found[name, "mean"] - alone["obs"], relay + 160))
            rows += [("%s, relay with %s: OBS's frames lost (%%)" % (name, encoder), "%.2f" % frames["lost"],
                      "%.2f (relay off)" % alone["lost"], "%+.2f" % (frames["lost"] - alone["lost"]), "≤ +0.5"),
                     ("%s, relay with %s, OBS's dynamic bitrate: OBS's stream (kbit/s)" % (name, encoder),
                      "%d" % bitrate["obs"], "%d (relay off)" % alone_dbr["obs"],
                      "%.2f" % (bitrate["obs"] / max(1.0, alone_dbr["obs"])), "≥ 0.95"),
                     ("%s, relay with %s: relay's share of what OBS's stream left (kbit/s)" % (name, encoder),
                      "%d" % frames["relay"], "%d" % spare, "%.2f" % (frames["relay"] / spare), "≥ 0.8"),
                     ("%s, relay with %s: its viewers' stops over 0.5 s (dynamic bitrate off / on)" % (name, encoder),
                      "%d / %d" % (frames["stops"], bitrate["stops"]), "", "", "few")]
    return rows


CASES = ["test_relay_with_its_own_encoder_gives_way_to_obs_stream", "test_relay_with_obs_encoders_gives_way_to_obs_stream",
         "test_relay_keeps_its_bitrate_where_only_obs_path_is_short"]
FIGURES = re.compile(r"^(.+?): OBS's stream lost ([\d.]+) % of \d+ frames(?:; the relay delivered (\d+) kbit/s of the "
                     r"1000 spare, above its floor \d+ % of the time; back at its bitrate (\d+) s after the uplink was "
                     r"lifted; the relay dropped ([\d.]+) % of its frames, its viewers' longest stop ([\d.]+) s)?", re.M)
OBS_PATH_SHORT = re.compile(r"^OBS's path short: the relay at its bitrate (\d+) % of the time, delivering (\d+) kbit/s", re.M)


def uplink_rows():
    """(measure, module, peer, ratio, goal) rows; none where this machine can't make a network of its own."""
    printed = io.StringIO()
    test_obs_network.setUpModule()
    if test_obs_network.no_network_of_our_own:
        return []
    with redirect_stdout(printed):
        unittest.TextTestRunner(stream=io.StringIO()).run(
            unittest.TestSuite([UplinkPeer("obs_stream_alone_on_a_shared_uplink")] +
                               [test_obs_network.ObsNetwork(name) for name in CASES] +
                               [TracePeer("on_recorded_uplinks")]))
    found = {figures[0]: (float(figures[1]),) + figures[2:] for figures in FIGURES.findall(printed.getvalue())}
    alone = found.get("OBS alone", (float("nan"),))[0]
    rows = []
    for case in ("x264 (CPU)", "OBS's stream encoder"):
        lost, relay, back, relay_lost, stop = found.get(case, (float("nan"), "0", "0", "nan", "nan"))
        rows.append(("OBS's stream frames lost on a shared 1.5× uplink, relay with %s (%%)" % case,
                     "%.2f" % lost, "%.2f (relay off)" % alone, "%+.2f" % (lost - alone), "≤ 1"))
        rows.append(("relay's frames dropped after a 20 s settle, with %s (%%)" % case, relay_lost, "", "", "≤ 1"))
        rows.append(("relay's viewers' longest stop after the settle, with %s (s)" % case, stop, "", "", "≤ 0.5"))
        rows.append(("relay's share of the 1,000 kbit/s left over, with %s (kbit/s)" % case, relay, "1000",
                     "%.2f" % (int(relay or 0) / 1000), "≥ 0.75"))
        rows.append(("relay back at its bitrate after the uplink is lifted, with %s (s)" % case, back, "", "", "≤ 30"))
    short = OBS_PATH_SHORT.search(printed.getvalue())
    delivered = int(short.group(2)) if short else 0
    rows.append(("OBS's own path short: relay's delivered rate over its setting (kbit/s)", str(delivered), "1500",
                 "%.2f" % (delivered / 1500), "≥ 0.9"))
    return rows + trace_rows()


if __name__ == "__main__":
    for row in uplink_rows():
        print("| %s |" % " | ".join(row))
