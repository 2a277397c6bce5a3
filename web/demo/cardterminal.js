// Demo panel for the card-terminal routes; see ../client/cardterminal.js.
import { CardTerminal, TarnwickClient, TERMINAL_COMMAND } from '../client/tarnwick.js';
import { live } from './live.js';

const $ = (id) => document.getElementById(id);
const panel = $('terminal');
let terminal = null;
let seq = 0;

// The service the page connected to (its address field), else the first that answers.
async function connected() {
  if (terminal) return terminal;
  const typed = $('service-url').value.trim();
  const service = new URLSearchParams(location.search).get('service');
  const client = typed || service ? new TarnwickClient({ baseUrl: typed || service }) : await TarnwickClient.find();
  if (!client) throw new Error('Tarnwick service not found on ports 12321, 61234, 23456');
  terminal = new CardTerminal(client);
  terminal.version().then((v) => { $('term-version').textContent = v || '—'; }, () => {});
  return terminal;
}

function message(ok, text) {
  const el = $('term-message');
  el.className = `term-message ${ok ? 'ok' : 'error'}`;
  el.textContent = text;
  el.hidden = false;
}

function showRecords(records, text) {
  const table = $('term-table');
  const names = [...new Set(records.flatMap((r) => Object.keys(r.fields)))];
  const head = table.tHead;
  const body = table.tBodies[0];
  head.replaceChildren();
  body.replaceChildren();
  const columns = ['#', ...names];
  const row = (cells, tag) => {
    const tr = document.createElement('tr');
    for (const [i, c] of cells.entries()) {
      const cell = document.createElement(tag);
      cell.textContent = c;
      // A narrow screen shows each record as a list: every value beside its column's name.
      cell.dataset.label = columns[i];
      tr.append(cell);
    }
    return tr;
  };
  head.append(row(columns, 'th'));
  for (const r of records) body.append(row([String(r.index), ...names.map((n) => r.fields[n] ?? '')], 'td'));
  table.hidden = records.length === 0;
  $('term-text').textContent = text;
}

function showPicture(dataUrl) {
  $('term-picture').hidden = !dataUrl;
  $('term-picture-placeholder').hidden = Boolean(dataUrl);
  if (dataUrl) $('term-picture').src = dataUrl;
  else $('term-picture').removeAttribute('src');
}

// Runs one button's work; the panel's attributes let scripts wait for it.
async function run(action, work) {
  panel.dataset.state = 'busy';
  const buttons = panel.querySelectorAll('button');
  for (const b of buttons) b.disabled = true;
  let outcome = 'error';
  try {
    const r = await work(await connected());
    outcome = r.ok ? 'ok' : 'error';
    message(r.ok, r.ok ? r.message : r.info);
  } catch (e) {
    message(false, e.message);
    terminal = null;
  } finally {
    for (const b of buttons) b.disabled = false;
    panel.dataset.last = `${action}:${outcome}`;
    panel.dataset.state = 'idle';
    panel.dataset.seq = String(++seq);
  }
}

const number = (id) => Math.max(0, Math.trunc(Number($(id).value) || 0));

const actions = {
  'term-open': ['open', async (t) => {
    const r = await t.open(number('term-card-port'), number('term-device-port'));
    return { ...r, message: '终端已打开 · Terminal open' };
  }],
  'term-close': ['close', async (t) => ({ ...(await t.close()), message: '终端已关闭 · Terminal closed' })],
  'term-read': ['read', async (t) => {
    const [source, type] = $('term-kind').value.split(':');
    const r = await t.readRecords(Number(type), { source, index: number('term-index'), count: number('term-count') });
    showRecords(r.records, r.text);
    return { ...r, message: `读取 ${r.records.length} 条记录 · ${r.records.length} record(s) read` };
  }],
  'term-fingerprint': ['fingerprint', async (t) => {
    const finger = $('term-finger').value;
    let r;
    if (finger === 'sensor') {
      // The sensor takes a finger on command; its picture is read from the terminal.
      const taken = await t.command(TERMINAL_COMMAND.CAPTURE_FINGERPRINT);
      r = taken.ok ? await t.readFingerprint(0, { fromSensor: true }) : { ...taken, dataUrl: null };
    } else {
      r = await t.readFingerprint(Number(finger));
    }
    showPicture(r.ok ? r.dataUrl : null);
    return { ...r, message: '指纹图像 · Fingerprint picture' };
  }],
};
for (const [id, [action, work]] of Object.entries(actions)) $(id).addEventListener('click', () => run(action, work));

// Records read before the service went away may no longer be the card's.
live.addEventListener('down', () => {
  terminal = null;
  showRecords([], '');
  showPicture(null);
  $('term-version').textContent = '—';
  $('term-message').hidden = true;
});
