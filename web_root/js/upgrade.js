// The firmware upgrade belongs to the whole interface, not to one page: the
// upload runs here, every page can show its state, and restart stays
// disabled until it has ended. The device answers StartUpgrade only when
// the upgrade has finished; until then the figures are those of the upload.
import { t } from './i18n.js';
import { upload, describeReason, holdCommandsUntil } from './api.js';
import { formatBytes, elapsed } from './ui.js';

export const MAX_IMAGE = 512 * 1024 * 1024;

const listeners = new Set();
export const upgrade = {
  phase: 'idle', // idle, sending, installing, done, failed
  name: '',
  sent: 0,
  total: 0,
  began: 0,
  sentAt: 0,
  result: '',
  get running() { return this.phase === 'sending' || this.phase === 'installing'; },
};

let ticker = null;
function changed() {
  // While the device installs, the elapsed time moves on every second.
  if (upgrade.phase === 'installing' && !ticker) ticker = setInterval(changed, 1000);
  if (upgrade.phase !== 'installing' && ticker) { clearInterval(ticker); ticker = null; }
  for (const fn of listeners) fn(upgrade);
}

// The line that says where the upgrade stands, with its figures.
export function phaseText(u = upgrade) {
  if (u.phase === 'sending') {
    return t('fw.uploading', { pct: Math.floor((100 * u.sent) / (u.total || 1)), sent: formatBytes(u.sent), total: formatBytes(u.total) });
  }
  if (u.phase === 'installing') return t('fw.installing', { time: elapsed(u.sentAt) });
  if (u.phase === 'done') return t('fw.done', { time: elapsed(u.began, u.endedAt) });
  return '';
}

export function onUpgrade(fn) {
  listeners.add(fn);
  fn(upgrade);
  return () => listeners.delete(fn);
}

// Why a file cannot be a firmware image, or '' when it may be one: it must
// not be empty, not exceed what the device accepts, and not be a text
// document or a picture.
export async function imageProblem(file) {
  if (!file.size) return t('fw.bad.empty');
  if (file.size > MAX_IMAGE) return t('fw.bad.large', { max: '512 MB' });
  const head = new Uint8Array(await file.slice(0, 4096).arrayBuffer());
  const starts = (...sig) => sig.every((v, i) => head[i] === v);
  if (starts(0x89, 0x50, 0x4e, 0x47) || starts(0xff, 0xd8, 0xff) || starts(0x47, 0x49, 0x46, 0x38)
      || starts(0x42, 0x4d) || (starts(0x52, 0x49, 0x46, 0x46) && head[8] === 0x57)) return t('fw.bad.picture');
  if (starts(0x25, 0x50, 0x44, 0x46)) return t('fw.bad.document');
  // Text: no NUL and (almost) only printable ASCII, white space or UTF-8.
  let odd = 0;
  for (const b of head) {
    if (b === 0) { odd = -1; break; }
    if (b < 9 || (b > 13 && b < 32) || b === 127) odd += 1;
  }
  if (odd >= 0 && odd <= head.length / 100) return t('fw.bad.text');
  return '';
}

export async function startUpgrade(file) {
  if (upgrade.running) return;
  Object.assign(upgrade, { phase: 'sending', name: file.name, sent: 0, total: file.size, began: Date.now(), sentAt: 0, result: '' });
  changed();
  try {
    const sending = upload('StartUpgrade', {}, file, {
      onProgress: (n, total) => { upgrade.sent = n; upgrade.total = total || file.size; changed(); },
      onSent: () => { upgrade.phase = 'installing'; upgrade.sent = upgrade.total; upgrade.sentAt = Date.now(); changed(); },
    });
    holdCommandsUntil(sending);
    const reply = await sending;
    const pct = reply.Parameters?.UpgradeProgressValue;
    const said = describeReason(reply.Reason);
    const done = pct !== undefined ? t('fw.finishedPct', { pct }) : t('fw.finished');
    Object.assign(upgrade, { phase: 'done', endedAt: Date.now(), result: said && !/^OK$/i.test(String(reply.Reason).trim()) ? `${done} ${said}` : done });
  } catch (e) {
    Object.assign(upgrade, { phase: 'failed', endedAt: Date.now(), result: `${t('fw.failed')} ${e.message} ${t(e.network ? 'fw.nextNetwork' : 'fw.nextRetry')}` });
  }
  changed();
}

export function clearUpgrade() {
  if (upgrade.running) return;
  upgrade.phase = 'idle';
  changed();
}
