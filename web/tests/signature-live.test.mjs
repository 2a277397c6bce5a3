// The demo's signature panel following the pen: the strokes appear on the page's canvas from the
// service's pen events while the simulated pen writes, the confirm key takes the picture and the
// data, the downloads are SVG and JSON, and a replay draws the same ink again.
import { describe, before, after, test } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import {
  artifacts, closeDemo, openDemo, pressButton, runReport, startWatchdog, stopService,
} from './harness.mjs';

const overallMs = 100_000;
const stepMs = 20_000;

let demo;
let page;
const consoleLines = [];
const asked = [];         // the signature routes the page asked for, in order
const watchdog = startWatchdog('signature live', overallMs + 15_000, () => demo?.service);

const describeRun = () => runReport(consoleLines, demo?.service);
const press = (buttonId) => pressButton(page, buttonId, '#signature-panel', stepMs);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Asked from the page: Node's fetch refuses the service's reply envelope (bare LF header lines).
function ask(path) {
  return page.evaluate(([url, ms]) => fetch(url, { signal: AbortSignal.timeout(ms) }).then((r) => r.text()),
    [`http://127.0.0.1:${demo.service.port}${path}`, stepMs]);
}

// Pixels of the live canvas with at least half their ink.
const ink = () => page.$eval('#signature-live', (c) => {
  const data = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  let n = 0;
  for (let i = 3; i < data.length; i += 4) if (data[i] >= 128) n++;
  return n;
});

const pointsOf = (data) => data.strokes.reduce((n, s) => n + s.length, 0);

// What the page handed to its last download.
const lastBlob = () => page.evaluate(async () => {
  const blob = window.downloads.at(-1);
  return { type: blob.type, text: await blob.text() };
});

