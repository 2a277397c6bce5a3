/**
 * The signature pad's pen on a page: strokes kept from the service's `pen` events as the person
 * signs, drawn onto a canvas the way the capture program draws its picture, and a signature's
 * strokes (from GetSignData) replayed with their timing.
 *
 *   const stream = client.events({ topics: ['pen', 'confirm'] });
 *   const pen = followPen(stream, { context: canvas.getContext('2d') }); // a 600 x 300 canvas
 *   ...
 *   pen.stop(); stream.close();
 *
 * Coordinates are the capture program's canvas units (600 x 300). This module imports nothing.
 */

/**
 * One report of the pen: canvas units, pressure as the tablet gives it (0: lifted), ms since
 * the tablet was switched on.
 * @typedef {{x: number, y: number, p: number, t: number}} PenPoint
 */

/**
 * The data of a `pen` event.
 * @typedef {object} PenEventData
 * @property {PenPoint[]} [points] new points in order; a point with p 0 is a lift
 * @property {boolean} [up]        the batch ends with the pen lifted
 * @property {number} [missed]     points lost before this batch
 * @property {boolean} [clear]     the canvas was emptied
 */

/**
 * A line between two pressing points in a row; `to` gives its width.
 * @typedef {{from: PenPoint, to: PenPoint}} PenSegment
 */

/**
 * What one event changed.
 * @typedef {object} PenChange
 * @property {boolean} cleared        everything before is gone
 * @property {PenSegment[]} segments  lines to draw, in order
 * @property {number} missed          points lost before this event's points
 */

/** The capture program's canvas, in its units. */
export const CANVAS_WIDTH = 600;
export const CANVAS_HEIGHT = 300;

/**
 * The ink's width for a pressure, in canvas units: the capture program draws with a line
 * thickness of floor(p / 400) + 1, which covers 2 * thickness - 1 pixels from 2 on.
 * @param {number} pressure
 * @returns {number}
 */
export function strokeWidth(pressure) {
  const thickness = Math.floor(Math.max(0, pressure) / 400) + 1;
  return thickness <= 1 ? 1 : 2 * thickness - 1;
}

function toPoint(value) {
  if (!value || typeof value !== 'object') return null;
  const { x, y, p, t } = value;
  return [x, y, p, t].every(Number.isFinite) ? { x, y, p, t } : null;
}

/**
 * Keeps the strokes from `pen` events. A stroke runs from the pen touching down to its lift, and
 * may span many events; lost points (missed) or a lift end it, a clear empties the record.
 */
export class StrokeFollower {
  #down = false;

  constructor() {
    /** The strokes so far, each the pressing points of one touch. @type {PenPoint[][]} */
    this.strokes = [];
    /** Points lost since the last clear (the page fell behind the service). */
    this.missed = 0;
  }

