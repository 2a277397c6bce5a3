// The demo page live: the simulation moves devices and cards, and each event reaches its panel
// through the event stream; the service dies and comes back; the page at phone width.
import { describe, before, after, test } from 'node:test';
import assert from 'node:assert/strict';
import {
  closeDemo, openDemo, pressButton, runReport, startService, startWatchdog, stopService,
} from './harness.mjs';

const overallMs = 150_000;
const stepMs = 20_000;
const env = { TARNWICK_SIM: '1', TARNWICK_SIM_TABLET: 'sign,confirm' };
const families = ['idcard', 'signature', 'terminal', 'usbkey'];

let demo;             // { service, staticServer, browser, page }
let page;
const consoleLines = [];
const watchdog = startWatchdog('events', overallMs + 15_000, () => demo?.service);

const describeRun = () => runReport(consoleLines, demo?.service);
const text = (id) => page.textContent(`#${id}`).then((t) => t.trim());
const waitFor = (selector, what) => page.waitForSelector(selector, { timeout: stepMs, state: 'attached' })
  .catch(() => assert.fail(`${what}: no ${selector}\n${describeRun()}`));

// Asked from the page: Node's fetch refuses the service's reply envelope (bare LF header lines).
async function ask(path) {
  return page.evaluate(([url, ms]) => fetch(url, { signal: AbortSignal.timeout(ms) }).then((r) => r.text()),
    [`http://127.0.0.1:${demo.service.port}${path}`, stepMs]);
}

async function simulate(device, action) {
  const answer = await ask(`/Local/Simulate?device=${device}&action=${action}`);
  assert.equal(JSON.parse(answer).return, 0, `${device} ${action}: ${answer}`);
}

describe('live device events on the demo page', { timeout: overallMs }, () => {
  before(async () => {
    demo = await openDemo('events', env, consoleLines, { viewport: { width: 1000, height: 1200 }, timeout: stepMs });
    page = demo.page;
  }, { timeout: overallMs - 5_000 });

  after(async () => {
    await closeDemo(demo, 'events-last.png');
    clearTimeout(watchdog);
  });

  test('the page is named for the device bridge, and each panel shows its device from the snapshot', async () => {
    assert.match(await page.title(), /Device bridge demo/);
    for (const family of families) await waitFor(`#presence-${family}[data-present="yes"]`, `${family} at start`);
  });

  test('plugging each device out and in shows on its panel alone', async () => {
    for (const family of families) {
      await simulate(family, 'unplug');
      await waitFor(`#presence-${family}[data-present="no"]`, `${family} unplugged`);
      const others = await page.$$eval('.presence[data-family]', (els, f) =>
        els.filter((el) => el.dataset.family !== f).map((el) => el.dataset.present), family);
      assert.deepEqual(others, ['yes', 'yes', 'yes'], `only ${family} went away`);
      await simulate(family, 'plug');
      await waitFor(`#presence-${family}[data-present="yes"]`, `${family} plugged back`);
    }
  });

  test('with the switch on, a card placed on the reader is read and its holder shown', async () => {
    await page.selectOption('#port', '1001');
    await page.check('#auto-read');
    await simulate('idcard', 'remove');
    // Whatever the reader held before, the page now shows an empty reader and no holder.
    await page.waitForFunction(() => document.getElementById('card-state').dataset.present === 'no'
      && document.body.dataset.state === 'idle' && document.getElementById('field-name').textContent === '',
    null, { timeout: stepMs }).catch(() => assert.fail(`card removal not shown\n${describeRun()}`));
    const seq = Number(await page.getAttribute('body', 'data-seq'));
    await simulate('idcard', 'place');
    await page.waitForFunction((before) => Number(document.body.dataset.seq) > before
      && document.getElementById('field-name').textContent !== '', seq, { timeout: stepMs })
      .catch(() => assert.fail(`placed card not read\n${describeRun()}`));
    assert.equal(await page.getAttribute('body', 'data-last'), 'autoread:ok', describeRun());
    assert.equal(await text('field-name'), '林小满');
    assert.equal(await page.getAttribute('#card-state', 'data-present'), 'yes');
    assert.equal(await page.isVisible('#photo'), true);
  });

  test('when the service dies, no panel keeps the last holder or "Confirmed"', async () => {
    const press = (id) => pressButton(page, id, '#signature-panel', stepMs);
    assert.equal(await press('sig-open'), 'open:ok', describeRun());
    assert.equal(await press('sig-init'), 'init:ok', describeRun());
    await waitFor('#signature-panel[data-state="confirmed"]', 'signature confirmed');
    assert.match(await text('signature-status'), /Confirmed/);
    // The capture program outlives the service: end it behind the panel's back, then kill the service.
    await ask('/Pemrik_Api/QuitPMProc');
    assert.equal(await text('field-name'), '林小满', 'the holder is on screen before');
    const exited = new Promise((r) => demo.service.child.once('exit', r));
    demo.service.child.kill('SIGKILL');
    await exited;

    await waitFor('body[data-service="down"]', 'service down');
    assert.equal(await text('field-name'), '');
    assert.equal(await page.isVisible('#photo'), false);
    assert.doesNotMatch(await text('signature-status'), /Confirmed/);
    assert.equal(await page.isVisible('#signature-image'), false);
    assert.equal(await page.isDisabled('#sig-save'), true);
    assert.match(await page.getAttribute('#service-status', 'class'), /pill-bad/);
    const badges = await page.$$eval('.presence[data-family]', (els) => els.map((el) => el.dataset.present));
    assert.deepEqual(badges, ['down', 'down', 'down', 'down']);
    assert.match(await text('presence-usbkey'), /Service not reachable/);
  });

  test('the stream comes back by itself when the service restarts', async () => {
    const port = demo.service.port;
    await stopService(demo.service);
    demo.service = null;
    demo.service = await startService('events-again', env);
    assert.equal(demo.service.port, port, 'the service came back on its port');
    await waitFor('body[data-service="up"]', 'service back');
    for (const family of families) await waitFor(`#presence-${family}[data-present="yes"]`, `${family} after restart`);
    await waitFor('#service-status.pill-ok', 'the header says the service runs');
    // Events flow on the new stream too.
    await simulate('usbkey', 'unplug');
    await waitFor('#presence-usbkey[data-present="no"]', 'usbkey unplugged after restart');
  });

  test('at 420 px the page, with a card and terminal records shown, is no wider than the screen', async () => {
    await page.setViewportSize({ width: 420, height: 900 });
    assert.equal(await pressButton(page, 'btn-read', 'body', stepMs), 'read:ok', describeRun());
    const term = (id) => pressButton(page, id, '#terminal', stepMs);
    assert.equal(await term('term-open'), 'open:ok', describeRun());
    await page.selectOption('#term-kind', 'card:2');
    assert.equal(await term('term-read'), 'read:ok', describeRun());
    const layout = await page.evaluate(() => {
      const cells = [...document.querySelectorAll('#term-table td')];
      return {
        page: document.documentElement.scrollWidth,
        screen: document.documentElement.clientWidth,
        cells: cells.length,
        // Cells past the terminal panel's right edge are cut off by it.
        cut: cells.filter((c) => c.getBoundingClientRect().right > document.getElementById('terminal')
          .getBoundingClientRect().right).map((c) => c.textContent),
      };
    });
    assert.ok(layout.page <= layout.screen, `page ${layout.page} px wide on a ${layout.screen} px screen`);
    assert.ok(layout.cells > 0, 'records shown');
    assert.deepEqual(layout.cut, []);
  });
});
