/**
 * Tarnwick browser client: talks to the local Tarnwick service so that a web
 * page can use the devices attached to this computer and hear of them as
 * they come and go.
 *
 * Plain ES module, no dependencies:
 *
 *   import { TarnwickClient } from './tarnwick.js';
 *   const client = (await TarnwickClient.find()) ?? new TarnwickClient();
 *   await client.openPort(1001);
 *   const card = await client.readCard(1001, 3);
 *   if (card.ok) show(card.fields.name, card.photoDataUrl);
 *   else alert(card.info);
 *
 * Error convention:
 * - When the service answers, every method resolves to an object with
 *   `ok` (boolean), `code` (the service's "return" value as a number, or
 *   null when it had none) and `info` (the service's message, or a short
 *   English one when it gave none), plus `raw` (the parsed answer). A failed
 *   card read is NOT an exception: check `ok`.
 * - Methods reject with a {@link TarnwickError} only when there is no usable
 *   answer at all: service not running, time-out, or a body that is not JSON.
 *
 * Requests are POSTs with a form body (or plain GETs), which browsers send
 * cross-origin without a CORS preflight.
 */

// The core: TarnwickClient, TarnwickError, SERVICE_PORTS, SUCCESS, CARD_FIELDS.
export * from './core.js';
// The event stream behind TarnwickClient.events() (EventStream, EVENT_TOPICS, ...).
export * from './events.js';
// The result shape, named here once: the device modules name it too.
/** @typedef {import('./core.js').Result} Result */
// The card-terminal routes (CardTerminal, RECORD, ...).
export * from './cardterminal.js';
// The USB-key routes (UsbKey, verifySignature, ...).
export * from './usbkey.js';
// The signature pad driven through the capture program.
export { SignaturePad, SIGNATURE_PREFIX } from './signature.js';
/** @typedef {import('./signature.js').SignatureData} SignatureData */
// The pen followed live and replayed (followPen, StrokeFollower, replayStrokes, ...).
export * from './pen.js';
