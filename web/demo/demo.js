// Counter demo for the Tarnwick ID-card routes; see ../client/tarnwick.js.
import { TarnwickClient, CARD_FIELDS, SERVICE_PORTS } from '../client/tarnwick.js';
import { live, watch } from './live.js';

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);
let client = null;
let seq = 0;
let readWhenFree = false; // a card placed while another action ran

for (let p = 1001; p <= 1016; p++) $('port').add(new Option(String(p), String(p)));
if (params.get('port')) $('port').value = params.get('port');

function setServiceStatus(kind, text, version = '—') {
  const pill = $('service-status');
  pill.className = `pill pill-${kind}`;
  pill.textContent = text;
  $('service-version').textContent = version;
}

function showError(text) {
  $('error-text').textContent = text;
  $('error-banner').hidden = false;
  $('status-line').hidden = true;
}

function showStatus(text) {
  $('error-banner').hidden = true;
  $('status-line').textContent = text;
  $('status-line').hidden = false;
}

function log(action, outcome) {
  const item = document.createElement('li');
  item.textContent = `${new Date().toLocaleTimeString()}  ${action}  ${outcome}`;
  $('log').prepend(item);
  while ($('log').children.length > 30) $('log').lastChild.remove();
}

// A failed read must not leave the previous holder's data on screen.
function clearCard() {
  for (const f of CARD_FIELDS) $(`field-${f}`).textContent = '';
  $('photo').hidden = true;
  $('photo').removeAttribute('src');
  $('photo-placeholder').hidden = false;
  setFingerprint(null);
  $('field-cardNo').textContent = '—';
}

function setFingerprint(card) {
  const el = $('field-fingerprint');
  if (!card) {
    el.textContent = '未读 · not read';
    el.dataset.present = '';
  } else if (card.hasFingerprint) {
    const bytes = Math.floor(card.fingerprintBase64.replace(/=+$/, '').length * 3 / 4);
    el.textContent = `有 · present (${bytes} bytes)`;
    el.dataset.present = 'yes';
  } else {
    el.textContent = Number($('read-type').value) >= 3 ? '无 · none on this card' : '未读 · not requested';
    el.dataset.present = 'no';
  }
}

function showCard(card) {
  clearCard();
  if (card.fields) for (const f of CARD_FIELDS) $(`field-${f}`).textContent = card.fields[f];
  if (card.photoDataUrl) {
    $('photo').src = card.photoDataUrl;
    $('photo').hidden = false;
    $('photo-placeholder').hidden = true;
  }
  setFingerprint(card);
  if (card.cardNo) $('field-cardNo').textContent = card.cardNo;
}

async function connect(baseUrl) {
  setServiceStatus('wait', '检测中 · Checking…');
  try {
    const candidate = baseUrl ? new TarnwickClient({ baseUrl }) : await TarnwickClient.find();
    if (!candidate) throw new Error('no answer on ports 12321, 61234, 23456');
    const version = await candidate.version();
    client = candidate;
    $('service-url').value = client.baseUrl;
    setServiceStatus('ok', '服务在线 · Service running', version);
    follow();
    return true;
  } catch (e) {
    client = null;
    setServiceStatus('bad', '服务未运行 · Service not found');
    showError(`未找到本机读卡服务，请确认 Tarnwick 已启动。 The Tarnwick service is not reachable (${e.message}).`);
    // Keep listening: the page comes alive when the service starts.
    follow();
    return false;
  }
}

// The event stream follows the service in the address field, and the port while the switch is on.
function follow() {
  const url = client?.baseUrl || $('service-url').value.trim() || params.get('service')
    || `http://127.0.0.1:${SERVICE_PORTS[0]}`;
  watch(url, { cardPort: $('auto-read').checked ? Number($('port').value) : null });
}