  /** Whether the last point pressed: the next one continues its stroke. */
  get penDown() { return this.#down; }

  /** The pressing points held. */
  get pointCount() { return this.strokes.reduce((n, s) => n + s.length, 0); }

  /** Forgets everything, as a clear does. */
  reset() {
    this.strokes = [];
    this.missed = 0;
    this.#down = false;
  }

  /**
   * Takes one `pen` event's data.
   * @param {PenEventData} data
   * @returns {PenChange}
   */
  apply(data) {
    const change = { cleared: false, segments: /** @type {PenSegment[]} */ ([]), missed: 0 };
    if (!data || typeof data !== 'object') return change;
    if (data.clear) {
      this.reset();
      change.cleared = true;
    }
    if (Number.isInteger(data.missed) && Number(data.missed) > 0) {
      change.missed = Number(data.missed);
      this.missed += change.missed;
      // The lost points may hold a lift: a line across the gap could be one the pen never drew.
      this.#down = false;
    }
    for (const raw of Array.isArray(data.points) ? data.points : []) {
      const point = toPoint(raw);
      if (!point) continue;
      if (point.p <= 0) {
        this.#down = false;
      } else if (this.#down) {
        const stroke = this.strokes[this.strokes.length - 1];
        change.segments.push({ from: stroke[stroke.length - 1], to: point });
        stroke.push(point);
      } else {
        this.strokes.push([point]);
        this.#down = true;
      }
    }
    if (data.up) this.#down = false;
    return change;
  }

  /**
   * Draws every stroke held onto an emptied canvas.
   * @param {CanvasRenderingContext2D} context
   * @param {{color?: string}} [options]
   */
  draw(context, options = {}) {
    clearCanvas(context);
    drawSegments(context, segmentsOf(this.strokes), options);
  }
}

/**
 * The lines of strokes in time order, each with `at`: ms from the first point.
 * @param {PenPoint[][]} strokes  a follower's, or GetSignData's `strokes`
 * @returns {(PenSegment & {at: number})[]}
 */
export function segmentsOf(strokes) {
  const out = [];
  const start = strokes.find((s) => s.length)?.[0]?.t ?? 0;
  for (const stroke of strokes) {
    for (let i = 1; i < stroke.length; i++) out.push({ from: stroke[i - 1], to: stroke[i], at: stroke[i].t - start });
  }
  // Stable: lines of one time keep their order.
  return out.sort((a, b) => a.at - b.at);
}

/**
 * Draws lines in canvas units: the pixel centres the capture program joins, widths from pressure.
 * @param {CanvasRenderingContext2D} context
 * @param {PenSegment[]} segments
 * @param {{color?: string}} [options]
 */
export function drawSegments(context, segments, { color = '#000' } = {}) {
  if (!segments.length) return;
  context.save();
  context.strokeStyle = color;
  context.lineCap = 'round';
  context.lineJoin = 'round';
  for (const { from, to } of segments) {
    context.lineWidth = strokeWidth(to.p);
    context.beginPath();
    context.moveTo(from.x + 0.5, from.y + 0.5);
    context.lineTo(to.x + 0.5, to.y + 0.5);
    context.stroke();
  }
  context.restore();
}

/** Empties the whole canvas, whatever its transform. @param {CanvasRenderingContext2D} context */
export function clearCanvas(context) {
  context.save();
  context.setTransform(1, 0, 0, 1, 0, 0);
  context.clearRect(0, 0, context.canvas.width, context.canvas.height);
  context.restore();
}

/**
 * Follows the pen on an event stream that asks for topic `pen` (client.events({topics: ['pen']})).
 * The stream must be new: the service sends a new stream the strokes already there first.
 * @param {{addEventListener: (type: string, listener: (event: any) => void) => void,
 *   removeEventListener: (type: string, listener: (event: any) => void) => void}} stream
 * @param {{context?: CanvasRenderingContext2D|null, color?: string,
 *   onUpdate?: (follower: StrokeFollower, change: PenChange) => void}} [options]
 *   context: drawn onto as the pen moves (canvas units: a 600 x 300 canvas, or scale it);
 *   onUpdate: after each event.
 * @returns {{follower: StrokeFollower, stop: () => void}} stop() leaves the stream open
 */
export function followPen(stream, { context = null, color, onUpdate } = {}) {
  const follower = new StrokeFollower();
  const listener = (/** @type {{data: PenEventData}} */ event) => {
    const change = follower.apply(event.data);
    if (context) {
      if (change.cleared) clearCanvas(context);
      drawSegments(context, change.segments, { color });
    }
    onUpdate?.(follower, change);
  };
  stream.addEventListener('pen', listener);
  return { follower, stop: () => stream.removeEventListener('pen', listener) };
}

/**
 * Draws strokes again as they were written: each line when its time comes.
 * @param {CanvasRenderingContext2D} context  emptied first
 * @param {PenPoint[][]} strokes  GetSignData's `strokes`, or a follower's
 * @param {{speed?: number, color?: string, signal?: AbortSignal,
 *   onProgress?: (drawn: number, total: number) => void,
 *   now?: () => number, frame?: (step: () => void) => void}} [options]
 *   speed: 2 plays twice as fast; now and frame default to performance.now and
 *   requestAnimationFrame (a 16 ms timer without one).
 * @returns {Promise<void>} when the last line is drawn; rejects with the signal's reason on abort
 */
export function replayStrokes(context, strokes, {
  speed = 1, color, signal, onProgress,
  now = () => performance.now(),
  frame = globalThis.requestAnimationFrame ? (step) => globalThis.requestAnimationFrame(step)
    : (step) => setTimeout(step, 16),
} = {}) {
  const segments = segmentsOf(strokes);
  const rate = speed > 0 ? speed : 1;
  clearCanvas(context);
  const start = now();
  let drawn = 0;
  return new Promise((resolve, reject) => {
    const step = () => {
      if (signal?.aborted) {
        reject(signal.reason);
        return;
      }
      const elapsed = (now() - start) * rate;
      const from = drawn;
      while (drawn < segments.length && segments[drawn].at <= elapsed) drawn++;
      drawSegments(context, segments.slice(from, drawn), { color });
      onProgress?.(drawn, segments.length);
      if (drawn < segments.length) frame(step);
      else resolve();
    };
    step();
  });
}
