/**
 * Signature pad client: drives the signature routes of the local Tarnwick
 * service, which starts the capture program on this computer and hands back
 * the signature as a PNG data URL (600 x 300, black ink on transparent).
 *
 *   import { TarnwickClient, SignaturePad } from './tarnwick.js';
 *   const pad = new SignaturePad((await TarnwickClient.find()) ?? new TarnwickClient());
 *   await pad.open();                     // start (or find) the capture program
 *   await pad.init();                     // switch the tablet on
 *   const { dataUrl } = await pad.waitForConfirm({ onFrame: (url) => img.src = url });
 *   await pad.quit();
 *
 * Results follow tarnwick.js: `{ ok, code, info, raw }`, never an exception
 * for a failure the service reports; a TarnwickError only when there is no
 * usable answer. signatureData() is the exception: it resolves to the data or
 * rejects. The service runs one request at a time: call these one after
 * the other, not in parallel.
 */
import { TarnwickError } from './core.js';

const ROUTES = Object.freeze({
  open: '/Pemrik_Api/OpenDev',
  init: '/Pemrik_Api/InitDev',
  sign: '/Pemrik_Api/GetSign',
  close: '/Pemrik_Api/CloseDev',
  quit: '/Pemrik_Api/QuitPMProc',
  clear: '/Pemrik_Api/ClearDev',
  confirm: '/Pemrik_Api/GetConfirm',
  data: '/Pemrik_Api/GetSignData',
});

/** The prefix of the signature's data URL. */
export const SIGNATURE_PREFIX = 'data:image/png;base64,';

const FAILURES = Object.freeze({
  open: 'The signature program could not be started or reached (is a tablet attached?)',
  init: 'The signature program is not connected: open it first',
  sign: 'No signature picture: the signature program is not connected or did not answer',
  close: 'The signature program is not connected',
  quit: 'The signature program is not connected',
  clear: 'The signature program is not connected: open it first',
  confirm: 'The signature program is not connected or did not answer',
});

function codeOf(raw) {
  const n = Number(raw.return);
  return raw.return === undefined || !Number.isFinite(n) ? null : n;
}

function outcome(raw, ok, what) {
  const code = codeOf(raw);
  return { ok, code, info: ok ? '' : `${FAILURES[what]} (return ${JSON.stringify(raw.return ?? null)})`, raw };
}

/**
 * The signature as the pen wrote it (GetSignData as JSON).
 * @typedef {object} SignatureData
 * @property {number} width    600, the canvas in its units
 * @property {number} height   300
 * @property {string} model    the tablet's USB ids, e.g. "0b57:8420"
 * @property {import('./pen.js').PenPoint[][]} strokes  one array of pressing points per touch
 * @property {number} dropped  oldest points let go to keep the record bounded
 */

function noData(format, text) {
  return new TarnwickError(`No signature data: the signature program is not connected or did not answer (${
    format} answer ${JSON.stringify(text.slice(0, 40))})`, { kind: 'device' });
}

function sleep(ms, signal) {
  return new Promise((resolve, reject) => {
    if (signal?.aborted) { reject(signal.reason); return; }
    const timer = setTimeout(resolve, ms);
    signal?.addEventListener('abort', () => { clearTimeout(timer); reject(signal.reason); }, { once: true });
  });
}

export class SignaturePad {
  /**
   * @param {{call: (path: string) => Promise<Record<string, any>>,
   *   request: (path: string) => Promise<{text: string, contentType: string}>}} client a TarnwickClient
   */
  constructor(client) {
    this.client = client;
  }

  /**
   * Starts the capture program, or finds it running, and connects to it.
   * @returns {Promise<{ok: boolean, code: number|null, info: string, raw: object, started: boolean}>}
   *   started: true when this call started the program (return 0), false when it
   *   was running already (return 1).
   */
  async open() {
    const raw = await this.client.call(ROUTES.open);
    const code = codeOf(raw);
    return { ...outcome(raw, code === 0 || code === 1, 'open'), started: code === 0 };
  }

  /** Opens the tablet in the capture program. ok means the command was sent. */
  async init() {
    const raw = await this.client.call(ROUTES.init);
    return outcome(raw, codeOf(raw) === 0, 'init');
  }

