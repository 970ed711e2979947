// Commands to the device: /action/device/<name>?sessionid=... with a JSON
// body; answers are result envelopes or the device application's reply.
import { t } from './i18n.js';

const SID = 'ws.sid';
const USER = 'ws.user';
const FLASH = 'ws.flash';

export const session = {
  get id() { return sessionStorage.getItem(SID) || ''; },
  get user() { return sessionStorage.getItem(USER) || ''; },
  start(id, user) { sessionStorage.setItem(SID, id); sessionStorage.setItem(USER, user); },
  clear() { sessionStorage.removeItem(SID); sessionStorage.removeItem(USER); },
};

// A one-shot message for the login page (why the person landed there).
export function setFlash(key) { sessionStorage.setItem(FLASH, key); }
export function takeFlash() {
  const key = sessionStorage.getItem(FLASH);
  sessionStorage.removeItem(FLASH);
  return key;
}

export class DeviceError extends Error {
  constructor(message, info = {}) {
    super(message);
    this.name = 'DeviceError';
    Object.assign(this, info);
  }
}

const RETURN = 'ws.return';
let leaving = false;
// The session is gone: back to the login page, which says why. When it
// ended on its own, signing in again returns to the page the person was on.
export function endSession(flash = 'expired') {
  session.clear();
  if (leaving) return;
  leaving = true;
  setFlash(flash);
  if (flash === 'expired' && /^#[\w/%.-]*$/.test(location.hash)) sessionStorage.setItem(RETURN, location.hash);
  location.replace('login.html');
}

// The page to open after signing in ('' for the first one).
export function takeReturnPage() {
  const hash = sessionStorage.getItem(RETURN) || '';
  sessionStorage.removeItem(RETURN);
  return /^#[\w/%.-]*$/.test(hash) ? hash : '';
}

// Query values go out percent-encoded (a '/' must never appear raw) and are
// never empty (the device refuses "key=" as an invalid URL).
export function commandUrl(command, query = {}, withSession = true) {
  const pairs = Object.entries(query)
    .filter(([, v]) => v !== undefined && v !== null && v !== '')
    .map(([k, v]) => `${encodeURIComponent(k)}=${encodeURIComponent(v)}`);
  if (withSession) pairs.push(`sessionid=${encodeURIComponent(session.id)}`);
  return `/action/device/${command}${pairs.length ? `?${pairs.join('&')}` : ''}`;
}

// While the device installs firmware the server answers nothing else:
// commands wait for the end of the upgrade before they are sent.
let held = null;
export function holdCommandsUntil(promise) {
  const mine = promise.catch(() => {}).then(() => { if (held === mine) held = null; });
  held = mine;
}

// Sends one command; resolves with the reply object when its Result is
// "OK", otherwise rejects with a DeviceError whose message is for people.
export async function call(command, body, { query, auth = true, timeout = 60000 } = {}) {
  while (held) await held;
  if (auth && !session.id) {
    endSession();
    throw new DeviceError(t('err.sessionExpired'), { errorNo: -16 });
  }
  const ctl = new AbortController();
  const timer = setTimeout(() => ctl.abort(), timeout);
  let status;
  let text;
  try {
    const res = await fetch(commandUrl(command, query, auth), {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body ?? {}),
      cache: 'no-store',
      signal: ctl.signal,
    });
    status = res.status;
    text = await res.text();
  } catch {
    throw new DeviceError(t(ctl.signal.aborted ? 'err.timeout' : 'err.network'), { network: true, timedOut: ctl.signal.aborted });
  } finally {
    clearTimeout(timer);
  }
  return parseReply(status, text);
}

export function parseReply(status, text) {
  if (status !== 200) throw new DeviceError(t('err.http', { status }), { status });
  let data;
  try {
    data = JSON.parse(text);
  } catch {
    throw new DeviceError(t('err.notJson'));
  }
  return checkReply(data);
}

export function checkReply(data) {
  const obj = data && typeof data === 'object' && !Array.isArray(data) ? data : null;
  if (obj && Number(obj.ErrorNo) === -16) {
    endSession('expired');
    throw new DeviceError(t('err.sessionExpired'), { errorNo: -16, reason: obj.Reason });
  }
  if (obj && obj.Result === 'OK') return obj;
  throw new DeviceError(describeFailure(obj), { errorNo: obj?.ErrorNo, reason: obj?.Reason });
}