// Runs one button's work; the body attributes let scripts wait for it.
async function run(action, work) {
  document.body.dataset.state = 'busy';
  for (const b of document.querySelectorAll('button')) b.disabled = true;
  let outcome = 'error';
  try {
    if (!client && !(await connect($('service-url').value.trim()))) return;
    const port = Number($('port').value);
    const r = await work(port);
    outcome = r.outcome ?? (r.ok ? 'ok' : 'error');
    log(`${action} ${port}`, JSON.stringify(r.raw).slice(0, 160));
    if (r.ok) showStatus(r.message);
    else showError(r.raw.info ? `${r.info} (return ${r.code})` : r.info);
  } catch (e) {
    log(action, String(e));
    showError(`${e.message}`);
    if (e.name === 'TarnwickError' && e.kind !== 'format') setServiceStatus('bad', '连接中断 · Connection lost');
  } finally {
    for (const b of document.querySelectorAll('button')) b.disabled = false;
    document.body.dataset.last = `${action}:${outcome}`;
    document.body.dataset.state = 'idle';
    document.body.dataset.seq = String(++seq);
    if (readWhenFree) {
      readWhenFree = false;
      autoRead();
    }
  }
}

const actions = {
  'btn-open': ['open', async (port) => ({ ...(await client.openPort(port)), message: `已打开端口 ${port} · Port ${port} opened` })],
  'btn-close': ['close', async (port) => {
    const r = await client.closePort(port);
    // The routes open and close the reader themselves, so 0 (not open) is harmless.
    if (!r.ok && r.code === 0) {
      return { ...r, ok: true, outcome: 'notopen', message: `端口 ${port} 未打开，无需关闭 · Port ${port} was not open` };
    }
    return { ...r, message: `已关闭端口 ${port} · Port ${port} closed` };
  }],
  'btn-read': ['read', async (port) => {
    const card = await client.readCard(port, Number($('read-type').value));
    if (card.ok) showCard(card);
    else clearCard();
    return { ...card, message: card.fields?.name ? `读卡成功 · Read OK: ${card.fields.name}` : '读卡成功 · Read OK' };
  }],
  'btn-cardno': ['cardno', async (port) => {
    const r = await client.getCardNo(port);
    $('field-cardNo').textContent = r.cardNo ?? '—';
    return { ...r, message: `卡号 · Card number ${r.cardNo}` };
  }],
  'btn-samid': ['samid', async (port) => {
    const r = await client.getSamId(port);
    $('field-samId').textContent = r.samId ?? '—';
    return { ...r, message: `SAM ID ${r.samId}` };
  }],
};
for (const [id, [action, work]] of Object.entries(actions)) $(id).addEventListener('click', () => run(action, work));

// A placed card is read once, as the Read button would.
function autoRead() {
  if (document.body.dataset.state === 'busy') readWhenFree = true;
  else run('autoread', actions['btn-read'][1]);
}

function setCardState(present) {
  const el = $('card-state');
  el.dataset.present = present === true ? 'yes' : present === false ? 'no' : '';
  el.textContent = present === true ? '卡片已放置 · Card placed' : present === false ? '无卡 · No card' : '卡片 Card —';
}

live.addEventListener('card', ({ detail }) => {
  if (detail.port !== Number($('port').value)) return;
  log(`event card ${detail.port}`, detail.present ? 'placed' : 'removed');
  setCardState(detail.present);
  if (!$('auto-read').checked) return;
  // The panel mirrors the reader: the holder goes with the card.
  if (detail.present) autoRead();
  else clearCard();
});
live.addEventListener('device', ({ detail }) => {
  if (!detail.snapshot) log(`event device ${detail.family}`, detail.present ? 'plugged in' : 'taken out');
});
// Nothing on screen may outlive the service: a holder shown now could be a stale one.
live.addEventListener('down', () => {
  client = null;
  readWhenFree = false;
  clearCard();
  setCardState(null);
  $('field-samId').textContent = '—';
  $('status-line').hidden = true;
  setServiceStatus('bad', '服务不可达 · Service not reachable');
  log('event', 'service not reachable');
});
live.addEventListener('up', async () => {
  if (client) return;
  if (await connect($('service-url').value.trim() || params.get('service') || '')) showStatus('已连接 · Connected');
});
$('auto-read').addEventListener('change', () => {
  setCardState(null);
  follow();
});
$('port').addEventListener('change', () => {
  setCardState(null);
  if ($('auto-read').checked) follow();
});

$('btn-connect').addEventListener('click', async () => {
  document.body.dataset.state = 'busy';
  if (await connect($('service-url').value.trim())) showStatus('已连接 · Connected');
  document.body.dataset.state = 'idle';
});

document.body.dataset.state = 'busy';
connect(params.get('service') ?? '').finally(() => { document.body.dataset.state = 'idle'; });
