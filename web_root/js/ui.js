// Small DOM helpers shared by the pages: element builder, icons, notices,
// toasts, dialogs and busy buttons.
import { t, lang } from './i18n.js';

export function h(tag, props, ...children) {
  const el = document.createElement(tag);
  for (const [k, v] of Object.entries(props || {})) {
    if (v === undefined || v === null || v === false) continue;
    if (k === 'class') el.className = v;
    else if (k === 'text') el.textContent = v;
    else if (k === 'on') for (const [ev, fn] of Object.entries(v)) el.addEventListener(ev, fn);
    else if (k in el && typeof v !== 'string') el[k] = v;
    else el.setAttribute(k, v === true ? '' : v);
  }
  append(el, children);
  return el;
}

function append(el, children) {
  for (const c of children) {
    if (c === null || c === undefined || c === false) continue;
    if (Array.isArray(c)) append(el, c);
    else el.append(c instanceof Node ? c : String(c));
  }
}

const ICONS = {
  grid: 'M3 3h7v7H3zM14 3h7v7h-7zM3 14h7v7H3zM14 14h7v7h-7z',
  sliders: 'M4 6h10M18 6h2M4 12h4M12 12h8M4 18h12M20 18h0M14 4v4M8 10v4M16 16v4',
  users: 'M16 20v-2a4 4 0 0 0-4-4H6a4 4 0 0 0-4 4v2M9 10a4 4 0 1 0 0-8 4 4 0 0 0 0 8M22 20v-2a4 4 0 0 0-3-3.9M16 2.1a4 4 0 0 1 0 7.8',
  card: 'M6 2h9l5 5v15H6zM10 6v3M13 6v3M16 8v1',
  image: 'M3 4h18v16H3zM3 16l5-5 4 4 3-3 6 6M15.5 9.5a1.5 1.5 0 1 0 0-.01',
  chip: 'M7 7h10v10H7zM9 2v3M15 2v3M9 19v3M15 19v3M2 9h3M2 15h3M19 9h3M19 15h3',
  cog: 'M12 15a3 3 0 1 0 0-6 3 3 0 0 0 0 6M19.4 15a1.7 1.7 0 0 0 .3 1.8l.1.1a2 2 0 1 1-2.8 2.8l-.1-.1a1.7 1.7 0 0 0-1.8-.3 1.7 1.7 0 0 0-1 1.5V21a2 2 0 1 1-4 0v-.1a1.7 1.7 0 0 0-1.1-1.5 1.7 1.7 0 0 0-1.8.3l-.1.1a2 2 0 1 1-2.8-2.8l.1-.1a1.7 1.7 0 0 0 .3-1.8 1.7 1.7 0 0 0-1.5-1H3a2 2 0 1 1 0-4h.1a1.7 1.7 0 0 0 1.5-1.1 1.7 1.7 0 0 0-.3-1.8l-.1-.1a2 2 0 1 1 2.8-2.8l.1.1a1.7 1.7 0 0 0 1.8.3H9a1.7 1.7 0 0 0 1-1.5V3a2 2 0 1 1 4 0v.1a1.7 1.7 0 0 0 1 1.5 1.7 1.7 0 0 0 1.8-.3l.1-.1a2 2 0 1 1 2.8 2.8l-.1.1a1.7 1.7 0 0 0-.3 1.8V9a1.7 1.7 0 0 0 1.5 1H21a2 2 0 1 1 0 4h-.1a1.7 1.7 0 0 0-1.5 1z',
  folder: 'M3 6a1 1 0 0 1 1-1h5l2 2h9a1 1 0 0 1 1 1v10a1 1 0 0 1-1 1H4a1 1 0 0 1-1-1z',
  file: 'M6 2h8l5 5v15H6zM14 2v5h5',
  refresh: 'M21 12a9 9 0 1 1-3-6.7L21 8M21 3v5h-5',
  trash: 'M3 6h18M8 6V4h8v2M6 6l1 15h10l1-15M10 11v6M14 11v6',
  upload: 'M12 16V4M7 9l5-5 5 5M4 20h16',
  logout: 'M9 21H5a2 2 0 0 1-2-2V5a2 2 0 0 1 2-2h4M16 17l5-5-5-5M21 12H9',
  globe: 'M12 22a10 10 0 1 0 0-20 10 10 0 0 0 0 20M2 12h20M12 2a15 15 0 0 1 0 20M12 2a15 15 0 0 0 0 20',
  power: 'M12 2v10M18.4 6.6a9 9 0 1 1-12.8 0',
  clock: 'M12 22a10 10 0 1 0 0-20 10 10 0 0 0 0 20M12 6v6l4 2',
  wifi: 'M5 12.5a10 10 0 0 1 14 0M8.5 16a5 5 0 0 1 7 0M2 9a15 15 0 0 1 20 0M12 20h0',
  check: 'M20 6 9 17l-5-5',
  eye: 'M1 12s4-7 11-7 11 7 11 7-4 7-11 7S1 12 1 12M12 15a3 3 0 1 0 0-6 3 3 0 0 0 0 6',
  menu: 'M3 6h18M3 12h18M3 18h18',
  logo: 'M3 5h18v12H3zM8 21h8M12 17v4M10 8.5v5l4.5-2.5z',
};

