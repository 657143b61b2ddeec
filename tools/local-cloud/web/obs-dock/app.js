// SPDX-License-Identifier: GPL-2.0-or-later
// The reference dock page: the whole go-live routine through the module's bridge. Plain script, no build.
"use strict";

const config = window.__OV || {};
const $ = (id) => document.getElementById(id);

async function call(method, path, body) {
  const headers = { "x-ov-bridge": config.bridge };
  if (body !== undefined) headers["Content-Type"] = "application/json";
  const answer = await fetch(path, { method, headers, body: body === undefined ? undefined : JSON.stringify(body) });
  let json = {};
  try {
    json = await answer.json();
  } catch (notJson) {
    json = {};
  }
  return { status: answer.status, json };
}

const bridge = (method, action, body) => call(method, "/bridge/" + action, body);
const cloud = (method, path, body) => call(method, "/cloud" + path, body);

function showProblem(text) {
  $("problem").textContent = text || "";
}

// Only the last four characters of a key ever show.
const masked = (key) => (key ? "••••" + key.slice(-4) : "none");

let state = null;
let knownUser = null;
let signingIn = false;
let startClickedAt = 0;

// --- checks -------------------------------------------------------------------------------------------
// The keyframe interval OBS really streams with (0: the encoder decides, x264 every 250 frames), and the one
// thing that gives 2 s.
function keyframeFix(encoder) {
  const now = encoder.keyintSec > 0 ? "Keyframe every " + encoder.keyintSec + " s" : "Keyframes every 250 frames (OBS decides)";
  if (encoder.mode === "simple")
    return now + ": set Output Mode to Advanced in OBS's Settings > Output, then save 2 s here (Encoder).";
  return now + ": set the keyframe interval to 2 s (Encoder).";
}

function checks(json) {
  const obs = json.obs;
  const list = [];
  const add = (ok, good, fix) => list.push({ ok, text: ok ? good : fix });
  add(Boolean(obs.obsVersion), "OBS " + obs.obsVersion, "OBS didn't say its version.");
  const service = obs.service || {};
  add(Boolean((service.server || service.url) && service.key), "Destination set", "Set where to stream (Destination).");
  const encoder = obs.encoder || {};
  add(encoder.codec === "h264", "H.264 encoder", "Use an H.264 encoder in OBS's settings.");
  add(encoder.rateControl === "CBR", "Constant bitrate", "Use CBR rate control in OBS's settings.");
  add(encoder.keyintSec === 2, "Keyframe every 2 s", keyframeFix(encoder));
  add(encoder.bitrate >= 500 && encoder.bitrate <= 50000, "Bitrate " + encoder.bitrate + " kbit/s",
      "Set a bitrate between 500 and 50000 kbit/s (Encoder).");
  const video = obs.video || {};
  add(video.width > 0 && video.fps >= 24, "Video " + video.width + "×" + video.height + " at " + Math.round(video.fps) + " fps",
      "Set an output resolution and at least 24 fps in OBS's video settings.");
  if (json.relay.enabled) add(!json.relay.error, "Relay ready", "Relay: " + json.relay.error);
  return list;
}

function renderChecks(json) {
  const list = $("checks");
  list.replaceChildren(...checks(json).map(({ ok, text }) => {
    const item = document.createElement("li");
    item.className = ok ? "ok" : "fix";
    item.textContent = text;
    return item;
  }));
}

// --- live figures -------------------------------------------------------------------------------------
function duration(ms) {
  const seconds = Math.max(0, Math.floor(ms / 1000));
  const pad = (n) => String(n).padStart(2, "0");
  return Math.floor(seconds / 3600) + ":" + pad(Math.floor(seconds / 60) % 60) + ":" + pad(seconds % 60);
}

function renderStream(json) {
  const obs = json.obs;
  $("stream").textContent = obs.streaming ? "Live · " + obs.kbps + " kbps" : obs.starting ? "Starting…" : "Offline";
  $("figures").textContent = obs.streaming
    ? duration(Date.now() - obs.startedAt) + " · dropped " + (obs.dropped || 0) + " of " + (obs.frames || 0) +
      " frames · congestion " + Math.round((obs.congestion || 0) * 100) + " %" + (obs.reconnecting ? " · reconnecting" : "")
    : "";
  const relay = json.relay;
  $("relay-status").textContent = !relay.enabled ? "Relay off"
    : relay.sending ? "Relay sending with " + relay.encoder + " · " + relay.kbps + " kbps"
    : relay.steppedAside ? "Relay paused: it waits for room beside OBS's stream"
    : relay.stalled ? "Relay stalled: nothing has reached its server for a few seconds"
    : relay.reconnecting ? "Relay reconnecting…"
    : relay.connecting ? "Relay connecting…"
    : relay.error ? "Relay: " + relay.error : "Relay ready";
  $("relay-figures").textContent = relay.sending || relay.stalled
    ? "dropped " + relay.dropped + " of " + relay.frames + " frames · congestion " +
      Math.round(relay.congestion * 100) + " %"
    : "";
  // One plain line when the relay gives way to OBS's own stream.
  $("relay-uplink").textContent = relay.steppedAside
    ? "Your upload is too slow for both streams: the relay is paused and starts again when there is room"
    : relay.yielding ? "Your upload is too slow for both streams: the relay sends " + relay.sendingBitrate + " kbit/s" : "";
  // A start that failed: OBS's own code and text, from the state.
  const stop = obs.lastStop || {};
  if (startClickedAt && !obs.streaming && !obs.starting && stop.at >= startClickedAt && stop.code !== 0) {
    showProblem("The stream didn't start: " + (stop.error || "OBS stopped it (code " + stop.code + ")."));
    startClickedAt = 0;
  }
  if (obs.streaming) startClickedAt = 0;
}

