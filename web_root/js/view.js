// A readable view of a JSON document (capability documents, scan results):
// labelled values, lists as chips, uniform object lists as tables.
import { t, labelFor, valueName } from './i18n.js';
import { h } from './ui.js';

function isPlain(v) { return v === null || typeof v !== 'object'; }

function scalar(v) {
  if (v === true) return h('span', { class: 'badge ok', text: t('common.yes') });
  if (v === false) return h('span', { class: 'badge', text: t('common.no') });
  if (v === null || v === '') return h('span', { class: 'muted', text: '—' });
  return h('span', { class: 'value', text: typeof v === 'string' ? valueName(v) : String(v) });
}

function table(rows) {
  const keys = [...new Set(rows.flatMap((r) => Object.keys(r)))];
  return h('div', { class: 'table-wrap' }, h('table', { class: 'data' },
    h('thead', null, h('tr', null, keys.map((k) => h('th', { scope: 'col', text: labelFor(k) })))),
    h('tbody', null, rows.map((r) => h('tr', null, keys.map((k) => h('td', null, k in r ? view(r[k], 2) : '')))))));
}

export function view(value, depth = 0) {
  if (isPlain(value)) return scalar(value);
  if (Array.isArray(value)) {
    if (!value.length) return h('span', { class: 'muted', text: t('common.none') });
    if (value.every(isPlain)) return h('ul', { class: 'chips' }, value.map((v) => h('li', null, scalar(v))));
    if (value.every((v) => v && typeof v === 'object' && !Array.isArray(v) && Object.values(v).every(isPlain))) return table(value);
    return h('ol', { class: 'doc-list' }, value.map((v) => h('li', null, view(v, depth + 1))));
  }
  const entries = Object.entries(value);
  if (!entries.length) return h('span', { class: 'muted', text: t('common.none') });
  return h('dl', { class: `kv depth-${Math.min(depth, 3)}` }, entries.map(([k, v]) => h('div', { class: isPlain(v) ? 'kv-row' : 'kv-row nested' },
    h('dt', { text: labelFor(k) }),
    h('dd', null, view(v, depth + 1)))));
}
