// The web client in Node, without the service: the event-stream parser, the stream's reconnects
// (over a fake fetch and over real HTTP), and find()'s limits.
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { createServer } from 'node:http';
import { EventStreamParser, EventStream, TarnwickClient } from '../client/tarnwick.js';

// Not from harness.mjs: this test runs without playwright installed.
const listen = (server, port = 0) => new Promise((r, reject) => {
  server.once('error', reject).listen(port, '127.0.0.1', () => r(server.address().port));
});
const closeServer = (server) => {
  server.closeAllConnections();
  return new Promise((r) => server.close(() => r()));
};
const bytes = (s) => new TextEncoder().encode(s);

describe('event-stream parser', () => {
  // Each case: the chunks as they arrive, the events wanted, and the state left behind.
  const cases = [
    { name: 'one event', chunks: ['id: 1\nevent: card\ndata: {"port":1001,"present":true}\n\n'],
      events: [{ type: 'card', data: '{"port":1001,"present":true}', id: '1' }], lastEventId: '1' },
    { name: 'split in every field', chunks: ['i', 'd: 7\nev', 'ent: key\nda', 'ta: {"present"', ':false}\n', '\n'],
      events: [{ type: 'key', data: '{"present":false}', id: '7' }], lastEventId: '7' },
    { name: 'data on several lines joined by LF', chunks: ['event: device\ndata: {"family":\ndata: "usbkey"}\n\n'],
      events: [{ type: 'device', data: '{"family":\n"usbkey"}', id: null }], lastEventId: '' },
    { name: 'comments and the keep-alive are skipped', chunks: [': keep-alive\n\n: x\nevent: confirm\ndata: {}\n\n'],
      events: [{ type: 'confirm', data: '{}', id: null }], lastEventId: '' },
    { name: 'retry sets the reconnection time', chunks: ['retry: 1000\n\n'], events: [], retryMs: 1000 },
    { name: 'retry that is not a number is ignored', chunks: ['retry: 10s\n\n'], events: [], retryMs: null },
    { name: 'CRLF and CR line ends', chunks: ['event: a\r\ndata: 1\r\n\r\nevent: b\rdata: 2\r\r'],
      events: [{ type: 'a', data: '1', id: null }, { type: 'b', data: '2', id: null }] },
    { name: 'CRLF split between chunks is one line end', chunks: ['data: 1\r', '\ndata: 2\r', '\n\r', '\n'],
      events: [{ type: 'message', data: '1\n2', id: null }] },
    { name: 'a UTF-8 character split between chunks', chunks: [bytes('data: "林').slice(0, 8), bytes('data: "林"\n\n').slice(8)],
      events: [{ type: 'message', data: '"林"', id: null }] },
    { name: 'a leading BOM is dropped', chunks: ['\ufeffdata: 1\n\n'], events: [{ type: 'message', data: '1', id: null }] },
    { name: 'no space after the colon, and a field without one', chunks: ['event:card\ndata\ndata:x\n\n'],
      events: [{ type: 'card', data: '\nx', id: null }] },
    { name: 'a block without data dispatches nothing but keeps its id', chunks: ['id: 5\nevent: card\n\n'],
      events: [], lastEventId: '5' },
    { name: 'the id stays for the next, id-less block', chunks: ['id: 3\ndata: a\n\ndata: b\n\n'],
      events: [{ type: 'message', data: 'a', id: '3' }, { type: 'message', data: 'b', id: null }], lastEventId: '3' },
    { name: 'an id with NUL is ignored', chunks: ['id: 2\n\nid: 9\0\ndata: z\n\n'],
      events: [{ type: 'message', data: 'z', id: null }], lastEventId: '2' },
    { name: 'an unfinished block is held back', chunks: ['event: card\ndata: {}\n'], events: [] },
    { name: 'a line without end past 1 MiB is refused', chunks: ['data: ', 'x'.repeat(1 << 20)], throws: /too long/ },
    { name: 'a block of many lines past 1 MiB is refused', chunks: Array(1100).fill(`data: ${'y'.repeat(1000)}\n`),
      throws: /too long/ },
  ];
  for (const c of cases) {
    test(c.name, () => {
      const parser = new EventStreamParser();
      if (c.throws) {
        assert.throws(() => c.chunks.forEach((chunk) => parser.push(chunk)), c.throws);
        return;
      }
      const events = c.chunks.flatMap((chunk) => parser.push(chunk));
      assert.deepEqual(events, c.events);
      if ('lastEventId' in c) assert.equal(parser.lastEventId, c.lastEventId);
      if ('retryMs' in c) assert.equal(parser.retryMs, c.retryMs);
    });
  }
});

