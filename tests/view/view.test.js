// kelmo view in a browser: the page against the real server and the
// simulated source (card 123, whose channel 0 is a 50 Hz cosine of
// amplitude 3000). Each test starts its own `kelmo view` and leaves a
// screenshot in <build>/view-artefacts.
'use strict';
const { test, after } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./harness');

after(() => h.closeBrowser());

const near = (a, b, tol, what) => assert.ok(Math.abs(a - b) <= tol, `${what}: ${a}, not within ${tol} of ${b}`);
const argmax = (row) => row.reduce((best, v, i) => (v > row[best] ? i : best), 0);

const running = () => document.getElementById('state').textContent === 'running';
const drawing = (n) => {
  const k = window.kelmoView;
  return k.lastScope && k.lastSpectrum && k.drawnFrames >= n;
};

// A test with a server of its own, its page, and its screenshot whatever
// happens.
function withView(name, shot, args, body, setup = async () => h.namespace()) {
  test(name, { timeout: 120000 }, async (t) => {
    const ns = await setup();
    const v = await h.startView(args, ns);
    let page = null;
    try {
      page = await h.openPage(v.url);
      await body(t, page, v);
      assert.deepEqual(page.kelmoErrors, [], 'the page threw');
    } finally {
      await h.screenshot(page, shot);
      if (page) await page.close();
      await h.stopView(v);
    }
  });
}

withView('the page runs and draws the 50 Hz cosine and its spectrum', 'running', ['-t', '123', '-r', '10k'], async (t, page) => {
  await h.until(page, 'the page shows running', running);
  await h.until(page, 'frames drawn', drawing, 30);
  await h.until(page, 'the dominant frequency told', () => window.kelmoView.state.dominant.length === 1);
  const scope = await h.scopeOf(page), spectrum = await h.spectrumOf(page);
  const state = await page.evaluate(() => window.kelmoView.state);
  assert.equal(scope.channels, 1);
  assert.equal(scope.rate, state.rate);
  // 0.1 s on the screen, one column per pixel of the plot at most.
  const plotWidth = await page.evaluate(() => document.querySelector('#scope-plots .u-over').clientWidth);
  assert.ok(scope.columns <= plotWidth, `${scope.columns} columns on a plot ${plotWidth} pixels wide`);
  near(scope.columns * scope.per, 0.1 * scope.rate, scope.per, 'samples on the screen');

  near(h.frequencyOf(scope, 0), 50, spectrum.binHz, 'the cosine\'s frequency');
  near(Math.max(...scope.max[0]), 3000, 30, 'its peak');
  near(Math.min(...scope.min[0]), -3000, 30, 'its trough');

  // The page's 1024 bins of 10 kHz.
  near(spectrum.binHz, 10000 / 2048, 1e-9, 'the bin width');
  assert.equal(spectrum.fft[0].length, 1024);
  near(argmax(spectrum.fft[0]) * spectrum.binHz, 50, spectrum.binHz, 'the FFT\'s peak');
  // (From the first bin on: the fit is of the samples less their mean, and
  // a few cycles in its window can leave a pole at 0 Hz.)
  near((1 + argmax(spectrum.mem[0].slice(1))) * spectrum.binHz, 50, 2 * spectrum.binHz, 'the maximum-entropy peak');
  near(state.dominant[0].hz, 50, spectrum.binHz, 'the dominant frequency');
  near(state.dominant[0].db, 20 * Math.log10(3000 / 5000), 1, 'its level');
  const row = await page.locator('#dominant tbody tr').first().innerText();
  assert.match(row, /ch0\s+(4\d|5\d)(\.\d+)? Hz\s+-4\.\d+ dB/);

  // The values under the mouse.
  const box = await page.locator('#scope-plots .u-over').boundingBox();
  await page.mouse.move(box.x + box.width / 2, box.y + box.height / 4);
  assert.match(await page.locator('#scope-readout').innerText(), /^5\d(\.\d+)? ms\s+cursor \d+(\.\d+)? units\s+ch0 -?\d/);

  // The server hears what the page drew.
  await h.until(page, 'latency and rates reported', () => {
    const s = window.kelmoView.state;
    return s.latencyMs > 0 && s.serverFps > 0;
  });
  await h.sleep(2000);
  const facts = await page.evaluate(() => ({
    ...window.kelmoView.state,
    pageFps: Number(document.getElementById('f-page-fps').textContent),
  }));
  t.diagnostic(`page ${facts.pageFps} fps, server ${facts.serverFps.toFixed(1)} fps, latency ` +
    `${facts.latencyMs.toFixed(1)} ms, dropped ${facts.dropped}`);
  assert.ok(facts.pageFps >= 5, `the page draws ${facts.pageFps} frames a second`);
  assert.ok(facts.latencyMs < 1000, `latency ${facts.latencyMs} ms`);

  // A narrower plot asks for fewer columns.
  await page.setViewportSize({ width: 700, height: 1000 });
  const narrow = await page.evaluate(() => new Promise((r) => setTimeout(() =>
    r(document.querySelector('#scope-plots .u-over').clientWidth), 400)));
  assert.ok(narrow < plotWidth);
  await h.until(page, 'frames as wide as the narrower plot', (w) => window.kelmoView.lastScope.columns <= w, narrow);
  await page.setViewportSize({ width: 1400, height: 1000 });
  await h.sleep(500);
});

