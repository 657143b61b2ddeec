#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Random streamer days against the real OBS with the module: a seeded sequence of what streamers do, each
action followed by checks against ground truth (obs-websocket, nginx, the files on disk), every close of OBS
timed and the next start watched for an unclean-shutdown report.

  days.py [--days N] [--actions N] [--seed N] [--without-module] [--close-while-streaming yes|no|auto]
  days.py --controls

A failing day prints its seed, its actions, the end of OBS's log and a backtrace of every thread (from the
core, or from the hung process), then is replayed without the module: only a replay that shows the same
fault (the same kind, at the same action, and for a crash in the same function) makes it OBS's own; any
other is the module's and fails the run. --seed N replays day N. The days run in a network namespace of
their own, with network weather among the actions (a shared uplink that comes and goes, holes on either
path, a server that goes silent), and OBS runs without --multi, so its unclean-shutdown check is on:
--controls kills OBS mid-action (SIGSEGV: the day must report a crash with its function) and mid-session
(SIGKILL, SIGSEGV: the next start must report it).
ORVANE_BUILD_DIR names the module's build; ORVANE_E2E_OBS the OBS to run.
"""
import argparse
import datetime
import http.client
import json
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
import traceback

from world import COLLECTIONS, PROFILES, RELAY_BITRATE, VIDEO_MODES, FaultyCloud, World, free_port, write_obs_home

from network_weather import enter_own_network, hole, shared_uplink  # noqa: E402 (world puts tests/e2e on the path)
from obs_harness import (ObsRun, SilentServer, closes_cleanly_while_streaming, has_obs_plugin,  # noqa: E402
                         obs_version, raw_exchange)
from obs_websocket import ObsWebSocket  # noqa: E402

BRIDGE_ANSWER_LIMIT_S = 0.5
CLOSE_LIMIT_S = 2.0
CRASH_GRACE_S = 15  # a crashed OBS writes its core before it ends
RELAY_WINDOW_S = 25  # the relay retries every 5 s; a connection and its first bytes come within this
SANITIZER_REPORT = re.compile(r"ERROR: AddressSanitizer|: runtime error: ")  # only the module is instrumented
UNCLEAN = re.compile(r"Unclean shutdown detected|Crash or unclean shutdown detected")

# (action, weight); the bridge's actions are the module's, left out of a day replayed without it.
ACTIONS = [("start_stream", 6), ("stop_stream", 4), ("main_server_blip", 1), ("relay_on", 3), ("relay_off", 2),
           ("relay_server", 2), ("relay_bitrate", 1), ("relay_server_down", 1), ("relay_server_up", 1),
           ("video", 2), ("profile", 2), ("collection", 1), ("cloud", 2), ("sign_in", 2), ("sign_out", 1),
           ("reload", 2), ("tabs", 1), ("close", 2), ("uplink_squeeze", 1), ("hole", 1), ("relay_server_silent", 1)]
BRIDGE_ACTIONS = {"relay_on", "relay_off", "relay_server", "relay_bitrate", "sign_in", "sign_out", "reload", "tabs"}
WEATHER_ACTIONS = {"uplink_squeeze", "hole", "relay_server_silent"}
weather = None  # why there is no network weather here; None once the days have a network of their own


class Fault(Exception):
    """A broken invariant, a crash or a hang: kind says which, for telling OBS's faults from the module's."""

    def __init__(self, kind, text, function=None):
        """function: for a crash, the function the crashed thread was in (from the core)."""
        super().__init__("%s: %s" % (kind, text))
        self.kind = kind
        self.function = function
        self.action = None  # how many actions the day had done


class Model:
    """What the day has made of OBS, as the driver knows it from its own actions alone (so a seed replays
    exactly): the actions drawn never depend on timing."""

    def __init__(self):
        self.streaming = False
        self.relay = {"enabled": False, "server": "good", "bitrate": RELAY_BITRATE}
        self.relay_server_up = True
        # The server the relay runs to: settings changed while it runs take effect at its next start, and
        # while an attempt to an unanswering server waits for its time-out, when that is cannot be told.
        self.relay_target = None
        # A relay that sends keeps its server through a change of settings: checked once, right after it (any
        # later action may restart it, and a restart takes the new server).
        self.relay_target_kept = False
        self.video = VIDEO_MODES[0]
        self.profile = "Untitled"
        self.collection = "Untitled"
        self.signed_in = False
        self.tabs = 0
        self.relay_stored = False  # the module holds the relay's server and key: a hotkey can turn it on


class Day:
    def __init__(self, world, seed, actions, with_module, close_while_streaming, log, script=None):
        """script: the actions and arguments another run of the day drew, to do again in that order."""
        self.world, self.seed, self.with_module = world, seed, with_module
        self.random = random.Random(seed)
        self.count = actions if script is None else len(script)
        self.script = script
        self.drawn = []  # (action, argument), as drawn
        self.close_while_streaming = close_while_streaming
        self.log = log
        self.model = Model()
        self.done = []  # the actions so far
        self.websocket_port = free_port()
        self.obs = ObsRun(env={"ORVANE_CLOUD_URL": world.cloud.url}, install_module=with_module)
        write_obs_home(self.obs.config_dir, world.main.rtmp_url, self.websocket_port)
        self.websocket = None
        self.port = None
        self.key = None
        self.pollers = []
        self.poll_faults = []
        self.closed = False  # OBS ended because the day closed it: its close's own checks judge that end

    # --- OBS's life ------------------------------------------------------------------------------------
    def start_obs(self):
        self.obs.start()
        self.closed = False
        self.wait_for_start()
        self.websocket = ObsWebSocket(self.websocket_port, timeout=30)
        if self.with_module:
            page = raw_exchange(self.port, b"GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % self.port)
            self.key = json.loads(re.search(rb"window\.__OV=(\{.*?\})</script>", page).group(1))["bridge"]

    def wait_for_start(self):
        """Until the module's port shows (or, without it, obs-websocket answers); an unclean-shutdown report
        fails at once: OBS then waits on its Safe Mode question."""
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            log = self.obs.log()
            if UNCLEAN.search(log):
                raise Fault("unclean", "the start after a close reported an unclean shutdown")
            if self.obs.process.poll() is not None:
                raise Fault("crash", "OBS ended while starting (status %s)" % self.obs.process.returncode)
            found = re.search(r"\[orvane\] Orvane dock on 127\.0\.0\.1:(\d+), ", log)
            if found and self.with_module:
                self.port = int(found.group(1))
                return
            if not self.with_module and "Startup complete" in log:
                return
            time.sleep(0.2)
        raise Fault("hang", "OBS did not finish starting in 60 s")

    def close_obs(self, how):
        """Closes OBS as a streamer does (its window) or a terminal user (SIGINT): exit status 0 within 2 s."""
        self.stop_tabs()
        if self.websocket:
            self.websocket.close()
            self.websocket = None
        pid = self.obs.obs_pid()
        self.closed = True
        asked, asked_at = time.monotonic(), wall_clock()
        if how == "window" and pid and self.obs._ask_window_to_close(pid):
            pass
        elif pid:
            os.kill(pid, signal.SIGINT)
        try:
            status = self.obs.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            backtrace = gdb_backtrace(["-p", str(pid)]) if pid else ""
            os.killpg(self.obs.process.pid, signal.SIGKILL)
            self.obs.process.wait()
            raise Fault("hang", "OBS did not exit within 30 s of its close by %s\n%s" % (how, backtrace))
        finally:
            self.obs._log_file.close()
        took, ended_at = time.monotonic() - asked, wall_clock()
        self.model.streaming = False
        report = SANITIZER_REPORT.search(self.obs.log())
        if report:
            raise Fault("sanitizer", "\n".join(self.obs.log()[report.start():].splitlines()[:40]))
        if status != 0:
            raise self.crash("when closed by " + how)
        if took > CLOSE_LIMIT_S:
            raise Fault("slow exit", "OBS took %.1f s to exit when closed by %s (asked at %s, ended at %s); its log's "
                        "last lines before the profiler's, with their times:\n%s"
                        % (took, how, asked_at, ended_at, self.timed_log_before_profiler()))

    def timed_log_before_profiler(self, count=30):
        """Where a slow exit spent its time: OBS's own log file carries times, its output does not."""
        logs = os.path.join(self.obs.config_dir, "logs")
        newest = max((os.path.join(logs, name) for name in os.listdir(logs)), key=os.path.getmtime, default=None)
        if not newest:
            return "(no log file)"
        with open(newest, encoding="utf-8", errors="replace") as log:
            lines = log.read().split("== Profiler Results")[0].splitlines()
        return "\n".join(lines[-count:])

    def crash(self, when):
        """OBS has ended: its exit status and, from its core, where it crashed."""
        crashed, every_thread = self.core_backtrace()
        return Fault("crash", "OBS exited with status %s %s\ncrashed thread:\n%s\nevery thread:\n%s"
                     % (self.obs.process.returncode, when, crashed, every_thread), function=crashed_function(crashed))

    def core_backtrace(self):
        """The crashed thread's backtrace and every thread's, from the core OBS left in its home."""
        cores = [name for name in os.listdir(self.obs.home) if name.startswith("core")]
        if not cores:
            return "", "(no core)"
        program = subprocess.run(["sh", "-c", "command -v " + os.environ.get("ORVANE_E2E_OBS", "obs")],
                                 capture_output=True, text=True).stdout.strip()
        core = os.path.join(self.obs.home, cores[0])
        crashed = gdb_backtrace([program, core], "bt")
        os.rename(core, core + ".seen")  # the next close of the day has its own
        return crashed, gdb_backtrace([program, core + ".seen"])

    # --- the page's side ---------------------------------------------------------------------------------
    def call(self, method, path, body=None):
        """One request the way the dock page makes it; its time and its bytes are checked."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        headers = {"x-ov-bridge": self.key, "Host": "127.0.0.1:%d" % self.port}
        payload = None if body is None else json.dumps(body).encode()
        if payload is not None:
            headers["Content-Type"] = "application/json"
        began = time.monotonic()
        connection.request(method, path, body=payload, headers=headers)
        answer = connection.getresponse()
        raw = answer.read()
        took = time.monotonic() - began
        connection.close()
        self.check_no_token(raw)
        if path.startswith("/bridge/") and took > BRIDGE_ANSWER_LIMIT_S:
            raise Fault("slow answer", "%s %s took %.2f s" % (method, path, took))
        try:
            return answer.status, json.loads(raw or b"{}")
        except ValueError:
            return answer.status, {}

    def state(self):
        status, state = self.call("GET", "/bridge/state")
        if status != 200:
            raise Fault("state", "the state answered %d" % status)
        return state

    def token(self):
        try:
            with open(self.obs.plugin_config("account.json")) as account:
                return json.load(account).get("token", "")
        except (OSError, ValueError):
            return ""

    def check_no_token(self, raw):
        token = self.token()
        if token and token.encode() in raw:
            raise Fault("token", "a page answer carried the sign-in token")

    def start_tabs(self, count):
        self.stop_tabs()
        stop = threading.Event()

        def poll():
            while not stop.wait(0.3):
                try:
                    self.state()
                except Fault as fault:
                    self.poll_faults.append(fault)
                except OSError as error:  # the tabs stop before OBS's planned close
                    self.poll_faults.append(Fault("poll", "a tab's state request failed: %r" % error))
        self.pollers = [(stop, threading.Thread(target=poll, daemon=True)) for _ in range(count)]
        for _, thread in self.pollers:
            thread.start()

    def stop_tabs(self, report=True):
        for stop, thread in self.pollers:
            stop.set()
            thread.join()
        self.pollers = []
        if self.poll_faults and report:
            raise self.poll_faults.pop(0)

    # --- the actions ---------------------------------------------------------------------------------------
    def allowed(self, action):
        model = self.model
        if not self.with_module and action in BRIDGE_ACTIONS:
            return True  # done as nothing
        if action in WEATHER_ACTIONS and (weather or not model.streaming):
            return False
        return {"start_stream": not model.streaming, "stop_stream": model.streaming,
                "main_server_blip": model.streaming, "relay_on": not model.relay["enabled"],
                "relay_off": model.relay["enabled"], "relay_server_down": model.relay_server_up,
                "relay_server_up": not model.relay_server_up, "video": not model.streaming,
                "profile": not model.streaming, "collection": not model.streaming,
                "close": model.streaming is False or self.close_while_streaming,
                "sign_in": not model.signed_in, "sign_out": model.signed_in}.get(action, True)

    def draw(self):
        names = [name for name, _ in ACTIONS]
        weights = [weight for _, weight in ACTIONS]
        while True:
            action = self.random.choices(names, weights)[0]
            argument = self.random.random()
            if self.allowed(action):
                return action, argument

    def pick(self, choices, argument):
        return choices[int(argument * len(choices)) % len(choices)]

    def run_action(self, action, argument):
        try:
            self.act(action, argument)
        except AssertionError as refused:  # obs-websocket refused a request, or nginx did not start
            raise Fault("refused", str(refused))

    def gone_between_actions(self, grace=0):
        """OBS that ended without being closed has crashed: examined as a crash, not as the driver's error.
        grace: after an error talking to OBS, how long to wait for its end (its core written, xvfb-run's shell
        outlives it by a moment)."""
        if not self.obs.process or self.closed:
            return None
        try:
            self.obs.process.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            return None
        try:
            self.obs._log_file.close()
        except OSError:
            pass
        return self.crash("during the day")

    def act(self, action, argument):
        model, world = self.model, self.world
        if model.relay_target_kept:
            model.relay_target, model.relay_target_kept = None, False
        if not self.with_module and action in BRIDGE_ACTIONS:
            return
        if action == "start_stream":
            self.websocket.request("StartStream")
            model.streaming = True
            model.relay_target = model.relay["server"]
        elif action == "stop_stream":
            self.websocket.request("StopStream")
            model.streaming = False
        elif action == "main_server_blip":
            world.main.process.kill()
            world.main.process.wait()
            time.sleep(1 + 2 * argument)
            world.main.start()
            # OBS reconnects, or gives up when its retry came while the server was still away: what it did
            # is what the day goes on with (so a day with a blip may not replay exactly).
            time.sleep(5)
            model.streaming = self.websocket.request("GetStreamStatus")["outputActive"]
        elif action in ("relay_on", "relay_off", "relay_server", "relay_bitrate"):
            if action == "relay_server":
                model.relay["server"] = self.pick(sorted(world.relay_targets.urls), argument)
            elif action == "relay_bitrate":
                model.relay["bitrate"] = self.pick((RELAY_BITRATE, 800, 1200), argument)
            else:
                model.relay["enabled"] = action == "relay_on"
            # On OBS's encoders and at its bitrate, no move back from its own encoder is pending either.
            sending = (model.streaming and model.relay_target == "good" and model.relay_server_up and
                       self.relay_steady())
            if action == "relay_on":
                model.relay_target = model.relay["server"]
            elif action == "relay_server" and sending and model.relay["enabled"]:
                model.relay_target_kept = True
            elif action == "relay_server" or model.relay_target != "good" or not model.relay_server_up:
                # The new server is taken at the relay's next start, and its own restarts are starts too.
                model.relay_target = None
            self.set_relay(action, int(argument * 1000) % 3)
        elif action == "relay_server_down":
            world.relay.process.kill()
            world.relay.process.wait()
            model.relay_server_up = False
        elif action == "relay_server_up":
            world.relay.start()
            model.relay_server_up = True
        elif action == "video":
            model.video = self.pick([mode for mode in VIDEO_MODES if mode != model.video], argument)
            width, height, fps = model.video
            self.settle_outputs()
            self.websocket.request("SetVideoSettings", {
                "baseWidth": width, "baseHeight": height, "outputWidth": width, "outputHeight": height,
                "fpsNumerator": fps, "fpsDenominator": 1})
        elif action == "profile":
            model.profile = "Advanced" if model.profile == "Untitled" else "Untitled"
            self.settle_outputs()
            self.websocket.request("SetCurrentProfile", {"profileName": model.profile})
            model.video = self.read_video()
        elif action == "collection":
            model.collection = COLLECTIONS[1 - COLLECTIONS.index(model.collection)]
            self.websocket.request("SetCurrentSceneCollection", {"sceneCollectionName": model.collection})
        elif action == "cloud":
            world.cloud.set_mode(self.pick(FaultyCloud.MODES, argument))
        elif action == "sign_in":
            self.sign_in()
        elif action == "sign_out":
            if argument < 0.5:
                self.call("POST", "/bridge/signout", {})
            else:
                self.call("POST", "/cloud/api/auth/logout", {})
            model.signed_in = False
        elif action == "reload":
            for name in ("/", "/app.js", "/style.css"):
                self.call("GET", name)
        elif action == "tabs":
            model.tabs = int(argument * 4)
            self.start_tabs(model.tabs)
        elif action == "uplink_squeeze":
            # One uplink for both streams at 1.5 times OBS's stream, for a few seconds.
            ports = [world.main.rtmp_port, world.relay.rtmp_port]
            shared_uplink(ports, int(RELAY_BITRATE * 1.5) + 160)
            time.sleep(4 + 10 * argument)
            shared_uplink(ports, None)
        elif action == "hole":
            # Packets to one server vanish; as public ingests drop dead sessions, it starts anew as the hole ends.
            server = world.main if argument < 0.5 else world.relay
            mend = hole(server.rtmp_port)
            time.sleep(2 + 16 * (argument % 0.5))
            mend()
            if server.process.poll() is None:
                server.restart()
        elif action == "relay_server_silent" and model.relay_server_up:
            # The relay's server goes silent mid-stream: its port accepts and never answers.
            world.relay.process.kill()
            world.relay.process.wait()
            silent = SilentServer(port=world.relay.rtmp_port)
            time.sleep(3 + 10 * argument)
            silent.close()
            world.relay.start()
        elif action == "close":
            self.close_obs("window" if argument < 0.5 else "sigint")
            self.start_obs()
            if model.tabs:
                self.start_tabs(model.tabs)
            model.video = self.read_video()

    def relay_steady(self):
        relay = self.state().get("relay", {})
        return relay.get("sending") and not relay.get("yielding") and relay.get("encoder") == "OBS's stream encoder"

    def set_relay(self, action, route):
        """As the page does (the bridge), as a Stream Deck does (obs-websocket's vendor "orvane"), or, for on
        and off once the module holds a server and key, by OBS's hotkeys."""
        model = self.model
        if route == 2 and action in ("relay_on", "relay_off") and model.relay_stored:
            self.websocket.request("TriggerHotkeyByName", {"hotkeyName": "orvane." + action.replace("_", ".")})
            return
        fields = {"enabled": model.relay["enabled"], "server": self.world.relay_targets.urls[model.relay["server"]],
                  "key": "relaykey", "bitrate": model.relay["bitrate"]}
        model.relay_stored = True
        if route == 0:
            status, answer = self.call("POST", "/bridge/relay", fields)
            if status != 200:
                raise Fault("bridge", "the relay action answered %d %s" % (status, answer))
            return
        began = time.monotonic()
        answer = self.websocket.request("CallVendorRequest", {"vendorName": "orvane", "requestType": "SetRelay",
                                                              "requestData": fields})["responseData"]
        took = time.monotonic() - began
        self.check_no_token(json.dumps(answer).encode())
        if took > BRIDGE_ANSWER_LIMIT_S or answer.get("enabled") != (fields["enabled"] and bool(fields["server"])):
            raise Fault("vendor", "SetRelay took %.2f s and answered %s" % (took, answer))

    def sign_in(self):
        """The page's link flow through the module; the link is confirmed at the cloud, as by the streamer."""
        status, link = self.call("POST", "/cloud/api/auth/app-link/start", {})
        if status != 200 or "code" not in link:
            return  # the cloud is failing: the page says so
        self.world.cloud.confirm(link["code"])
        status, polled = self.call("POST", "/cloud/api/auth/app-link/poll?code=" + link["code"], {})
        if status == 200:
            if polled.get("linked") is not True or "token" in polled:
                raise Fault("sign-in", "the poll's answer was %s" % polled)
            self.model.signed_in = True

    def read_video(self):
        video = self.websocket.request("GetVideoSettings")
        return (video["outputWidth"], video["outputHeight"], round(video["fpsNumerator"] / video["fpsDenominator"]))

    def settle_outputs(self):
        """OBS refuses video and profile changes while an output runs: the relay must be gone once OBS stopped."""
        if self.with_module:
            wait_for(lambda: "relaykey" not in self.world.relay.bytes_in() if self.model.relay_server_up else True,
                     15, "the relay to end with OBS's stream")

    # --- the checks ----------------------------------------------------------------------------------------
    def check(self):
        stream = wait_for(lambda: self.websocket.request("GetStreamStatus")["outputActive"] == self.model.streaming
                          and self.websocket.request("GetStreamStatus"), 20, "OBS's stream to follow the day",
                          kind="obs")
        if self.model.streaming and not stream["outputReconnecting"]:
            try:
                self.world.main.wait_for_flowing(["obsmain"], timeout=30)
            except AssertionError as failure:
                raise Fault("obs", "OBS's stream did not reach its server: %s" % failure)
        if not self.with_module:
            return
        wait_for(self.state_mismatch_gone, 10, "the bridge's state to agree with obs-websocket", kind="state")
        model = self.model
        relay_expected = (model.streaming and model.relay["enabled"] and model.relay_target == "good" and
                          model.relay_server_up)
        if model.streaming and model.relay["enabled"] and model.relay_target is None:
            pass  # which server the relay runs to is not known yet
        elif relay_expected:
            try:
                self.world.relay.wait_for_flowing(["relaykey"], timeout=RELAY_WINDOW_S)
            except AssertionError as failure:
                raise Fault("relay", "the relay did not reach its server: %s; relay state %s"
                            % (failure, self.state().get("relay")))
        elif self.model.relay_server_up:
            wait_for(lambda: not flowing(self.world.relay, "relaykey"), RELAY_WINDOW_S,
                     "the relay to stay away from its server", kind="relay")

    def state_mismatch_gone(self):
        state = self.state()["obs"]
        stream = self.websocket.request("GetStreamStatus")
        video = self.websocket.request("GetVideoSettings")
        service = self.websocket.request("GetStreamServiceSettings")["streamServiceSettings"]
        mode = self.websocket.request("GetProfileParameter", {"parameterCategory": "Output",
                                                              "parameterName": "Mode"})["parameterValue"]
        seen = (state["streaming"], state["video"]["width"], state["video"]["height"], state["video"]["fps"],
                state["service"]["server"], state["encoder"]["mode"])
        truth = (stream["outputActive"], video["outputWidth"], video["outputHeight"],
                 video["fpsNumerator"] / video["fpsDenominator"], service.get("server"),
                 "advanced" if (mode or "").lower() == "advanced" else "simple")
        self.last_mismatch = (seen, truth)
        return seen == truth

    # --- the day ---------------------------------------------------------------------------------------------
    def run(self):
        self.world.cloud.set_mode("answer")
        self.start_obs()
        for index in range(self.count):
            # A replay takes its day's own draws: without the module the model, and so the draws, would differ.
            action, argument = self.script[index] if self.script else self.draw()
            self.drawn.append((action, argument))
            self.done.append(action)
            began = time.monotonic()
            try:
                self.run_action(action, argument)
                self.check()
            except Exception:
                raise self.gone_between_actions(grace=CRASH_GRACE_S) or sys.exc_info()[1]
            gone = self.gone_between_actions()
            if gone:
                raise gone
            self.log("  %-18s %5.1f s  streaming=%s relay=%s/%s%s cloud=%s" % (
                action, time.monotonic() - began, self.model.streaming, self.model.relay["enabled"],
                self.model.relay["server"], "" if self.model.relay_server_up else "(down)", self.world.cloud.mode))
        if self.model.streaming and not self.close_while_streaming:
            self.done.append("stop_stream")
            self.run_action("stop_stream", 0)
            self.check()
        self.done.append("close")
        self.close_obs("window")


def flowing(nginx, name):
    before = nginx.bytes_in().get(name)
    time.sleep(1.5)
    after = nginx.bytes_in().get(name)
    return before is not None and after is not None and after > before


def wait_for(condition, timeout, what, kind="invariant"):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Fault(kind, "timed out waiting for " + what)
        time.sleep(0.3)


def wall_clock():
    """Now, as OBS's log file writes its times."""
    return datetime.datetime.now().strftime("%H:%M:%S.%f")[:-3]


def crashed_function(crashed):
    """The function the crashed thread was in: its innermost frame that names one."""
    found = re.search(r"^#\d+\s+(?:0x[0-9a-f]+ in )?([^\s(]+)", crashed or "", re.M)
    return found.group(1) if found else None


def same_fault(first, second):
    """A replay shows the same fault: the same kind, at the same action, and a crash in the same function."""
    return (second is not None and second.kind == first.kind and second.action == first.action and
            (first.kind != "crash" or (first.function is not None and second.function == first.function)))


def gdb_backtrace(target, command="thread apply all bt"):
    return subprocess.run(["gdb", "-batch", "-nx", "-ex", "set pagination off", "-ex", command, *target],
                          capture_output=True, text=True, timeout=120).stdout[-12000:]


def run_day(world, seed, args, with_module=True, script=None, prepare=lambda day: None):
    day = Day(world, seed, args.actions, with_module, args.close_while_streaming == "yes",
              (lambda line: print(line, flush=True)) if args.verbose else (lambda line: None), script)
    prepare(day)
    failed = None
    try:
        day.run()
    except Fault as fault:
        failed = fault
    except Exception as error:  # a driver that breaks is a fault of the run too
        failed = day.gone_between_actions(grace=CRASH_GRACE_S) or Fault(
            "driver", "".join(traceback.format_exception(error)))
    if failed:
        failed.action = len(day.done)  # what OBS and the module said when it went wrong, before OBS is closed
        lines = day.obs.log().splitlines()
        # Every slow step of the module's, however far back, then the end of the log.
        failed.log_tail = "\n".join([line for line in lines[:-40] if re.search(r"\[orvane\] .* took \d+ ms", line)] +
                                    lines[-40:])
        try:
            if day.with_module and day.key and day.obs.process.poll() is None:
                failed.log_tail += "\nthe bridge's relay then: %s" % day.state().get("relay")
        except (Fault, OSError):
            pass
        pid = day.obs.obs_pid() if day.obs.process and day.obs.process.poll() is None else None
        if pid and failed.kind not in ("hang", "crash"):  # those carry their own
            failed.log_tail += "\nevery thread of OBS then:\n" + gdb_backtrace(["-p", str(pid)])
    day.stop_tabs(report=False)
    if day.websocket:
        day.websocket.close()
    day.obs.stop(timeout=20)
    for server in (world.main, world.relay):
        if server.process.poll() is not None:
            server.start()
    world.cloud.set_mode("answer")
    return day, failed


def unclean_shutdown_sentinel(config_dir):
    """What OBS writes at its start and removes at a clean exit: "safe_mode" (30), ".sentinel/run_*" (31 and
    later)."""
    return os.path.exists(os.path.join(config_dir, "safe_mode")) or bool(
        [name for name in os.listdir(os.path.join(config_dir, ".sentinel")) if name.startswith("run_")]
        if os.path.isdir(os.path.join(config_dir, ".sentinel")) else [])


def killed_mid_action(world):
    """OBS killed by SIGSEGV as an action begins: the day must report a crash with the function it crashed in,
    never the driver's error from talking to a dying OBS. Returns what went wrong, or None."""
    def kill_at_first_action(day):
        act = day.act

        def act_as_obs_dies(action, argument):
            if day.obs.process.poll() is None:
                os.kill(day.obs.obs_pid(), signal.SIGSEGV)
            act(action, argument)
        day.act = act_as_obs_dies

    args = argparse.Namespace(actions=2, close_while_streaming="no", verbose=False)
    _, fault = run_day(world, 0, args, prepare=kill_at_first_action)
    if fault and fault.kind == "crash" and fault.function:
        return None
    return "reported as %s" % (str(fault)[:2000] if fault else "a clean day")


def unclean_shutdown_controls(world):
    """OBS killed mid-session by SIGKILL, then by SIGSEGV: the next start in the same HOME must report the
    unclean shutdown, and the driver must see it rather than wait on OBS's Safe Mode question. Returns
    {control: what went wrong or None}, or why they cannot run here."""
    if obs_version() < (30, 0, 0):
        return "OBS %d.%d.%d has no unclean-shutdown check" % obs_version()
    results = {}
    for kill in (signal.SIGKILL, signal.SIGSEGV):
        day = Day(world, 0, 0, True, False, lambda line: None)
        try:
            day.obs.start()
            day.wait_for_start()
            if not unclean_shutdown_sentinel(day.obs.config_dir):
                return ("this OBS leaves no unclean-shutdown sentinel: its check is built out (OBS keeps it for "
                        "builds with NDEBUG defined)")
            os.kill(day.obs.obs_pid(), kill)
            day.obs.process.wait(timeout=30)
            day.obs._log_file.close()
            day.obs.start()
            day.wait_for_start()
            results["%s, the next start" % kill.name] = "the start after it reported nothing"
        except Fault as fault:
            results["%s, the next start" % kill.name] = None if fault.kind == "unclean" else str(fault)
        finally:
            if day.obs.process and day.obs.process.poll() is None:
                os.killpg(day.obs.process.pid, signal.SIGKILL)  # it waits on its Safe Mode question
                day.obs.process.wait()
    return results


def run_controls():
    """The positive controls: faults the days must see, made on purpose."""
    world = World()
    results, skipped = {}, 0
    try:
        if has_obs_plugin("obs-websocket"):  # the days drive OBS through it
            results["SIGSEGV mid-action"] = killed_mid_action(world)
        else:
            print("the mid-action control skipped: this OBS has no obs-websocket, and no days run in it")
            skipped += 1
        unclean = unclean_shutdown_controls(world)
    finally:
        world.close()
    if isinstance(unclean, str):
        print("unclean-shutdown controls skipped: %s" % unclean)
        skipped += 2
    else:
        results.update(unclean)
    for control, wrong in results.items():
        print("control %s: %s" % (control, wrong or "seen"))
    failed = sum(1 for wrong in results.values() if wrong)
    print("%d passed, %d failed, %d skipped" % (len(results) - failed, failed, skipped))
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=3)
    parser.add_argument("--actions", type=int, default=20)
    parser.add_argument("--seed", type=int, help="run only this day (its seed), as the failing run printed it")
    parser.add_argument("--first-seed", type=int, default=int(time.time()) % 100000)
    parser.add_argument("--without-module", action="store_true", help="the same days in OBS without the module")
    parser.add_argument("--close-while-streaming", choices=("yes", "no", "auto"), default="auto",
                        help="auto: only in OBS that closes cleanly while it streams (OBS 30.2.3 breaks its heap "
                             "then, with or without the module, in about one close in three)")
    parser.add_argument("--verbose", action="store_true", help="a line for every action")
    parser.add_argument("--controls", action="store_true",
                        help="only the positive controls: OBS killed mid-action and mid-session")
    args = parser.parse_args()

    global weather
    weather = enter_own_network()
    if weather:
        print("no network weather: %s" % weather, flush=True)
    if args.controls:
        return run_controls()
    if args.close_while_streaming == "auto":
        args.close_while_streaming = "yes" if closes_cleanly_while_streaming() else "no"
    seeds = [args.seed] if args.seed is not None else [args.first_seed + day for day in range(args.days)]
    print("OBS %d.%d.%d; seeds %s" % (obs_version() + (seeds,)), flush=True)
    world = World()
    ours, obs_own, actions = [], [], 0
    try:
        for seed in seeds:
            began = time.monotonic()
            day, fault = run_day(world, seed, args, with_module=not args.without_module)
            actions += len(day.done)
            if fault is None:
                print("day %d: %d actions, clean, %.0f s: %s" % (seed, len(day.done), time.monotonic() - began,
                                                                  " ".join(day.done)), flush=True)
                continue
            print("day %d FAILED after %d actions: %s\nactions: %s\nOBS's log, last 40 lines:\n%s" % (
                seed, len(day.done), fault, " ".join(day.done), fault.log_tail), flush=True)
            if args.without_module:
                obs_own.append((seed, fault))
                continue
            _, again = run_day(world, seed, args, with_module=False, script=day.drawn)
            reproduced = same_fault(fault, again)
            print("day %d replayed without the module: %s" % (
                seed, "the same %s at action %d: OBS's own fault" % (fault.kind, fault.action) if reproduced
                else "not the same fault (%s): the module's" % (again or "none")), flush=True)
            (obs_own if reproduced else ours).append((seed, fault))
    finally:
        world.close()
    print("%d days, %d actions: %d faults of the module, %d of OBS itself (%s)" % (
        len(seeds), actions, len(ours), len(obs_own), ", ".join("day %d %s" % (seed, fault.kind) for seed, fault in obs_own)))
    print("%d passed, %d failed" % (len(seeds) - len(ours), len(ours)))
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main())
