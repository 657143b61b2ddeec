// The development dock page: shows OBS's state and runs go-live and sign-in through the module.
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

let knownUser = null;

async function refresh() {
  const { status, json } = await bridge("GET", "state");
  if (status !== 200) return showProblem(json.error || "OBS didn't answer.");
  const obs = json.obs;
  $("obs").textContent = "OBS " + obs.obsVersion + " · Orvane " + json.version;
  $("stream").textContent = obs.streaming ? "Live · " + obs.kbps + " kbps" : obs.starting ? "Starting…" : "Offline";
  $("sign-in").hidden = json.signedIn;
  $("sign-out").hidden = !json.signedIn;
  if (json.signedIn && !knownUser) {
    const me = await cloud("GET", "/api/me");
    if (me.status === 200) knownUser = me.json.user;
  }
  if (!json.signedIn) knownUser = null;
  $("who").textContent = knownUser ? "Signed in as " + knownUser.name : json.signedIn ? "Signed in" : "Not signed in";
  document.body.dataset.ready = "1";
}

async function signIn() {
  showProblem("");
  const start = await cloud("POST", "/api/auth/app-link/start");
  if (start.status !== 200) return showProblem(start.json.error || "Couldn't start signing in.");
  await bridge("POST", "open", { url: start.json.confirmUrl });
  $("who").textContent = "Confirm in your browser…";
  for (let attempt = 0; attempt < 300; attempt++) {
    const poll = await cloud("POST", "/api/auth/app-link/poll?code=" + encodeURIComponent(start.json.code));
    if (poll.status === 200 && poll.json.linked) return refresh();
    if (poll.status !== 202) return showProblem(poll.json.error || "Signing in failed.");
    await new Promise((resolve) => setTimeout(resolve, 1000));
  }
  showProblem("Signing in timed out.");
}

$("go-live").onclick = () => bridge("POST", "start").then(refresh);
$("end-stream").onclick = () => bridge("POST", "stop").then(refresh);
$("sign-in").onclick = signIn;
$("sign-out").onclick = () => cloud("POST", "/api/auth/logout").then(refresh);

// Tells the cloud what shows the page (a browser, a dock's web view) and at what size.
cloud("POST", "/api/dock/hello", { userAgent: navigator.userAgent, width: innerWidth, height: innerHeight }).catch(
  () => {}
);
refresh().catch((failure) => showProblem(String(failure)));
setInterval(() => refresh().catch(() => {}), 2000);
