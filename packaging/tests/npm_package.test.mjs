// The packed web client as a user gets it: installed into a scratch project from its .tgz, its
// README's examples type-checked against the package's declarations, then run in a page that
// imports the installed package (Chromium), against the service with simulated devices.
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { mkdtemp, readdir, readFile, rm, writeFile } from 'node:fs/promises';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { extname, join, relative, resolve, sep } from 'node:path';
import { test } from 'node:test';
import { promisify } from 'node:util';
import {
  closeBrowser, closeServer, launchBrowser, listen, runReport, startService, startWatchdog, stopService,
} from '../../web/tests/harness.mjs';

const run = promisify(execFile);
const packageFile = process.env.TARNWICK_CLIENT_PACKAGE;
const tsc = process.env.TARNWICK_TSC;

// The scratch project's files, as a site's web server would publish them.
function serveFolder(root) {
  const types = { '.html': 'text/html', '.js': 'text/javascript', '.mjs': 'text/javascript' };
  return createServer((req, res) => {
    const file = resolve(root, `.${decodeURIComponent(new URL(req.url, 'http://x').pathname)}`);
    if (!file.startsWith(root + sep)) return res.writeHead(404).end();
    readFile(file).then((body) => res.writeHead(200, { 'Content-Type': types[extname(file)] ?? 'text/plain' }).end(body),
      () => res.writeHead(404).end());
  });
}

async function listFiles(dir) {
  const found = [];
  for (const entry of await readdir(dir, { withFileTypes: true, recursive: true })) {
    if (entry.isFile()) found.push(relative(dir, join(entry.parentPath ?? entry.path, entry.name)));
  }
  return found.sort();
}

async function until(check, what, ms = 30_000) {
  for (const end = Date.now() + ms; !check();) {
    if (Date.now() > end) throw new Error(`no ${what} within ${ms} ms`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

// The events example reads the first card it learns of: the reader is empty when it starts, and
// the card goes on once its stream runs (whether before or after the first poll, it is read).
async function simulateCard(page, service, action) {
  // From the page: Node's fetch refuses the service's reply envelope (bare LF header lines).
  const answer = await page.evaluate((url) => fetch(url).then((r) => r.text()),
    `http://127.0.0.1:${service.port}/Local/Simulate?device=idcard&action=${action}`);
  assert.equal(JSON.parse(answer).return, 0, `idcard ${action}: ${answer}`);
}

test('the packed client installs, and its README examples type-check and run', async () => {
  let service = null;
  let browser = null;
  let pages = null;
  const watchdog = startWatchdog('npm package', 150_000, () => service);
  const project = await mkdtemp(join(tmpdir(), 'tarnwick-npm-'));
  try {
    await writeFile(join(project, 'package.json'), JSON.stringify({ name: 'scratch', private: true, type: 'module' }));
    await run('npm', ['install', '--offline', '--no-audit', '--no-fund', '--silent', packageFile], { cwd: project });

    const installed = join(project, 'node_modules', '@tarnwick', 'client');
    const files = await listFiles(installed);
    for (const f of ['README.md', 'package.json', 'tarnwick.js', 'core.js', 'events.js', 'cardterminal.js', 'signature.js',
      'pen.js', 'usbkey.js', 'types/tarnwick.d.ts', 'types/core.d.ts', 'types/events.d.ts', 'types/cardterminal.d.ts',
      'types/signature.d.ts', 'types/pen.d.ts', 'types/usbkey.d.ts']) {
      assert.ok(files.includes(f), `${f} in the package (has: ${files.join(', ')})`);
    }
    assert.deepEqual(files.filter((f) => !/^(README\.md|package\.json|[a-z]+\.js|types\/[a-z]+\.d\.ts)$/.test(f)), [],
      'nothing but the modules, their declarations, README and package.json');

    const readme = await readFile(join(installed, 'README.md'), 'utf8');
    const examples = readme.split(/^## /m).slice(1).flatMap((section) => {
      const code = /^```js\n([\s\S]*?)^```/m.exec(section);
      return code ? [{ title: section.slice(0, section.indexOf('\n')), code: code[1] }] : [];
    });
    assert.deepEqual(examples.map((e) => e.title), ['ID card', 'Signature pad', 'Signature strokes', 'Card terminal', 'USB key', 'Events'],
      'one example per device family, the signature strokes and the event stream');
    const names = [];
    for (const [i, e] of examples.entries()) {
      names.push(`example${i}`);
      await writeFile(join(project, `example${i}.mjs`), e.code);
      await writeFile(join(project, `example${i}.ts`), e.code);
    }

    // Strict TypeScript against the declarations the package carries.
    const checked = await run(process.execPath, [tsc, '--noEmit', '--strict', '--target', 'es2022', '--module', 'nodenext',
      '--moduleResolution', 'nodenext', '--lib', 'es2022,dom', ...names.map((n) => `${n}.ts`)],
    { cwd: project }).catch((e) => e);
    assert.equal(checked.code ?? 0, 0, `tsc:\n${checked.stdout}${checked.stderr}`);

    // The page maps the package name to the installed module, as a page without a bundler does.
    await writeFile(join(project, 'example.html'), `<!doctype html><meta charset="utf-8">
<script type="importmap">{"imports": {"@tarnwick/client": "./node_modules/@tarnwick/client/tarnwick.js"}}</script>
<script type="module">
  const n = new URLSearchParams(location.search).get('n');
  import(\`./example\${n}.mjs\`).then(() => { document.title = 'done'; },
    (e) => { console.error(String(e)); document.title = 'failed'; });
</script>`);
    // The simulated tablet signs, then presses its confirm key.
    service = await startService('npm', { TARNWICK_SIM: '1', TARNWICK_SIM_TABLET: 'sign,confirm' });
    pages = serveFolder(project);
    const pagePort = await listen(pages);
    const lines = [];
    browser = await launchBrowser(lines);
    for (const [i, e] of examples.entries()) {
      lines.length = 0;
      if (e.title === 'Events') await simulateCard(browser.page, service, 'remove');
      await browser.page.goto(`http://127.0.0.1:${pagePort}/example.html?n=${i}`);
      if (e.title === 'Events') {
        await until(() => lines.includes('log: idcard present'), 'device snapshot');
        await simulateCard(browser.page, service, 'place');
      }
      await browser.page.waitForFunction(() => document.title !== '', null, { timeout: 30_000 });
      const report = `${e.title} example:\n${runReport(lines, service)}`;
      assert.equal(await browser.page.title(), 'done', report);
      assert.ok(lines.some((l) => l.startsWith('log: ')), `${e.title} example printed nothing\n${report}`);
      if (e.title === 'ID card') assert.ok(lines.includes('log: data:image/bmp;base64,'), report);
      if (e.title === 'Signature pad') assert.ok(lines.includes('log: data:image/png;base64,'), report);
      if (e.title === 'Signature strokes') assert.ok(lines.includes('log: true true true'), report);
      if (e.title === 'USB key') assert.ok(lines.includes('log: 7301000001 true'), report);
      if (e.title === 'Events') assert.ok(lines.includes('log: card placed') && lines.includes('log: 林小满'), report);
    }
  } finally {
    await closeBrowser(browser);
    if (pages?.listening) await closeServer(pages);
    if (service) {
      // A signature example cut short leaves the capture program running; it outlives the service.
      await fetch(`http://127.0.0.1:${service.port}/Pemrik_Api/QuitPMProc`, { signal: AbortSignal.timeout(10_000) })
        .catch(() => {});
      await stopService(service);
    }
    await rm(project, { recursive: true, force: true });
    clearTimeout(watchdog);
  }
});
