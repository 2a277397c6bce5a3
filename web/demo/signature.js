// The demo page's signature panel; see ../client/signature.js.
import { TarnwickClient, SignaturePad } from '../client/tarnwick.js';
import { live } from './live.js';

const $ = (id) => document.getElementById(id);
const panel = $('signature-panel');
const params = new URLSearchParams(location.search);
let pad = null;
let preview = null;       // AbortController of the live preview
let signature = null;     // the confirmed picture's data URL
let seq = 0;

async function connect() {
  const url = params.get('service') || $('service-url')?.value.trim();
  const client = url ? new TarnwickClient({ baseUrl: url }) : await TarnwickClient.find();
  if (!client) throw new Error('Tarnwick service not found on ports 12321, 61234, 23456');
  return new SignaturePad(client);
}

function setStatus(kind, text) {
  $('signature-status').className = `pill pill-${kind}`;
  $('signature-status').textContent = text;
}

function showError(text) {
  $('signature-error').textContent = text;
  $('signature-error').hidden = !text;
}

function showPicture(dataUrl) {
  $('signature-image').src = dataUrl;
  $('signature-image').hidden = false;
  $('signature-hint').hidden = true;
}

function stopPreview() {
  preview?.abort();
  preview = null;
}

// Runs one button's work; the panel's attributes let scripts wait for it.
async function run(action, work) {
  panel.dataset.state = 'busy';
  let result = 'error';
  try {
    pad ??= await connect();
    const r = await work();
    result = r.outcome ?? (r.ok ? 'ok' : 'error');
    showError(r.ok ? '' : r.info);
  } catch (e) {
    showError(e.message);
  } finally {
    panel.dataset.last = `${action}:${result}`;
    if (panel.dataset.state === 'busy') panel.dataset.state = 'idle';
    panel.dataset.seq = String(++seq);
  }
}

// Live preview until the tablet's confirm key: the last picture before it is the signature.
async function watch() {
  stopPreview();
  preview = new AbortController();
  const { signal } = preview;
  try {
    const r = await pad.waitForConfirm({ intervalMs: 250, onFrame: showPicture, signal });
    if (!r.ok) {
      showError(r.info);
      setStatus('bad', '连接中断 · Disconnected');
      return;
    }
    signature = r.dataUrl;
    if (signature) showPicture(signature);
    $('sig-save').disabled = !signature;
    panel.dataset.state = 'confirmed';
    panel.dataset.confirmed = String(Number(panel.dataset.confirmed ?? 0) + 1);
    setStatus('ok', '已确认 · Confirmed');
  } catch (e) {
    if (!signal.aborted) showError(e.message);
  }
}

const actions = {
  'sig-open': ['open', async () => {
    const r = await pad.open();
    if (r.ok) setStatus('ok', r.started ? '已启动 · Started' : '已连接 · Connected');
    return r;
  }],
  'sig-init': ['init', async () => {
    const r = await pad.init();
    if (r.ok) {
      signature = null;
      $('sig-save').disabled = true;
      setStatus('wait', '请签名 · Sign now');
      watch();
      panel.dataset.state = 'signing';
    }
    return r;
  }],
  'sig-clear': ['clear', async () => {
    const r = await pad.clear();
    if (r.ok) $('signature-image').removeAttribute('src');
    return r;
  }],
  'sig-confirm': ['confirm', async () => {
    // Asking by hand: the preview, when it runs, asks as well and keeps the picture.
    stopPreview();
    const picture = await pad.getSign();
    const r = await pad.confirm();
    if (r.pressed && picture.dataUrl) {
      signature = picture.dataUrl;
      showPicture(signature);
      $('sig-save').disabled = false;
      setStatus('ok', '已确认 · Confirmed');
      return { ...r, outcome: 'pressed' };
    }
    if (panel.dataset.state === 'signing') watch();
    return { ...r, outcome: 'notpressed' };
  }],
  'sig-save': ['save', async () => {
    const link = document.createElement('a');
    link.href = signature;
    link.download = 'signature.png';
    link.click();
    return { ok: Boolean(signature) };
  }],
  'sig-quit': ['quit', async () => {
    stopPreview();
    const r = await pad.quit();
    setStatus('wait', '未连接 · Not open');
    return r;
  }],
};
for (const [id, [action, work]] of Object.entries(actions)) $(id).addEventListener('click', () => run(action, work));

// With the service gone, "Confirmed" and the picture speak of a signing that may be over.
live.addEventListener('down', () => {
  stopPreview();
  pad = null;
  signature = null;
  $('signature-image').hidden = true;
  $('signature-image').removeAttribute('src');
  $('signature-hint').hidden = false;
  $('sig-save').disabled = true;
  showError('');
  setStatus('bad', '服务不可达 · Service not reachable');
  panel.dataset.state = 'idle';
});
live.addEventListener('up', () => setStatus('wait', '未连接 · Not open'));
