// The demo page, served from another origin, reads the simulated ID card
// through the service in a real browser and shows the reader's errors.
import { describe, before, after, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createServer } from 'node:http';
import { existsSync } from 'node:fs';
import { mkdir, mkdtemp, readFile, rm } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { dirname, extname, join, resolve, sep } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = dirname(fileURLToPath(import.meta.url));
const webRoot = resolve(here, '..');
const serviceBin = process.env.TARNWICK_BIN || resolve(here, '../../build/linux/service/Tarnwick');
const artifacts = join(here, 'artifacts');
const overallMs = 90_000;
const stepMs = 15_000;

// A wedged browser or child must not keep the runner alive past the budget.
const watchdog = setTimeout(() => {
  console.error(`idcard test: still running after ${overallMs + 15_000} ms, giving up`);
  service?.child.kill('SIGKILL');
  process.exit(1);
}, overallMs + 15_000);
watchdog.unref();

let service;          // { child, port, dir, output() }
let staticServer;     // serves web/demo and web/client
let userDataDir;
let context;
let page;
const consoleLines = [];

function withTimeout(promise, ms, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what} took longer than ${ms} ms`)), ms);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

async function startService() {
  if (!existsSync(serviceBin)) throw new Error(`service binary not found: ${serviceBin}`);
  const dir = await mkdtemp(join(tmpdir(), 'tarnwick-idcard-'));
  const child = spawn(serviceBin, ['console'], {
    cwd: dir,
    env: { ...process.env, TARNWICK_SIM: '1' },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let out = '';
  child.stdout.setEncoding('utf8');
  child.stderr.setEncoding('utf8');
  child.stderr.on('data', (d) => { out += d; });
  const port = await withTimeout(new Promise((resolvePort, reject) => {
    child.on('error', reject);
    child.on('exit', (code, signal) =>
      reject(new Error(`service exited early (code ${code}, signal ${signal}):\n${out}`)));
    child.stdout.on('data', (d) => {
      out += d;
      const m = /Tarnwick listening on http:\/\/127\.0\.0\.1:(\d+)\//.exec(out);
      if (m) resolvePort(Number(m[1]));
    });
  }), 15_000, 'service start-up').catch(async (e) => {
    child.kill('SIGKILL');
    await rm(dir, { recursive: true, force: true });
    throw new Error(`${e.message}\nservice output so far:\n${out}`);
  });
  return { child, port, dir, output: () => out };
}

async function stopService(s) {
  if (s.child.exitCode === null && s.child.signalCode === null) {
    const exited = new Promise((r) => s.child.once('exit', r));
    s.child.kill('SIGTERM');
    await withTimeout(exited, 5_000, 'service shutdown').catch(async () => {
      s.child.kill('SIGKILL');
      await exited;
    });
  }
  await rm(s.dir, { recursive: true, force: true });
}

function listen(server) {
  return new Promise((r, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => r(server.address().port));
  });
}

function closeServer(server) {
  server.closeAllConnections?.();
  return new Promise((r) => server.close(() => r()));
}

const types = { '.html': 'text/html', '.js': 'text/javascript', '.mjs': 'text/javascript', '.css': 'text/css' };

// Only the demo and the client are published, as a user's static server would.
function serveStatic(req, res) {
  const path = decodeURIComponent(new URL(req.url, 'http://x').pathname);
  const file = resolve(webRoot, `.${path.endsWith('/') ? `${path}index.html` : path}`);
  const allowed = ['demo', 'client'].some((d) => file.startsWith(join(webRoot, d) + sep));
  if (!allowed) {
    res.writeHead(path === '/favicon.ico' ? 204 : 404);
    res.end();
    return;
  }
  readFile(file).then((body) => {
    res.writeHead(200, { 'Content-Type': `${types[extname(file)] ?? 'application/octet-stream'}; charset=utf-8` });
    res.end(body);
  }, () => { res.writeHead(404); res.end(); });
}

function describeRun() {
  return [`browser console:\n${consoleLines.join('\n')}`, `service output:\n${service?.output() ?? ''}`].join('\n');
}

// Clicks a demo button and waits until the page has finished that action.
async function press(buttonId) {
  const seq = Number(await page.getAttribute('body', 'data-seq'));
  await page.click(`#${buttonId}`, { timeout: stepMs });
  await page.waitForSelector(`body[data-seq="${seq + 1}"]`, { timeout: stepMs });
  return page.getAttribute('body', 'data-last');
}

const text = (id) => page.textContent(`#${id}`).then((t) => t.trim());