// Known reasons of the device, in words of the interface language.
const REASONS = [
  [/^Invalid username or password/i, 'reason.badCredentials'],
  [/^Session ID is empty|^Invalid session ID/, 'err.sessionExpired'],
  [/^More than the maximum number of clients/, 'reason.tooManyClients'],
  [/^Invalid input params/, 'reason.invalidInput'],
  [/^Invalid session id/, 'reason.invalidSession'],
  [/^set User params fail/, 'reason.setUserFail'],
  [/^get User params fail/, 'reason.getUserFail'],
  [/^set language params fail/, 'reason.setLangFail'],
  [/^get language params fail/, 'reason.getLangFail'],
  [/^Failed to get params/, 'reason.getFail'],
  [/^Failed to set params/, 'reason.setFail'],
  [/^http port in use/, 'reason.portInUse'],
  [/^set rtc fail/, 'reason.rtcFail'],
  [/^get device local time fail/, 'reason.timeFail'],
  [/^storage device not mount/, 'reason.noCard'],
  [/^set delect storage fil fail/, 'reason.deleteFail'],
  [/^upload file name cannot be empty/, 'reason.noFileName'],
  [/^upload file name max length/, 'reason.fileNameLong'],
  [/^upload file name error/, 'reason.fileNameBad'],
  [/^Upload files up to size/, 'reason.imageSize'],
  [/^Invalid upload file type/, 'reason.imageType'],
  [/Current picture\[(-?\d+)x(-?\d+)\]/, 'reason.imageDims', (m) => ({ w: m[1], h: m[2] })],
  [/^Upload png file failed|png format error/, 'reason.pngBad'],
  [/^Upload file failed/, 'reason.uploadFail'],
  [/^Invalid EDID file format/, 'reason.edidSize'],
  [/^edid file name cannot be empty/, 'reason.edidName'],
  [/^Read file does not exist/, 'reason.edidUnknown'],
  [/^Connection service timed out/, 'reason.appTimeout'],
  [/^The server returned an incorrect format parameter/, 'reason.appBadReply'],
  [/^Failed to request server/, 'reason.appUnreachable'],
  [/^upgrade wirte fail/, 'reason.upgradeWrite'],
  [/^The server does not support this protocol :(.*)$/s, 'reason.unsupported', (m) => ({ cmd: m[1].trim() })],
  [/^Invalid URL/, 'reason.invalidUrl'],
  [/^Successfully to set params/, 'ok.saved'],
  [/^Successfully to get params/, 'ok.loaded'],
  [/^Port available/, 'ok.portFree'],
  [/^user login successfully/, 'ok.login'],
];

const CODES = { 501: 'reason.unsupportedShort', 504: 'reason.appTimeout', 508: 'reason.appBadReply', 550: 'reason.appUnreachable' };

function knownReason(text) {
  for (const [re, key, params] of REASONS) {
    const m = text.match(re);
    if (m) return t(key, params ? params(m) : undefined);
  }
  return null;
}

// A device reason text in words; unknown texts are quoted as they came.
export function describeReason(reason) {
  const text = String(reason ?? '').trim();
  if (!text) return '';
  return knownReason(text) ?? t('err.deviceSaid', { reason: text });
}

export function describeFailure(obj) {
  if (!obj) return t('err.notJson');
  const reason = String(obj.Reason ?? obj.reason ?? '').trim();
  const code = obj.ErrorNo;
  const known = reason ? knownReason(reason) : null;
  if (known) return known;
  if (CODES[code]) return reason ? `${t(CODES[code])} (${reason})` : t(CODES[code]);
  if (reason) return t('err.deviceSaid', { reason });
  if (code !== undefined) return t('err.code', { code });
  return t('err.failed');
}

// Uploads with XMLHttpRequest for its upload progress events. `body` is a
// FormData (multipart file part) or a Blob sent raw.
export function upload(command, query, body, { onProgress, onSent, timeout = 0 } = {}) {
  return new Promise((resolve, reject) => {
    if (!session.id) {
      endSession();
      reject(new DeviceError(t('err.sessionExpired'), { errorNo: -16 }));
      return;
    }
    const xhr = new XMLHttpRequest();
    xhr.open('POST', commandUrl(command, query));
    xhr.timeout = timeout;
    if (body instanceof Blob) xhr.setRequestHeader('Content-Type', 'application/octet-stream');
    xhr.upload.onprogress = (e) => onProgress?.(e.loaded, e.lengthComputable ? e.total : body.size || 0);
    xhr.upload.onload = () => onSent?.();
    xhr.onload = () => {
      try {
        resolve(parseReply(xhr.status, xhr.responseText));
      } catch (e) {
        reject(e);
      }
    };
    xhr.onerror = () => reject(new DeviceError(t('err.network'), { network: true }));
    xhr.ontimeout = () => reject(new DeviceError(t('err.timeout'), { network: true }));
    xhr.send(body);
  });
}

// Asks for the interface language stored on the device (no session needed).
export async function deviceLanguage() {
  const reply = await call('get_Language_Format', {}, { auth: false, timeout: 5000 });
  const p = reply.Parameters || {};
  return { code: p.language === 'chinese' ? 'zh' : 'en', mode: Number.isInteger(p.mode) ? p.mode : 0 };
}
