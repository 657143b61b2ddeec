// SPDX-License-Identifier: GPL-2.0-or-later
// A streamer's whole routine through the reference dock page only, in Debian's Chromium at the dock's
// size: sign in, fix what the checks show, set a destination and a relay, go live, watch the figures, stop.
// Prints what it saw as JSON; screenshots of each step go to ARTIFACTS.
// Usage: node go_live_routine.mjs DOCK_URL RTMP_URL STAT_URL ARTIFACTS
import { chromium } from "playwright-core";

const [dockUrl, rtmpUrl, statUrl, artifacts] = process.argv.slice(2);
const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync"],
});

const streams = async () => {
  const xml = await (await fetch(statUrl)).text();
  return [...xml.matchAll(/<stream>\s*<name>([^<]*)<\/name>/g)].map((match) => match[1]);
};
const until = async (condition, timeoutMs, what) => {
  const deadline = Date.now() + timeoutMs;
  while (Date.now() < deadline) {
    if (await condition()) return;
    await new Promise((resolve) => setTimeout(resolve, 250));
  }
  throw new Error("timed out waiting for " + what);
};

try {
  const context = await browser.newContext({ viewport: { width: 360, height: 720 } });
  const dock = await context.newPage();
  const result = { steps: [] };
  const step = async (name) => {
    await dock.screenshot({ path: `${artifacts}/go-live-${result.steps.length + 1}-${name}.png`, fullPage: true });
    result.steps.push(name);
  };
  const text = (selector) => dock.textContent(selector);
  const checks = () => dock.$$eval("#checks li", (items) => items.map((item) => [item.className, item.textContent]));

  await dock.goto(dockUrl);
  await dock.waitForSelector("body[data-ready='1']", { timeout: 15000 });
  result.checksBefore = await checks();
  await step("opened");

  // Sign in: one link, shown while pending, confirmed in another tab.
  const confirm = await context.newPage();
  const [started] = await Promise.all([
    dock.waitForResponse((response) => response.url().includes("/cloud/api/auth/app-link/start")),
    dock.click("#sign-in"),
  ]);
  const { confirmUrl } = await started.json();
  await dock.waitForTimeout(2500); // past a refresh: the pending state must stay
  result.pending = { who: await text("#who"), link: await dock.getAttribute("#confirm-link", "href"),
                     linkShown: await dock.isVisible("#confirm-link"), signInDisabled: await dock.isDisabled("#sign-in") };
  await step("pending");
  await confirm.goto(confirmUrl);
  await confirm.click("#confirm");
  await dock.waitForFunction(() => document.getElementById("who").textContent.startsWith("Signed in as"), null,
                             { timeout: 20000 });
  result.who = await text("#who");
  await step("signed-in");

  // Going live with no destination is explained.
  await dock.click("#go-live");
  result.noDestination = await text("#problem");
  await step("no-destination");

  // Fix what the checks show: destination (checked before sending), encoder, relay. Keyboard only for one.
  await dock.click("summary >> text=Destination");
  await dock.fill("#dest-server", "not a url");
  await dock.fill("#dest-key", "obsmain");
  await dock.click("#destination button");
  result.badDestination = await text("#destination .answer");
  await dock.fill("#dest-server", rtmpUrl);
  await dock.fill("#dest-key", "obsmain");
  await dock.focus("#dest-key");
  await dock.keyboard.press("Enter");
  await dock.waitForFunction(() => document.querySelector("#destination .answer").textContent === "Destination saved.");
  await dock.waitForFunction(() => document.getElementById("current-destination").textContent.includes("••••main"));
  result.destination = await text("#current-destination");
  await dock.click("summary >> text=Encoder");
  await dock.fill("#enc-bitrate", "2500");
  await dock.fill("#enc-keyint", "2");
  await dock.click("#encoder button");
  await dock.waitForFunction(() => document.querySelector("#encoder .answer").textContent !== "");
  result.encoder = await text("#encoder .answer");
  await dock.click("summary >> text=Relay to Orvane");
  await dock.check("#relay-enabled");
  await dock.fill("#relay-server", rtmpUrl);
  await dock.fill("#relay-key", "relaykey");
  await dock.fill("#relay-bitrate", "1500");
  await dock.click("#relay button");
  await dock.waitForFunction(() => document.querySelector("#relay .answer").textContent === "Relay on.");
  await dock.waitForTimeout(1200);
  result.checksAfter = await checks();
  await step("fixed");

  // Live: both streams reach the server, the figures move.
  await dock.click("#go-live");
  await dock.waitForFunction(() => /^Live · [1-9]/.test(document.getElementById("stream").textContent), null,
                             { timeout: 30000 });
  await until(async () => (await streams()).includes("obsmain") && (await streams()).includes("relaykey"), 30000,
              "both streams at the server");
  result.liveStreams = await streams();
  result.live = await text("#stream");
  result.figures = await text("#figures");
  result.relayStatus = await text("#relay-status");
  result.relayFigures = await text("#relay-figures");
  await step("live");
  result.pageText = await dock.textContent("body");

  await dock.click("#end-stream");
  await dock.waitForFunction(() => document.getElementById("stream").textContent === "Offline", null, { timeout: 30000 });
  await until(async () => (await streams()).length === 0, 30000, "both streams to end");
  result.after = await text("#stream");
  await step("stopped");
  console.log(JSON.stringify(result));
} finally {
  await browser.close();
}