withView('another rate and channels through the controls restart the acquisition cleanly', 'restarted',
  ['-t', '123', '-r', '10k'], async (t, page) => {
    await h.until(page, 'the page shows running', running);
    await h.until(page, 'frames drawn', drawing, 5);
    await page.selectOption('#cfg-rate', '20000');
    await page.check('#cfg-channels input[value="1"]');
    assert.equal(await page.locator('#cfg-hint').innerText(), 'not applied yet');
    await page.click('#cfg-apply');
    await h.until(page, 'running at 20 kHz on channels 0 and 1', () => {
      const s = window.kelmoView.state;
      return s.state === 'running' && s.config.rate === 20000 && s.config.channels.join() === '0,1';
    });
    await h.until(page, 'a second of the new run drawn', () => {
      const k = window.kelmoView;
      return k.lastScope.channels === 2 && k.lastScope.rate === k.state.rate && k.state.samples >= 20000
        && k.lastSpectrum.fft.length === 2;
    });
    const state = await page.evaluate(() => window.kelmoView.state);
    near(state.rate, 20000, 1, 'the actual rate');
    assert.equal(state.gaps, 0, 'gaps after the restart');
    assert.ok(state.blocks > 0);
    const scope = await h.scopeOf(page), spectrum = await h.spectrumOf(page);
    near(spectrum.binHz, 20000 / 2048, 1e-9, 'the new bin width');
    near(h.frequencyOf(scope, 0), 50, spectrum.binHz, 'channel 0 at the new rate');
    assert.ok(Math.max(...scope.max[1]) > Math.min(...scope.min[1]), 'channel 1 is drawn');
    // The form shows what runs, and nothing left to apply.
    assert.equal(await page.inputValue('#cfg-rate'), '20000');
    assert.deepEqual(await page.$$eval('#cfg-channels input:checked', (l) => l.map((i) => i.value)), ['0', '1']);
    assert.equal(await page.locator('#cfg-hint').innerText(), '');
    assert.ok(await page.locator('#alert').isHidden());
    // Stacked: a plot per channel; the trigger offers both channels.
    await page.selectOption('#layout', 'stacked');
    assert.equal(await page.locator('#scope-plots .uplot').count(), 2);
    assert.deepEqual(await page.$$eval('#trig-channel option', (l) => l.map((o) => o.value)), ['0', '1']);
    await h.sleep(300);
  });

withView('a rising-edge trigger puts the crossing at the pre-trigger position; single holds one capture', 'trigger',
  ['-t', '123', '-r', '10k'], async (t, page) => {
    await h.until(page, 'the page shows running', running);
    await page.selectOption('#trig-slope', 'rising');
    await page.fill('#trig-level', '1000');
    await page.press('#trig-level', 'Tab');
    await page.fill('#trig-pre', '0.25');
    await page.press('#trig-pre', 'Tab');
    // Three captures in a row, each with its crossing in place.
    let seq = -1;
    for (let i = 0; i < 3; i++) {
      await h.until(page, 'a triggered frame with its crossing at a quarter', (s) => {
        const f = window.kelmoView.lastScope;
        return f && f.seq !== s && f.triggered && Math.abs(f.trigger - f.first - 0.25 * 1000) <= f.per;
      }, seq);
      const f = await h.scopeOf(page);
      seq = f.seq;
      const at = (f.trigger - f.first) / f.rate;
      const crossings = h.risingCrossings(f, 0, 1000);
      const nearest = crossings.reduce((b, c) => (Math.abs(c - at) < Math.abs(b - at) ? c : b), Infinity);
      near(nearest, at, 1.5 * f.per / f.rate, 'channel 0 rises through 1000 at the trigger');
      const next = crossings.find((c) => c > at + 0.005);
      near(next - at, 0.02, 2 * f.per / f.rate, 'and again a period later');
    }
    await h.until(page, 'the server says it triggers', () => window.kelmoView.state.trigger === 'software');
    await h.sleep(1500);
    const rates = await page.evaluate(() => ({ ...window.kelmoView.state,
      pageFps: Number(document.getElementById('f-page-fps').textContent) }));
    t.diagnostic(`triggered: page ${rates.pageFps} fps, server ${rates.serverFps.toFixed(1)} fps, latency ` +
      `${rates.latencyMs.toFixed(1)} ms`);

    // Single: one capture, then the screen holds it.
    await page.click('#mode-single');
    await h.until(page, 'the single capture', (s) => window.kelmoView.lastScope.seq > s
      && document.getElementById('mode-stop').classList.contains('on'), seq);
    const held = await page.evaluate(() => window.kelmoView.lastScope.seq);
    await h.sleep(1000);
    assert.equal(await page.evaluate(() => window.kelmoView.lastScope.seq), held, 'the capture is held');
    await page.click('#mode-run');
    await h.until(page, 'running again', (s) => window.kelmoView.lastScope.seq > s, held);
  });

