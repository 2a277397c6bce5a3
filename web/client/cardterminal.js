/**
 * Tarnwick client for the driving-training card terminal ("/Jrs_Api/..."
 * routes): open the terminal, read the card's records, write them, send the
 * terminal commands, and fetch a fingerprint picture.
 *
 *   import { TarnwickClient, CardTerminal, RECORD } from './tarnwick.js';
 *   const terminal = new CardTerminal((await TarnwickClient.find()) ?? new TarnwickClient());
 *   await terminal.open();
 *   const trainee = await terminal.readRecords(RECORD.TRAINEE);
 *   if (trainee.ok) show(trainee.records[0].fields.name);
 *   const finger = await terminal.readFingerprint(0);
 *   if (finger.ok) img.src = finger.dataUrl;
 *
 * Results follow the client's convention: `ok`, `code` (the "return" value),
 * `info` and `raw`; only an unreachable service or an unusable answer
 * rejects (TarnwickError). The terminal answers 0 for success and a
 * negative code otherwise (see CARD_CODES).
 */
import { TarnwickClient, TarnwickError } from './core.js';

/** @typedef {import('./core.js').Result} Result */

/** Record kinds ("StructType"). STATUS is read with readState. */
export const RECORD = Object.freeze({ STATUS: 0, TRAINEE: 1, SESSIONS: 2, TOTALS: 3, FINGERPRINT: 4 });

/** Where records are read from: the card, the terminal's memory, or its state. */
export const SOURCE = Object.freeze({ CARD: 'card', TERMINAL: 'terminal', STATE: 'state' });

/** Terminal commands for command(). */
export const TERMINAL_COMMAND = Object.freeze({ SET_CLOCK: 1, SHOW_TEXT: 2, CAPTURE_FINGERPRINT: 3 });

/** What the card library's result codes mean. */
export const CARD_CODES = Object.freeze({
  0: 'success',
  [-1]: 'the terminal is not open',
  [-2]: 'no card terminal found',
  [-3]: 'the transfer to the terminal failed',
  [-4]: 'the terminal gave no valid reply',
  [-5]: 'a parameter or text the terminal cannot take',
  [-6]: 'no card in the terminal',
  [-7]: 'no such record',
  [-8]: 'unknown command',
  [-9]: 'the records do not fit one reply',
});

/** The fingerprint picture's size in pixels. */
export const FINGERPRINT_SIZE = Object.freeze({ width: 152, height: 200 });

const READ_ROUTE = {
  [SOURCE.CARD]: '/Jrs_Api/JrsCardCommRead',
  [SOURCE.TERMINAL]: '/Jrs_Api/JrsCardDataRead',
  [SOURCE.STATE]: '/Jrs_Api/JrsCardCmdRead',
};

/**
 * Splits a data text into records: one line each, "type=T|index=I|name=value|...".
 * A fingerprint text (hex digits only) is not records and gives [].
 * @param {string} text
 * @returns {{type: number, index: number, fields: Record<string,string>}[]}
 */
export function parseRecords(text) {
  const records = [];
  for (const line of String(text).split(/\r?\n/)) {
    if (!line.startsWith('type=')) continue;
    const fields = {};
    let type = NaN;
    let index = NaN;
    for (const part of line.split('|')) {
      const eq = part.indexOf('=');
      if (eq <= 0) continue;
      const name = part.slice(0, eq);
      const value = part.slice(eq + 1);
      if (name === 'type') type = Number(value);
      else if (name === 'index') index = Number(value);
      else fields[name] = value;
    }
    records.push({ type, index, fields });
  }
  return records;
}

/** @param {Record<string, any>} raw @returns {Result} */
function outcome(raw) {
  const code = typeof raw.return === 'number' ? raw.return : null;
  const ok = code === 0;
  const info = ok ? '' : code === null ? 'Tarnwick service gave no result'
    : `${CARD_CODES[code] ?? 'card terminal error'} (return ${code})`;
  return { ok, code, info, raw };
}

export class CardTerminal {
  /** @param {TarnwickClient} [client] */
  constructor(client = new TarnwickClient()) {
    this.client = client;
  }

