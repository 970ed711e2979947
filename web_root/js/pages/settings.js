// Device settings: each family of the device applications' commands, read
// with its Get command into a generated form and saved with its Set command.
import { t, labelFor } from '../i18n.js';
import { call, describeReason } from '../api.js';
import { FAMILIES, groupName } from '../catalog.js';
import { editor } from '../editor.js';
import { view } from '../view.js';
import { h, pageHeader, notice, setNotice, button, busy, card, elapsed } from '../ui.js';

function groupCard([getCmd, setCmd], timeout, title) {
  const status = notice('busy', t('common.loading'));
  const slot = h('div', { class: 'editor-slot' });
  const save = button(t('common.save'), { type: 'submit', kind: 'primary', disabled: true, iconName: 'check' });
  const reload = button(t('common.reload'), { kind: 'ghost', iconName: 'refresh' });
  let ed = null;
  const form = h('form', { class: 'settings-form', novalidate: true, 'data-command': setCmd },
    slot, h('div', { class: 'form-actions' }, reload, save));
  const el = card(h('div', { class: 'card-head' },
    h('h2', { text: title || labelFor(groupName(getCmd)) }),
    h('code', { class: 'cmd', text: `${getCmd} / ${setCmd}` })), status, form);

  async function load() {
    setNotice(status, 'busy', t('common.loading'));
    save.disabled = true;
    try {
      const reply = await call(getCmd, {}, { timeout });
      if (reply.Parameters === undefined) {
        slot.replaceChildren();
        setNotice(status, 'warn', t('settings.noParams'));
        return;
      }
      ed = editor(reply.Parameters);
      slot.replaceChildren(ed.el);
      save.disabled = false;
      setNotice(status, 'info', '');
    } catch (e) {
      setNotice(status, 'error', e.message);
    }
  }

  form.addEventListener('submit', (e) => {
    e.preventDefault();
    if (!ed) return;
    const { value, problems } = ed.read();
    if (problems.length) {
      setNotice(status, 'error', t('settings.invalid', { fields: problems.join(', ') }));
      return;
    }
    busy(save, async () => {
      setNotice(status, 'busy', t('common.saving'));
      try {
        const reply = await call(setCmd, value, { timeout });
        const said = describeReason(reply.Reason);
        setNotice(status, 'ok', said ? t('settings.savedSaid', { reason: said }) : t('ok.saved'));
      } catch (err) {
        setNotice(status, 'error', err.message);
      }
    });
  });
  reload.addEventListener('click', () => busy(reload, load));
  return { el, load };
}

// The rows of a scan answer: the answer itself when it is a list, else its
// first list member.
function rowsOf(params) {
  if (Array.isArray(params)) return params;
  if (params && typeof params === 'object') {
    const list = Object.values(params).find(Array.isArray);
    if (list) return list;
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
  const el = card(h('div', { class: 'card-head' }, h('h2', { text: t('wifi.scanTitle') }), h('code', { class: 'cmd', text: command })),
    h('div', { class: 'form-actions start' }, scan), status, results);
  el.id = 'scan';
  return el;
}

function hotspotTable(rows, main) {
  const keys = [...new Set(rows.flatMap((r) => Object.keys(r)))];
  const ssidKey = keys.find((k) => /^e?ssid$/i.test(k));
  const use = (name) => {
    const input = [...main.querySelectorAll('input[data-path]')].find((i) => /(^|\.)SSID$/i.test(i.dataset.path));
    if (!input) return;
    input.value = name;
    input.focus();
    input.scrollIntoView({ block: 'center', behavior: 'smooth' });
  };
  return h('div', { class: 'table-wrap' }, h('table', { class: 'data' },
    h('thead', null, h('tr', null, keys.map((k) => h('th', { scope: 'col', title: k, text: labelFor(k) })), ssidKey ? h('th', { scope: 'col' }, h('span', { class: 'sr-only', text: t('common.actions') })) : null)),
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
    const list = h('div', { class: 'stack' });
    main.append(list);
    const cards = fam.groups.map((g) => groupCard(g, fam.timeout || 20000, fam.groups.length === 1 ? t(`fam.${fam.id}`) : ''));
    for (const c of cards) list.append(c.el);
    if (fam.scan) list.append(scanCard(fam.scan, main));
    let alive = true;
    (async () => {
      for (const c of cards) {
        if (!alive) return;
        await c.load();
      }
    })();
    return () => { alive = false; };
  },
};