  /** Empties the canvas and the tablet's screen. */
  async clear() {
    const raw = await this.client.call(ROUTES.clear);
    return outcome(raw, codeOf(raw) === 0, 'clear');
  }

  /** Closes the tablet; the program keeps running (init opens it again). */
  async close() {
    const raw = await this.client.call(ROUTES.close);
    return outcome(raw, codeOf(raw) === 0, 'close');
  }

  /** Ends the capture program. */
  async quit() {
    const raw = await this.client.call(ROUTES.quit);
    return outcome(raw, codeOf(raw) === 0, 'quit');
  }

  /**
   * The canvas as it is now.
   * @returns {Promise<{ok: boolean, code: number|null, info: string, raw: object, dataUrl: string|null}>}
   */
  async getSign() {
    const raw = await this.client.call(ROUTES.sign);
    const dataUrl = typeof raw.result === 'string' && raw.result.startsWith(SIGNATURE_PREFIX) ? raw.result : null;
    return { ...outcome(raw, dataUrl !== null, 'sign'), dataUrl, code: dataUrl ? 0 : codeOf(raw) };
  }

  /**
   * The pen's path of the signature on the canvas now: 'json' gives the parsed
   * strokes, 'svg' an SVG document (view box 0 0 600 300). Take it before the
   * confirmation is taken (confirm()), which empties the canvas.
   * @overload
   * @param {'json'} [format]
   * @returns {Promise<SignatureData>}
   */
  /**
   * @overload
   * @param {'svg'} format
   * @returns {Promise<string>}
   */
  /**
   * @param {'json'|'svg'} [format]
   * @returns {Promise<SignatureData|string>}
   * @throws {TarnwickError} kind 'device' when the program is not connected
   */
  async signatureData(format = 'json') {
    if (format !== 'json' && format !== 'svg') throw new TypeError(`signature data format is 'json' or 'svg', not ${format}`);
    const { text, contentType } = await this.client.request(`${ROUTES.data}?format=${format}`);
    if (format === 'svg') {
      if (/^image\/svg\+xml/i.test(contentType) && /<svg[\s>]/.test(text)) return text;
      throw noData(format, text);
    }
    let data = null;
    try {
      data = JSON.parse(text);
    } catch { /* below */ }
    if (data && typeof data === 'object' && Array.isArray(data.strokes)) return data;
    throw noData(format, text);
  }

  /**
   * Whether the signer has pressed the tablet's confirm key since the last
   * call. A press is reported once, and the program then empties its canvas:
   * take the picture before (see waitForConfirm).
   * @returns {Promise<{ok: boolean, code: number|null, info: string, raw: object, pressed: boolean}>}
   *   ok: the program answered; pressed: the key was pressed.
   */
  async confirm() {
    const raw = await this.client.call(ROUTES.confirm);
    // -1 is both "not pressed" and "no connection"; only the latter tears the connection down,
    // which the next call shows.
    const pressed = codeOf(raw) === 0;
    return { ok: true, code: codeOf(raw), info: '', raw, pressed };
  }

  /**
   * Live preview until the signer confirms on the tablet: takes the picture,
   * then asks for the confirmation, every intervalMs. Resolves with the last
   * picture taken before the confirmation, which holds every stroke made
   * before the key was pressed.
   * @param {{intervalMs?: number, onFrame?: (dataUrl: string) => void, signal?: AbortSignal}} [options]
   * @returns {Promise<{ok: boolean, info: string, dataUrl: string|null}>} ok false when
   *   the picture could not be had (the program went away).
   */
  async waitForConfirm({ intervalMs = 300, onFrame, signal } = {}) {
    let last = null;
    for (;;) {
      const frame = await this.getSign();
      if (!frame.ok) return { ok: false, info: frame.info, dataUrl: last };
      if (frame.dataUrl !== last) {
        last = frame.dataUrl;
        onFrame?.(last);
      }
      if ((await this.confirm()).pressed) return { ok: true, info: '', dataUrl: last };
      await sleep(intervalMs, signal);
    }
  }
}
