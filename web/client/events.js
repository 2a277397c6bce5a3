/**
 * The service's event stream (/Local/Events, text/event-stream): devices
 * plugged in or taken out, ID cards placed or removed, USB keys, the
 * signature pad's confirm key and its pen (see pen.js). Read with fetch rather than EventSource: that
 * works in Node too, and EventSource gives up for good on an answer such as
 * 503 (too many streams), where this waits and tries again.
 *
 * This module imports nothing; core.js builds TarnwickClient.events() on it.
 */

/** The topics the service sends; a stream that names none gets all but 'pen'. */
export const EVENT_TOPICS = Object.freeze(['device', 'card', 'key', 'confirm', 'pen']);

// The service's events are a few dozen bytes; a block this long is not one of them.
const MAX_BLOCK = 1 << 20;

/**
 * @typedef {object} TopicEvent
 * @property {string} topic   'device', 'card', 'key', 'confirm' or 'pen'
 * @property {number|null} id the event's number, null for the device snapshot sent on connecting
 * @property {any} data       the parsed JSON, e.g. {family: 'idcard', present: true}
 */

/**
 * @typedef {object} EventsOptions
 * @property {string[]|string} [topics] among EVENT_TOPICS; default all but 'pen'
 * @property {number} [period]       card polling in ms (the service keeps it within 100..5000)
 * @property {number} [port]         the ID-card reader port watched for `card`, e.g. 1001
 * @property {number} [maxRetryMs]   longest wait between attempts while failing, default 5000
 * @property {number} [idleTimeoutMs] reconnect when nothing, not even a keep-alive, arrived this long; default 45000
 * @property {typeof fetch} [fetch]  the fetch to use, default the global one
 */

/**
 * One block of an event stream.
 * @typedef {object} RawEvent
 * @property {string} type
 * @property {string} data
 * @property {string|null} id   the block's own id field, null when it had none
 */

/**
 * Parses text/event-stream as it arrives, in chunks split anywhere (even
 * inside a UTF-8 sequence or between CR and LF).
 */
export class EventStreamParser {
  #decoder = new TextDecoder();
  #pending = '';
  #afterCR = false;
  #started = false;
  #type = '';
  #data = [];
  #size = 0;
  #id = null;

  constructor() {
    /** The last id seen, the one to resume from; '' before any. */
    this.lastEventId = '';
    /** The reconnection time the stream asked for, in ms, or null. @type {number|null} */
    this.retryMs = null;
  }