// genwave started here, so that the test kills only its own.
let genwave = null;
async function ownGenwave() {
  const ns = h.namespace();
  genwave = h.startGenwave(ns);
  const published = `${h.shmFolder()}/kelmo.${ns}.Vort123SigPara`;
  for (let i = 0; i < 100 && !fs.existsSync(published); i++) await h.sleep(50);
  return ns;
}

withView('the reason of a failure is on the page, and the page goes on when genwave comes back', 'recovered',
  ['-t', '123', '-r', '10k'], async (t, page, v) => {
    try {
      await h.until(page, 'the page shows running', running);
      await h.until(page, 'frames drawn', drawing, 5);
      for (const pid of h.pidsIn(v.ns, 'genwave')) process.kill(pid, 'SIGTERM');
      await h.exited(genwave, 5000);
      await h.until(page, 'the failure and its reason on the page', () => {
        const s = window.kelmoView.state, alert = document.getElementById('alert');
        return s.state === 'failed' && s.reason && !alert.hidden && alert.textContent.includes(s.reason);
      });
      assert.equal(await page.locator('#state').innerText(), 'FAILED');
      await h.screenshot(page, 'failed');
      const seq = await page.evaluate(() => window.kelmoView.lastScope.seq);
      genwave = h.startGenwave(v.ns);
      await h.until(page, 'running again, the alert gone', () =>
        window.kelmoView.state.state === 'running' && document.getElementById('alert').hidden, null, 20000);
      await h.until(page, 'new frames drawn', (s) => window.kelmoView.lastScope.seq > s + 5, seq);
      await h.sleep(1500);
    } finally {
      genwave.kill('SIGTERM');
    }
  }, ownGenwave);

withView('with --listen every request needs the token; --read-only pages cannot change the card', 'read-only',
  ['-t', '123', '-r', '10k', '--listen', '127.0.0.1', '--read-only'], async (t, page, v) => {
    const url = new URL(v.url);
    const base = `${url.protocol}//${url.host}`, token = url.searchParams.get('token');
    const upgrade = { Connection: 'Upgrade', Upgrade: 'websocket', 'Sec-WebSocket-Version': '13',
      'Sec-WebSocket-Key': crypto.randomBytes(16).toString('base64') };
    for (const [target, headers] of [['/', {}], ['/?token=', {}], [`/?token=${token}x`, {}], ['/app.js', {}],
      ['/uPlot.iife.min.js', {}], ['/ws', upgrade], [`/ws?token=${token.slice(1)}`, upgrade]]) {
      assert.equal((await h.request(base + target, headers)).status, 403, `${target} without the token`);
    }
    assert.equal((await h.request(`${base}/ws?token=${token}`, upgrade)).status, 101);
    // The files served are the page's as it is now.
    for (const f of ['index.html', 'app.js', 'style.css']) {
      const r = await h.request(`${base}/${f === 'index.html' ? '' : f}?token=${token}`);
      assert.equal(r.status, 200);
      assert.equal(r.body, fs.readFileSync(path.join(__dirname, '../../tools/kelmo/view/web', f), 'utf8'), f);
    }
    await h.until(page, 'the page shows running', running);
    await h.until(page, 'frames drawn', drawing, 5);
    assert.ok(await page.locator('#read-only').isVisible());
    for (const id of ['#cfg-card', '#cfg-rate', '#cfg-gain', '#cfg-apply', '#cfg-channels input >> nth=0']) {
      assert.ok(await page.locator(id).isDisabled(), `${id} is disabled`);
    }
  });

withView('the time/div offered ends at what the server keeps; what it finds amiss is on the page', 'notice',
  ['-t', '123', '-r', '1M', '-c', '32'], async (t, page) => {
    await h.until(page, 'the page shows running', running);
    await h.until(page, 'what is kept told', () => window.kelmoView.state.kept > 0);
    // 32 channels at 1 MHz: the ring holds about 2 s, so 0.2 s/div at most.
    const kept = await page.evaluate(() => window.kelmoView.state.kept);
    const perDiv = (await page.$$eval('#time-div option', (l) => l.map((o) => Number(o.value)))).sort((a, b) => a - b);
    const most = perDiv[perDiv.length - 1];
    assert.ok(most * 10 <= kept && most * 10 * 2.5 > kept, `${most} s/div offered, ${kept} s kept`);
    // A level the signal never reaches: the page says the trigger waits.
    await page.selectOption('#trig-slope', 'rising');
    await page.fill('#trig-level', '4000');
    await page.press('#trig-level', 'Tab');
    await h.until(page, 'the notice that the trigger waits', () => {
      const n = document.getElementById('notice');
      return !n.hidden && n.textContent.includes('waiting for the trigger');
    });
    assert.ok(await page.locator('#alert').isHidden());
  });
