// What the browser tests share: the service under test, local servers and a headless Chromium.
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import { mkdtemp, readFile, rm } from 'node:fs/promises';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { dirname, extname, join, resolve, sep } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = dirname(fileURLToPath(import.meta.url));
export const serviceBin = process.env.TARNWICK_BIN || resolve(here, '../../build/linux/service/Tarnwick');
export const artifacts = join(here, 'artifacts');

export function withTimeout(promise, ms, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what} took longer than ${ms} ms`)), ms);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

// A wedged browser or child must not keep the runner alive past the budget.
export function startWatchdog(name, ms, getService) {
  const watchdog = setTimeout(() => {
    console.error(`${name} test: still running after ${ms} ms, giving up`);
    getService()?.child.kill('SIGKILL');
    process.exit(1);
  }, ms);
  watchdog.unref();
  return watchdog;
}

// Starts the service in console mode in a fresh directory; resolves once it listens.
export async function startService(tag, env = {}) {
  if (!existsSync(serviceBin)) throw new Error(`service binary not found: ${serviceBin}`);
  const dir = await mkdtemp(join(tmpdir(), `tarnwick-${tag}-`));
  const child = spawn(serviceBin, ['console'], {
    cwd: dir,
    env: { ...process.env, ...env },
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

export async function stopService(s) {
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

const webRoot = resolve(here, '..');
const types = { '.html': 'text/html', '.js': 'text/javascript', '.mjs': 'text/javascript', '.css': 'text/css' };

// A static server for the demo page and the client, and nothing else, as a user's would be.
export function demoServer() {
  return createServer((req, res) => {
    const path = decodeURIComponent(new URL(req.url, 'http://x').pathname);
    const file = resolve(webRoot, `.${path.endsWith('/') ? `${path}index.html` : path}`);
    if (!['demo', 'client'].some((d) => file.startsWith(join(webRoot, d) + sep))) {
      res.writeHead(path === '/favicon.ico' ? 204 : 404);
      res.end();
      return;
    }
    readFile(file).then((body) => {
      res.writeHead(200, { 'Content-Type': `${types[extname(file)] ?? 'application/octet-stream'}; charset=utf-8` });
      res.end(body);
    }, () => { res.writeHead(404); res.end(); });
  });
}

// Clicks a demo button and waits until the element that counts the page's actions (its
// data-seq) shows that this one has finished; the action's outcome is its data-last.
export async function press(page, buttonId, { scope = 'body', timeout = 15_000 } = {}) {
  const seq = Number(await page.getAttribute(scope, 'data-seq'));
  await page.click(`#${buttonId}`, { timeout });
  await page.waitForSelector(`${scope}[data-seq="${seq + 1}"]`, { timeout });
  return page.getAttribute(scope, 'data-last');
}

export function listen(server) {
  return new Promise((r, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => r(server.address().port));
  });
}

export function closeServer(server) {
  server.closeAllConnections?.();
  return new Promise((r) => server.close(() => r()));
}

// Debian's Chromium, headless, in a throw-away profile; the page's console goes to `consoleLines`.
export async function launchBrowser(consoleLines, options = {}) {
  const userDataDir = await mkdtemp(join(tmpdir(), 'tarnwick-chromium-'));
  const context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    timeout: 30_000,
    ...options,
  });
  const page = context.pages()[0] ?? await context.newPage();
  page.on('console', (m) => consoleLines.push(`${m.type()}: ${m.text()}`));
  page.on('pageerror', (e) => consoleLines.push(`pageerror: ${e}`));
  return { context, page, userDataDir };
}

export async function closeBrowser(browser) {
  await browser?.context.close().catch(() => {});
  if (browser?.userDataDir) {
    await rm(browser.userDataDir, { recursive: true, force: true, maxRetries: 5 }).catch(() => {});
  }
}