  /** The card library's version text (the route answers plain text, not JSON). @returns {Promise<string>} */
  async version() {
    const controller = new AbortController();
    const timer = setTimeout(() => controller.abort(), this.client.timeoutMs);
    try {
      const response = await fetch(`${this.client.baseUrl}/Jrs_Api/JrsCardGetDllVer`,
        { cache: 'no-store', signal: controller.signal });
      return await response.text();
    } catch (e) {
      const kind = controller.signal.aborted ? 'timeout' : 'network';
      throw new TarnwickError(`Tarnwick service not reachable at ${this.client.baseUrl}`, { kind, cause: e });
    } finally {
      clearTimeout(timer);
    }
  }

  /**
   * Opens the terminal. Ports are 16-bit numbers the card library passes on.
   * @param {number} [cardPort] @param {number} [devicePort] @returns {Promise<Result>}
   */
  async open(cardPort = 0, devicePort = 0) {
    return outcome(await this.client.call('/Jrs_Api/JrsCardCommOpen', { CardPort: cardPort, DevicePort: devicePort }));
  }

  /** @returns {Promise<Result>} */
  async close() {
    return outcome(await this.client.call('/Jrs_Api/JrsCardCommClose', {}));
  }

  /** Sends the terminal a command (TERMINAL_COMMAND) with its text. @param {number} command @param {string} [data] @returns {Promise<Result>} */
  async command(command, data = '') {
    return outcome(await this.client.call('/Jrs_Api/JrsCardCommandEx', { Command: command, Data: data }));
  }

  /** Writes records to the card, in the data-text form (see parseRecords). @param {string} data @returns {Promise<Result>} */
  async write(data) {
    return outcome(await this.client.call('/Jrs_Api/JrsCardCommWriteEx', { Data: data }));
  }

  /**
   * Reads records into the card library's data text (fetch it with dataText).
   * @param {number} structType  RECORD kind
   * @param {{index?: number, count?: number, source?: string}} [where]  count 0: all from index
   * @returns {Promise<Result>}
   */
  async read(structType, { index = 0, count = 1, source = SOURCE.CARD } = {}) {
    const route = READ_ROUTE[source];
    if (!route) throw new TypeError(`unknown record source: ${source}`);
    return outcome(await this.client.call(route, { StructType: structType, Index: index, Count: count }));
  }

  /** The data text of the last read. @returns {Promise<Result & {text: string}>} */
  async dataText() {
    const raw = await this.client.call('/Jrs_Api/JrsCardGetDataStrEx', {});
    const text = typeof raw.data === 'string' ? raw.data : '';
    const r = outcome(raw);
    return { ...r, info: r.ok ? '' : text ? r.info : 'no data text: nothing read, or the read failed', text };
  }

  /**
   * Reads records and returns them parsed.
   * @param {number} structType  RECORD kind
   * @param {{index?: number, count?: number, source?: string}} [where]  default: all from the first
   * @returns {Promise<Result & {text: string, records: ReturnType<typeof parseRecords>}>}
   */
  async readRecords(structType, where = {}) {
    const read = await this.read(structType, { count: 0, ...where });
    if (!read.ok) return { ...read, text: '', records: [] };
    const data = await this.dataText();
    return { ...data, records: data.ok ? parseRecords(data.text) : [] };
  }

  /** The picture of the last fingerprint read, as a BMP data URL. @returns {Promise<Result & {dataUrl: string|null}>} */
  async fingerprintPicture() {
    const raw = await this.client.call('/Jrs_Api/JrsCardGetFprImage', {});
    const dataUrl = typeof raw.result === 'string' && raw.result.startsWith('data:image/') ? raw.result : null;
    return { ok: dataUrl !== null, code: null, info: dataUrl ? '' : 'no picture in the answer', raw, dataUrl };
  }

  /**
   * Reads a fingerprint and fetches its picture: an enrolled finger from the
   * card (0 or 1), or with `fromSensor` the one the terminal's sensor took last.
   * @param {number} [finger] @param {{fromSensor?: boolean}} [options]
   * @returns {Promise<Result & {dataUrl: string|null}>}
   */
  async readFingerprint(finger = 0, { fromSensor = false } = {}) {
    const source = fromSensor ? SOURCE.TERMINAL : SOURCE.CARD;
    const read = await this.read(RECORD.FINGERPRINT, { index: fromSensor ? 0 : finger, count: 1, source });
    if (!read.ok) return { ...read, dataUrl: null };
    return this.fingerprintPicture();
  }
}
