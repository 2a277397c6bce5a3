// The demo page's live view: one event stream for all panels. It keeps every presence badge
// ([data-family]) current and tells the panels when the service stops or starts answering.
import { TarnwickClient } from '../client/tarnwick.js';

/** Dispatches 'device', 'card' (detail: the event's data), 'down' and 'up'. */
export const live = new EventTarget();

const badgeText = {
  yes: '设备在线 · Present',
  no: '未接入 · Not attached',
  unknown: '未知 · Unknown',
  down: '服务不可达 · Service not reachable',
};

let stream = null;
let watching = '';
let service = 'unknown'; // 'up', 'down' or 'unknown'

function setBadges(family, state, model = '') {
  const selector = family ? `.presence[data-family="${family}"]` : '.presence[data-family]';
  for (const badge of document.querySelectorAll(selector)) {
    badge.dataset.present = state;
    badge.textContent = model && state === 'yes' ? `${badgeText.yes} (${model})` : badgeText[state];
  }
}

function setService(state) {
  if (state === service) return;
  service = state;
  document.body.dataset.service = state;
  if (state === 'down') setBadges(null, 'down');
  live.dispatchEvent(new Event(state));
}

/**
 * Follows the service at `baseUrl`; with a `cardPort`, cards on that reader too. Calling it again
 * with the same arguments keeps the running stream.
 * @param {string} baseUrl
 * @param {{cardPort?: number|null}} [options]
 */
export function watch(baseUrl, { cardPort = null } = {}) {
  const key = `${baseUrl} ${cardPort}`;
  if (stream && key === watching) return;
  stream?.close();
  watching = key;
  // The reader is polled only while a stream asks for cards: only with the switch on.
  const topics = cardPort === null ? ['device'] : ['device', 'card'];
  stream = new TarnwickClient({ baseUrl }).events({ topics, ...(cardPort === null ? {} : { port: cardPort }) });
  stream.addEventListener('open', () => setService('up'));
  stream.addEventListener('error', (e) => {
    if (e.serviceDown) setService('down');
  });
  stream.addEventListener('device', (e) => {
    const { family, present, model } = e.data ?? {};
    if (typeof family !== 'string') return;
    setBadges(family, present === true ? 'yes' : present === false ? 'no' : 'unknown', model ?? '');
    live.dispatchEvent(new CustomEvent('device', { detail: e.data }));
  });
  stream.addEventListener('card', (e) => live.dispatchEvent(new CustomEvent('card', { detail: e.data })));
}

/** @returns {'up'|'down'|'unknown'} whether the stream reaches the service */
export function serviceState() { return /** @type {'up'|'down'|'unknown'} */ (service); }

setBadges(null, 'unknown');