export function icon(name, cls = 'icon') {
  const svg = document.createElementNS('http://www.w3.org/2000/svg', 'svg');
  svg.setAttribute('viewBox', '0 0 24 24');
  svg.setAttribute('class', cls);
  svg.setAttribute('aria-hidden', 'true');
  const path = document.createElementNS('http://www.w3.org/2000/svg', 'path');
  path.setAttribute('d', ICONS[name] || '');
  svg.append(path);
  return svg;
}

export function pageHeader(titleKey, introKey, ...actions) {
  return h('header', { class: 'page-head' },
    h('div', null,
      h('h1', { id: 'page-title', tabindex: '-1', text: t(titleKey) }),
      introKey ? h('p', { class: 'muted', text: t(introKey) }) : null),
    actions.length ? h('div', { class: 'actions' }, actions) : null);
}

export function card(title, ...body) {
  const head = typeof title === 'string' ? h('h2', { text: title }) : title;
  return h('section', { class: 'card' }, head, body);
}

// An inline message area; kind is info, ok, warn, error or busy.
export function notice(kind = 'info', text = '') {
  const el = h('div', { class: 'notice', role: 'status', 'aria-live': 'polite' });
  return setNotice(el, kind, text);
}

export function setNotice(el, kind, text) {
  el.className = `notice ${kind}${text ? '' : ' empty'}`;
  el.replaceChildren();
  if (kind === 'busy' && text) el.append(h('span', { class: 'spinner', 'aria-hidden': 'true' }));
  if (text) el.append(h('span', { text }));
  return el;
}

export function errorText(e) {
  return e && e.message ? e.message : t('err.failed');
}

export function clearToasts() {
  document.getElementById('toasts')?.replaceChildren();
}

export function toast(text, kind = 'info') {
  let box = document.getElementById('toasts');
  if (!box) {
    box = h('div', { id: 'toasts', class: 'toasts', role: 'status', 'aria-live': 'polite' });
    document.body.append(box);
  }
  const el = h('div', { class: `toast ${kind}`, text });
  box.append(el);
  while (box.children.length > 3) box.firstChild.remove();
  setTimeout(() => el.classList.add('out'), kind === 'error' ? 7000 : 3500);
  setTimeout(() => el.remove(), kind === 'error' ? 7600 : 4100);
}

// Runs fn with the button disabled and showing that it works; afterwards
// the button is enabled again, or as `enabled()` says.
export async function busy(button, fn, enabled) {
  button.disabled = true;
  button.setAttribute('aria-busy', 'true');
  button.classList.add('is-busy');
  try {
    return await fn();
  } finally {
    button.disabled = enabled ? !enabled() : false;
    button.removeAttribute('aria-busy');
    button.classList.remove('is-busy');
  }
}

export function button(label, { kind = '', iconName, onClick, type = 'button', ...rest } = {}) {
  return h('button', { type, class: `btn ${kind}`.trim(), on: onClick ? { click: onClick } : undefined, ...rest },
    iconName ? icon(iconName) : null, h('span', { text: label }));
}

let fieldSeq = 0;
export function uid(prefix = 'f') { fieldSeq += 1; return `${prefix}-${fieldSeq}`; }

// A labelled input; returns the wrapper with .input set to the control.
export function field(label, attrs = {}, hint) {
  const id = attrs.id || uid();
  const input = h(attrs.tag || 'input', { ...attrs, tag: undefined, id });
  const hintEl = hint ? h('small', { class: 'hint', id: `${id}-hint`, text: hint }) : null;
  if (hintEl) input.setAttribute('aria-describedby', hintEl.id);
  const wrap = h('div', { class: 'field' }, h('label', { for: id, text: label }), input, hintEl);
  wrap.input = input;
  return wrap;
}

