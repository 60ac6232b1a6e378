// Drives the dashboard in headless Chromium for one scenario and prints what it saw as
// "RESULT {json}" (or "FAIL reason", exit code 1). The C++ test around it owns the
// display, the relay and the agent and checks what reached the host.
//
//   node dashboard.mjs '{"scenario":"picture","url":"http://127.0.0.1:PORT",...}'
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

import { startTamperRelay } from './tamper_relay.mjs';

const opts = JSON.parse(process.argv[2] || '{}');
const LIMIT_MS = (opts.limitSeconds || 90) * 1000;
const result = {};
const cleanups = [];
let failed = false;

function step(text) {
  process.stdout.write(`STEP ${text}\n`);
}
function fail(text) {
  throw new Error(text);
}
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function until(page, fn, arg, timeout, what) {
  try {
    await page.waitForFunction(fn, { timeout, polling: 50 }, arg);
  } catch {
    fail(`timed out after ${timeout} ms waiting for ${what}`);
  }
}

async function launch() {
  const profile = mkdtempSync(path.join(tmpdir(), 'zarvex-chromium-'));
  cleanups.push(() => rmSync(profile, { recursive: true, force: true }));
  const browser = await puppeteer.launch({
    executablePath: opts.chromium || '/usr/bin/chromium',
    headless: true,
    userDataDir: profile,
    timeout: 30000,
    protocolTimeout: 60000,
    args: ['--no-sandbox', '--disable-dev-shm-usage', '--no-first-run', '--no-default-browser-check',
      '--disable-background-networking', '--disable-component-update', '--window-size=1400,900',
      '--disable-features=Translate,MediaRouter', '--mute-audio=false'],
    // Never the test's own sound server or display: the page's sound must not feed the
    // capture it is listening to.
    env: { ...process.env, PULSE_SERVER: 'unix:/nonexistent/zarvex-no-sound', DISPLAY: '' },
  });
  cleanups.unshift(() => browser.close().catch(() => {}));
  const page = await browser.newPage();
  await page.setViewport({ width: 1400, height: 900 });
  page.on('pageerror', (e) => process.stdout.write(`PAGEERROR ${e.message}\n`));
  page.on('console', (m) => {
    if (m.type() === 'error') process.stdout.write(`CONSOLE ${m.text()}\n`);
  });
  return { browser, page };
}

async function signIn(page, base, username, password) {
  await page.goto(`${base}/app/`, { waitUntil: 'load' });
  await page.waitForSelector('#signin:not([hidden])', { timeout: 10000 });
  await page.type('#username', username);
  await page.type('#password', password);
  await page.click('#signin-submit');
}

async function openMachine(page, machineId) {
  const sel = `.machine[data-machine-id="${machineId}"]`;
  await page.waitForSelector(sel, { timeout: 10000 });
  await until(page, (s) => document.querySelector(s)?.dataset.online === 'true', sel, 10000, 'the machine online');
  result.listed = await page.$eval(sel, (li) => ({
    name: li.querySelector('.name').textContent, os: li.querySelector('.os').textContent,
    state: li.querySelector('.state').textContent,
  }));
  const t0 = Date.now();
  await page.click(`${sel} .connect`);
  return t0;
}

async function firstFrame(page, t0, timeout = 10000) {
  await until(page, () => document.getElementById('screen').dataset.frames === '1', null, timeout, 'the first picture');
  result.firstFrameMs = Date.now() - t0;
}

// Colours of the canvas at fractions of its size (what the page drew, not the screen).
async function sample(page, points) {
  return page.evaluate((pts) => {
    const c = document.getElementById('screen');
    const ctx = c.getContext('2d');
    return pts.map(([fx, fy]) => [...ctx.getImageData(Math.floor(fx * c.width), Math.floor(fy * c.height), 1, 1).data]
      .slice(0, 3));
  }, points);
}

// Page coordinates of a point given as fractions of the remote picture.
async function picturePoint(page, fx, fy) {
  return page.evaluate((x, y) => {
    const c = document.getElementById('screen');
    const r = c.getBoundingClientRect();
    const s = Math.min(r.width / c.width, r.height / c.height);
    const w = c.width * s, h = c.height * s;
    return { x: r.left + (r.width - w) / 2 + x * (w - 1), y: r.top + (r.height - h) / 2 + y * (h - 1) };
  }, fx, fy);
}

