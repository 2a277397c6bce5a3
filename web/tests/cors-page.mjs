// Runs in the browser page, served from an origin other than the service's.
const params = new URLSearchParams(location.search);
const service = params.get('service');
const control = params.get('control');

async function probe(name, url, init, expectFailure = false) {
  const entry = { name, method: init.method, url, expectFailure, status: null, contentType: null, body: null, error: null };
  try {
    const res = await fetch(url, { cache: 'no-store', ...init });
    entry.status = res.status;
    entry.contentType = res.headers.get('Content-Type');
    entry.body = await res.text();
  } catch (e) {
    entry.error = String(e);
  }
  return entry;
}

function render(results) {
  const table = document.getElementById('summary');
  for (const r of results) {
    const row = table.insertRow();
    const outcome = (r.error ? `ERROR ${r.error}` : `${r.status} ${r.body}`)
      + (r.expectFailure ? ' (expected to fail)' : '');
    const target = r.url ? `${r.method} ${new URL(r.url).host}${new URL(r.url).pathname}` : '';
    for (const text of [r.name, target, outcome]) {
      row.insertCell().textContent = text;
    }
    row.className = Boolean(r.error) === Boolean(r.expectFailure) ? 'ok' : 'failed';
  }
  document.getElementById('result').textContent = JSON.stringify(results, null, 2);
}

const results = [];
try {
  results.push(await probe('get', `${service}/Local/GetVersion`, { method: 'GET' }));
  results.push(await probe('post', `${service}/Local/GetVersion`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body: 'caller=cors-test&n=1',
  }));
  results.push(await probe('preflighted', `${service}/test`, {
    method: 'GET',
    headers: { 'X-Tarnwick-Demo': '1' },
  }));
  // The control server serves CORS answers but ignores preflights.
  results.push(await probe('control-simple', `${control}/test`, { method: 'GET' }));
  results.push(await probe('control-preflighted', `${control}/test`, {
    method: 'GET',
    headers: { 'X-Tarnwick-Demo': '1' },
  }, true));
  render(results);
} catch (e) {
  document.getElementById('result').textContent = JSON.stringify([...results, { name: 'page', error: String(e) }]);
} finally {
  document.body.dataset.done = '1';
}
