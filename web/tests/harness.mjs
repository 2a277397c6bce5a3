// What the browser tests share: the service under test, local servers and a headless Chromium.
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import { mkdir, mkdtemp, readFile, rm } from 'node:fs/promises';
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
    // Simulated USB keys keep their files in the run's folder, not in the user's.
    env: { ...process.env, TARNWICK_USBKEY_DIR: join(dir, 'keys'), ...env },
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

// A request handler that publishes only the demo and the client, as a user's static server would.
export function serveDemo(req, res) {
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

// The service with `env`, and the demo page served from another origin and opened against it in
// Chromium. Resolves to { service, staticServer, browser, page }; closeDemo undoes it.
export async function openDemo(tag, env, consoleLines, { viewport, timeout = 15_000 } = {}) {
  const demo = { staticServer: createServer(serveDemo) };
  try {
    demo.service = await startService(tag, env);
    const pagePort = await listen(demo.staticServer);
    demo.browser = await launchBrowser(consoleLines, { viewport });
    demo.page = demo.browser.page;
    const serviceOrigin = `http://127.0.0.1:${demo.service.port}`;
    await demo.page.goto(`http://127.0.0.1:${pagePort}/demo/?service=${encodeURIComponent(serviceOrigin)}`,
      { timeout });
    return demo;
  } catch (e) {
    await closeDemo(demo);
    throw e;
  }
}

// Closes what openDemo opened, after a screenshot of the page's last state when named.
export async function closeDemo(demo, screenshotName) {
  if (!demo) return;
  if (demo.page && screenshotName) {
    await mkdir(artifacts, { recursive: true }).catch(() => {});
    await demo.page.screenshot({ path: join(artifacts, screenshotName), fullPage: true }).catch(() => {});
  }
  await closeBrowser(demo.browser);
  if (demo.staticServer.listening) await closeServer(demo.staticServer);
  if (demo.service) await stopService(demo.service);
}

// Text for an assertion message: the page's console and the service's output.
export function runReport(consoleLines, service) {
  return [`browser console:\n${consoleLines.join('\n')}`, `service output:\n${service?.output() ?? ''}`].join('\n');
}

// Clicks a button and waits until the element `scope`, whose data-seq counts the actions it has
// finished, has finished this one. Resolves to its data-last.
export async function pressButton(page, buttonId, scope = 'body', timeout = 15_000) {
  const seq = Number(await page.getAttribute(scope, 'data-seq'));
  await page.click(`#${buttonId}`, { timeout });
  await page.waitForSelector(`${scope}[data-seq="${seq + 1}"]`, { timeout });
  return page.getAttribute(scope, 'data-last');
}
