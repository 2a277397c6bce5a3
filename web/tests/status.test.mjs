// The service's status page in a real browser: what it shows after a few device calls, the
// DEBUG switch, a logged value that looks like markup staying text, and another site's page that
// cannot read it.
import { describe, before, after, test } from 'node:test';
import assert from 'node:assert/strict';
import { createServer } from 'node:http';
import { mkdir } from 'node:fs/promises';
import { join } from 'node:path';
import {
  artifacts, closeBrowser, closeServer, launchBrowser, listen, runReport, startService, startWatchdog, stopService,
} from './harness.mjs';

const overallMs = 60_000;
const stepMs = 15_000;
const markup = '<img src=x onerror="window.pwned=1">';

let service;
let browser;
let page;
let base;
const consoleLines = [];
const watchdog = startWatchdog('status', overallMs + 15_000, () => service);
const describeRun = () => runReport(consoleLines, service);
// Through the browser, from a page of the service without the status page's policy (which lets
// no script fetch anything): the envelope ends its header lines in a bare LF, which Node's own
// HTTP client refuses.
let caller;
const get = (path) => caller.evaluate((url) => fetch(url).then((r) => r.text()), `${base}${path}`);
const rowText = (family) => page.textContent(`#family-${family}`);

describe('status page', { timeout: overallMs }, () => {
  before(async () => {
    // No card terminal attached: its open fails, and the page says it is missing.
    service = await startService('status', { TARNWICK_SIM: '1', TARNWICK_SIM_TERMINAL: 'none' });
    base = `http://127.0.0.1:${service.port}`;
    browser = await launchBrowser(consoleLines, { viewport: { width: 1100, height: 900 } });
    page = browser.page;
    caller = await browser.context.newPage();
    await caller.goto(`${base}/test`, { timeout: stepMs });
    await get('/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=0');
    await get('/Jrs_Api/JrsCardCommOpen?CardPort=1&DevicePort=2');
  }, { timeout: overallMs - 5_000 });

  after(async () => {
    if (page) {
      await mkdir(artifacts, { recursive: true }).catch(() => {});
      await page.screenshot({ path: join(artifacts, 'status.png'), fullPage: true }).catch(() => {});
    }
    await closeBrowser(browser);
    if (service) await stopService(service);
    clearTimeout(watchdog);
  });

  test('shows the service, the devices and the log to this PC', async () => {
    await page.goto(`${base}/`, { timeout: stepMs });
    assert.equal(await page.title(), 'Tarnwick status / 状态');
    assert.match(await page.textContent('body'), /Version \/ 版本\s*\d+\.\d+\.\d+\.\d+/);
    assert.match(await rowText('idcard'), /present \/ 已连接/, describeRun());
    assert.match(await rowText('terminal'), /missing \/ 未连接.*JrsCardCommOpen/s);
    assert.match(await rowText('usbkey'), /not used yet/);
    assert.ok(await page.isVisible('#log'));
    assert.match(await page.textContent('#log'), /ListenAddress/);
    assert.equal(await page.$$eval('script', (s) => s.length), 0);
  });

  test('the DEBUG switch logs a value that looks like markup, shown as text', async () => {
    await Promise.all([page.waitForNavigation({ timeout: stepMs }), page.click('#debug-switch button')]);
    assert.match(await page.textContent('#debug-switch button'), /DEBUG log off/);
    await get(`/Jrs_Api/JrsCardCommandEx?Command=1&Data=${encodeURIComponent(markup)}`);
    await page.reload({ timeout: stepMs });
    assert.ok((await page.textContent('#log')).includes(markup), describeRun());
    assert.equal(await page.$$eval('#log *', (e) => e.length), 0);
    assert.equal(await page.evaluate(() => window.pwned), undefined);
    // Off again, for the screenshot's sake as much as the service's.
    await Promise.all([page.waitForNavigation({ timeout: stepMs }), page.click('#debug-switch button')]);
    assert.match(await page.textContent('#debug-switch button'), /DEBUG log on/);
  });

  test('another site cannot read the page or the metrics', async () => {
    const other = createServer((req, res) => {
      res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
      res.end(`<!doctype html><title>other</title><script>
        const read = (p) => fetch('${base}' + p).then((r) => r.text()).then(
          (t) => (t.includes('tarnwick_') || t.includes('Tarnwick status') ? 'read' : t), () => 'blocked');
        Promise.all([read('/'), read('/metrics')]).then((r) => { document.title = r.join(','); });
      </script>`);
    });
    const port = await listen(other);
    const foreign = await browser.context.newPage();
    try {
      await foreign.goto(`http://localhost:${port}/`, { timeout: stepMs });
      await foreign.waitForFunction(() => document.title !== 'other', null, { timeout: stepMs });
      // The page: no CORS grant; the metrics: the not-found answer every unknown path gets.
      assert.equal(await foreign.title(), 'blocked,{"return":false}');
    } finally {
      await foreign.close();
      await closeServer(other);
    }
  });
});
