// The demo page's card-terminal panel against the simulated terminal (mass-storage path), in a
// real browser: open, read records, and the fingerprint picture.
import { describe, before, after, test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdir, readFile } from 'node:fs/promises';
import { join } from 'node:path';
import { artifacts, closeDemo, openDemo, pressButton, runReport, startWatchdog } from './harness.mjs';

const overallMs = 90_000;
const stepMs = 15_000;

let demo;             // { service, staticServer, browser, page }
let page;
const consoleLines = [];
const watchdog = startWatchdog('cardterminal', overallMs + 15_000, () => demo?.service);

const describeRun = () => runReport(consoleLines, demo?.service);
// Clicks a panel button and waits until the panel has finished that action.
const press = (buttonId) => pressButton(page, buttonId, '#terminal', stepMs);
const text = (id) => page.textContent(`#${id}`).then((t) => t.trim());

describe('card-terminal panel against the simulated terminal', { timeout: overallMs }, () => {
  before(async () => {
    demo = await openDemo('cardterminal', { TARNWICK_SIM: '1', TARNWICK_SIM_TERMINAL: 'disk' }, consoleLines,
      { viewport: { width: 1000, height: 1400 }, timeout: stepMs });
    page = demo.page;
  }, { timeout: overallMs - 5_000 });

  after(async () => {
    await closeDemo(demo, 'cardterminal-last.png');
    clearTimeout(watchdog);
  });

  test('Open, then Read shows the card\'s training sessions', async () => {
    await page.fill('#term-card-port', '70000');
    assert.equal(await press('term-open'), 'open:ok', `${await text('term-message')}\n${describeRun()}`);
    assert.match(await text('term-version'), /^JRS_40QK_CardDll /);
    await page.selectOption('#term-kind', 'card:2');
    assert.equal(await press('term-read'), 'read:ok', `${await text('term-message')}\n${describeRun()}`);
    const rows = await page.$$eval('#term-table tbody tr', (trs) => trs.map((tr) => [...tr.cells].map((c) => c.textContent)));
    assert.equal(rows.length, 3);
    assert.deepEqual(rows[0].slice(0, 3), ['0', '20260110', '0830']);
    const heads = await page.$$eval('#term-table thead th', (ths) => ths.map((th) => th.textContent));
    assert.deepEqual(heads.slice(0, 4), ['#', 'date', 'start', 'end']);

    // The state record shows the card port as the library received it: 70000 cut to 16 bits.
    await page.selectOption('#term-kind', 'state:0');
    assert.equal(await press('term-read'), 'read:ok', describeRun());
    assert.match(await page.textContent('#term-text'), /\|cardPort=4464\|/);
  });

  test('a record past the end shows the terminal\'s message', async () => {
    await page.selectOption('#term-kind', 'card:1');
    await page.fill('#term-index', '5');
    assert.equal(await press('term-read'), 'read:error', describeRun());
    assert.match(await text('term-message'), /no such record \(return -7\)/);
    await page.fill('#term-index', '0');
  });

  test('Fingerprint shows the 152 x 200 picture the service wrote to Log/Fpr.bmp', async () => {
    await page.selectOption('#term-finger', '1');
    assert.equal(await press('term-fingerprint'), 'fingerprint:ok', `${await text('term-message')}\n${describeRun()}`);
    await page.waitForFunction(() => {
      const img = document.getElementById('term-picture');
      return img.complete && img.naturalWidth > 0;
    }, null, { timeout: stepMs });
    const shown = await page.$eval('#term-picture', (img) => ({
      size: [img.naturalWidth, img.naturalHeight, !img.hidden],
      src: img.src,
      // Grey levels of the picture as the browser decoded it: a fingerprint, not a flat field.
      greys: (() => {
        const c = document.createElement('canvas');
        c.width = img.naturalWidth;
        c.height = img.naturalHeight;
        const g = c.getContext('2d');
        g.drawImage(img, 0, 0);
        const d = g.getImageData(0, 0, c.width, c.height).data;
        const levels = new Set();
        for (let i = 0; i < d.length; i += 4) levels.add(d[i]);
        return [levels.size, d[(100 * c.width + 76) * 4], d[0]];
      })(),
    }));
    assert.deepEqual(shown.size, [152, 200, true]);
    assert.ok(shown.greys[0] > 50, `only ${shown.greys[0]} grey levels`);
    assert.equal(shown.greys[2], 255, 'the corner lies outside the finger');
    const file = await readFile(join(demo.service.dir, 'Log', 'Fpr.bmp'));
    assert.equal(shown.src, `data:image/bmp;base64,${file.toString('base64')}`);
    await mkdir(artifacts, { recursive: true });
    await page.screenshot({ path: join(artifacts, 'cardterminal.png'), fullPage: true });
  });

  test('the sensor\'s fingerprint and Close', async () => {
    await page.selectOption('#term-finger', 'sensor');
    assert.equal(await press('term-fingerprint'), 'fingerprint:ok', `${await text('term-message')}\n${describeRun()}`);
    assert.equal(await press('term-close'), 'close:ok', describeRun());
    assert.equal(await press('term-read'), 'read:error', describeRun());
    assert.match(await text('term-message'), /not open/);
  });
});
