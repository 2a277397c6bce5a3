// The demo page's signature panel, served from another origin, captures the simulated
// signature through the service and the capture program, and shows the service's errors.
import { describe, before, after, test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdir, writeFile } from 'node:fs/promises';
import { join } from 'node:path';
import { inflateSync } from 'node:zlib';
import {
  artifacts, closeDemo, openDemo, pressButton, runReport, startWatchdog,
} from './harness.mjs';

const overallMs = 100_000;
const stepMs = 20_000;

let demo;
let page;
const consoleLines = [];
const watchdog = startWatchdog('signature', overallMs + 15_000, () => demo?.service);

const describeRun = () => runReport(consoleLines, demo?.service);
// Clicks a button of the panel and waits until the panel has finished that action.
const press = (buttonId) => pressButton(page, buttonId, '#signature-panel', stepMs);

// Width, height, colour type and the count of opaque pixels of an 8-bit RGBA PNG.
function decodePng(bytes) {
  assert.deepEqual([...bytes.subarray(0, 8)], [0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A]);
  let pos = 8;
  let header;
  const idat = [];
  while (pos < bytes.length) {
    const length = bytes.readUInt32BE(pos);
    const kind = bytes.toString('latin1', pos + 4, pos + 8);
    const body = bytes.subarray(pos + 8, pos + 8 + length);
    if (kind === 'IHDR') header = { width: body.readUInt32BE(0), height: body.readUInt32BE(4), depth: body[8], colour: body[9] };
    if (kind === 'IDAT') idat.push(body);
    pos += 12 + length;
  }
  const raw = inflateSync(Buffer.concat(idat));
  const stride = header.width * 4;
  let previous = Buffer.alloc(stride);
  let opaque = 0;
  for (let y = 0, i = 0; y < header.height; y++) {
    const filter = raw[i];
    const line = Buffer.from(raw.subarray(i + 1, i + 1 + stride));
    i += 1 + stride;
    for (let x = 0; x < stride; x++) {
      const a = x >= 4 ? line[x - 4] : 0;
      const b = previous[x];
      const c = x >= 4 ? previous[x - 4] : 0;
      const p = a + b - c;
      const paeth = Math.abs(p - a) <= Math.min(Math.abs(p - b), Math.abs(p - c)) ? a
        : Math.abs(p - b) <= Math.abs(p - c) ? b : c;
      line[x] = (line[x] + [0, a, b, (a + b) >> 1, paeth][filter]) & 255;
    }
    for (let x = 3; x < stride; x += 4) if (line[x] !== 0) opaque++;
    previous = line;
  }
  return { ...header, opaque };
}

describe('signature panel against the simulated tablet', { timeout: overallMs }, () => {
  before(async () => {
    demo = await openDemo('signature', { TARNWICK_SIM: '1', TARNWICK_SIM_TABLET: 'sign,confirm' }, consoleLines,
      { viewport: { width: 1000, height: 1200 }, timeout: stepMs });
    page = demo.page;
  }, { timeout: overallMs - 5_000 });

  after(async () => {
    // The capture program outlives the service; end it.
    await page?.evaluate((url) => fetch(`${url}/Pemrik_Api/QuitPMProc`).catch(() => {}),
      `http://127.0.0.1:${demo?.service?.port}`).catch(() => {});
    await closeDemo(demo, 'signature-last.png');
    clearTimeout(watchdog);
  });

  test('open, sign on the tablet, confirm: the page holds the signature', async () => {
    assert.equal(await press('sig-open'), 'open:ok', describeRun());
    assert.equal(await press('sig-init'), 'init:ok', describeRun());
    await page.waitForSelector('#signature-panel[data-state="confirmed"]', { timeout: 30_000 })
      .catch(() => assert.fail(`no confirmation\n${describeRun()}`));
    const src = await page.getAttribute('#signature-image', 'src');
    assert.ok(src.startsWith('data:image/png;base64,'), src.slice(0, 60));
    const png = Buffer.from(src.slice('data:image/png;base64,'.length), 'base64');
    const picture = decodePng(png);
    assert.deepEqual([picture.width, picture.height, picture.depth, picture.colour], [600, 300, 8, 6]);
    assert.ok(picture.opaque > 2000, `only ${picture.opaque} inked pixels`);
    assert.equal(await page.isDisabled('#sig-save'), false);
    assert.equal(await page.isVisible('#signature-error'), false);
    await mkdir(artifacts, { recursive: true });
    await writeFile(join(artifacts, 'signature-captured.png'), png);
    await page.screenshot({ path: join(artifacts, 'signature.png'), fullPage: true });
  });

  test('after quit, signing shows the service\'s failure on the page', async () => {
    assert.equal(await press('sig-quit'), 'quit:ok', describeRun());
    assert.equal(await press('sig-init'), 'init:error', describeRun());
    assert.equal(await page.isVisible('#signature-error'), true);
    assert.match(await page.textContent('#signature-error'), /not connected/);
    await page.screenshot({ path: join(artifacts, 'signature-error.png'), fullPage: true });
  });
});
