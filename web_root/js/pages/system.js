// System: the web server's port, the device clock and the interface
// language.
import { t, lang, LANGS } from '../i18n.js';
import { call, session } from '../api.js';
import { chooseLanguage } from '../app.js';
import { rebootCard } from '../reboot.js';
import { trackEdits } from '../guard.js';
import { h, pageHeader, notice, setNotice, button, busy, card, field, ask, icon, uid } from '../ui.js';

function portCard() {
  const current = h('strong', { class: 'big-value', text: '…' });
  const port = field(t('port.new'), { type: 'number', min: '1', max: '65535', step: '1', inputmode: 'numeric', name: 'port' }, t('port.hint'));
  const status = notice();
  const check = button(t('port.check'), { kind: 'ghost', iconName: 'refresh', 'data-action': 'check-port' });
  const apply = button(t('port.apply'), { kind: 'primary', iconName: 'check', 'data-action': 'apply-port' });
  let now = null;

  function value() {
    const v = Number(port.input.value);
    if (!Number.isInteger(v) || v < 1 || v > 65535) {
      setNotice(status, 'error', t('port.range'));
      port.input.setAttribute('aria-invalid', 'true');
      return null;
    }
    port.input.removeAttribute('aria-invalid');
    return v;
  }

  async function load() {
    try {
      const r = await call('GetWebServerParameter');
      now = Number(r.Parameters?.Port);
      current.textContent = String(now);
      if (!port.input.value) port.input.value = String(now);
    } catch (e) {
      current.textContent = '—';
      setNotice(status, 'error', e.message);
    }
  }

  check.addEventListener('click', () => busy(check, async () => {
    const v = value();
    if (v === null) return;
    if (v === now) { setNotice(status, 'info', t('port.isCurrent', { port: v })); return; }
    try {
      await call('GetWebServerPortStatus', { Port: v });
      setNotice(status, 'ok', t('port.free', { port: v }));
    } catch (e) {
      setNotice(status, 'error', /in use/.test(e.reason || '') ? t('port.busy', { port: v }) : e.message);
    }
  }));

  apply.addEventListener('click', async () => {
    const v = value();
    if (v === null) return;
    if (v === now) { setNotice(status, 'info', t('port.isCurrent', { port: v })); return; }
    const target = `${location.protocol}//${location.hostname}:${v}/`;
    const ok = await ask({ title: t('port.confirmTitle', { port: v }), message: t('port.confirmMsg', { url: target }), confirm: t('port.apply') });
    if (!ok) return;
    await busy(apply, async () => {
      try {
        await call('SetWebServerParameter', { Port: v });
        now = v;
      } catch (e) {
        setNotice(status, 'error', e.message);
        return;
      }
      const link = h('a', { href: target, text: target });
      status.className = 'notice warn moved';
      status.replaceChildren(h('span', { class: 'spinner', 'aria-hidden': 'true' }), h('span', { text: `${t('port.moving', { port: v })} ` }), link);
      // The server moves within a few seconds. The pages may reach only
      // their own origin, so the old port is watched: once it stops
      // answering the server listens on the new one (a second later).
      const deadline = Date.now() + 30000;
      while (Date.now() < deadline) {
        await new Promise((r) => setTimeout(r, 1000));
        try {
          await fetch('favicon.svg', { cache: 'no-store', signal: AbortSignal.timeout(1500) });
        } catch {
          await new Promise((r) => setTimeout(r, 1500));
          // Another port is another origin: the message travels in the URL.
          session.clear();
          location.href = `${target}login.html?notice=portMoved`;
          return;
        }
      }
      status.replaceChildren(h('span', { text: `${t('port.notYet', { port: v })} ` }), link);
    });
  });

  load();
  // A typed port that was not applied counts as an unsaved edit.
  const untrack = trackEdits(() => now !== null && port.input.value !== '' && Number(port.input.value) !== now);
  return Object.assign(card(t('port.title'),
    h('p', { class: 'current-line' }, h('span', { class: 'muted', text: `${t('port.current')}: ` }), current),
    port, status, h('div', { class: 'form-actions' }, check, apply)), { id: 'port', untrack });
}

