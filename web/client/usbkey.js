/**
 * USB-key methods of the Tarnwick client: the key's reader name and serial
 * number, its password, the certificate, certificate password and signature
 * picture it stores, and signatures made with its key pair.
 *
 *   import { TarnwickClient, UsbKey, verifySignature } from './tarnwick.js';
 *   const key = new UsbKey(await TarnwickClient.find());
 *   const signed = await key.sign('I agree.', '12345678');
 *   const cert = await key.readCertificate();
 *   if (signed.ok && cert.ok) {
 *     const valid = await verifySignature(cert.certificate, 'I agree.', signed.signature);
 *   }
 *
 * Results follow tarnwick.js: every method resolves to an object with `ok`,
 * `code` (the service's "return", a number, or null), `info` and `raw`, plus
 * the value it reads; it rejects only when the service gives no usable answer.
 * Texts travel as UTF-8; their "len" is counted in bytes here.
 */

/** The password of a new key, and of every key after factoryInit(). */
export const DEFAULT_PIN = '12345678';

/** The most bytes the service takes for one text (certificate, picture, content). */
export const MAX_TEXT_BYTES = 51199;

/** What erase() can empty: the names, or the key library's numbers 0..3. */
export const ERASE_AREAS = Object.freeze({ all: 0, certificate: 1, certPassword: 2, signaturePicture: 3 });

/** @typedef {import('./core.js').Result} Result */

const encoder = new TextEncoder();

/** @param {string} text @returns {number} its length in UTF-8 bytes */
export function byteLength(text) {
  return encoder.encode(text).length;
}

/** @param {Record<string, any>} raw @param {boolean} ok @param {number|null} code @param {string} what @returns {Result} */
function outcome(raw, ok, code, what) {
  let info = '';
  if (!ok) {
    info = code === -2 && /password|sign/i.test(what) ? `USB key: ${what} refused, the password is locked`
      : `USB key: ${what} failed (return ${code === null ? JSON.stringify(raw.return ?? null) : code})`;
  }
  return { ok, code, info, raw };
}

/** @param {string} what @param {number} bytes @returns {Result} */
function tooLong(what, bytes) {
  return {
    ok: false, code: null, info: `USB key: ${what} is ${bytes} bytes, more than the ${MAX_TEXT_BYTES} the service takes`,
    raw: {},
  };
}

export class UsbKey {
  /** @param {import('./core.js').TarnwickClient} client */
  constructor(client) {
    this.client = client;
  }

