# SPDX-License-Identifier: GPL-2.0-or-later
"""A small obs-websocket 5 client: OBS's own view, as an independent witness, and a remote control as Stream Deck
or a script drives OBS (with a password when the server wants one, subscribed to events when asked)."""
import base64
import hashlib
import json
import os
import socket
import struct
import time

VENDOR_EVENTS = 1 << 9  # obs-websocket's EventSubscription::Vendors


class NotReady(Exception):
    pass


class ObsWebSocket:
    def __init__(self, port, timeout=10, password=None, events=0):
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.25)
        self.timeout = timeout
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n"
                           "Sec-WebSocket-Protocol: obswebsocket.json\r\n\r\n" % (port, key)).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            head += self.sock.recv(1)
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise AssertionError("obs-websocket refused the upgrade: %r" % head)
        hello = self._receive()
        assert hello["op"] == 0, hello
        identify = {"rpcVersion": 1, "eventSubscriptions": events}
        challenge = hello["d"].get("authentication")
        if challenge:
            secret = base64.b64encode(hashlib.sha256((password + challenge["salt"]).encode()).digest())
            identify["authentication"] = base64.b64encode(
                hashlib.sha256(secret + challenge["challenge"].encode()).digest()).decode()
        self._send({"op": 1, "d": identify})
        identified = self._receive()
        assert identified["op"] == 2, identified
        self._next_id = 0
        self.events = []  # (vendor, type, data) of vendor events, in order

    def request(self, request_type, data=None):
        """OBS 30 and later answer "not ready" (207) while they switch collections or profiles: asked again."""
        for _ in range(50):
            try:
                return self._request_once(request_type, data)
            except NotReady:
                time.sleep(0.2)
        return self._request_once(request_type, data)

    def try_request(self, request_type, data=None):
        """Whether OBS did what was asked (its refusal is not an error here)."""
        try:
            self.request(request_type, data)
            return True
        except AssertionError:
            return False

    def _request_once(self, request_type, data=None):
        self._next_id += 1
        request_id = str(self._next_id)
        self._send({"op": 6, "d": {"requestType": request_type, "requestId": request_id, "requestData": data or {}}})
        while True:
            message = self._receive()
            self._keep_event(message)
            if message["op"] == 7 and message["d"]["requestId"] == request_id:
                status = message["d"]["requestStatus"]
                if status.get("code") == 207:
                    raise NotReady()
                if not status["result"]:
                    raise AssertionError("%s failed: %s" % (request_type, status))
                return message["d"].get("responseData", {})

    def batch(self, requests, execution_type=0):
        """One RequestBatch (execution type 1: SerialFrame, run on OBS's graphics thread); (status, data) of each."""
        self._next_id += 1
        request_id = str(self._next_id)
        self._send({"op": 8, "d": {"requestId": request_id, "executionType": execution_type,
                                   "requests": [{"requestType": kind, "requestData": data} for kind, data in requests]}})
        while True:
            message = self._receive()
            self._keep_event(message)
            if message["op"] == 9 and message["d"]["requestId"] == request_id:
                return [(result["requestStatus"], result.get("responseData", {})) for result in message["d"]["results"]]

    def vendor_request(self, request_type, data=None, vendor="orvane"):
        call = {"vendorName": vendor, "requestType": request_type}
        if data:  # obs-websocket 5.1 refuses an empty one
            call["requestData"] = data
        answer = self.request("CallVendorRequest", call)
        return answer["responseData"]

    def wait_for_vendor_event(self, event_type, condition, timeout=30):
        """The first vendor event of that type, kept or still to come, whose data meets the condition."""
        found = self.keep_events_for(timeout, lambda: next(
            (data for _, kind, data in self.events if kind == event_type and condition(data)), None))
        if found is None:
            raise AssertionError("no %s event as wanted within %ss; seen: %s" % (event_type, timeout, self.events))
        return found

    def keep_events_for(self, seconds, found=lambda: None):
        """Takes in the events that come within that time, or until found() gives something, and returns that."""
        deadline = time.monotonic() + seconds
        while (result := found()) is None and (remaining := deadline - time.monotonic()) > 0:
            self.sock.settimeout(remaining)
            try:
                self._keep_event(self._receive())
            except socket.timeout:
                pass
            finally:
                self.sock.settimeout(self.timeout)
        return result

    def _keep_event(self, message):
        if message["op"] == 5 and message["d"]["eventType"] == "VendorEvent":
            event = message["d"]["eventData"]
            self.events.append((event["vendorName"], event["eventType"], event["eventData"]))

    def close(self):
        self.sock.close()

    def _send(self, message):
        payload = json.dumps(message).encode()
        mask = os.urandom(4)
        header = bytes([0x81])
        if len(payload) < 126:
            header += bytes([0x80 | len(payload)])
        elif len(payload) < 65536:
            header += bytes([0x80 | 126]) + struct.pack("!H", len(payload))
        else:
            header += bytes([0x80 | 127]) + struct.pack("!Q", len(payload))
        masked = bytes(byte ^ mask[i % 4] for i, byte in enumerate(payload))
        self.sock.sendall(header + mask + masked)

    def _read(self, count):
        data = b""
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                raise AssertionError("obs-websocket closed the connection")
            data += chunk
        return data

    def _receive(self):
        while True:
            first, second = self._read(2)
            length = second & 0x7F
            if length == 126:
                length = struct.unpack("!H", self._read(2))[0]
            elif length == 127:
                length = struct.unpack("!Q", self._read(8))[0]
            payload = self._read(length)
            if first & 0x0F == 0x1:
                return json.loads(payload)


def enable_obs_websocket(config_dir, port, password=None):
    """obs-websocket 5.1 keeps its settings in OBS's global.ini (later ones take them from there): enabled on
    port, with the password if given, no first run."""
    with open(os.path.join(config_dir, "global.ini"), "a") as global_ini:
        global_ini.write("\n[OBSWebSocket]\nFirstLoad=false\nServerEnabled=true\nServerPort=%d\n"
                         "AlertsEnabled=false\nAuthRequired=%s\n" % (port, "true" if password else "false"))
        if password:
            global_ini.write("ServerPassword=%s\n" % password)
