// Cross-origin calls from a real browser page to the service: simple GET,
// simple form POST, and a request whose custom header forces a preflight.
import { describe, before, after, test } from 'node:test';
import assert from 'node:assert/strict';
import { createServer } from 'node:http';
import { mkdir, readFile } from 'node:fs/promises';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import {
  artifacts, closeBrowser, closeServer, launchBrowser, listen, startService, startWatchdog, stopService,
} from './harness.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const overallMs = 60_000;

let service;          // { child, port, dir, output() }
let pageServer;       // serves the test page
let controlServer;    // answers CORS requests but not preflights
const controlHits = [];
let browser;          // { context, page, userDataDir }
let page;
let results;          // by name, from the page's DOM
const preflights = [];  // observed through the DevTools protocol
const consoleLines = [];
const watchdog = startWatchdog('cors', overallMs + 15_000, () => service);

const pageHtml = `<!doctype html>
<html><head><meta charset="utf-8"><title>Tarnwick CORS check</title>
<style>
  body { font: 14px sans-serif; margin: 16px; }
  table { border-collapse: collapse; margin-bottom: 12px; }
  td { border: 1px solid #999; padding: 4px 8px; font-family: monospace; }
  tr.ok td:last-child { background: #d8f5d8; }
  tr.failed td:last-child { background: #f8d8d8; }
  pre { background: #f4f4f4; padding: 8px; font-size: 12px; }
</style></head>
<body>
<h1>Tarnwick CORS check</h1>
<p id="origin"></p>
<table id="summary"></table>
<pre id="result">running…</pre>
<script>document.getElementById('origin').textContent = 'Page origin: ' + location.origin;</script>
<script type="module" src="/cors-page.mjs"></script>
</body></html>`;

function servePage(req, res) {
  const path = new URL(req.url, 'http://x').pathname;
  if (path === '/') {
    res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
    res.end(pageHtml);
  } else if (path === '/cors-page.mjs') {
    readFile(join(here, 'cors-page.mjs')).then((js) => {
      res.writeHead(200, { 'Content-Type': 'text/javascript; charset=utf-8' });
      res.end(js);
    }, () => { res.writeHead(500); res.end(); });
  } else if (path === '/favicon.ico') {
    res.writeHead(204);
    res.end();
  } else {
    res.writeHead(404);
    res.end();
  }
}

function serveControl(req, res) {
  controlHits.push(req.method);
  if (req.method === 'OPTIONS') {
    // Deliberately no CORS grant.
    res.writeHead(204);
    res.end();
    return;
  }
  req.resume();
  res.writeHead(200, { 'Access-Control-Allow-Origin': '*', 'Content-Type': 'text/plain;charset=utf-8' });
  res.end('{"return":0}');
}

async function runPage() {
  const servicePort = service.port;
  const pagePort = await listen(pageServer);
  const controlPort = await listen(controlServer);
  browser = await launchBrowser(consoleLines);
  page = browser.page;

  // Playwright folds preflights into the main request; DevTools shows them.
  const cdp = await browser.context.newCDPSession(page);
  const preflightById = new Map();
  cdp.on('Network.requestWillBeSent', (e) => {
    if (e.initiator?.type !== 'preflight') return;
    const entry = { url: e.request.url, method: e.request.method, headers: e.request.headers, status: null };
    preflightById.set(e.requestId, entry);
    preflights.push(entry);
  });
  cdp.on('Network.responseReceived', (e) => {
    const entry = preflightById.get(e.requestId);
    if (entry) {
      entry.status = e.response.status;
      entry.responseHeaders = e.response.headers;
    }
  });
  await cdp.send('Network.enable');

  const serviceOrigin = `http://127.0.0.1:${servicePort}`;
  const controlOrigin = `http://127.0.0.1:${controlPort}`;
  const pageUrl = `http://127.0.0.1:${pagePort}/?service=${encodeURIComponent(serviceOrigin)}`
    + `&control=${encodeURIComponent(controlOrigin)}`;
  await page.goto(pageUrl, { timeout: 15_000 });
  await page.waitForSelector('body[data-done="1"]', { timeout: 20_000 });
  const text = await page.textContent('#result');
  const list = JSON.parse(text);
  results = Object.fromEntries(list.map((r) => [r.name, r]));
  await mkdir(artifacts, { recursive: true });
  await page.screenshot({ path: join(artifacts, 'cors.png'), fullPage: true });
}

function describeRun() {
  return [
    `results: ${JSON.stringify(results, null, 2)}`,
    `preflights seen: ${JSON.stringify(preflights, null, 2)}`,
    `control server hits: ${controlHits.join(', ')}`,
    `browser console:\n${consoleLines.join('\n')}`,
    `service output:\n${service?.output() ?? ''}`,
  ].join('\n');
}

describe('browser CORS against the service', { timeout: overallMs }, () => {
  before(async () => {
    pageServer = createServer(servePage);
    controlServer = createServer(serveControl);
    service = await startService('cors');
    await runPage();
  }, { timeout: overallMs - 5_000 });

  after(async () => {
    if (page && !results) {
      await mkdir(artifacts, { recursive: true });
      await page.screenshot({ path: join(artifacts, 'cors.png'), fullPage: true }).catch(() => {});
    }
    await closeBrowser(browser);
    await Promise.all([pageServer, controlServer].filter((s) => s?.listening).map(closeServer));
    if (service) await stopService(service);
    clearTimeout(watchdog);
  });

  for (const name of ['get', 'post']) {
    test(`${name} /Local/GetVersion from another origin returns the version`, () => {
      const r = results[name];
      assert.ok(r, `no "${name}" result\n${describeRun()}`);
      assert.equal(r.error, null, describeRun());
      assert.equal(r.status, 200);
      assert.match(r.contentType ?? '', /^text\/plain;\s*charset=utf-8$/i);
      assert.deepEqual(JSON.parse(r.body), { Version: '1.0.0.0' });
    });
  }

  test('request with a custom header passes the preflight and returns {"return":0}', () => {
    const r = results.preflighted;
    assert.ok(r, `no "preflighted" result\n${describeRun()}`);
    assert.equal(r.error, null, describeRun());
    assert.equal(r.status, 200);
    assert.equal(r.body, '{"return":0}');
  });

  test('the custom header really needs a preflight (control server without one fails)', () => {
    assert.equal(results['control-simple']?.error, null, describeRun());
    assert.equal(results['control-simple'].body, '{"return":0}');
    assert.match(results['control-preflighted']?.error ?? '', /TypeError/, describeRun());
    assert.ok(controlHits.includes('OPTIONS'), `control server saw no OPTIONS\n${describeRun()}`);
    // The browser must not have sent the real request after the refused preflight.
    assert.equal(controlHits.filter((m) => m === 'GET').length, 1, describeRun());
  });

  test('the browser sent an OPTIONS preflight to the service and got 200', () => {
    const toService = preflights.filter((p) => p.url === `http://127.0.0.1:${service.port}/test`);
    assert.equal(toService.length, 1, describeRun());
    assert.equal(toService[0].method, 'OPTIONS');
    assert.equal(toService[0].status, 200, describeRun());
    const granted = Object.fromEntries(Object.entries(toService[0].responseHeaders ?? {})
      .map(([k, v]) => [k.toLowerCase(), v]));
    assert.equal(granted['access-control-allow-origin'], '*', describeRun());
    assert.match(granted['access-control-allow-headers'] ?? '', /x-tarnwick-demo/i, describeRun());
    // Simple requests must go without one.
    assert.equal(preflights.filter((p) => p.url.endsWith('/Local/GetVersion')).length, 0, describeRun());
  });
});
