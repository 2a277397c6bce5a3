/**
 * The core of the Tarnwick browser client: the service's ports, the shape of
 * its answers, the error for no usable answer, and TarnwickClient with the
 * ID-card routes and the event stream. The device modules build on it; pages
 * import tarnwick.js, which re-exports all of it.
 */
import { EventStream } from './events.js';

/** Ports the service may listen on, in the order it tries them. */
export const SERVICE_PORTS = Object.freeze([12321, 61234, 23456]);

/** The service's "return" value for success on the reader routes. */
export const SUCCESS = 144;

/** Thrown when the service could not be reached or gave no usable answer. */
export class TarnwickError extends Error {
  /**
   * @param {string} message
   * @param {{kind: 'network'|'timeout'|'format'|'device', cause?: unknown}} details
   */
  constructor(message, { kind, cause }) {
    super(message, { cause });
    this.name = 'TarnwickError';
    /** 'device': the service answered, but the device had nothing to give. @type {'network'|'timeout'|'format'|'device'} */
    this.kind = kind;
  }
}

/** The ten text fields of an ID card, in the service's naming. */
export const CARD_FIELDS = Object.freeze(['name', 'sex', 'address', 'birthYear', 'birthMon',
  'birthDay', 'idNo', 'police', 'validateBegin', 'validateEnd']);

/**
 * @typedef {object} Result
 * @property {boolean} ok
 * @property {number|null} code   the "return" value as a number
 * @property {string} info        the service's message, '' on success
 * @property {Record<string, any>} raw  the parsed answer
 */

/**
 * @typedef {Result & {
 *   fields: Record<string,string>|null,
 *   photoDataUrl: string|null,
 *   fingerprintBase64: string|null,
 *   hasFingerprint: boolean,
 *   cardNo: string|null
 * }} CardResult
 */

// "return" is a string in card answers and a number (or false) elsewhere.
function toCode(value) {
  if (value === undefined || value === null || value === '' || typeof value === 'boolean') return null;
  const n = Number(value);
  return Number.isFinite(n) ? n : null;
}

/** @param {string} text @returns {Record<string, any>|null} the JSON object in text, or null */
function parseObject(text) {
  try {
    const parsed = JSON.parse(text);
    if (parsed && typeof parsed === 'object') return parsed;
  } catch { /* not JSON */ }
  return null;
}

function result(raw, ok, code) {
  const info = typeof raw.info === 'string' && raw.info ? raw.info
    : ok ? '' : `Tarnwick service error (return ${JSON.stringify(raw.return ?? null)})`;
  return { ok, code, info, raw };
}

export class TarnwickClient {
  /**
   * @param {{baseUrl?: string, timeoutMs?: number}} [options]
   *   baseUrl: service origin, default http://127.0.0.1:12321;
   *   timeoutMs: per-request limit, default 10000 (a card read takes ~1 s).
   */
  constructor({ baseUrl = `http://127.0.0.1:${SERVICE_PORTS[0]}`, timeoutMs = 10_000 } = {}) {
    this.baseUrl = String(baseUrl).replace(/\/+$/, '');
    this.timeoutMs = timeoutMs;
  }

  /**
   * Looks for the service on each of its ports on one host.
   * @param {{host?: string, timeoutMs?: number, requestTimeoutMs?: number}} [options]
   *   timeoutMs: how long each probe waits, default 1500;
   *   requestTimeoutMs: the found client's per-request limit, default 10000.
   * @returns {Promise<TarnwickClient|null>} a client for the first port that
   *   answers with a version, or null when none does.
   */
  static async find({ host = '127.0.0.1', timeoutMs = 1500, requestTimeoutMs = 10_000 } = {}) {
    const probes = SERVICE_PORTS.map(async (port) => {
      const baseUrl = `http://${host}:${port}`;
      try {
        // The short probe limit is for the search only: a card-terminal call may take seconds.
        return (await new TarnwickClient({ baseUrl, timeoutMs }).version())
          ? new TarnwickClient({ baseUrl, timeoutMs: requestTimeoutMs }) : null;
      } catch {
        return null;
      }
    });
    // Probe in parallel but prefer the earlier port, as the service does.
    for (const found of await Promise.all(probes)) if (found) return found;
    return null;
  }

  /**
   * Opens the service's event stream; it reconnects by itself until closed.
   * @param {import('./events.js').EventsOptions} [options]
   *   topics: among 'device', 'card', 'key', 'confirm', 'pen' (default all but 'pen');
   *   period: card polling in ms; port: the reader port watched for 'card'.
   * @returns {EventStream} an EventTarget (one event per topic, plus open
   *   and error) and an async iterator of {topic, id, data}
   */
  events(options = {}) {
    return new EventStream(this.baseUrl, options);
  }