describe('the signature panel follows the pen', { timeout: overallMs }, () => {
  let record;             // GetSignData once the pen rested
  let liveInk;

  before(async () => {
    // The simulated tablet signs once and waits; the test presses its confirm key.
    demo = await openDemo('signature-live', { TARNWICK_SIM: '1', TARNWICK_SIM_TABLET: 'sign' }, consoleLines,
      { viewport: { width: 1000, height: 1200 }, timeout: stepMs });
    page = demo.page;
    await page.context().addInitScript(() => {
      window.downloads = [];
      const make = URL.createObjectURL;
      URL.createObjectURL = (blob) => {
        window.downloads.push(blob);
        return make.call(URL, blob);
      };
    });
    await page.reload({ timeout: stepMs });
    page.on('request', (r) => {
      const url = new URL(r.url());
      if (url.pathname.startsWith('/Pemrik_Api/')) asked.push(`${url.pathname.slice(12)}${url.search}`);
    });
  }, { timeout: overallMs - 5_000 });

  after(async () => {
    // The capture program outlives a service killed; a service stopped ends it.
    if (demo?.service?.child.exitCode === null) {
      await page?.evaluate((url) => fetch(`${url}/Pemrik_Api/QuitPMProc`).catch(() => {}),
        `http://127.0.0.1:${demo.service.port}`).catch(() => {});
    }
    await closeDemo(demo, 'signature-live-last.png');
    clearTimeout(watchdog);
  });

  test('ink shows on the canvas while the pen writes, before any picture is asked for', async () => {
    assert.equal(await press('sig-open'), 'open:ok', describeRun());
    assert.equal(await press('sig-init'), 'init:ok', describeRun());
    await page.waitForFunction(() => {
      const c = document.getElementById('signature-live');
      const data = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
      let n = 0;
      for (let i = 3; i < data.length; i += 4) if (data[i] >= 128) n++;
      return !c.hidden && n >= 50;
    }, null, { timeout: stepMs, polling: 'raf' }).catch(() => assert.fail(`no ink on the canvas\n${describeRun()}`));
    assert.ok(!asked.includes('GetSign'), `the picture was asked for: ${asked.join(' ')}`);
    assert.equal(await page.getAttribute('#signature-panel', 'data-state'), 'signing');
    assert.equal(await page.isVisible('#signature-image'), false);

    // Once the pen rests, the page holds every stroke the capture program recorded.
    let before = -1;
    for (const end = Date.now() + stepMs; ;) {
      record = JSON.parse(await ask('/Pemrik_Api/GetSignData?format=json'));
      const shown = Number(await page.getAttribute('#signature-live', 'data-points'));
      if (pointsOf(record) > 0 && pointsOf(record) === before && shown === before) break;
      if (Date.now() > end) assert.fail(`the page shows ${shown} points, the record has ${pointsOf(record)}`);
      before = pointsOf(record);
      await sleep(300);
    }
    assert.equal(Number(await page.getAttribute('#signature-live', 'data-strokes')), record.strokes.length);
    assert.ok(record.strokes.length > 1, `${record.strokes.length} strokes`);
    liveInk = await ink();
    assert.ok(!asked.includes('GetSign'), `the picture was asked for: ${asked.join(' ')}`);
    await page.screenshot({ path: join(artifacts, 'signature-live.png'), fullPage: true });
  });

  test('the confirm key takes picture and data, and the downloads carry SVG and JSON', async () => {
    asked.length = 0;
    const answer = await ask('/Local/Simulate?device=signature&action=confirm');
    assert.equal(JSON.parse(answer).return, 0, answer);
    await page.waitForSelector('#signature-panel[data-state="confirmed"]', { timeout: stepMs })
      .catch(() => assert.fail(`no confirmation\n${describeRun()}`));
    // Taking the press empties the record: the data is read before it.
    assert.deepEqual(asked, ['GetSign', 'GetSignData?format=json', 'GetSignData?format=svg', 'GetConfirm']);
    assert.match(await page.getAttribute('#signature-image', 'src'), /^data:image\/png;base64,/);

    const cases = [
      { button: 'sig-svg', name: 'signature.svg', type: 'image/svg+xml',
        check: (text) => {
          assert.match(text, /^<\?xml[^>]*>\s*<svg [^>]*viewBox="0 0 600 300"/);
          assert.ok((text.match(/<path /g) ?? []).length >= record.strokes.length, 'a path per stroke at least');
        } },
      { button: 'sig-json', name: 'signature.json', type: 'application/json',
        check: (text) => {
          const data = JSON.parse(text);
          assert.deepEqual([data.width, data.height, data.dropped], [600, 300, 0]);
          assert.match(data.model, /^0b57:/);
          assert.deepEqual(data.strokes, record.strokes);
        } },
    ];
    for (const c of cases) {
      const [file, done] = await Promise.all([page.waitForEvent('download', { timeout: stepMs }), press(c.button)]);
      assert.equal(done, `${c.button.slice(4)}:ok`);
      assert.equal(file.suggestedFilename(), c.name);
      const blob = await lastBlob();
      assert.equal(blob.type, c.type);
      c.check(blob.text);
    }
  });

  test('replay draws the same ink as the pen did live', async () => {
    assert.equal(await press('sig-replay'), 'replay:ok', describeRun());
    assert.equal(await page.isVisible('#signature-live'), true);
    assert.equal(await page.isVisible('#signature-image'), false);
    const replayed = await ink();
    assert.ok(Math.abs(replayed - liveInk) <= liveInk * 0.01, `replay ${replayed} inked pixels, live ${liveInk}`);
    await page.screenshot({ path: join(artifacts, 'signature-replayed.png'), fullPage: true });
  });

  test('the service stopping takes the signature and its data off the page', async () => {
    await stopService(demo.service);
    await page.waitForSelector('#signature-panel[data-state="idle"] #signature-hint:not([hidden])', { timeout: stepMs })
      .catch(() => assert.fail(`the panel kept the signature\n${describeRun()}`));
    for (const id of ['sig-save', 'sig-svg', 'sig-json', 'sig-replay']) assert.equal(await page.isDisabled(`#${id}`), true, id);
    assert.equal(await ink(), 0);
  });
});