function pad(n) { return String(n).padStart(2, '0'); }
function fmt(d) { return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`; }

function tmFields(d) {
  return {
    tm_sec: d.getSeconds(), tm_min: d.getMinutes(), tm_hour: d.getHours(), tm_mday: d.getDate(),
    tm_mon: d.getMonth(), tm_year: d.getFullYear() - 1900, tm_wday: d.getDay(),
  };
}

function clockCard() {
  const device = h('time', { class: 'clock', text: '…' });
  const local = h('span', { class: 'muted' });
  const drift = h('span', { class: 'muted' });
  const status = notice();
  const refresh = button(t('common.reload'), { kind: 'ghost', iconName: 'refresh' });
  const sync = button(t('clock.sync'), { kind: 'primary', iconName: 'clock', 'data-action': 'sync-clock' });
  const manualId = uid('dt');
  const manual = h('input', { id: manualId, type: 'datetime-local', step: '1' });
  const setManual = button(t('clock.setManual'), { kind: 'ghost' });
  let offset = null; // device time minus browser time, in ms

  function draw() {
    const now = new Date();
    local.textContent = `${t('clock.browser')}: ${fmt(now)}`;
    if (offset === null) return;
    device.textContent = fmt(new Date(now.getTime() + offset));
    const s = Math.round(offset / 1000);
    drift.textContent = Math.abs(s) <= 2 ? t('clock.inStep') : t(s < 0 ? 'clock.behind' : 'clock.ahead', { s: Math.abs(s) });
  }

  async function load() {
    try {
      const r = await call('get_device_localtime');
      const m = /^(\d{4})\/(\d{2})\/(\d{2})_(\d{2}):(\d{2}):(\d{2})$/.exec(r.Parameters?.local_time || '');
      if (!m) throw new Error(t('clock.unreadable'));
      const d = new Date(+m[1], +m[2] - 1, +m[3], +m[4], +m[5], +m[6]);
      offset = d.getTime() - Date.now();
      device.setAttribute('datetime', d.toISOString());
      draw();
    } catch (e) {
      setNotice(status, 'error', e.message);
    }
  }

  async function setTo(d) {
    if (d.getFullYear() < 1971 || d.getFullYear() > 2069) {
      setNotice(status, 'error', t('clock.range'));
      return;
    }
    try {
      await call('set_device_localtime', tmFields(d));
      setNotice(status, 'ok', t('clock.set', { time: fmt(d) }));
      await load();
    } catch (e) {
      setNotice(status, 'error', e.message);
    }
  }

  sync.addEventListener('click', () => busy(sync, () => setTo(new Date())));
  setManual.addEventListener('click', () => busy(setManual, async () => {
    if (!manual.value) { setNotice(status, 'error', t('clock.pick')); return; }
    await setTo(new Date(manual.value));
  }));
  refresh.addEventListener('click', () => busy(refresh, load));
  const timer = setInterval(draw, 1000);
  load();
  const el = card(t('clock.title'),
    h('div', { class: 'clock-box' }, icon('clock', 'icon big'), h('div', null, device, h('div', null, drift), h('div', null, local))),
    status,
    h('div', { class: 'form-actions' }, refresh, sync),
    h('div', { class: 'field inline' }, h('label', { for: manualId, text: t('clock.manual') }), h('div', { class: 'input-row' }, manual, setManual)));
  el.id = 'clock';
  el.cleanup = () => clearInterval(timer);
  return el;
}

function languageCard() {
  const status = notice();
  const name = uid('lang');
  const options = LANGS.map((code) => {
    const id = uid('lang');
    const input = h('input', { type: 'radio', name, id, value: code, checked: code === lang() });
    input.addEventListener('change', async () => {
      if (!input.checked) return;
      setNotice(status, 'busy', t('common.saving'));
      const done = await chooseLanguage(code);
      if (!done) {
        setNotice(status, 'info', '');
        for (const r of status.parentNode.querySelectorAll('input[type=radio]')) r.checked = r.value === lang();
      }
    });
    return h('div', { class: 'radio' }, input, h('label', { for: id, lang: code === 'zh' ? 'zh-CN' : 'en', text: code === 'zh' ? '中文（简体）' : 'English' }));
  });
  return Object.assign(card(t('lang.title'), h('p', { class: 'muted', text: t('lang.intro') }),
    h('fieldset', { class: 'radios' }, h('legend', { class: 'sr-only', text: t('lang.title') }), options), status), { id: 'language' });
}

export default {
  render(main) {
    main.append(pageHeader('nav.system', 'system.intro'));
    const clock = clockCard();
    const reboot = rebootCard();
    const port = portCard();
    main.append(h('div', { class: 'two-col' }, h('div', { class: 'stack' }, clock, reboot), h('div', { class: 'stack' }, port, languageCard())));
    return () => { clock.cleanup(); reboot.stop(); port.untrack(); };
  },
};