  /**
   * @param {Uint8Array|string} chunk
   * @returns {RawEvent[]} the events this chunk completed
   * @throws {RangeError} when a line or a block grows past 1 MiB
   */
  push(chunk) {
    let text = typeof chunk === 'string' ? chunk : this.#decoder.decode(chunk, { stream: true });
    if (!this.#started && text) {
      this.#started = true;
      if (text.charCodeAt(0) === 0xfeff) text = text.slice(1);
    }
    const out = [];
    let start = 0;
    for (let i = 0; i < text.length; i++) {
      const c = text.charCodeAt(i);
      if (c === 10 && this.#afterCR) {
        // The LF of a CRLF, even when the CR ended the previous chunk.
        this.#afterCR = false;
        start = i + 1;
        continue;
      }
      this.#afterCR = false;
      if (c === 10 || c === 13) {
        this.#line(this.#pending + text.slice(start, i), out);
        this.#pending = '';
        this.#afterCR = c === 13;
        start = i + 1;
      }
    }
    this.#pending += text.slice(start);
    if (this.#pending.length + this.#size > MAX_BLOCK) throw new RangeError('Tarnwick event stream: event too long');
    return out;
  }

  #line(line, out) {
    if (line === '') {
      if (this.#data.length) {
        out.push({ type: this.#type || 'message', data: this.#data.join('\n'), id: this.#id });
      }
      this.#type = '';
      this.#data = [];
      this.#size = 0;
      this.#id = null;
      return;
    }
    if (line.startsWith(':')) return; // a comment: the keep-alive
    const colon = line.indexOf(':');
    const field = colon < 0 ? line : line.slice(0, colon);
    let value = colon < 0 ? '' : line.slice(colon + 1);
    if (value.startsWith(' ')) value = value.slice(1);
    if (field === 'event') this.#type = value;
    else if (field === 'data') {
      this.#data.push(value);
      this.#size += value.length + 1;
    }
    else if (field === 'id' && !value.includes('\0')) {
      this.#id = value;
      this.lastEventId = value;
    } else if (field === 'retry' && /^\d+$/.test(value)) this.retryMs = Number(value);
  }
}

/**
 * What a stream dispatches: one event per topic (with topic, id, data), and
 * `open` and `error` (with status, message, retryInMs).
 */
export class StreamEvent extends Event {
  /**
   * @param {string} type
   * @param {{topic?: string, id?: number|null, data?: any, status?: number|null, message?: string,
   *   retryInMs?: number|null, serviceDown?: boolean}} [init]
   */
  constructor(type, init = {}) {
    super(type);
    /** @type {string} */ this.topic = init.topic ?? type;
    /** @type {number|null} */ this.id = init.id ?? null;
    /** @type {any} */ this.data = init.data ?? null;
    /** The HTTP status of a refused stream, null when the service was not reached. @type {number|null} */
    this.status = init.status ?? null;
    /** @type {string} */ this.message = init.message ?? '';
    /** How long until the next attempt; null once closed. @type {number|null} */
    this.retryInMs = init.retryInMs ?? null;
    /** True when the service did not answer at all (not running, died, or stalled). @type {boolean} */
    this.serviceDown = init.serviceDown ?? false;
  }
}

// The longest a single iterator may fall behind before it ends with an error.
const ITERATOR_BACKLOG = 1000;
const DEFAULT_RETRY_MS = 1000;
const RESERVED = new Set(['open', 'error', 'message']);

/**
 * Parses a Retry-After of whole seconds (the form the service sends).
 * @param {string|null} value
 * @returns {number|null} ms
 */
function retryAfterMs(value) {
  return value && /^\s*\d+\s*$/.test(value) ? Math.min(Number(value), 3600) * 1000 : null;
}

/**
 * A live stream of the service's events: an EventTarget and an async
 * iterator at once. It connects at once and reconnects by itself, resuming
 * after the last event it saw, until close().
 *
 *   const stream = client.events({ topics: ['device', 'card'], port: 1001 });
 *   stream.addEventListener('error', (e) => e.serviceDown && showOffline());
 *   for await (const { topic, data } of stream) console.log(topic, data);
 */
export class EventStream extends EventTarget {
  #url;
  #fetch;
  #maxRetryMs;
  #idleTimeoutMs;
  #parser = new EventStreamParser();
  #state = 'connecting';
  #controller = null;
  #wake = null;
  #consumers = new Set();

  /**
   * @param {string} baseUrl  the service's origin, e.g. http://127.0.0.1:12321
   * @param {EventsOptions} [options]
   */
  constructor(baseUrl, { topics, period, port, maxRetryMs = 5000, idleTimeoutMs = 45_000, fetch: fetchImpl } = {}) {
    super();
    const query = new URLSearchParams();
    const list = typeof topics === 'string' ? topics.split(',') : topics;
    if (list?.length) query.set('topics', list.map((t) => String(t).trim()).join(','));
    if (period !== undefined) query.set('period', String(Math.round(Number(period))));
    if (port !== undefined) query.set('port', String(Math.trunc(Number(port))));
    const search = query.toString();
    this.#url = `${String(baseUrl).replace(/\/+$/, '')}/Local/Events${search ? `?${search}` : ''}`;
    this.#fetch = fetchImpl ?? ((...args) => globalThis.fetch(...args));
    this.#maxRetryMs = maxRetryMs;
    this.#idleTimeoutMs = idleTimeoutMs;
    // The first attempt waits for the caller's synchronous set-up: listeners and loops see the snapshot.
    queueMicrotask(() => this.#run());
  }

  /**
   * Every event a stream dispatches is a StreamEvent: listeners get its fields typed.
   * @param {string} type  a topic, 'open' or 'error'
   * @param {((event: StreamEvent) => void) | {handleEvent(event: StreamEvent): void} | null} listener
   * @param {boolean|AddEventListenerOptions} [options]
   */
  addEventListener(type, listener, options) {
    super.addEventListener(type, /** @type {EventListenerOrEventListenerObject|null} */ (listener), options);
  }

  /**
   * @param {string} type
   * @param {((event: StreamEvent) => void) | {handleEvent(event: StreamEvent): void} | null} listener
   * @param {boolean|EventListenerOptions} [options]
   */
  removeEventListener(type, listener, options) {
    super.removeEventListener(type, /** @type {EventListenerOrEventListenerObject|null} */ (listener), options);
  }

  /** @returns {'connecting'|'open'|'closed'} */
  get readyState() { return /** @type {'connecting'|'open'|'closed'} */ (this.#state); }

  /** The id of the last numbered event received, '' before any. */
  get lastEventId() { return this.#parser.lastEventId; }

  /** Ends the stream for good; loops over it finish after what they already hold. */
  close() {
    if (this.#state === 'closed') return;
    this.#state = 'closed';
    this.#controller?.abort();
    this.#wake?.();
    for (const c of this.#consumers) c.end(null);
    this.#consumers.clear();
  }

  /** @returns {AsyncIterableIterator<TopicEvent>} */
  [Symbol.asyncIterator]() {
    const queue = [];
    let waiting = null;
    let finished = false;
    let failure = null;
    const consumer = {
      push: (event) => {
        if (waiting) {
          const resolve = waiting.resolve;
          waiting = null;
          resolve({ value: event, done: false });
        } else if (queue.length >= ITERATOR_BACKLOG) {
          consumer.end(new Error(`the loop over the Tarnwick events fell ${ITERATOR_BACKLOG} events behind`));
          this.#consumers.delete(consumer);
        } else {
          queue.push(event);
        }
      },
      end: (error) => {
        finished = true;
        failure = error;
        if (waiting) {
          const w = waiting;
          waiting = null;
          if (error) w.reject(error);
          else w.resolve({ value: undefined, done: true });
        }
      },
    };
    if (this.#state === 'closed') finished = true;
    else this.#consumers.add(consumer);
    const iterator = {
      next: () => {
        if (queue.length) return Promise.resolve({ value: queue.shift(), done: false });
        if (finished) {
          const error = failure;
          failure = null;
          return error ? Promise.reject(error) : Promise.resolve({ value: undefined, done: true });
        }
        return new Promise((resolve, reject) => { waiting = { resolve, reject }; });
      },
      // `break` out of a loop ends only that loop, not the stream.
      return: () => {
        this.#consumers.delete(consumer);
        queue.length = 0;
        consumer.end(null);
        return Promise.resolve({ value: undefined, done: true });
      },
      [Symbol.asyncIterator]() { return iterator; },
    };
    return iterator;
  }

  #deliver(raw) {
    if (RESERVED.has(raw.type)) return;
    let data;
    try {
      data = JSON.parse(raw.data);
    } catch {
      this.dispatchEvent(new StreamEvent('error', {
        message: `Tarnwick event "${raw.type}" is not JSON: ${raw.data.slice(0, 80)}`, retryInMs: null,
      }));
      return;
    }
    const id = raw.id !== null && /^\d+$/.test(raw.id) ? Number(raw.id) : null;
    const event = { topic: raw.type, id, data };
    this.dispatchEvent(new StreamEvent(raw.type, event));
    for (const c of this.#consumers) c.push(event);
  }

  #sleep(ms) {
    return new Promise((resolve) => {
      const timer = setTimeout(done, ms);
      function done() {
        clearTimeout(timer);
        resolve();
      }
      this.#wake = done;
    }).finally(() => { this.#wake = null; });
  }

  // One attempt: resolves to what went wrong, for the wait before the next.
  async #attempt() {
    const controller = new AbortController();
    this.#controller = controller;
    let stalled = false;
    let timer = null;
    const watch = () => {
      clearTimeout(timer);
      timer = setTimeout(() => { stalled = true; controller.abort(); }, this.#idleTimeoutMs);
    };
    watch();
    try {
      const url = this.#parser.lastEventId
        ? `${this.#url}${this.#url.includes('?') ? '&' : '?'}lastEventId=${encodeURIComponent(this.#parser.lastEventId)}`
        : this.#url;
      // No Last-Event-ID header: a page on another origin would need a preflight for it.
      const response = await this.#fetch(url, { cache: 'no-store', signal: controller.signal });
      const type = response.headers.get('content-type') ?? '';
      if (response.status !== 200 || !/^text\/event-stream/i.test(type)) {
        await response.body?.cancel().catch(() => {});
        return {
          status: response.status,
          retryAfter: retryAfterMs(response.headers.get('retry-after')),
          message: response.status === 200 ? `Tarnwick events answered ${type || 'no content type'}`
            : `Tarnwick events refused (HTTP ${response.status})`,
        };
      }
      this.#state = 'open';
      this.dispatchEvent(new StreamEvent('open'));
      const reader = response.body.getReader();
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        watch();
        for (const raw of this.#parser.push(value)) {
          if (this.#state === 'closed') break;
          this.#deliver(raw);
        }
        if (this.#state === 'closed') break;
      }
      return { opened: true, message: 'Tarnwick event stream ended' };
    } catch (e) {
      if (e instanceof RangeError) return { opened: this.#state === 'open', message: e.message };
      return {
        opened: this.#state === 'open',
        serviceDown: true,
        message: stalled ? `Tarnwick event stream silent for ${this.#idleTimeoutMs} ms`
          : `Tarnwick service not reachable (${e?.message ?? e})`,
      };
    } finally {
      clearTimeout(timer);
      controller.abort();
      this.#controller = null;
    }
  }

  async #run() {
    let failures = 0;
    while (this.#state !== 'closed') {
      const outcome = await this.#attempt();
      if (this.#state === 'closed') break;
      this.#state = 'connecting';
      const retry = this.#parser.retryMs ?? DEFAULT_RETRY_MS;
      let wait;
      if (outcome.opened) {
        // A stream that ran: come back as the service asked.
        failures = 0;
        wait = retry;
      } else {
        failures++;
        wait = Math.min(retry * 2 ** Math.min(failures - 1, 16), this.#maxRetryMs);
        // Spread the attempts of many pages after the service comes back.
        wait = Math.round(wait * (1 + Math.random() * 0.25));
        if (outcome.retryAfter) wait = Math.max(wait, outcome.retryAfter);
      }
      this.dispatchEvent(new StreamEvent('error', {
        status: outcome.status ?? null, message: outcome.message, retryInMs: wait,
        serviceDown: Boolean(outcome.serviceDown),
      }));
      if (this.#state === 'closed') break;
      await this.#sleep(wait);
    }
  }
}
