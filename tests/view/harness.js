// What the browser tests of kelmo view share: the server started as a user
// starts it (each run with shared memories of its own), Debian's chromium
// driven by playwright-core, and the page's state read back from
// window.kelmoView.
'use strict';
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const { chromium } = require('../../tools/kelmo/view/node_modules/playwright-core');

const KELMO = process.env.KELMO_CLI;
const BUILD = process.env.KELMO_BUILD_DIR;
const CHROMIUM = process.env.KELMO_CHROMIUM || '/usr/bin/chromium';
if (!KELMO || !BUILD) throw new Error('KELMO_CLI and KELMO_BUILD_DIR name the kelmo program and the build folder');
const ARTEFACTS = path.join(BUILD, 'view-artefacts');
fs.mkdirSync(ARTEFACTS, { recursive: true });

let runs = 0;
const namespace = () => `vw${process.pid}n${++runs}`;
const envFor = (ns) => ({ ...process.env, KELMO_SHM_NAMESPACE: ns, PATH: `${BUILD}:${process.env.PATH}` });

// The folder where the library keeps its shared memories as files, by its
// rule (src/platform/posix/shm_place.h): the user's runtime folder when it
// is a folder of the user's that nobody else may write, else /dev/shm.
function shmFolder() {
  const dir = (process.env.XDG_RUNTIME_DIR || '').replace(/(.)\/+$/, '$1');
  if (!dir.startsWith('/')) return '/dev/shm';
  try {
    const st = fs.lstatSync(dir);
    if (st.isDirectory() && st.uid === process.geteuid() && (st.mode & 0o022) === 0) return dir;
  } catch {
    // not there
  }
  return '/dev/shm';
}

// The processes of this user named `name` whose environment holds the
// namespace `ns` (a genwave the library started for a run is one).
function pidsIn(ns, name) {
  const out = [];
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      if (fs.readFileSync(`/proc/${entry}/comm`, 'utf8').trim() !== name) continue;
      const env = fs.readFileSync(`/proc/${entry}/environ`, 'latin1').split('\0');
      if (env.includes(`KELMO_SHM_NAMESPACE=${ns}`)) out.push(Number(entry));
    } catch {
      // gone meanwhile, or not ours to read
    }
  }
  return out;
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function exited(child, ms) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve(true);
  return new Promise((resolve) => {
    const t = setTimeout(() => resolve(false), ms);
    child.once('exit', () => {
      clearTimeout(t);
      resolve(true);
    });
  });
}

// genwave in the namespace `ns`, started by the test itself.
function startGenwave(ns) {
  const child = spawn(path.join(BUILD, 'genwave'), ['--quiet'], { env: envFor(ns), stdio: 'ignore' });
  return child;
}

// `kelmo view ARGS` until it prints its URL.
async function startView(args, ns = namespace()) {
  const child = spawn(KELMO, ['view', ...args], { env: envFor(ns), stdio: ['ignore', 'pipe', 'pipe'] });
  let stdout = '', stderr = '';
  child.stderr.on('data', (d) => (stderr += d));
  const url = await new Promise((resolve, reject) => {
    const t = setTimeout(() => reject(new Error(`kelmo view printed no URL in 20 s; stderr: ${stderr}`)), 20000);
    child.stdout.on('data', (d) => {
      stdout += d;
      const m = /kelmo view: (http:\/\/\S+)/.exec(stdout);
      if (m) {
        clearTimeout(t);
        resolve(m[1]);
      }
    });
    child.once('exit', (code) => {
      clearTimeout(t);
      reject(new Error(`kelmo view exited (${code}) before it printed a URL; stderr: ${stderr}`));
    });
  });
  return { child, ns, url, stderr: () => stderr };
}

// Ends the run and whatever it left in its namespace: genwave, shared memories.
async function stopView(v) {
  if (!v) return;
  v.child.kill('SIGTERM');
  if (!(await exited(v.child, 8000))) v.child.kill('SIGKILL');
  for (const pid of pidsIn(v.ns, 'genwave')) {
    try {
      process.kill(pid, 'SIGTERM');
    } catch {
      // already gone
    }
  }
  await sleep(200);
  const folder = shmFolder();
  for (const f of fs.readdirSync(folder)) {
    if (f.startsWith(`kelmo.${v.ns}.`)) fs.rmSync(path.join(folder, f), { force: true });
  }
}

let browser = null;
async function openPage(url, viewport = { width: 1400, height: 1000 }) {
  if (!browser) browser = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: ['--no-sandbox'] });
  const page = await browser.newPage({ viewport });
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  await page.goto(url);
  page.kelmoErrors = errors;
  return page;
}
async function closeBrowser() {
  if (browser) await browser.close();
  browser = null;
}

async function screenshot(page, name) {
  if (page && !page.isClosed()) await page.screenshot({ path: path.join(ARTEFACTS, `${name}.png`), fullPage: true });
}

// Waits until fn(arg) is true in the page (it reads window.kelmoView); fails
// with `what` and the page's last state.
async function until(page, what, fn, arg, timeout = 15000) {
  try {
    await page.waitForFunction(fn, arg, { timeout, polling: 50 });
  } catch (e) {
    const state = await page.evaluate(() => JSON.stringify(window.kelmoView && window.kelmoView.state)).catch(() => '?');
    throw new Error(`${what}: not within ${timeout} ms (last state ${state})`);
  }
}

// The page's last scope frame, its rows copied out as plain arrays.
const scopeOf = (page) =>
  page.evaluate(() => {
    const s = window.kelmoView.lastScope;
    return s && { ...s, min: s.min.map((r) => Array.from(r)), max: s.max.map((r) => Array.from(r)) };
  });
const spectrumOf = (page) =>
  page.evaluate(() => {
    const s = window.kelmoView.lastSpectrum;
    return s && { ...s, fft: s.fft.map((r) => Array.from(r)), mem: s.mem.map((r) => Array.from(r)) };
  });

// The times of a channel's rising crossings of `level` in a scope frame
// (seconds from its first sample), from the middle of each column.
function risingCrossings(scope, channel, level) {
  const lo = scope.min[channel], hi = scope.max[channel];
  const mid = lo.map((v, i) => (v + hi[i]) / 2);
  const out = [];
  for (let i = 1; i < mid.length; i++) {
    if (mid[i - 1] < level && mid[i] >= level) {
      const frac = (level - mid[i - 1]) / (mid[i] - mid[i - 1]);
      out.push(((i - 1 + frac) * scope.per + (scope.per - 1) / 2) / scope.rate);
    }
  }
  return out;
}

// The frequency of a channel's periodic signal in a scope frame.
function frequencyOf(scope, channel) {
  const t = risingCrossings(scope, channel, 0);
  if (t.length < 2) return NaN;
  return (t.length - 1) / (t[t.length - 1] - t[0]);
}

// An HTTP request to the server, as a plain client sends it.
function request(url, headers = {}) {
  return new Promise((resolve, reject) => {
    const req = http.get(url, { headers }, (res) => {
      let body = '';
      res.on('data', (d) => (body += d));
      res.on('end', () => resolve({ status: res.statusCode, body }));
    });
    req.on('upgrade', (res, socket) => {
      socket.destroy();
      resolve({ status: res.statusCode, body: '' });
    });
    req.on('error', reject);
    req.setTimeout(5000, () => req.destroy(new Error(`no answer from ${url}`)));
  });
}

module.exports = {
  startView, stopView, startGenwave, pidsIn, namespace, shmFolder, exited, sleep, openPage, closeBrowser, screenshot, until,
  scopeOf, spectrumOf, risingCrossings, frequencyOf, request,
};
