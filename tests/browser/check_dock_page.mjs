// SPDX-License-Identifier: GPL-2.0-or-later
// Opens the dock page served by the module in Debian's Chromium, as the dock's browser would, signs in
// through the cloud's link flow and prints what the page saw as JSON. Usage: node check_dock_page.mjs DOCK_URL CLOUD_URL
import { chromium } from "playwright-core";

const [dockUrl, cloudUrl, screenshot] = process.argv.slice(2);
const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync"],
});

const callFromPage = (page, path) =>
  page.evaluate(async (target) => {
    const answer = await fetch(target, { headers: { "x-ov-bridge": window.__OV.bridge } });
    return { status: answer.status, json: await answer.json() };
  }, path);

try {
  const context = await browser.newContext();
  const dock = await context.newPage();
  const received = [];
  dock.on("response", async (response) => {
    try {
      received.push({ url: response.url(), headers: await response.allHeaders(), body: await response.text() });
    } catch (gone) {
      // A body that went away with a navigation has nothing to check.
    }
  });

  const result = {};
  await dock.goto(dockUrl);
  await dock.waitForSelector("body[data-ready='1']", { timeout: 15000 });
  result.config = await dock.evaluate(() => window.__OV);
  result.stateBefore = await callFromPage(dock, "/bridge/state");
  result.meBefore = await callFromPage(dock, "/cloud/api/me");

  // A page of another origin (the cloud's own) must not get at the bridge, even with the key.
  const elsewhere = await context.newPage();
  await elsewhere.goto(cloudUrl + "/link?code=none");
  result.crossOrigin = await elsewhere.evaluate(async ({ url, key }) => {
    try {
      const answer = await fetch(url, { headers: { "x-ov-bridge": key } });
      return "answered " + answer.status;
    } catch (refused) {
      return "refused";
    }
  }, { url: dockUrl + "bridge/state", key: result.config.bridge });

  // Sign in: the dock starts the link, the user confirms it in a browser tab, the dock notices.
  const [started] = await Promise.all([
    dock.waitForResponse((response) => response.url().includes("/cloud/api/auth/app-link/start")),
    dock.click("#sign-in"),
  ]);
  const { confirmUrl } = await started.json();
  await elsewhere.goto(confirmUrl);
  await elsewhere.click("#confirm");
  await dock.waitForFunction(() => document.getElementById("who").textContent.startsWith("Signed in as"),
                             null, { timeout: 20000 });
  result.who = await dock.textContent("#who");
  result.me = await callFromPage(dock, "/cloud/api/me");
  result.stateAfter = await callFromPage(dock, "/bridge/state");
  if (screenshot) await dock.screenshot({ path: screenshot });
  await dock.waitForTimeout(500);
  result.received = received;
  console.log(JSON.stringify(result));
} finally {
  await browser.close();
}