function renderDestination(json) {
  const service = json.obs.service || {};
  $("current-destination").textContent = "Now: " + (service.server || service.url || "none") + " · key " + masked(service.key);
}

async function refresh() {
  const { status, json } = await bridge("GET", "state");
  if (status !== 200) return showProblem(json.error || "OBS didn't answer.");
  state = json;
  $("obs").textContent = "OBS " + json.obs.obsVersion + " · Orvane " + json.version;
  renderChecks(json);
  renderStream(json);
  renderDestination(json);
  $("sign-in").hidden = json.signedIn;
  $("sign-out").hidden = !json.signedIn;
  if (json.signedIn && !knownUser) {
    const me = await cloud("GET", "/api/me");
    if (me.status === 200) knownUser = me.json.user;
  }
  if (!json.signedIn) knownUser = null;
  // A sign-in in progress owns the account line until it ends.
  if (!signingIn) {
    $("who").textContent = knownUser ? "Signed in as " + knownUser.name : json.signedIn ? "Signed in" : "Not signed in";
    $("link-row").hidden = true;
  }
  document.body.dataset.ready = "1";
}

// --- sign-in ------------------------------------------------------------------------------------------
async function signIn() {
  if (signingIn) return;
  signingIn = true;
  $("sign-in").disabled = true;
  showProblem("");
  try {
    const start = await cloud("POST", "/api/auth/app-link/start");
    if (start.status !== 200) return showProblem(start.json.error || "Couldn't start signing in.");
    $("confirm-link").href = start.json.confirmUrl;
    $("link-row").hidden = false;
    $("who").textContent = "Confirm in your browser…";
    const opened = await bridge("POST", "open", { url: start.json.confirmUrl });
    if (opened.status !== 200) $("who").textContent = "Open the confirmation page below to sign in.";
    for (let attempt = 0; attempt < 300; attempt++) {
      const poll = await cloud("POST", "/api/auth/app-link/poll?code=" + encodeURIComponent(start.json.code));
      if (poll.status === 200 && poll.json.linked) {
        knownUser = poll.json.user || null;
        return;
      }
      if (poll.status !== 202) return showProblem(poll.json.error || "Signing in failed.");
      await new Promise((resolve) => setTimeout(resolve, 1000));
    }
    showProblem("Signing in timed out.");
  } finally {
    signingIn = false;
    $("sign-in").disabled = false;
    await refresh().catch(() => {});
  }
}

// --- forms --------------------------------------------------------------------------------------------
function answer(form, result, good) {
  form.querySelector(".answer").textContent = result.status === 200 ? good : result.json.error || "Refused.";
}

const isRtmpUrl = (text) => /^rtmps?:\/\/[^\s\/]+/.test(text);

$("destination").onsubmit = async (event) => {
  event.preventDefault();
  const form = event.target;
  const server = $("dest-server").value.trim();
  const key = $("dest-key").value.trim();
  if (!isRtmpUrl(server) || !key) {
    form.querySelector(".answer").textContent = "Enter an rtmp:// or rtmps:// server and a stream key.";
    return;
  }
  answer(form, await bridge("POST", "service", { server, key }), "Destination saved.");
  $("dest-key").value = "";
  await refresh();
};

$("encoder").onsubmit = async (event) => {
  event.preventDefault();
  const bitrate = Number($("enc-bitrate").value);
  // Simple output mode has no keyframe setting: only the bitrate is sent there.
  const keyintSec = state && state.obs.encoder && state.obs.encoder.mode === "simple" ? 0 : Number($("enc-keyint").value);
  answer(event.target, await bridge("POST", "encoder", { bitrate, keyintSec }), "Encoder settings saved.");
  await refresh();
};

$("relay").onsubmit = async (event) => {
  event.preventDefault();
  const body = {
    enabled: $("relay-enabled").checked,
    server: $("relay-server").value.trim(),
    key: $("relay-key").value.trim(),
    bitrate: Number($("relay-bitrate").value),
  };
  if (body.enabled && (!isRtmpUrl(body.server) || !body.key)) {
    event.target.querySelector(".answer").textContent = "Enter an rtmp:// or rtmps:// server and a stream key.";
    return;
  }
  const result = await bridge("POST", "relay", body);
  answer(event.target, result, body.enabled ? "Relay on." : "Relay off.");
  $("relay-key").value = "";
  await refresh();
};

// --- go live ------------------------------------------------------------------------------------------
$("go-live").onclick = async () => {
  showProblem("");
  const service = (state && state.obs.service) || {};
  if (!((service.server || service.url) && service.key)) {
    showProblem("Set where to stream first (Destination): OBS has no server or stream key.");
    return;
  }
  startClickedAt = Date.now();
  await bridge("POST", "start");
  await refresh();
};
$("end-stream").onclick = () => bridge("POST", "stop").then(refresh);
$("sign-in").onclick = signIn;
$("sign-out").onclick = () => cloud("POST", "/api/auth/logout").then(refresh);

// Tells the cloud what shows the page (a browser, a dock's web view) and at what size.
// Says what shows the page and at what size: at load, and again once a resize has settled (a dock may still
// be laid out when the page loads).
const sayHello = () =>
  cloud("POST", "/api/dock/hello", { userAgent: navigator.userAgent, width: innerWidth, height: innerHeight }).catch(
    () => {}
  );
let helloTimer = 0;
addEventListener("resize", () => {
  clearTimeout(helloTimer);
  helloTimer = setTimeout(sayHello, 300);
});
sayHello();
refresh().catch((failure) => showProblem(String(failure)));
setInterval(() => refresh().catch(() => {}), 1000);
