// The demo page's USB-key panel; see ../client/usbkey.js.
import { TarnwickClient, UsbKey, verifySignature } from '../client/tarnwick.js';
import { live } from './live.js';

const $ = (id) => document.getElementById(id);
const panel = $('usbkey');
let seq = 0;

// The service the page is connected to (demo.js fills the address in), else the first found.
async function key() {
  const baseUrl = $('service-url')?.value.trim() || new URLSearchParams(location.search).get('service');
  const client = baseUrl ? new TarnwickClient({ baseUrl }) : await TarnwickClient.find();
  if (!client) throw new Error('未找到本机服务 · The Tarnwick service is not reachable');
  return new UsbKey(client);
}

function status(kind, text) {
  $('uk-status').dataset.kind = kind;
  $('uk-status').textContent = text;
}

function verdict(valid) {
  const el = $('uk-verdict');
  el.dataset.valid = valid === null ? '' : valid ? 'yes' : 'no';
  el.textContent = valid === null ? '—' : valid ? '✓ 签名有效 · Signature valid' : '✗ 签名无效 · Signature not valid';
}

// Runs one button's work; the panel's data attributes let scripts wait for it.
async function run(action, work) {
  for (const b of panel.querySelectorAll('button')) b.disabled = true;
  let outcome = 'error';
  try {
    const r = await work(await key());
    outcome = r.outcome ?? (r.ok ? 'ok' : 'error');
    if (r.ok) status('ok', r.message);
    else status('error', r.info);
  } catch (e) {
    status('error', e.message);
  } finally {
    for (const b of panel.querySelectorAll('button')) b.disabled = false;
    panel.dataset.last = `${action}:${outcome}`;
    panel.dataset.seq = String(++seq);
  }
}

// Signs with the key, then checks the signature against the key's own certificate.
async function check(k) {
  const signature = $('uk-signature').value.trim();
  if (!signature) return { ok: false, info: '请先签名 · Sign first' };
  const cert = await k.readCertificate();
  if (!cert.ok) return cert;
  $('uk-certificate').value = cert.certificate;
  let valid;
  try {
    valid = await verifySignature(cert.certificate, $('uk-content').value, signature);
  } catch (e) {
    return { ok: false, info: `证书不能用于验证 · The stored certificate cannot verify: ${e.message}` };
  }
  verdict(valid);
  return valid ? { ok: true, outcome: 'valid', message: '签名已用钥匙证书验证 · Verified with the key\'s certificate' }
    : { ok: false, outcome: 'invalid', info: '签名与内容或证书不符 · The signature does not match the text or certificate' };
}

// A signature pad for the picture: pointer strokes on white, stored as JPEG.
const pad = $('uk-pad');
const ink = pad.getContext('2d');
function clearPad() {
  ink.fillStyle = '#fff';
  ink.fillRect(0, 0, pad.width, pad.height);
  ink.strokeStyle = '#1b2a4a';
  ink.lineWidth = 2.5;
  ink.lineCap = 'round';
  ink.lineJoin = 'round';
}
function sampleSignature() {
  ink.beginPath();
  for (let x = 30; x <= 270; x += 3) {
    const y = 58 + 22 * Math.sin(x / 14) * Math.cos(x / 47);
    if (x === 30) ink.moveTo(x, y);
    else ink.lineTo(x, y);
  }
  ink.stroke();
}
let drawing = false;
pad.addEventListener('pointerdown', (e) => {
  drawing = true;
  pad.setPointerCapture(e.pointerId);
  ink.beginPath();
  ink.moveTo(e.offsetX, e.offsetY);
});
pad.addEventListener('pointermove', (e) => {
  if (!drawing) return;
  ink.lineTo(e.offsetX, e.offsetY);
  ink.stroke();
});
pad.addEventListener('pointerup', () => { drawing = false; });
clearPad();
sampleSignature();