const BLOCKS = [[0.25, 0.25], [0.75, 0.25], [0.25, 0.75], [0.75, 0.75], [0.5, 0.5]];

const scenarios = {
  async picture({ page }) {
    await signIn(page, opts.url, opts.username, opts.password);
    const t0 = await openMachine(page, opts.machineId);
    await firstFrame(page, t0);
    result.blocks = await sample(page, BLOCKS);
    result.canvas = await page.$eval('#screen', (c) => [c.width, c.height]);
    // The figures fill in.
    await until(page, () => document.getElementById('stat-cpu').textContent.includes('%'), null, 8000, 'statistics');
    await sleep(1200);
    result.figures = await page.evaluate(() => Object.fromEntries(
      ['stat-cpu', 'stat-mem', 'stat-procs', 'stat-fps', 'stat-kbps', 'stat-delay'].map((id) =>
        [id, document.getElementById(id).textContent])));
    result.status = await page.$eval('#viewer-status', (e) => e.textContent);
    result.unsealedFrames = await page.evaluate(() => window.zarvexDashboard.viewer.session.stats.dropped);
    await page.select('#bitrate', '2000');
    await page.click('#fullscreen');
    await until(page, () => document.fullscreenElement?.id === 'stage', null, 5000, 'full screen');
    result.fullscreenFocus = await page.evaluate(() => document.activeElement?.id);
    await page.evaluate(() => document.exitFullscreen());
    await until(page, () => !document.fullscreenElement, null, 5000, 'the end of full screen');
    if (opts.screenshot) await page.screenshot({ path: opts.screenshot });
    // The canvas keeps the picture's aspect ratio inside its box.
    result.fit = await page.evaluate(() => {
      const c = document.getElementById('screen');
      return { box: [c.clientWidth, c.clientHeight], fit: getComputedStyle(c).objectFit };
    });
  },

  async input({ page }) {
    await signIn(page, opts.url, opts.username, opts.password);
    const t0 = await openMachine(page, opts.machineId);
    await firstFrame(page, t0);
    const p = await picturePoint(page, 0.25, 0.5);  // x 320 of 1280
    await page.mouse.move(p.x, p.y, { steps: 3 });
    await page.mouse.click(p.x, p.y);
    await sleep(300);
    const q = await picturePoint(page, 0.75, 0.25);
    await page.mouse.click(q.x, q.y, { button: 'right' });
    await sleep(300);
    // "Hi 5": Shift+H by hand (type() does not press Shift for capitals).
    await page.keyboard.down('ShiftLeft');
    await page.keyboard.press('KeyH');
    await page.keyboard.up('ShiftLeft');
    await page.keyboard.type('i 5', { delay: 30 });
    await page.keyboard.press('ArrowLeft');
    await page.keyboard.down('ShiftLeft');
    await sleep(200);
    // Shift is still down when the page loses the focus: it must come up on the host.
    await page.evaluate(() => document.getElementById('screen').blur());
    await sleep(300);
    await page.keyboard.up('ShiftLeft');
    await page.mouse.move(p.x, p.y);
    await page.mouse.wheel({ deltaY: 100 });
    await sleep(200);
    await page.mouse.wheel({ deltaY: -100 });
    await sleep(500);
    result.sent = true;
  },

  async clipboard({ page, browser }) {
    await browser.defaultBrowserContext().overridePermissions(opts.url, ['clipboard-read', 'clipboard-write',
      'clipboard-sanitized-write']);
    await signIn(page, opts.url, opts.username, opts.password);
    const t0 = await openMachine(page, opts.machineId);
    await firstFrame(page, t0);
    await page.$eval('#clipboard-text', (t, v) => { t.value = v; }, opts.toHost);
    await page.click('#clipboard-send');
    step('sent');
    // The C++ side checks the X clipboard, then copies something on the host.
    await until(page, (v) => document.getElementById('clipboard-text').value === v, opts.fromHost, 40000,
      'the host clipboard in the page');
    result.pageText = await page.$eval('#clipboard-text', (t) => t.value);
    result.localClipboard = await page.evaluate(() => navigator.clipboard.readText().catch((e) => `error ${e}`));
  },

  async upload({ page }) {
    await signIn(page, opts.url, opts.username, opts.password);
    const t0 = await openMachine(page, opts.machineId);
    await firstFrame(page, t0);
    // Two small files through the picker first, then the big one dropped on the picture
    // while they are still queued or running.
    const input = await page.$('#file-input');
    await input.uploadFile(...opts.pickerFiles);
    const cdp = await page.createCDPSession();
    const box = await page.$eval('#stage', (s) => { const r = s.getBoundingClientRect(); return [r.x + r.width / 2, r.y + r.height / 2]; });
    const data = { items: [], files: [opts.dropFile], dragOperationsMask: 1 };
    for (const type of ['dragEnter', 'dragOver', 'drop'])
      await cdp.send('Input.dispatchDragEvent', { type, x: box[0], y: box[1], data });
    const progress = [];
    const deadline = Date.now() + 60000;
    while (Date.now() < deadline) {
      const s = await page.evaluate(() => ({
        value: document.getElementById('upload-progress').value,
        done: document.querySelectorAll('#upload-list li.done').length,
        failed: document.querySelectorAll('#upload-list li.failed').length,
      }));
      progress.push(s.value);
      if (s.done + s.failed >= 1 + opts.pickerFiles.length) break;
      await sleep(100);
    }
    result.progressSeen = [...new Set(progress)];
    result.list = await page.$$eval('#upload-list li', (ls) => ls.map((l) => [l.className, l.textContent]));
    result.progress = await page.$eval('#upload-progress', (p) => p.value);
    result.statusText = await page.$eval('#upload-status', (p) => p.textContent);
  },

  async audio({ page }) {
    await signIn(page, opts.url, opts.username, opts.password);
    const t0 = await openMachine(page, opts.machineId);
    await firstFrame(page, t0);
    result.mutedFrequency = await page.evaluate(() => window.zarvexDashboard.viewer.audio.dominantFrequency());
    await page.click('#audio-toggle');  // the user's gesture
    const seen = [];
    const deadline = Date.now() + 15000;
    while (Date.now() < deadline) {
      const f = await page.evaluate(() => window.zarvexDashboard.viewer.audio.dominantFrequency());
      if (f !== null) seen.push(f);
      if (seen.length >= 5) break;
      await sleep(200);
    }
    result.frequencies = seen;
    result.audio = await page.evaluate(() => {
      const a = window.zarvexDashboard.viewer.audio;
      return { chunks: a.chunks, dropped: a.dropped, format: a.format, state: a.context && a.context.state,
        ahead: a.context ? a.nextTime - a.context.currentTime : null };
    });
  },

  async tamper({ page }) {
    const relay = await startTamperRelay(opts.url);
    cleanups.unshift(() => relay.close());
    await signIn(page, relay.url, opts.username, opts.password);
    const t0 = await openMachine(page, opts.machineId);
    await firstFrame(page, t0);
    const stats = () => page.evaluate(() => {
      const v = window.zarvexDashboard.viewer;
      return { frames: v.video.frames, dropped: v.session.stats.dropped, state: v.session.state,
        keyframeRequests: v.session.stats.keyframeRequests, clipboard: document.getElementById('clipboard-text').value,
        shown: document.getElementById('stat-dropped').textContent };
    });
    await sleep(500);
    const before = await stats();
    relay.corrupt(3);
    // Unsealed: a clipboard text and a video header in the clear.
    relay.inject(Buffer.concat([Buffer.from([0x0a, 8, 0, 0, 0]), Buffer.from('INJECTED')]));
    relay.inject(Buffer.alloc(64, 0));
    await until(page, (n) => window.zarvexDashboard.viewer.session.stats.dropped >= n, before.dropped + 5, 15000,
      'the tampered and unsealed messages to be dropped');
    const mid = await stats();
    await until(page, (n) => window.zarvexDashboard.viewer.video.frames > n + 10, mid.frames, 15000,
      'pictures after the tampering');
    result.before = before;
    result.after = await stats();
    result.corrupted = relay.state.corrupted;
    result.injected = relay.state.injected;
    result.blocks = await sample(page, BLOCKS);
  },

  async reconnect({ page }) {
    const relay = await startTamperRelay(opts.url);
    cleanups.unshift(() => relay.close());
    await signIn(page, relay.url, opts.username, opts.password);
    const t0 = await openMachine(page, opts.machineId);
    await firstFrame(page, t0);
    const info = () => page.evaluate(() => {
      const v = window.zarvexDashboard.viewer;
      return { sessionId: v.session.sessionId, state: v.session.state, frames: v.video.frames,
        reconnects: v.session.stats.reconnects, keyExchanges: v.session.stats.keyExchanges,
        status: document.getElementById('viewer-status').textContent };
    });
    result.before = await info();
    relay.dropViewers();
    await until(page, () => window.zarvexDashboard.viewer.session.state !== 'ready', null, 5000, 'the drop noticed');
    result.during = await info();
    await until(page, () => window.zarvexDashboard.viewer.session.state === 'ready', null, 15000, 'the session back');
    // Counted from the outage, not from when 'ready' was seen: on this still screen the
    // resumed session's keyframe may well be decoded before that second look, and no
    // other picture follows it.
    await until(page, (n) => window.zarvexDashboard.viewer.video.frames > n, result.during.frames, 10000,
      'a picture again');
    result.after = await info();
    // Input still reaches the host on the resumed session.
    const p = await picturePoint(page, 0.5, 0.5);
    await page.mouse.click(p.x, p.y);
    await sleep(500);
  },

  async agent_restart({ page }) {
    await signIn(page, opts.url, opts.username, opts.password);
    const t0 = await openMachine(page, opts.machineId);
    await firstFrame(page, t0);
    const info = () => page.evaluate(() => {
      const v = window.zarvexDashboard.viewer;
      return { state: v.session.state, frames: v.video.frames, keyExchanges: v.session.stats.keyExchanges };
    });
    result.before = await info();
    step('connected');
    await until(page, () => !document.getElementById('viewer-error').hidden, null, 20000, 'the offline message');
    result.offline = await page.$eval('#viewer-error', (e) => e.textContent);
    const frames = (await info()).frames;
    step('offline shown');
    await until(page, (n) => window.zarvexDashboard.viewer.video.frames > n + 5, frames, 30000,
      'pictures from the agent\'s new run');
    result.after = await info();
    result.errorAfter = await page.$eval('#viewer-error', (e) => (e.hidden ? '' : e.textContent));
  },

  async errors({ page }) {
    await signIn(page, opts.url, opts.username, 'not-the-password');
    await until(page, () => !document.getElementById('signin-error').hidden, null, 10000, 'the sign-in error');
    result.wrongPassword = await page.$eval('#signin-error', (e) => e.textContent);
    result.tokenAfterFailure = await page.evaluate(() => sessionStorage.getItem('zarvex.token'));
    await page.$eval('#password', (e) => { e.value = ''; });
    await page.type('#password', opts.password);
    await page.click('#signin-submit');
    const sel = `.machine[data-machine-id="${opts.machineId}"]`;
    await page.waitForSelector(sel, { timeout: 10000 });
    result.listed = await page.$eval(sel, (li) => ({ online: li.dataset.online, state: li.querySelector('.state').textContent }));
    result.url = page.url();
    result.tokenStored = Boolean(await page.evaluate(() => sessionStorage.getItem('zarvex.token')));
    await page.click(`${sel} .connect`);
    await until(page, () => !document.getElementById('machines-error').hidden, null, 10000, 'the offline message');
    result.offline = await page.$eval('#machines-error', (e) => e.textContent);
    result.view = await page.evaluate(() => document.body.dataset.view);
    await page.click('#signout');
    result.afterSignOut = await page.evaluate(() => ({ view: document.body.dataset.view,
      token: sessionStorage.getItem('zarvex.token') }));
    // A browser without WebCodecs is told so instead of being shown a black picture.
    result.missing = await page.evaluate(async () => {
      window.VideoDecoder = undefined;
      const mod = await import('./js/viewer_ui.js');
      return mod.missingFeatures();
    });
  },
};

async function main() {
  const timer = setTimeout(() => {
    process.stdout.write(`FAIL the scenario took longer than ${LIMIT_MS} ms\n`);
    process.exit(3);
  }, LIMIT_MS);
  try {
    const fn = scenarios[opts.scenario];
    if (!fn) fail(`unknown scenario ${opts.scenario}`);
    const env = await launch();
    step(`running ${opts.scenario}`);
    await fn(env);
  } catch (err) {
    failed = true;
    process.stdout.write(`FAIL ${err.message}\n`);
  } finally {
    process.stdout.write(`RESULT ${JSON.stringify(result)}\n`);
    for (const c of cleanups) await c();
    clearTimeout(timer);
  }
  process.exit(failed ? 1 : 0);
}

main();
