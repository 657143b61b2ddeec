# SPDX-License-Identifier: GPL-2.0-or-later
"""The replay, without the module, of a fault the random days found in OBS 32.2.2 (seed 49125): OBS's stream
loses its server, a reconnect attempt fails, the streamer stops during the wait, changes the video size and
goes live again. OBS's own encoder was initialized by the failed attempt and refuses the new video ("Cannot
apply a new video_t object after the encoder has been initialized"), then "video_input_init: Bad scale
conversion type": the stream connects and sends nothing. Prints what reached the server and OBS's lines.
Run it as days.py runs (ORVANE_E2E_OBS, in a root through scripts/in-root.sh for OBS 32)."""
import os
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from nginx_rtmp import NginxRtmp, free_port  # noqa: E402
from obs_harness import ObsRun, wait_until  # noqa: E402
from obs_websocket import ObsWebSocket  # noqa: E402
from world import VIDEO_MODES, write_obs_home  # noqa: E402

server, obs = NginxRtmp(), ObsRun(install_module=False)
server.start()
websocket_port = free_port()
write_obs_home(obs.config_dir, server.rtmp_url, websocket_port)
obs.start()
wait_until(lambda: "Startup complete" in obs.log(), timeout=60, what="OBS to start")
websocket = ObsWebSocket(websocket_port, timeout=30)
websocket.request("StartStream")
server.wait_for_flowing(["obsmain"])
server.process.kill()
server.process.wait()
wait_until(lambda: re.search(r"Connection to \S+ failed", obs.log()), timeout=60, what="a failed reconnect")
websocket.request("StopStream")
for width, height, fps in VIDEO_MODES[1:]:
    settings = {"baseWidth": width, "baseHeight": height, "outputWidth": width, "outputHeight": height,
                "fpsNumerator": fps, "fpsDenominator": 1}
    wait_until(lambda: websocket.try_request("SetVideoSettings", settings), what="OBS to take the video size")
server.start()
websocket.request("StartStream")
time.sleep(15)
print("bytes at the server after 15 s:", server.bytes_in())
websocket.request("StopStream")
time.sleep(2)
print("\n".join(line for line in obs.log().splitlines()
                if re.search(r"Cannot apply|Bad scale|Total frames output|Connection to", line)))
websocket.close()
obs.stop()
server.stop()
