// The single-page interface behind the login: navigation by the URL's
// hash (#page or #page/sub), one page module loaded on demand at a time.
import { t, setLang, cachedLang, onLangChange, DEVICE_NAMES, lang } from './i18n.js';
import { call, session, endSession, deviceLanguage } from './api.js';
import { h, icon, toast, clearToasts, notice, errorText, button } from './ui.js';
import { hasUnsavedEdits, confirmDiscard } from './guard.js';
import { upgrade, onUpgrade, phaseText, clearUpgrade } from './upgrade.js';

const PAGES = [
  { id: 'overview', icon: 'grid' },
  { id: 'settings', icon: 'sliders' },
  { id: 'users', icon: 'users' },
  { id: 'storage', icon: 'card' },
  { id: 'media', icon: 'image' },
  { id: 'firmware', icon: 'chip' },
  { id: 'system', icon: 'cog' },
];

const nav = document.getElementById('nav');
const main = document.getElementById('main');
const navToggle = document.getElementById('nav-toggle');
let cleanup = null;
let renderSeq = 0;
let langMode = 0;
let shownHash = location.hash;

if (!session.id) endSession('signIn');

function buildNav() {
  const current = route().page;
  nav.replaceChildren(h('ul', null, PAGES.map((p) => h('li', null,
    h('a', { href: `#${p.id}`, 'data-page': p.id, 'aria-current': p.id === current ? 'page' : undefined },
      icon(p.icon), h('span', { text: t(`nav.${p.id}`) }))))));
}

