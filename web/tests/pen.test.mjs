// The pen helpers in Node, without the service: strokes kept from pen events, the ink's widths,
// the follower on a stream, the replay's timing on a fake clock, and signatureData's answers.
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import {
  SignaturePad, StrokeFollower, TarnwickError, followPen, replayStrokes, segmentsOf, strokeWidth,
} from '../client/tarnwick.js';

const pt = (x, p = 800, t = x) => ({ x, y: 10, p, t });
const lift = (t) => ({ x: 0, y: 0, p: 0, t });
// Strokes as the x of their points, segments as "from>to": short to compare.
const shape = (strokes) => strokes.map((s) => s.map((p) => p.x));
const lines = (segments) => segments.map((s) => `${s.from.x}>${s.to.x}`);

describe('stroke follower', () => {
  // Each case: the events in order, then the strokes kept, the lines the last event drew, the
  // points counted missed, and whether the pen is still down.
  const cases = [
    { name: 'one batch, one stroke', events: [{ points: [pt(1), pt(2), pt(3)] }],
      strokes: [[1, 2, 3]], drawn: ['1>2', '2>3'], down: true },
    { name: 'a stroke split over batches joins up', events: [{ points: [pt(1), pt(2)] }, { points: [pt(3)] }],
      strokes: [[1, 2, 3]], drawn: ['2>3'], down: true },
    { name: 'a lift inside a batch ends the stroke', events: [{ points: [pt(1), pt(2), lift(3), pt(4), pt(5)] }],
      strokes: [[1, 2], [4, 5]], drawn: ['1>2', '4>5'], down: true },
    { name: 'a lift at the end of one batch: the next starts a stroke',
      events: [{ points: [pt(1), pt(2), lift(3)], up: true }, { points: [pt(4), pt(5)] }],
      strokes: [[1, 2], [4, 5]], drawn: ['4>5'], down: true },
    { name: 'up without a lift point still ends the stroke', events: [{ points: [pt(1), pt(2)], up: true }, { points: [pt(3)] }],
      strokes: [[1, 2], [3]], drawn: [], down: true },
    { name: 'missed points break the line across the gap',
      events: [{ points: [pt(1), pt(2)] }, { points: [pt(9), pt(10)], missed: 4 }],
      strokes: [[1, 2], [9, 10]], drawn: ['9>10'], missed: 4, down: true },
    { name: 'misses add up until a clear', events: [{ points: [pt(1)], missed: 2 }, { points: [pt(2)], missed: 3 }],
      strokes: [[1], [2]], drawn: [], missed: 5, down: true },
    { name: 'clear empties the record', events: [{ points: [pt(1), pt(2)], missed: 1 }, { clear: true }],
      strokes: [], drawn: [], cleared: true, down: false },
    { name: 'after a clear a new stroke starts', events: [{ points: [pt(1), pt(2)] }, { clear: true }, { points: [pt(3), pt(4)] }],
      strokes: [[3, 4]], drawn: ['3>4'], down: true },
    { name: 'a lone lift draws nothing', events: [{ points: [lift(1)], up: true }], strokes: [], drawn: [], down: false },
    { name: 'points without numbers are skipped', events: [{ points: [pt(1), { x: 'a', y: 1, p: 5, t: 1 }, null, pt(2)] }],
      strokes: [[1, 2]], drawn: ['1>2'], down: true },
    { name: 'data that is no pen event changes nothing', events: [{ points: [pt(1), pt(2)] }, null, { other: 1 }],
      strokes: [[1, 2]], drawn: [], down: true },
  ];
  for (const c of cases) {
    test(c.name, () => {
      const follower = new StrokeFollower();
      let change;
      for (const e of c.events) change = follower.apply(e);
      assert.deepEqual(shape(follower.strokes), c.strokes);
      assert.deepEqual(lines(change.segments), c.drawn);
      assert.equal(change.cleared, c.cleared ?? false);
      assert.equal(follower.missed, c.missed ?? 0);
      assert.equal(follower.penDown, c.down);
    });
  }
});

test('ink widths follow the capture program\'s thickness floor(p / 400) + 1', () => {
  // [pressure, width in canvas units]: a thickness t covers 2t - 1 pixels from 2 on.
  for (const [p, width] of [[1, 1], [399, 1], [400, 3], [799, 3], [800, 5], [1023, 5], [4000, 21]]) {
    assert.equal(strokeWidth(p), width, `pressure ${p}`);
  }
});

// A 2D context that records what is drawn.
function recordingContext() {
  const ops = [];
  let width = 0;
  const context = {
    canvas: { width: 600, height: 300 },
    set lineWidth(w) { width = w; },
    get lineWidth() { return width; },
    save() {}, restore() {}, beginPath() {}, setTransform() {},
    clearRect() { ops.push('clear'); },
    moveTo(x, y) { ops.push(`M${x},${y}`); },
    lineTo(x, y) { ops.push(`L${x},${y}w${width}`); },
    stroke() {},
  };
  return { context, ops };
}

