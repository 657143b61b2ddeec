#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Ordinary sessions, each ended by one Ctrl+C, many times over, with every core kept busy beside OBS: an exit
crash that shows once in a hundred sessions shows here, with its core and its stack.

Each session: signed in, OBS streams into nginx (Simple output), the relay sends on its own x264, the streamer
signs out, then one SIGINT to OBS. A session whose OBS does not exit with status 0, or leaves a core, keeps its
OBS home (the core in it) and prints the stack of every thread (gdb); the others' homes are removed.

Usage: ORVANE_BUILD_DIR=build/qt5 bench/exits.py SESSIONS [--quiet-machine]
--quiet-machine: without stress-ng beside OBS (the control for what the load brings out)."""
import argparse
import glob
import json
import os
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))
from local_cloud import LocalCloud  # noqa: E402
from nginx_rtmp import NginxRtmp  # noqa: E402
from obs_harness import OBS_PROGRAM, Bridge, ObsRun, wait_until  # noqa: E402
from soak import write_profile  # noqa: E402


def stacks(core):
    program = shutil.which(OBS_PROGRAM) or OBS_PROGRAM
    return subprocess.run(["gdb", "-batch", "-ex", "thread apply all bt 25", program, core],
                          capture_output=True, text=True, timeout=300).stdout


def session(cloud, nginx):
    """One session; returns (exit status, core path or None, OBS home)."""
    obs = ObsRun(env={"ORVANE_CLOUD_URL": cloud.url})
    write_profile(obs, nginx.rtmp_url)
    with open(obs.plugin_config("account.json"), "w") as account:
        json.dump({"token": "signed-in-token"}, account)
    status = None
    try:
        obs.start("--startstreaming")
        bridge = Bridge(obs.dock_port())
        obs.wait_for_log(r"\[orvane\] Orvane output: sending with")
        nginx.wait_for_flowing(["obsmain", "relaykey"], timeout=60)
        bridge.call("POST", "signout")
        wait_until(lambda: not bridge.state()["signedIn"], what="signed out")
        os.kill(obs.obs_pid(), signal.SIGINT)
        status = obs.process.wait(timeout=60)
    finally:
        if status is None:
            obs.stop()
    cores = glob.glob(os.path.join(obs.home, "core*"))
    return status, cores[0] if cores else None, obs.home


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("sessions", type=int)
    parser.add_argument("--quiet-machine", action="store_true")
    args = parser.parse_args()
    load = None if args.quiet_machine else subprocess.Popen(
        ["stress-ng", "--cpu", str(os.cpu_count()), "--cpu-method", "matrixprod", "--quiet"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    cloud, nginx = LocalCloud(), NginxRtmp()
    nginx.start()
    failed = []
    try:
        for index in range(args.sessions):
            started = time.monotonic()
            try:
                status, core, home = session(cloud, nginx)
            except AssertionError as error:  # a session that never got going is reported, not counted as an exit
                print("session %d: did not get going: %s" % (index + 1, str(error).splitlines()[0]), flush=True)
                continue
            clean = status == 0 and not core
            print("session %d: exit status %s%s (%.0f s)" % (index + 1, status, ", core " + core if core else "",
                                                             time.monotonic() - started), flush=True)
            if clean:
                shutil.rmtree(home, ignore_errors=True)
                continue
            failed.append((index + 1, status, home))
            if core:
                print(stacks(core), flush=True)
    finally:
        if load:
            load.terminate()
            load.wait()
        nginx.stop()
        cloud.stop()
    print("\n%d sessions, %d not clean%s" % (args.sessions, len(failed), "".join(
        "\n  session %d: status %s, home %s" % entry for entry in failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