function route() {
  const raw = decodeURIComponent(location.hash.replace(/^#/, ''));
  const [page, ...rest] = raw.split('/');
  const known = PAGES.some((p) => p.id === page);
  return { page: known ? page : 'overview', sub: known ? rest.join('/') : '' };
}

async function render({ focus = true } = {}) {
  const seq = ++renderSeq;
  const { page, sub } = route();
  if (cleanup) { try { cleanup(); } catch { /* page already gone */ } cleanup = null; }
  if (focus) clearToasts();
  for (const a of nav.querySelectorAll('a')) {
    if (a.dataset.page === page) a.setAttribute('aria-current', 'page');
    else a.removeAttribute('aria-current');
  }
  closeNav(false);
  let mod;
  try {
    mod = await import(`./pages/${page}.js`);
  } catch (e) {
    main.replaceChildren(notice('error', t('err.pageLoad')));
    return;
  }
  if (seq !== renderSeq) return;
  main.replaceChildren();
  document.title = `${t(`nav.${page}`)} · ${t('app.name')}`;
  try {
    cleanup = mod.default.render(main, { sub }) || null;
  } catch (e) {
    main.append(notice('error', errorText(e)));
  }
  main.dataset.page = page;
  drawBanner();
  if (focus) main.querySelector('h1')?.focus({ preventScroll: true });
}

function markLang(code) {
  for (const b of document.querySelectorAll('.lang-btn')) b.setAttribute('aria-pressed', String(b.dataset.lang === code));
}

// The language is the device's setting: stored with set_Language_Format,
// read back with get_Language_Format whenever the interface loads.
export async function chooseLanguage(code) {
  if (code === lang()) return true;
  // The pages are drawn again in the new language.
  if (!(await confirmDiscard())) {
    markLang(lang());
    return false;
  }
  await setLang(code);
  try {
    await call('set_Language_Format', { language: DEVICE_NAMES[code], mode: langMode }, { auth: false });
    return true;
  } catch (e) {
    toast(`${t('lang.saveFailed')} ${errorText(e)}`, 'error');
    return false;
  }
}

for (const b of document.querySelectorAll('.lang-btn')) b.addEventListener('click', () => chooseLanguage(b.dataset.lang));


document.getElementById('logout').addEventListener('click', async (e) => {
  const btn = e.currentTarget;
  if (!(await confirmDiscard())) return;
  btn.disabled = true;
  try {
    // The session id travels in the body: the device ignores one in the query here.
    await call('logout', { sessionid: session.id }, { auth: false, timeout: 10000 });
  } catch { /* the session ends on this side anyway */ }
  endSession('loggedOut');
});

// The drawer of narrow screens; while closed its links are out of the tab
// order (the style sheet hides it), Escape closes it.
function closeNav(refocus) {
  if (!document.body.classList.contains('nav-open')) return;
  document.body.classList.remove('nav-open');
  navToggle.setAttribute('aria-expanded', 'false');
  if (refocus) navToggle.focus();
}
navToggle.addEventListener('click', () => {
  const open = document.body.classList.toggle('nav-open');
  navToggle.setAttribute('aria-expanded', String(open));
  if (open) nav.querySelector('a[aria-current=page], a')?.focus();
});
addEventListener('keydown', (e) => {
  if (e.key === 'Escape' && !document.querySelector('dialog[open]')) closeNav(true);
});

// Leaving the interface (another address, reload, closing the tab) asks
// first while edits are unsaved or the firmware upgrade runs.
addEventListener('beforeunload', (e) => {
  if (!hasUnsavedEdits() && !upgrade.running) return;
  e.preventDefault();
  e.returnValue = '';
});

// The upgrade's state on every page: a banner while it lasts, its result
// until dismissed.
const banner = document.getElementById('upgrade-banner');
function drawBanner(u = upgrade) {
  banner.hidden = u.phase === 'idle' || (!u.running && route().page === 'firmware');
  if (banner.hidden) return;
  banner.className = `banner ${u.running ? 'busy' : u.phase === 'done' ? 'ok' : 'error'}`;
  banner.replaceChildren(...[
    u.running ? h('span', { class: 'spinner', 'aria-hidden': 'true' }) : null,
    h('span', { class: 'banner-text', text: u.running ? `${t('fw.banner')} ${phaseText(u)}` : u.result }),
    route().page === 'firmware' ? null : h('a', { href: '#firmware', text: t('fw.open') }),
    u.running ? null : button(t('common.dismiss'), { kind: 'small ghost', onClick: clearUpgrade }),
  ].filter(Boolean));
}
onUpgrade(drawBanner);

// Reading commands do not keep a session alive; while the person works, a
// refresh every minute does.
let lastRefresh = Date.now();
function keepAlive() {
  if (Date.now() - lastRefresh < 60000 || !session.id) return;
  lastRefresh = Date.now();
  call('set_login_time', {}, { timeout: 10000 }).catch(() => {});
}
addEventListener('pointerdown', keepAlive, { passive: true });
addEventListener('keydown', keepAlive, { passive: true });

// A change of page with unsaved edits asks first; the address shows the
// page on screen until the person has decided.
addEventListener('hashchange', async () => {
  if (location.hash === shownHash) return;
  const target = location.hash;
  if (hasUnsavedEdits()) {
    history.replaceState(null, '', shownHash || location.pathname);
    if (!(await confirmDiscard())) return;
    history.replaceState(null, '', target);
  }
  shownHash = target;
  render();
});

// The hash names pages here, so the skip link moves the focus itself.
document.querySelector('.skip').addEventListener('click', (e) => {
  e.preventDefault();
  main.focus();
});

async function start() {
  try {
    const { code, mode } = await deviceLanguage();
    langMode = mode;
    await setLang(code);
  } catch {
    await setLang(cachedLang());
  }
  markLang(lang());
  document.getElementById('who').replaceChildren(icon('users'), h('span', { text: session.user }));
  buildNav();
  document.body.classList.remove('pending');
  await render({ focus: false });
  // The server answers nothing else while the device installs firmware:
  // every page and the other language are loaded ahead, so that the
  // interface still moves between pages during an upgrade.
  for (const p of PAGES) import(`./pages/${p.id}.js`).catch(() => {});
  import('../i18n/zh.js').catch(() => {});
  onLangChange((code) => {
    markLang(code);
    buildNav();
    render({ focus: false });
  });
}

if (session.id) start();
