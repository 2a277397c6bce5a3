// The demo page's USB-key panel against the simulated key: the page signs a text with the key,
// then verifies the signature with WebCrypto against the key's own certificate.
import { describe, before, after, test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdir } from 'node:fs/promises';
import { join } from 'node:path';
import {
  artifacts, closeDemo, openDemo, pressButton, runReport, startWatchdog,
} from './harness.mjs';

const overallMs = 90_000;
const stepMs = 20_000;

let demo;
let page;
const consoleLines = [];
const watchdog = startWatchdog('usbkey', overallMs + 15_000, () => demo?.service);

const describeRun = () => runReport(consoleLines, demo?.service);
// Clicks a button of the panel and waits until the panel has finished that action.
const press = (buttonId) => pressButton(page, buttonId, '#usbkey', stepMs);

const text = (id) => page.textContent(`#${id}`).then((t) => t.trim());
const status = () => text('uk-status');

describe('USB-key panel against the simulated key', { timeout: overallMs }, () => {
  before(async () => {
    demo = await openDemo('usbkey', { TARNWICK_SIM: '1' }, consoleLines,
      { viewport: { width: 1000, height: 1400 }, timeout: stepMs });
    page = demo.page;
    await page.waitForSelector('#service-status.pill-ok', { timeout: stepMs }).catch(() => {});
  }, { timeout: overallMs - 5_000 });

  after(async () => {
    await closeDemo(demo, 'usbkey-last.png');
    clearTimeout(watchdog);
  });

  test('reader name and serial number', async () => {
    assert.equal(await press('uk-reader'), 'reader:ok', `${await status()}\n${describeRun()}`);
    assert.equal(await text('uk-reader-name'), 'Tarnwick Virtual USB Key 0');
    assert.equal(await press('uk-serial'), 'serial:ok', await status());
    assert.equal(await text('uk-serial-number'), '7301000001');
  });

  test('sign, then verify with WebCrypto against the key\'s certificate', async () => {
    await page.fill('#uk-content', '本人确认 · I agree: 100.00 & more');
    assert.equal(await press('uk-sign'), 'sign:ok', `${await status()}\n${describeRun()}`);
    assert.equal(await page.getAttribute('#uk-verdict', 'data-valid'), 'yes');
    assert.match(await page.inputValue('#uk-signature'), /^[A-Za-z0-9+/]{342}==$/);
    assert.match(await page.inputValue('#uk-certificate'), /^-----BEGIN CERTIFICATE-----\n/);
    // Another text does not match the signature.
    await page.fill('#uk-content', '本人确认 · I agree: 900.00 & more');
    assert.equal(await press('uk-verify'), 'verify:invalid', await status());
    assert.equal(await page.getAttribute('#uk-verdict', 'data-valid'), 'no');
  });

  test('the client verifies only the key\'s own signatures', async () => {
    const outcome = await page.evaluate(async () => {
      const { TarnwickClient, UsbKey, verifySignature } = await import('/client/tarnwick.js');
      const key = new UsbKey(new TarnwickClient({ baseUrl: document.getElementById('service-url').value }));
      const signed = await key.sign('abc', '12345678');
      const cert = await key.readCertificate();
      const bytes = Uint8Array.from(atob(signed.signature), (c) => c.charCodeAt(0));
      bytes[100] ^= 1;
      const tampered = btoa(String.fromCharCode(...bytes));
      return {
        good: await verifySignature(cert.certificate, 'abc', signed.signature),
        tampered: await verifySignature(cert.certificate, 'abc', tampered),
        wrongPin: (await key.sign('abc', '0000')).code,
      };
    });
    assert.deepEqual(outcome, { good: true, tampered: false, wrongPin: -1 });
  });

  test('a wrong password is refused and shown', async () => {
    await page.fill('#uk-pin', '00000000');
    assert.equal(await press('uk-check'), 'check:error');
    assert.match(await status(), /Wrong password/);
    await page.fill('#uk-pin', '12345678');
    assert.equal(await press('uk-check'), 'check:ok', await status());
  });

  test('certificate password and signature picture go to the key and back', async () => {
    await page.fill('#uk-cert-pw', 'pfx-密码');
    assert.equal(await press('uk-certpw-write'), 'certpwwrite:ok', await status());
    await page.fill('#uk-cert-pw', '');
    assert.equal(await press('uk-certpw-read'), 'certpwread:ok', await status());
    assert.equal(await page.inputValue('#uk-cert-pw'), 'pfx-密码');

    assert.equal(await press('uk-picture-write'), 'picturewrite:ok', await status());
    assert.equal(await press('uk-picture-read'), 'pictureread:ok', await status());
    await page.waitForFunction(() => {
      const img = document.getElementById('uk-picture');
      return img.complete && img.naturalWidth > 0;
    }, null, { timeout: stepMs });
    assert.deepEqual(await page.$eval('#uk-picture', (img) => [img.naturalWidth, img.naturalHeight]), [300, 110]);
    assert.match(await page.getAttribute('#uk-picture', 'src'), /^data:image\/jpg;base64,\/9j\//);
    await mkdir(artifacts, { recursive: true });
    await page.screenshot({ path: join(artifacts, 'usbkey.png'), fullPage: true });
  });

  test('format leaves nothing to sign with; factory init brings a new key pair', async () => {
    const before = await page.inputValue('#uk-certificate');
    assert.equal(await press('uk-format'), 'format:ok', await status());
    assert.equal(await press('uk-sign'), 'sign:error');
    assert.equal(await press('uk-cert-read'), 'certread:error');
    assert.equal(await press('uk-factory'), 'factory:ok', await status());
    assert.equal(await press('uk-sign'), 'sign:ok', await status());
    assert.equal(await page.getAttribute('#uk-verdict', 'data-valid'), 'yes');
    assert.notEqual(await page.inputValue('#uk-certificate'), before);
  });
});
