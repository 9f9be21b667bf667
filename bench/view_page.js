// kelmo view's page in headless chromium at 8 x 100 kHz from zebsim (card
// type 638): the page's and the server's frame rates, the latency and the
// gaps after 9 s, and a screenshot in KELMO_BUILD_DIR/view-artefacts.
//
//   KELMO_CLI=build/bench/tools/kelmo KELMO_BUILD_DIR=build/bench node bench/view_page.js [CHANNELS]
//
// The figures are for reading, never for asserting.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const h = require('../tests/view/harness.js');

(async () => {
  const channels = process.argv[2] || '8';
  const dir = fs.mkdtempSync('/tmp/kelmo-view-page-');
  const zebsim = spawn(path.join(process.env.KELMO_BUILD_DIR, 'zebsim'), ['--dir', dir, '--realtime'], { stdio: 'ignore' });
  await new Promise((r) => setTimeout(r, 500));
  process.env.KELMO_DEVICE_DIR = dir;
  const view = await h.startView(['-t', '638', '-r', '100k', '-c', channels]);
  try {
    const page = await h.openPage(view.url);
    await new Promise((r) => setTimeout(r, 3000));
    const early = await page.evaluate(() => window.kelmoView.state);
    await new Promise((r) => setTimeout(r, 6000));
    const st = await page.evaluate(() => window.kelmoView.state);
    console.log(`kelmo view, ${channels} x ${st.rate.toFixed(0)} Hz: page ${st.pageFps.toFixed(1)} fps, server ` +
                `${st.serverFps.toFixed(1)} fps, latency ${st.latencyMs.toFixed(1)} ms, ${st.dropped} dropped, ` +
                `gaps ${early.gaps} in the first 3 s and ${st.gaps - early.gaps} after`);
    await h.screenshot(page, `view-page-${channels}ch`);
  } finally {
    await h.closeBrowser();
    await h.stopView(view);
    zebsim.kill();
    fs.rmSync(dir, { recursive: true, force: true });
  }
})().catch((e) => {
  console.error(e);
  process.exit(1);
});