  /**
   * Sends one request and hands back the answer's text as it came.
   * @param {string} path
   * @param {Record<string, string|number>|null} params  null sends a GET
   * @returns {Promise<{text: string, contentType: string}>}
   */
  async request(path, params = null) {
    const controller = new AbortController();
    const timer = setTimeout(() => controller.abort(), this.timeoutMs);
    const init = { method: 'GET', cache: 'no-store', signal: controller.signal };
    if (params) {
      init.method = 'POST';
      // URLSearchParams gives application/x-www-form-urlencoded: no preflight.
      init.body = new URLSearchParams(Object.entries(params).map(([k, v]) => [k, String(v)]));
    }
    try {
      const response = await fetch(this.baseUrl + path, init);
      const text = await response.text();
      return { text, contentType: response.headers.get('content-type') ?? '' };
    } catch (e) {
      if (controller.signal.aborted) {
        throw new TarnwickError(`Tarnwick service did not answer ${path} within ${this.timeoutMs} ms`,
          { kind: 'timeout', cause: e });
      }
      throw new TarnwickError(`Tarnwick service not reachable at ${this.baseUrl}`, { kind: 'network', cause: e });
    } finally {
      clearTimeout(timer);
    }
  }

  /**
   * Sends one request and parses the JSON answer.
   * @param {string} path
   * @param {Record<string, string|number>|null} params  null sends a GET
   * @returns {Promise<Record<string, any>>}
   */
  async call(path, params = null) {
    const { text } = await this.request(path, params);
    const parsed = parseObject(text);
    if (parsed) return parsed;
    throw new TarnwickError(`Tarnwick service sent an unexpected answer to ${path}: ${text.slice(0, 80)}`,
      { kind: 'format' });
  }

  /** @returns {Promise<string>} the service version, e.g. "1.0.0.0" */
  async version() {
    const raw = await this.call('/Local/GetVersion');
    if (typeof raw.Version !== 'string') {
      throw new TarnwickError('answer to /Local/GetVersion has no Version', { kind: 'format' });
    }
    return raw.Version;
  }

  /** Chooses the reader on `port` for the following calls. @param {number} port @returns {Promise<Result>} */
  async openPort(port) {
    const raw = await this.call('/VnSdt_api/OpenPort', { Port: port });
    const code = toCode(raw.return);
    return result(raw, code === 0 || code === SUCCESS, code);
  }

  /** @param {number} port @returns {Promise<Result>} */
  async closePort(port) {
    const raw = await this.call('/VnSdt_api/ClosePort', { Port: port });
    const code = toCode(raw.return);
    return result(raw, code === SUCCESS, code);
  }

  /** @param {number} port @returns {Promise<Result & {cardNo: string|null}>} hex of the card's physical number */
  async getCardNo(port) {
    const raw = await this.call('/VnSdt_api/GetCardNo', { Port: port });
    const code = toCode(raw.return);
    const ok = code === SUCCESS;
    return { ...result(raw, ok, code), cardNo: ok && raw.cardNo ? String(raw.cardNo) : null };
  }

  /** @param {number} port @returns {Promise<Result & {samId: string|null}>} the reader's security module ID */
  async getSamId(port) {
    const raw = await this.call('/VnSdt_api/GetSAMID', { Port: port });
    const code = toCode(raw.return);
    const ok = code === SUCCESS;
    return { ...result(raw, ok, code), samId: ok && raw.szSAMID ? String(raw.szSAMID).trim() : null };
  }

  /**
   * Reads the card on the reader.
   * @param {number} port
   * @param {0|1|2|3} [readType] 0 text, 1 photo, 2 text + photo,
   *   3 text + photo + fingerprint
   * @returns {Promise<CardResult>}
   */
  async readCard(port, readType = 0) {
    const raw = await this.call('/VnSdt_api/ReadBaseMsg', { Port: port, ReadType: readType });
    const photo = typeof raw.photo === 'string' ? raw.photo
      : typeof raw.result === 'string' ? raw.result : null;
    // The photo-only answer has no "return"; its photo is the success sign.
    let code = toCode(raw.return);
    const ok = code === null ? photo !== null && !('return' in raw) : code === SUCCESS;
    if (ok && code === null) code = SUCCESS;
    const source = raw.data && typeof raw.data === 'object' ? raw.data
      : CARD_FIELDS.some((f) => f in raw) ? raw : null;
    const fields = ok && source
      ? Object.fromEntries(CARD_FIELDS.map((f) => [f, source[f] == null ? '' : String(source[f]).trim()]))
      : null;
    const fp = ok && typeof raw.fp === 'string' ? raw.fp : null;
    return {
      ...result(raw, ok, code),
      fields,
      photoDataUrl: ok ? photo : null,
      fingerprintBase64: fp,
      hasFingerprint: Boolean(fp),
      cardNo: ok && raw.cardNo ? String(raw.cardNo) : null,
    };
  }
}