async function screenshot(name) {
  await mkdir(artifacts, { recursive: true });
  await page.screenshot({ path: join(artifacts, name), fullPage: true });
}

describe('ID card demo page against the simulated reader', { timeout: overallMs }, () => {
  before(async () => {
    staticServer = createServer(serveStatic);
    service = await startService();
    const pagePort = await listen(staticServer);
    userDataDir = await mkdtemp(join(tmpdir(), 'tarnwick-chromium-'));
    context = await chromium.launchPersistentContext(userDataDir, {
      executablePath: '/usr/bin/chromium',
      headless: true,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
      viewport: { width: 1000, height: 800 },
      timeout: 30_000,
    });
    page = context.pages()[0] ?? await context.newPage();
    page.on('console', (m) => consoleLines.push(`${m.type()}: ${m.text()}`));
    page.on('pageerror', (e) => consoleLines.push(`pageerror: ${e}`));
    const serviceOrigin = `http://127.0.0.1:${service.port}`;
    await page.goto(`http://127.0.0.1:${pagePort}/demo/?service=${encodeURIComponent(serviceOrigin)}`,
      { timeout: stepMs });
  }, { timeout: overallMs - 5_000 });

  after(async () => {
    if (page) await screenshot('idcard-last.png').catch(() => {});
    await context?.close().catch(() => {});
    if (userDataDir) await rm(userDataDir, { recursive: true, force: true, maxRetries: 5 }).catch(() => {});
    if (staticServer?.listening) await closeServer(staticServer);
    if (service) await stopService(service);
    clearTimeout(watchdog);
  });

  test('the page finds the service and shows its version', async () => {
    await page.waitForSelector('#service-status.pill-ok', { timeout: stepMs }).catch(() => {});
    assert.match(await page.getAttribute('#service-status', 'class'), /pill-ok/, describeRun());
    assert.match(await text('service-version'), /^\d+\.\d+\.\d+\.\d+$/);
  });

  test('Open then Read with fingerprint shows the simulated card', async () => {
    await page.selectOption('#port', '1001');
    await page.selectOption('#read-type', '3');
    assert.equal(await press('btn-open'), 'open:ok', describeRun());
    assert.equal(await press('btn-read'), 'read:ok', `${await text('error-text')}\n${describeRun()}`);
    assert.equal(await text('field-name'), '林小满');
    assert.equal(await text('field-sex'), '女');
    assert.equal(await text('field-idNo'), '110108199003150028');
    assert.equal(await text('field-validateEnd'), '2030.01.01');
    assert.equal(await page.isVisible('#error-banner'), false);
    await page.waitForFunction(() => {
      const img = document.getElementById('photo');
      return img.complete && img.naturalWidth > 0;
    }, null, { timeout: stepMs });
    const size = await page.$eval('#photo', (img) => [img.naturalWidth, img.naturalHeight, !img.hidden]);
    assert.deepEqual(size, [102, 126, true]);
    assert.equal(await page.getAttribute('#field-fingerprint', 'data-present'), 'yes');
    assert.match(await text('field-cardNo'), /^[0-9A-F]+$/i);
  });

  test('Card number and SAM ID buttons show the reader\'s answers', async () => {
    assert.equal(await press('btn-cardno'), 'cardno:ok', `${await text('error-text')}\n${describeRun()}`);
    assert.match(await text('field-cardNo'), /^[0-9A-F]{8,}$/i);
    assert.equal(await press('btn-samid'), 'samid:ok', `${await text('error-text')}\n${describeRun()}`);
    assert.match(await text('field-samId'), /^\S.*\d/);
    await screenshot('idcard.png');
  });

  test('a port without a reader shows the service\'s message in the error banner', async () => {
    await page.selectOption('#port', '1002');
    assert.equal(await press('btn-read'), 'read:error', describeRun());
    assert.equal(await page.isVisible('#error-banner'), true);
    assert.match(await text('error-text'), /打开读卡设备失败/, describeRun());
    // The previous holder's data must be gone.
    assert.equal(await text('field-name'), '');
    assert.equal(await page.isVisible('#photo'), false);
    await screenshot('idcard-error.png');
  });

  test('Close on the reader port is not reported as an error', async () => {
    await page.selectOption('#port', '1001');
    // Each route closes the reader after use, so it may already be closed.
    assert.match(await press('btn-close'), /^close:(ok|notopen)$/, `${await text('error-text')}\n${describeRun()}`);
    assert.equal(await page.isVisible('#error-banner'), false);
  });
});
