// The demo page, served from another origin, reads the simulated ID card
// through the service in a real browser and shows the reader's errors.
import { describe, before, after, test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdir } from 'node:fs/promises';
import { join } from 'node:path';
import {
  artifacts, closeBrowser, closeServer, demoServer, launchBrowser, listen, press as pressIn, startService,
  startWatchdog, stopService,
} from './harness.mjs';

const overallMs = 90_000;
const stepMs = 15_000;

let service;          // { child, port, dir, output() }
let staticServer;     // serves web/demo and web/client
let browser;          // { context, page, userDataDir }
let page;
const consoleLines = [];
const watchdog = startWatchdog('idcard', overallMs + 15_000, () => service);

function describeRun() {
  return [`browser console:\n${consoleLines.join('\n')}`, `service output:\n${service?.output() ?? ''}`].join('\n');
}

const press = (buttonId) => pressIn(page, buttonId, { timeout: stepMs });

const text = (id) => page.textContent(`#${id}`).then((t) => t.trim());

async function screenshot(name) {
  await mkdir(artifacts, { recursive: true });
  await page.screenshot({ path: join(artifacts, name), fullPage: true });
}

describe('ID card demo page against the simulated reader', { timeout: overallMs }, () => {
  before(async () => {
    staticServer = demoServer();
    service = await startService('idcard', { TARNWICK_SIM: '1' });
    const pagePort = await listen(staticServer);
    browser = await launchBrowser(consoleLines, { viewport: { width: 1000, height: 800 } });
    page = browser.page;
    const serviceOrigin = `http://127.0.0.1:${service.port}`;
    await page.goto(`http://127.0.0.1:${pagePort}/demo/?service=${encodeURIComponent(serviceOrigin)}`,
      { timeout: stepMs });
  }, { timeout: overallMs - 5_000 });

  after(async () => {
    if (page) await screenshot('idcard-last.png').catch(() => {});
    await closeBrowser(browser);
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
