// The demo page's signature panel; see ../client/signature.js and ../client/pen.js.
import { TarnwickClient, SignaturePad, clearCanvas, followPen, replayStrokes } from '../client/tarnwick.js';
import { live } from './live.js';

const $ = (id) => document.getElementById(id);
const panel = $('signature-panel');
const canvas = /** @type {HTMLCanvasElement} */ ($('signature-live'));
const context = canvas.getContext('2d');
const params = new URLSearchParams(location.search);
let pad = null;
let preview = null;       // AbortController of the picture preview (without the pen's stream)
let pen = null;           // the pen followed live: { stream, follow }
let replaying = null;     // AbortController of a replay
let signature = null;     // the confirmed picture's data URL
let signData = null;      // its strokes (GetSignData as JSON)
let signSvg = null;       // and as SVG
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

// What the figure shows: 'picture' (the PNG), 'canvas' (the pen live, or a replay) or 'hint'.
function show(what) {
  $('signature-image').hidden = what !== 'picture';
  canvas.hidden = what !== 'canvas';
  $('signature-hint').hidden = what !== 'hint';
}

function showPicture(dataUrl) {
  $('signature-image').src = dataUrl;
  show('picture');
}

function setSignature(picture, data, svg) {
  signature = picture;
  signData = data;
  signSvg = svg;
  $('sig-save').disabled = !signature;
  $('sig-json').disabled = !signData;
  $('sig-svg').disabled = !signSvg;
  $('sig-replay').disabled = !signData?.strokes.length;
}

function stopPreview() {
  preview?.abort();
  preview = null;
}

function stopPen() {
  pen?.follow.stop();
  pen?.stream.close();
  pen = null;
}

function stopReplay() {
  replaying?.abort(new DOMException('replay stopped', 'AbortError'));
  replaying = null;
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

function confirmed(picture, data, svg) {
  stopPen();
  stopPreview();
  setSignature(picture, data, svg);
  if (picture) showPicture(picture);
  panel.dataset.state = 'confirmed';
  panel.dataset.confirmed = String(Number(panel.dataset.confirmed ?? 0) + 1);
  setStatus('ok', '已确认 · Confirmed');
}

// The press stays until GetConfirm takes it, and taking it empties the canvas and its strokes:
// the picture and the data come first. Resolves to whether the key had been pressed.
async function takeSignature() {
  const picture = await pad.getSign();
  const data = await pad.signatureData('json').catch(() => null);
  const svg = data ? await pad.signatureData('svg').catch(() => null) : null;
  const r = await pad.confirm();
  if (r.pressed && picture.dataUrl) confirmed(picture.dataUrl, data, svg);
  return r;
}

// Without the pen's stream: a picture every 250 ms until the confirm key (no data for downloads,
// as the confirmation empties the strokes with the canvas).
async function watchPictures() {
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
    confirmed(r.dataUrl, null, null);
  } catch (e) {
    if (!signal.aborted) showError(e.message);
  }
}

// The strokes drawn as the pen moves, from the service's pen events; the confirm key's event
// takes the signature. Falls back to pictures when the stream cannot be had.
function watch() {
  stopPen();
  stopPreview();
  stopReplay();
  clearCanvas(context);
  canvas.dataset.points = '0';
  canvas.dataset.strokes = '0';
  show('canvas');
  const stream = pad.client.events({ topics: ['pen', 'confirm'] });
  const follow = followPen(stream, {
    context,
    onUpdate: (follower) => {
      canvas.dataset.points = String(follower.pointCount);
      canvas.dataset.strokes = String(follower.strokes.length);
    },
  });
  const current = { stream, follow };
  pen = current;
  let opened = false;
  stream.addEventListener('open', () => { opened = true; });
  stream.addEventListener('error', () => {
    if (opened || pen !== current) return;
    stopPen();
    watchPictures();
  });
  stream.addEventListener('confirm', () => {
    if (pen !== current || panel.dataset.state !== 'signing') return;
    takeSignature().catch((e) => showError(e.message));
  });
}

// Saves text or a data URL under a name.
function download(name, content, type) {
  const link = document.createElement('a');
  const url = type ? URL.createObjectURL(new Blob([content], { type })) : content;
  link.href = url;
  link.download = name;
  link.click();
  // The download has its own copy once started.
  if (type) setTimeout(() => URL.revokeObjectURL(url), 60_000);
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
      setSignature(null, null, null);
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
    // Asking by hand: the picture preview, when it runs, asks as well and keeps the picture.
    const pictures = preview !== null;
    stopPreview();
    const r = await takeSignature();
    if (r.pressed) return { ...r, outcome: 'pressed' };
    if (pictures && panel.dataset.state === 'signing') watchPictures();
    return { ...r, outcome: 'notpressed' };
  }],
  'sig-save': ['save', async () => {
    download('signature.png', signature, null);
    return { ok: Boolean(signature) };
  }],
  'sig-svg': ['svg', async () => {
    download('signature.svg', signSvg, 'image/svg+xml');
    return { ok: Boolean(signSvg) };
  }],
  'sig-json': ['json', async () => {
    download('signature.json', JSON.stringify(signData), 'application/json');
    return { ok: Boolean(signData) };
  }],
  'sig-replay': ['replay', async () => {
    stopReplay();
    replaying = new AbortController();
    show('canvas');
    panel.dataset.state = 'replaying';
    try {
      await replayStrokes(context, signData.strokes, { signal: replaying.signal });
    } finally {
      replaying = null;
      if (panel.dataset.state === 'replaying') panel.dataset.state = 'confirmed';
    }
    return { ok: true };
  }],
  'sig-quit': ['quit', async () => {
    stopPreview();
    stopPen();
    const r = await pad.quit();
    setStatus('wait', '未连接 · Not open');
    return r;
  }],
};
for (const [id, [action, work]] of Object.entries(actions)) $(id).addEventListener('click', () => run(action, work));

// With the service gone, "Confirmed" and the picture speak of a signing that may be over.
live.addEventListener('down', () => {
  stopPreview();
  stopPen();
  stopReplay();
  pad = null;
  setSignature(null, null, null);
  $('signature-image').removeAttribute('src');
  clearCanvas(context);
  show('hint');
  showError('');
  setStatus('bad', '服务不可达 · Service not reachable');
  panel.dataset.state = 'idle';
});
live.addEventListener('up', () => setStatus('wait', '未连接 · Not open'));
