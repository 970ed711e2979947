// The login page: the language stored on the device, the sign-in form, and
// the reason the person was sent here (session ended, logged out, ...).
import { t, setLang, cachedLang, DEVICE_NAMES } from './i18n.js';
import { call, session, takeFlash, takeReturnPage, deviceLanguage, DeviceError } from './api.js';
import { md5 } from './md5.js';

const form = document.getElementById('login-form');
const msg = document.getElementById('login-msg');
const user = document.getElementById('username');
const pass = document.getElementById('password');
const submit = document.getElementById('login-btn');
// Why the person is here: a message from this tab, or one named in the URL
// by a page of another origin (the interface after a port change).
const NOTICES = ['expired', 'loggedOut', 'signIn', 'rebooted', 'portMoved'];
const named = new URLSearchParams(location.search).get('notice');
let flash = takeFlash() || (NOTICES.includes(named) ? named : null);
if (named) history.replaceState(null, '', location.pathname);
let langMode = 0;

function show(kind, key, params) {
  msg.className = `notice ${kind}`;
  msg.textContent = key ? t(key, params) : '';
  msg.dataset.key = key || '';
  if (!key) msg.className = 'notice empty';
}

function showFlash() {
  if (flash) show(flash === 'loggedOut' ? 'ok' : 'warn', `flash.${flash}`);
}

function markLang(code) {
  for (const b of document.querySelectorAll('.lang-btn')) b.setAttribute('aria-pressed', String(b.dataset.lang === code));
}

async function applyLang(code) {
  await setLang(code);
  markLang(code);
  if (msg.dataset.key) show(msg.className.replace('notice ', ''), msg.dataset.key);
}

async function start() {
  try {
    const { code, mode } = await deviceLanguage();
    langMode = mode;
    await applyLang(code);
  } catch {
    await applyLang(cachedLang());
  }
  document.body.classList.remove('pending');
  showFlash();
  if (session.id && !flash) {
    // Already signed in in this tab: go straight on while the session lives.
    try {
      const res = await fetch(`/action/device/detection_sessionid?sessionid=${encodeURIComponent(session.id)}`, { cache: 'no-store' });
      const reply = await res.json();
      if (reply.Result === 'OK') { location.replace('app.html'); return; }
    } catch { /* stay here */ }
    session.clear();
  }
  (user.value ? pass : user).focus();
}

for (const b of document.querySelectorAll('.lang-btn')) {
  b.addEventListener('click', async () => {
    const code = b.dataset.lang;
    await applyLang(code);
    try {
      await call('set_Language_Format', { language: DEVICE_NAMES[code], mode: langMode }, { auth: false });
    } catch (e) {
      show('error', 'lang.saveFailed');
      msg.textContent += ` ${e.message}`;
    }
  });
}

document.getElementById('show-pw').addEventListener('click', (e) => {
  const btn = e.currentTarget;
  const visible = pass.type === 'password';
  pass.type = visible ? 'text' : 'password';
  btn.setAttribute('aria-pressed', String(visible));
});

form.addEventListener('submit', async (e) => {
  e.preventDefault();
  const name = user.value.trim();
  if (!name || !pass.value) {
    show('error', 'login.missing');
    (name ? pass : user).focus();
    return;
  }
  submit.disabled = true;
  submit.classList.add('is-busy');
  show('busy', 'login.checking');
  try {
    const reply = await call('login', { username: name, password: md5(pass.value), timeout: 1800 }, { auth: false, timeout: 20000 });
    if (!reply.sessionid) throw new DeviceError(t('err.notJson'));
    session.start(reply.sessionid, name);
    location.replace(`app.html${takeReturnPage()}`);
  } catch (err) {
    msg.className = 'notice error';
    msg.textContent = err.message;
    msg.dataset.key = '';
    pass.select();
    pass.focus();
    submit.disabled = false;
    submit.classList.remove('is-busy');
  }
});

start();
