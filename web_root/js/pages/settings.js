// Device settings: each family of the device applications' commands, read
// with its Get command into a form built from the device's capabilities
// and saved with its Set command.
import { t, labelFor } from '../i18n.js';
import { call } from '../api.js';
import { FAMILIES, groupName, capabilities } from '../catalog.js';
import { editor } from '../editor.js';
import { trackEdits } from '../guard.js';
import { view } from '../view.js';
import { h, notice, setNotice, button, busy, card, elapsed, pageHeader, ask } from '../ui.js';

function groupCard([getCmd, setCmd], timeout, title) {
  const status = notice('busy', t('common.loading'));
  const slot = h('div', { class: 'editor-slot' });
  const save = button(t('common.save'), { type: 'submit', kind: 'primary', disabled: true, iconName: 'check' });
  const reload = button(t('common.reload'), { kind: 'ghost', iconName: 'refresh' });
  // The answer to Save sits beside the button.
  const said = h('span', { class: 'save-msg', role: 'status', 'aria-live': 'polite' });
  let ed = null;
  let saving = false;
  const form = h('form', { class: 'settings-form', novalidate: true, 'data-command': setCmd },
    slot, h('div', { class: 'form-actions' }, said, reload, save));
  const el = card(h('div', { class: 'card-head' }, h('h2', { text: title || t(`grp.${groupName(getCmd)}`) })), status, form);

  function tell(kind, text, ...extra) {
    said.className = `save-msg ${kind}`;
    said.replaceChildren(text, ...extra);
  }
  function edited() {
    if (!saving) tell('', '');
    save.disabled = !ed || !ed.dirty() || saving;
  }

  async function load() {
    setNotice(status, 'busy', t('common.loading'));
    tell('', '');
    save.disabled = true;
    try {
      const [reply, caps] = await Promise.all([call(getCmd, {}, { timeout }), capabilities(call)]);
      if (reply.Parameters === undefined) {
        slot.replaceChildren();
        ed = null;
        setNotice(status, 'warn', t('settings.noParams'));
        return;
      }
      ed = editor(reply.Parameters, { group: groupName(getCmd), caps, onChange: edited });
      slot.replaceChildren(ed.el);
      setNotice(status, 'info', '');
    } catch (e) {
      setNotice(status, 'error', e.message);
    }
  }

  form.addEventListener('submit', (e) => {
    e.preventDefault();
    if (!ed || saving) return;
    const { value, ok } = ed.read();
    if (!ok) {
      tell('error', t('settings.invalid'));
      return;
    }
    saving = true;
    busy(save, async () => {
      tell('busy', t('common.saving'));
      try {
        await call(setCmd, value, { timeout });
        ed.saved();
        tell('ok', t('ok.saved'));
      } catch (err) {
        if (err.timedOut) {
          tell('warn', t('settings.timeout'), ' ', h('button', { type: 'button', class: 'link', text: t('common.reload'), on: { click: () => busy(reload, load) } }));
        } else tell('error', err.message);
      } finally {
        saving = false;
      }
    }, () => ed && ed.dirty());
  });
  reload.addEventListener('click', async () => {
    if (ed && ed.dirty() && !(await ask({ title: t('leave.title'), message: t('leave.msg'), confirm: t('leave.discard'), danger: true }))) return;
    busy(reload, load);
  });
  return { el, load, dirty: () => !!ed && ed.dirty() };
}

// The rows of a scan answer: the answer itself when it is a list, else its
// first list member.
function rowsOf(params) {
  if (Array.isArray(params)) return params;
  if (params && typeof params === 'object') {
    const rows = Object.values(params).find(Array.isArray);
    if (rows) return rows;
  }
  return null;
}

function scanCard(command, main) {
  const status = notice('info', t('wifi.scanHint'));
  const results = h('div', { class: 'scan-results' });
  const scan = button(t('wifi.scan'), { kind: 'primary', iconName: 'wifi', 'data-action': 'scan' });
  scan.addEventListener('click', () => busy(scan, async () => {
    const started = Date.now();
    const tick = () => setNotice(status, 'busy', t('wifi.scanning', { time: elapsed(started) }));
    tick();
    const timer = setInterval(tick, 1000);
    try {
      const reply = await call(command, {}, { timeout: 200000 });
      const rows = rowsOf(reply.Parameters);
      if (rows && rows.length && rows.every((r) => r && typeof r === 'object')) {
        results.replaceChildren(hotspotTable(rows, main));
        setNotice(status, 'ok', t('wifi.found', { n: rows.length }));
      } else {
        results.replaceChildren(view(reply.Parameters ?? []));
        setNotice(status, rows && !rows.length ? 'warn' : 'ok', rows && !rows.length ? t('wifi.none') : t('ok.loaded'));
      }
    } catch (e) {
      setNotice(status, 'error', e.message);
    } finally {
      clearInterval(timer);
    }
  }));
  const el = card(t('wifi.scanTitle'), h('div', { class: 'form-actions start' }, scan), status, results);
  el.id = 'scan';
  return el;
}

function hotspotTable(rows, main) {
  const keys = [...new Set(rows.flatMap((r) => Object.keys(r)))];
  const ssidKey = keys.find((k) => /^e?ssid$/i.test(k));
  const use = (name) => {
    const input = main.querySelector('input[data-key="SSID"]');
    if (!input) return;
    input.value = name;
    input.dispatchEvent(new Event('input', { bubbles: true }));
    input.focus();
    input.scrollIntoView({ block: 'center', behavior: 'smooth' });
  };
  return h('div', { class: 'table-wrap' }, h('table', { class: 'data' },
    h('thead', null, h('tr', null, keys.map((k) => h('th', { scope: 'col', text: labelFor(k) })), ssidKey ? h('th', { scope: 'col' }, h('span', { class: 'sr-only', text: t('common.actions') })) : null)),
    h('tbody', null, rows.map((r) => h('tr', { 'data-ssid': ssidKey ? String(r[ssidKey]) : undefined },
      keys.map((k) => h('td', null, r[k] === undefined ? '' : view(r[k], 2))),
      ssidKey ? h('td', null, button(t('wifi.use'), { kind: 'small', onClick: () => use(String(r[ssidKey])) })) : null)))));
}

export default {
  render(main, { sub }) {
    const fam = FAMILIES.find((f) => f.id === sub) || FAMILIES[0];
    main.append(pageHeader('nav.settings', 'settings.intro'));
    main.append(h('nav', { class: 'tabs', 'aria-label': t('settings.families') }, FAMILIES.map((f) => h('a', {
      href: `#settings/${f.id}`, 'aria-current': f === fam ? 'page' : undefined, text: t(`fam.${f.id}`),
    }))));
    const stack = h('div', { class: 'stack' });
    main.append(stack);
    const cards = fam.groups.map((g) => groupCard(g, fam.timeout || 20000, fam.groups.length === 1 ? t(`fam.${fam.id}`) : ''));
    for (const c of cards) stack.append(c.el);
    if (fam.scan) stack.append(scanCard(fam.scan, main));
    const untrack = trackEdits(() => cards.some((c) => c.dirty()));
    let alive = true;
    (async () => {
      for (const c of cards) {
        if (!alive) return;
        await c.load();
      }
    })();
    return () => { alive = false; untrack(); };
  },
};
