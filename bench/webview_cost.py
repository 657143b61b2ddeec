#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""What the dock's own web view costs: OBS with the module showing the dock page in its web view, beside
OBS without the module, both running at the same time on this machine. Prints memory (PSS of OBS and its
Qt WebEngine helpers) and CPU over the same idle window, and their ratio.

Usage: ORVANE_BUILD_DIR=build/qt5 bench/webview_cost.py [--seconds 30]"""
import argparse
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from local_cloud import LocalCloud  # noqa: E402
from obs_harness import ObsRun, closed_port, wait_until  # noqa: E402
from procstat import cpu_seconds, family, pss_kib  # noqa: E402

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=30)
    args = parser.parse_args()

    cloud = LocalCloud()
    with_view = ObsRun(env={"ORVANE_CLOUD_URL": cloud.url}, multi=True)
    without = ObsRun(env={"ORVANE_CLOUD_URL": "http://127.0.0.1:%d" % closed_port()}, multi=True)
    shutil.rmtree(os.path.join(without.config_dir, "plugins", "orvane"))
    try:
        with_view.start()
        without.start()
        with_view.wait_for_log(r"Orvane dock: showing the page in its own web view")
        without.wait_for_log(r"Startup complete")
        time.sleep(10)  # both settle: the page loaded, the helpers started
        sides = {"OBS + module + web view": with_view, "OBS alone": without}
        roots = {name: run.obs_pid() for name, run in sides.items()}
        start = {name: cpu_seconds(family(pid)) for name, pid in roots.items()}
        time.sleep(args.seconds)
        cpu = {name: (cpu_seconds(family(pid)) - start[name]) / args.seconds * 100 for name, pid in roots.items()}
        pss = {name: pss_kib(family(pid)) / 1024 for name, pid in roots.items()}
        helpers = len(family(roots["OBS + module + web view"])) - 1
    finally:
        with_view.stop()
        without.stop()
        cloud.stop()

    print("%-26s %12s %10s" % ("idle, side by side", "PSS (MiB)", "CPU (%)"))
    for name in sides:
        print("%-26s %12.1f %10.2f" % (name, pss[name], cpu[name]))
    alone, viewed = "OBS alone", "OBS + module + web view"
    print("%-26s %12s %10s" % ("difference", "%+.1f" % (pss[viewed] - pss[alone]), "%+.2f" % (cpu[viewed] - cpu[alone])))
    print("%-26s %12.2f %10s" % ("ratio", pss[viewed] / pss[alone], "%.2f" % (cpu[viewed] / cpu[alone]) if cpu[alone] else "-"))
    print("(helper processes below OBS with the web view: %d; window %.0f s)" % (helpers, args.seconds))


if __name__ == "__main__":
    main()