// A fetch that answers from a script, one entry per request, and records what was asked.
function scriptedFetch(script) {
  const requests = [];
  const fetch = async (url, init) => {
    requests.push(url);
    const step = script[Math.min(requests.length - 1, script.length - 1)];
    if (step.reject) throw new TypeError('fetch failed');
    const body = new ReadableStream({
      start(controller) {
        for (const chunk of step.chunks ?? []) controller.enqueue(bytes(chunk));
        if (!step.hold) controller.close();
        init.signal.addEventListener('abort', () => { try { controller.error(new Error('aborted')); } catch { /* done */ } });
      },
    });
    return new Response(body, {
      status: step.status ?? 200,
      headers: { 'Content-Type': step.type ?? 'text/event-stream', ...step.headers },
    });
  };
  return { fetch, requests };
}

// Waits for `count` events of `type` on the stream and returns them.
function collect(stream, type, count) {
  return new Promise((resolve) => {
    const seen = [];
    stream.addEventListener(type, function listener(e) {
      seen.push(e);
      if (seen.length === count) {
        stream.removeEventListener(type, listener);
        resolve(seen);
      }
    });
  });
}

describe('event stream', () => {
  test('resumes after the last id, and the loop and the listeners both see each event', async () => {
    const { fetch, requests } = scriptedFetch([
      { chunks: ['retry: 5\n\n', 'event: device\ndata: {"family":"idcard","present":true,"snapshot":true}\n\n',
        'id: 1\nevent: card\ndata: {"port":1001,"present":true}\n\n'] },
      { chunks: ['retry: 5\n\nid: 2\nevent: card\ndata: {"port":1001,"present":false}\n\n'], hold: true },
    ]);
    const stream = new EventStream('http://127.0.0.1:1/', { topics: ['device', 'card'], period: 250, port: 1002, fetch });
    const cards = collect(stream, 'card', 2);
    const seen = [];
    for await (const e of stream) {
      seen.push(e);
      if (seen.length === 3) break;
    }
    assert.deepEqual(seen, [
      { topic: 'device', id: null, data: { family: 'idcard', present: true, snapshot: true } },
      { topic: 'card', id: 1, data: { port: 1001, present: true } },
      { topic: 'card', id: 2, data: { port: 1001, present: false } },
    ]);
    assert.deepEqual((await cards).map((e) => [e.topic, e.id, e.data.present]), [['card', 1, true], ['card', 2, false]]);
    assert.deepEqual(requests, [
      'http://127.0.0.1:1/Local/Events?topics=device%2Ccard&period=250&port=1002',
      'http://127.0.0.1:1/Local/Events?topics=device%2Ccard&period=250&port=1002&lastEventId=1',
    ]);
    // Breaking out of the loop left the stream open.
    assert.equal(stream.readyState, 'open');
    stream.close();
    assert.equal(stream.readyState, 'closed');
  });

  test('a refused stream waits as Retry-After says, then comes back', async () => {
    const { fetch, requests } = scriptedFetch([
      { status: 503, type: 'application/json', headers: { 'Retry-After': '1' }, chunks: ['{"return":-1}'] },
      { chunks: ['id: 4\nevent: confirm\ndata: {"confirmed":true}\n\n'], hold: true },
    ]);
    const stream = new EventStream('http://x', { fetch });
    const [refused] = await collect(stream, 'error', 1);
    assert.equal(refused.status, 503);
    assert.equal(refused.serviceDown, false);
    assert.ok(refused.retryInMs >= 1000, `waits ${refused.retryInMs} ms`);
    const [confirm] = await collect(stream, 'confirm', 1);
    assert.deepEqual(confirm.data, { confirmed: true });
    assert.equal(requests.length, 2);
    stream.close();
  });

  test('back-off doubles from the service\'s retry up to the limit, and starts over after a stream', async () => {
    const { fetch, requests } = scriptedFetch([{ chunks: ['retry: 10\n\n'] }, { reject: true }]);
    const stream = new EventStream('http://x', { fetch, maxRetryMs: 60 });
    const errors = await collect(stream, 'error', 5);
    stream.close();
    const waits = errors.map((e) => e.retryInMs);
    // The first follows a stream that ran; the rest follow failures, each with up to 25% spread.
    assert.equal(waits[0], 10);
    for (const [i, low] of [[1, 10], [2, 20], [3, 40], [4, 60]]) {
      assert.ok(waits[i] >= low && waits[i] <= low * 1.25, `wait ${i} is ${waits[i]}, not ${low}..${low * 1.25}`);
    }
    assert.deepEqual(errors.map((e) => e.serviceDown), [false, true, true, true, true]);
    const made = requests.length;
    await new Promise((r) => setTimeout(r, 150));
    assert.equal(requests.length, made, 'no attempt after close()');
  });

  test('a stream gone silent is dropped and made again', async () => {
    const { fetch, requests } = scriptedFetch([{ chunks: ['retry: 5\n\n'], hold: true }]);
    const stream = new EventStream('http://x', { fetch, idleTimeoutMs: 100 });
    const [stalled] = await collect(stream, 'error', 1);
    assert.equal(stalled.serviceDown, true);
    assert.match(stalled.message, /silent/);
    await collect(stream, 'open', 1);
    assert.equal(requests.length, 2);
    stream.close();
  });

  test('data that is not JSON is reported, not delivered', async () => {
    const { fetch } = scriptedFetch([{ chunks: ['event: card\ndata: {oops\n\nevent: key\ndata: {"present":true}\n\n'], hold: true }]);
    const stream = new EventStream('http://x', { fetch });
    const errors = collect(stream, 'error', 1);
    const iterator = stream[Symbol.asyncIterator]();
    assert.deepEqual((await iterator.next()).value, { topic: 'key', id: null, data: { present: true } });
    assert.match((await errors)[0].message, /not JSON/);
    stream.close();
    assert.equal((await iterator.next()).done, true, 'close() ends the loop');
  });

  test('over HTTP: the service going away, then back on the same port', async () => {
    const asked = [];
    let live = null;
    const handler = (req, res) => {
      asked.push(req.url);
      res.writeHead(200, { 'Content-Type': 'text/event-stream' });
      res.write('retry: 20\n\n');
      res.write(`id: ${asked.length}\nevent: device\ndata: {"family":"usbkey","present":true}\n\n`);
      live = res;
    };
    let server = createServer(handler);
    const port = await listen(server);
    const stream = new TarnwickClient({ baseUrl: `http://127.0.0.1:${port}` }).events({ topics: 'device' });
    await collect(stream, 'device', 1);
    const down = collect(stream, 'error', 1);
    live.socket.destroy();
    await closeServer(server);
    assert.equal((await down)[0].serviceDown, true);
    server = createServer(handler);
    await listen(server, port);
    const [again] = await collect(stream, 'device', 1);
    assert.equal(again.id, 2);
    assert.deepEqual(asked, ['/Local/Events?topics=device', '/Local/Events?topics=device&lastEventId=1']);
    stream.close();
    await closeServer(server);
  });
});

describe('find()', () => {
  test('the found client uses the normal request limit, not the probe\'s', async (t) => {
    const original = globalThis.fetch;
    t.after(() => { globalThis.fetch = original; });
    globalThis.fetch = async (url) => {
      if (!String(url).startsWith('http://127.0.0.1:61234/')) throw new TypeError('fetch failed');
      return new Response('{"Version":"1.0.0.0"}');
    };
    for (const [options, limit] of [[{}, 10_000], [{ requestTimeoutMs: 4000 }, 4000]]) {
      const found = await TarnwickClient.find(options);
      assert.equal(found?.baseUrl, 'http://127.0.0.1:61234');
      assert.equal(found.timeoutMs, limit);
    }
  });
});