test('followPen draws each event\'s new lines at pixel centres and clears on clear', () => {
  const stream = new EventTarget();
  const send = (data) => stream.dispatchEvent(Object.assign(new Event('pen'), { data }));
  const { context, ops } = recordingContext();
  const updates = [];
  const pen = followPen(stream, { context, onUpdate: (f, change) => updates.push(change.segments.length) });
  send({ points: [pt(1, 100), pt(2, 900)] });
  send({ clear: true });
  send({ points: [pt(5, 400), pt(6, 399)], up: true });
  pen.stop();
  send({ points: [pt(7), pt(8)] });
  assert.deepEqual(ops, ['M1.5,10.5', 'L2.5,10.5w5', 'clear', 'M5.5,10.5', 'L6.5,10.5w1']);
  assert.deepEqual(updates, [1, 0, 1]);
  assert.deepEqual(shape(pen.follower.strokes), [[5, 6]]);
});

test('segments come in time order, measured from the first point', () => {
  const strokes = [[pt(1, 800, 100), pt(2, 800, 120)], [pt(3, 800, 400), pt(4, 800, 450), pt(5, 800, 450)]];
  assert.deepEqual(segmentsOf(strokes).map((s) => [`${s.from.x}>${s.to.x}`, s.at]),
    [['1>2', 20], ['3>4', 350], ['4>5', 350]]);
  assert.deepEqual(segmentsOf([]), []);
});

test('replay draws each line when its time comes, faster with speed, and stops on abort', async () => {
  const strokes = [[pt(1, 800, 1000), pt(2, 800, 1100)], [pt(3, 800, 2000), pt(4, 800, 2100)]];
  // A fake clock: each frame is 100 ms later.
  const run = async (speed, signal) => {
    const { context, ops } = recordingContext();
    let clock = 0;
    const frames = [];
    const done = replayStrokes(context, strokes, {
      speed, signal, now: () => clock,
      frame: (step) => { frames.push(ops.filter((o) => o.startsWith('L')).length); clock += 100; queueMicrotask(step); },
    });
    return { done, ops, frames };
  };
  const normal = await run(1);
  await normal.done;
  // Lines at 100 ms and 1100 ms: drawn after the first frame and the eleventh.
  assert.deepEqual(normal.frames, [0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1]);
  assert.equal(normal.ops[0], 'clear');
  assert.deepEqual(normal.ops.filter((o) => o.startsWith('L')), ['L2.5,10.5w5', 'L4.5,10.5w5']);
  const fast = await run(2);
  await fast.done;
  assert.equal(fast.frames.length, 6);

  const controller = new AbortController();
  const stopped = await run(1, controller.signal);
  controller.abort(new Error('stopped'));
  await assert.rejects(stopped.done, /stopped/);
});

describe('signatureData', () => {
  // A client that answers one text with one content type.
  const padAnswering = (text, contentType) => new SignaturePad({
    call: async () => JSON.parse(text),
    request: async (path) => { padAnswering.asked = path; return { text, contentType }; },
  });
  const json = '{"width":600,"height":300,"model":"0b57:8420","strokes":[[{"x":1,"y":2,"p":300,"t":0}]],"dropped":0}';
  const svg = '<?xml version="1.0"?>\n<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 600 300"></svg>\n';
  const cases = [
    { name: 'json parsed', format: 'json', text: json, type: 'application/json', result: JSON.parse(json) },
    { name: 'svg as text', format: 'svg', text: svg, type: 'image/svg+xml', result: svg },
    { name: 'json without a connection', format: 'json', text: '{"return":-1}', type: 'application/json', rejects: true },
    { name: 'svg without a connection', format: 'svg', text: '{"return":-1}', type: 'application/json', rejects: true },
    { name: 'svg content under another type', format: 'svg', text: svg, type: 'text/plain', rejects: true },
  ];
  for (const c of cases) {
    test(c.name, async () => {
      const pad = padAnswering(c.text, c.type);
      if (c.rejects) {
        await assert.rejects(pad.signatureData(c.format), (e) => e instanceof TarnwickError && e.kind === 'device');
      } else {
        assert.deepEqual(await pad.signatureData(c.format), c.result);
      }
      assert.equal(padAnswering.asked, `/Pemrik_Api/GetSignData?format=${c.format}`);
    });
  }
  test('an unknown format is refused before asking', async () => {
    await assert.rejects(new SignaturePad({}).signatureData(/** @type {any} */ ('png')), TypeError);
  });
});