  // Routes answering {"return": n}: 0 is success.
  /** @returns {Promise<Result>} */
  async #number(route, what, params = {}) {
    const raw = await this.client.call(`/VnUsbKey_Api/${route}`, params);
    const code = typeof raw.return === 'number' ? raw.return : null;
    return outcome(raw, code === 0, code, what);
  }

  // Routes answering {field: "text"} on success and {"return": -1} on failure.
  /** @returns {Promise<Result & {value: string|null}>} */
  async #text(route, field, what, params = {}) {
    const raw = await this.client.call(`/VnUsbKey_Api/${route}`, params);
    const value = field in raw ? raw[field] : undefined;
    const ok = value !== undefined && value !== null;
    const code = ok ? 0 : typeof raw.return === 'number' ? raw.return : null;
    return { ...outcome(raw, ok, code, what), value: ok ? String(value) : null };
  }

  // Text and byte length, refused here when the service would cut it.
  /** @returns {Promise<Result>} */
  async #write(route, field, what, text, extra = {}) {
    const value = String(text);
    const len = byteLength(value);
    if (len > MAX_TEXT_BYTES) return tooLong(what, len);
    return this.#number(route, what, { [field]: value, len, ...extra });
  }

  /** @returns {Promise<Result & {readerName: string|null}>} */
  async readerName() {
    const r = await this.#text('GetReaderName', 'readerName', 'reading the reader name');
    return { ...r, readerName: r.value };
  }

  /**
   * The key's serial number. The service sends it as a bare JSON number; it
   * is returned as text (digits of very long numbers may be lost in parsing).
   * @returns {Promise<Result & {serialNumber: string|null}>}
   */
  async serialNumber() {
    const r = await this.#text('GetSerialNum', 'SerialNum', 'reading the serial number');
    return { ...r, serialNumber: r.value };
  }

  /** New key pair and self-signed certificate, default password, nothing else stored. @returns {Promise<Result>} */
  factoryInit() { return this.#number('FactoryInit', 'factory initialisation'); }

  /** Empties the key, key pair included (sign() fails until factoryInit()). @returns {Promise<Result>} */
  format() { return this.#number('Format', 'formatting'); }

  /** @param {'all'|'certificate'|'certPassword'|'signaturePicture'|0|1|2|3} area @returns {Promise<Result>} */
  erase(area) {
    const kl = typeof area === 'number' ? area : ERASE_AREAS[area];
    if (kl === undefined) return Promise.resolve(outcome({}, false, null, `erasing "${area}"`));
    return this.#number('Erase', 'erasing', { KL: kl });
  }

  /** ok for the right password; code -1 wrong, -2 locked (until factoryInit()). @param {string} password @returns {Promise<Result>} */
  checkPassword(password) { return this.#number('CheckPassword', 'password check', { PassWord: password }); }

  /** Sets a new password (4 to 16 characters) after checkPassword() with the current one. @param {string} newPassword @returns {Promise<Result>} */
  resetPassword(newPassword) {
    return this.#number('ResetPassword', 'password change', { PassWord: newPassword });
  }

  /** @param {string} text @returns {Promise<Result>} */
  writeCertPassword(text) {
    return this.#write('WriteCertPassword', 'CertPassword', 'the certificate password', text);
  }

  /** @returns {Promise<Result & {certPassword: string|null}>} */
  async readCertPassword() {
    const r = await this.#text('ReadCertPassword', 'CertPassword', 'reading the certificate password');
    return { ...r, certPassword: r.value };
  }

  /** Stores a certificate (any text; PEM is usual). @param {string} text @returns {Promise<Result>} */
  writeCertificate(text) { return this.#write('WriteCertificate', 'Certificate', 'the certificate', text); }

  /**
   * The stored certificate: after factoryInit() the key's self-signed one
   * (PEM), which verifies the key's signatures.
   * @returns {Promise<Result & {certificate: string|null}>}
   */
  async readCertificate() {
    const r = await this.#text('ReadCertificate', 'Certificate', 'reading the certificate');
    return { ...r, certificate: r.value };
  }

  /** @param {string} jpeg a JPEG as a data URL or as bare Base64 @returns {Promise<Result>} */
  writeSignaturePicture(jpeg) {
    const base64 = String(jpeg).replace(/^data:[^,]*;base64,/, '');
    return this.#write('WriteSignature', 'Signature', 'the signature picture', base64);
  }

  /** @returns {Promise<Result & {dataUrl: string|null}>} "data:image/jpg;base64,..." */
  async readSignaturePicture() {
    const r = await this.#text('ReadSignature', 'result', 'reading the signature picture');
    return { ...r, dataUrl: r.value };
  }

  /**
   * Signs the UTF-8 bytes of `content` with the key (RSASSA-PKCS1-v1_5,
   * SHA-256). A wrong password uses one of the key's tries.
   * @param {string} content @param {string} password
   * @returns {Promise<Result & {signature: string|null}>} Base64 of the signature
   */
  async sign(content, password) {
    const text = String(content);
    const len = byteLength(text);
    if (len > MAX_TEXT_BYTES) return { ...tooLong('the content', len), signature: null };
    const r = await this.#text('DOSIGN', 'result', 'signing', { Content: text, len, PassWord: password });
    return { ...r, signature: r.value };
  }
}

function fromBase64(text) {
  const binary = atob(text.replace(/\s+/g, ''));
  return Uint8Array.from(binary, (c) => c.charCodeAt(0));
}

/**
 * The DER bytes of a certificate given as PEM or as bare Base64.
 * @param {string} text
 * @returns {Uint8Array}
 */
export function certificateBytes(text) {
  const pem = /-----BEGIN CERTIFICATE-----([\s\S]*?)-----END CERTIFICATE-----/.exec(String(text));
  return fromBase64(pem ? pem[1] : String(text));
}

// One DER element at `offset`: its tag and where its content starts and ends.
function element(der, offset) {
  if (offset + 2 > der.length) throw new Error('certificate: truncated');
  const tag = der[offset];
  let length = der[offset + 1];
  let start = offset + 2;
  if (length & 0x80) {
    const count = length & 0x7f;
    if (count === 0 || count > 4) throw new Error('certificate: bad length');
    length = 0;
    for (let i = 0; i < count; i++) length = length * 256 + der[start + i];
    start += count;
  }
  const end = start + length;
  if (end > der.length) throw new Error('certificate: truncated');
  return { tag, start, end };
}

/**
 * The subjectPublicKeyInfo of an X.509 certificate (what WebCrypto imports
 * as "spki").
 * @param {Uint8Array} der
 * @returns {Uint8Array}
 */
export function publicKeyInfo(der) {
  const certificate = element(der, 0);
  const tbs = element(der, certificate.start);
  if (certificate.tag !== 0x30 || tbs.tag !== 0x30) throw new Error('certificate: not an X.509 certificate');
  // version [0] (optional), serialNumber, signature, issuer, validity, subject, subjectPublicKeyInfo
  let at = tbs.start;
  let e = element(der, at);
  if (e.tag === 0xa0) {
    at = e.end;
    e = element(der, at);
  }
  for (let i = 0; i < 5; i++) {
    at = e.end;
    e = element(der, at);
  }
  if (e.tag !== 0x30) throw new Error('certificate: no public key');
  return der.slice(at, e.end);
}

/**
 * Checks a signature from UsbKey.sign() with the public key of a certificate
 * (RSASSA-PKCS1-v1_5 with SHA-256, by WebCrypto: the page must be served from
 * https or from localhost).
 * @param {string} certificate PEM or Base64 DER
 * @param {string} content the signed text
 * @param {string} signature Base64
 * @returns {Promise<boolean>}
 */
export async function verifySignature(certificate, content, signature) {
  const subtle = globalThis.crypto?.subtle;
  if (!subtle) throw new Error('WebCrypto is not available: serve the page over https or from localhost');
  const algorithm = { name: 'RSASSA-PKCS1-v1_5', hash: 'SHA-256' };
  const key = await subtle.importKey('spki', publicKeyInfo(certificateBytes(certificate)), algorithm, false,
    ['verify']);
  return subtle.verify(algorithm, key, fromBase64(signature), encoder.encode(String(content)));
}