const actions = {
  'uk-reader': ['reader', async (k) => {
    const r = await k.readerName();
    $('uk-reader-name').textContent = r.readerName ?? '—';
    return { ...r, message: `设备 · Reader: ${r.readerName}` };
  }],
  'uk-serial': ['serial', async (k) => {
    const r = await k.serialNumber();
    $('uk-serial-number').textContent = r.serialNumber ?? '—';
    return { ...r, message: `序列号 · Serial number ${r.serialNumber}` };
  }],
  'uk-check': ['check', async (k) => {
    const r = await k.checkPassword($('uk-pin').value);
    const info = r.code === -2 ? '密码已锁定，请出厂初始化 · Password locked: use Factory init'
      : '密码错误 · Wrong password';
    return { ...r, info: r.ok ? '' : info, message: '密码正确 · Password correct' };
  }],
  'uk-reset': ['reset', async (k) => {
    const r = await k.resetPassword($('uk-new-pin').value);
    if (r.ok) $('uk-pin').value = $('uk-new-pin').value;
    const info = '修改失败：请先校验当前密码，新密码 4–16 位 · Not changed: check the current password first; 4–16 characters';
    return { ...r, info: r.ok ? '' : info, message: '密码已修改 · Password changed' };
  }],
  'uk-sign': ['sign', async (k) => {
    verdict(null);
    $('uk-signature').value = '';
    const r = await k.sign($('uk-content').value, $('uk-pin').value);
    if (!r.ok) return { ...r, info: `签名失败（密码错误或已锁定）· Not signed (wrong or locked password; return ${r.code})` };
    $('uk-signature').value = r.signature;
    const v = await check(k);
    return { ...v, outcome: v.ok ? 'ok' : v.outcome };
  }],
  'uk-verify': ['verify', check],
  'uk-cert-read': ['certread', async (k) => {
    const r = await k.readCertificate();
    $('uk-certificate').value = r.certificate ?? '';
    return { ...r, info: r.ok ? '' : '钥匙中没有证书 · No certificate on the key', message: '已读取证书 · Certificate read' };
  }],
  'uk-cert-write': ['certwrite', async (k) => ({
    ...(await k.writeCertificate($('uk-certificate').value)), message: '证书已写入 · Certificate written' })],
  'uk-certpw-read': ['certpwread', async (k) => {
    const r = await k.readCertPassword();
    $('uk-cert-pw').value = r.certPassword ?? '';
    return { ...r, info: r.ok ? '' : '钥匙中没有证书密码 · No certificate password on the key',
      message: '已读取证书密码 · Certificate password read' };
  }],
  'uk-certpw-write': ['certpwwrite', async (k) => ({
    ...(await k.writeCertPassword($('uk-cert-pw').value)), message: '证书密码已写入 · Certificate password written' })],
  'uk-picture-write': ['picturewrite', async (k) => ({
    ...(await k.writeSignaturePicture(pad.toDataURL('image/jpeg', 0.85))),
    message: '签名图片已写入 · Picture written' })],
  'uk-picture-read': ['pictureread', async (k) => {
    const r = await k.readSignaturePicture();
    $('uk-picture').hidden = !r.ok;
    if (r.ok) $('uk-picture').src = r.dataUrl;
    return { ...r, info: r.ok ? '' : '钥匙中没有签名图片 · No picture on the key', message: '已读取签名图片 · Picture read' };
  }],
  'uk-erase': ['erase', async (k) => ({ ...(await k.erase($('uk-area').value)), message: '已擦除 · Erased' })],
  'uk-format': ['format', async (k) => {
    verdict(null);
    return { ...(await k.format()), message: '已格式化：需出厂初始化后才能签名 · Formatted: Factory init before signing' };
  }],
  'uk-factory': ['factory', async (k) => {
    verdict(null);
    const r = await k.factoryInit();
    if (r.ok) $('uk-pin').value = '12345678';
    return { ...r, message: '已恢复出厂：新密钥、新证书、密码 12345678 · New key pair and certificate, password 12345678' };
  }],
};
for (const [id, [action, work]] of Object.entries(actions)) $(id).addEventListener('click', () => run(action, work));
$('uk-pad-clear').addEventListener('click', clearPad);

// What was read from the key is stale once the service is gone; the page's own input stays.
live.addEventListener('down', () => {
  $('uk-reader-name').textContent = '—';
  $('uk-serial-number').textContent = '—';
  $('uk-signature').value = '';
  verdict(null);
  $('uk-picture').hidden = true;
  $('uk-picture').removeAttribute('src');
  status('', '');
});
$('uk-content').addEventListener('input', () => verdict(null));