// A modal dialog. fields: [{name, label, type, autocomplete}]. Resolves with
// the field values (an object) when confirmed, null when cancelled.
// With no fields the focus starts on Cancel, so that Enter on a fresh
// dialog never confirms a destructive step.
export function ask({ title, message, details = [], confirm, danger = false, fields = [], validate }) {
  return new Promise((resolve) => {
    const inputs = fields.map((f) => field(f.label, {
      type: f.type || 'text', name: f.name, autocomplete: f.autocomplete || 'off', required: true,
    }));
    const err = notice('error');
    const form = h('form', { method: 'dialog', class: 'dialog-body' },
      h('h2', { text: title }),
      message ? h('p', { text: message }) : null,
      details.length ? h('ul', { class: 'dialog-details' }, details.map((d) => h('li', { text: d }))) : null,
      inputs,
      err,
      h('div', { class: 'dialog-actions' },
        button(t('common.cancel'), { value: 'cancel', 'data-action': 'cancel', onClick: () => close(null) }),
        button(confirm || t('common.ok'), { type: 'submit', kind: danger ? 'danger' : 'primary' })));
    const dlg = h('dialog', { class: 'dialog', 'aria-label': title }, form);
    let done = false;
    function close(result) {
      if (done) return;
      done = true;
      dlg.close();
      dlg.remove();
      resolve(result);
    }
    form.addEventListener('submit', (e) => {
      e.preventDefault();
      const values = {};
      for (const w of inputs) values[w.input.name] = w.input.value;
      const problem = validate ? validate(values) : '';
      if (problem) {
        setNotice(err, 'error', problem);
        return;
      }
      close(values);
    });
    dlg.addEventListener('cancel', (e) => { e.preventDefault(); close(null); });
    document.body.append(dlg);
    dlg.showModal();
    (inputs[0]?.input || form.querySelector('[data-action=cancel]')).focus();
  });
}

export function formatBytes(n) {
  const v = Number(n);
  if (!Number.isFinite(v)) return '';
  if (v < 1024) return `${v} B`;
  const units = ['KB', 'MB', 'GB', 'TB'];
  let x = v;
  let i = -1;
  do { x /= 1024; i += 1; } while (x >= 1024 && i < units.length - 1);
  return `${x.toLocaleString(lang() === 'zh' ? 'zh-CN' : 'en', { maximumFractionDigits: x < 10 ? 1 : 0 })} ${units[i]}`;
}

export function progressBar(labelKey) {
  const bar = h('div', { class: 'progress', role: 'progressbar', 'aria-valuemin': '0', 'aria-valuemax': '100', 'aria-label': t(labelKey) },
    h('div', { class: 'progress-fill' }));
  bar.set = (pct) => {
    if (pct === null) {
      bar.classList.add('indeterminate');
      bar.removeAttribute('aria-valuenow');
      return;
    }
    bar.classList.remove('indeterminate');
    const v = Math.max(0, Math.min(100, Math.round(pct)));
    bar.setAttribute('aria-valuenow', String(v));
    bar.firstChild.style.width = `${v}%`;
  };
  return bar;
}

// Seconds since `start` as m:ss.
export function elapsed(start, end = Date.now()) {
  const s = Math.floor((end - start) / 1000);
  return `${Math.floor(s / 60)}:${String(s % 60).padStart(2, '0')}`;
}

// A file chooser that also takes a dropped file.
export function dropZone(accept, labelKey, onFile, hintKey = 'common.dropHint', iconName = 'upload') {
  const id = uid('file');
  const input = h('input', { id, type: 'file', accept, class: 'file-input' });
  const zone = h('label', { for: id, class: 'drop' }, icon(iconName, 'icon big'), h('span', { text: t(labelKey) }), h('small', { class: 'muted', text: t(hintKey) }));
  input.addEventListener('change', () => { if (input.files[0]) onFile(input.files[0]); });
  zone.addEventListener('dragover', (e) => { e.preventDefault(); zone.classList.add('over'); });
  zone.addEventListener('dragleave', () => zone.classList.remove('over'));
  zone.addEventListener('drop', (e) => {
    e.preventDefault();
    zone.classList.remove('over');
    if (e.dataTransfer.files[0]) onFile(e.dataTransfer.files[0]);
  });
  const wrap = h('div', { class: 'drop-wrap' }, input, zone);
  wrap.input = input;
  return wrap;
}
