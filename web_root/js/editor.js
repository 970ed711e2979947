// A form generated from a command's parameters: each value gets a control
// of its JSON type; read() gives the edited value with the same shape and
// types, ready to be sent back with the matching Set command.
import { t, labelFor } from './i18n.js';
import { h, uid } from './ui.js';

const COLOR = /^#[0-9a-fA-F]{6}$/;
const SECRET = /pass(word)?|secret|securitykey|psk/i;

function control(key, value, path, problems) {
  const id = uid('p');
  const dataPath = path.join('.');
  const label = h('label', { for: id, title: String(key), text: typeof key === 'number' ? `${t('editor.item')} ${key + 1}` : labelFor(key) });
  let input;
  let read;
  if (typeof value === 'boolean') {
    input = h('input', { id, type: 'checkbox', class: 'switch', checked: value, 'data-path': dataPath });
    read = () => input.checked;
    return { el: h('div', { class: 'field check' }, input, label), read };
  }
  if (typeof value === 'number') {
    const integer = Number.isInteger(value);
    input = h('input', { id, type: 'number', step: integer ? '1' : 'any', value: String(value), 'data-path': dataPath, inputmode: integer ? 'numeric' : 'decimal' });
    read = () => {
      const v = input.valueAsNumber;
      if (input.value.trim() === '' || Number.isNaN(v) || (integer && !Number.isInteger(v))) {
        problems.push(label.textContent);
        input.setAttribute('aria-invalid', 'true');
        return value;
      }
      input.removeAttribute('aria-invalid');
      return v;
    };
  } else if (typeof value === 'string' && COLOR.test(value)) {
    const upper = value === value.toUpperCase();
    input = h('input', { id, type: 'color', value: value.toLowerCase(), 'data-path': dataPath });
    read = () => (upper ? input.value.toUpperCase() : input.value);
  } else if (typeof value === 'string') {
    const secret = SECRET.test(String(key));
    input = h('input', { id, type: secret ? 'password' : 'text', value, 'data-path': dataPath, autocomplete: 'off', spellcheck: 'false' });
    read = () => input.value;
  } else {
    input = h('input', { id, type: 'text', value: 'null', readonly: true, 'data-path': dataPath });
    read = () => null;
  }
  return { el: h('div', { class: 'field' }, label, input), read };
}

// A list of plain values (days, codecs...) is edited as one comma-separated
// text; numbers stay numbers when every item was one.
function listControl(key, value, path, problems) {
  const id = uid('p');
  const numeric = value.length > 0 && value.every((v) => typeof v === 'number');
  const label = h('label', { for: id, title: String(key), text: typeof key === 'number' ? `${t('editor.item')} ${key + 1}` : labelFor(key) });
  const input = h('input', { id, type: 'text', value: value.join(', '), 'data-path': path.join('.'), 'data-list': 'true', autocomplete: 'off', spellcheck: 'false' });
  const hint = h('small', { class: 'hint', id: `${id}-hint`, text: t('editor.listHint') });
  input.setAttribute('aria-describedby', hint.id);
  const read = () => {
    const items = input.value.split(',').map((s) => s.trim()).filter(Boolean);
    if (!numeric) return items;
    const nums = items.map(Number);
    if (nums.some(Number.isNaN)) {
      problems.push(label.textContent);
      input.setAttribute('aria-invalid', 'true');
      return value;
    }
    input.removeAttribute('aria-invalid');
    return nums;
  };
  return { el: h('div', { class: 'field' }, label, input, hint), read };
}

function build(value, path, key, problems) {
  if (value === null || typeof value !== 'object') return control(key, value, path, problems);
  if (key !== undefined && Array.isArray(value) && value.every((v) => typeof v === 'string' || typeof v === 'number')) {
    return listControl(key, value, path, problems);
  }
  const isArray = Array.isArray(value);
  const entries = isArray ? value.map((v, i) => [i, v]) : Object.entries(value);
  const parts = entries.map(([k, v]) => build(v, [...path, k], k, problems));
  const grid = h('div', { class: 'form-grid' }, parts.map((p) => p.el));
  const read = () => {
    const vals = parts.map((p) => p.read());
    return isArray ? vals : Object.fromEntries(entries.map(([k], i) => [k, vals[i]]));
  };
  if (key === undefined) return { el: grid, read };
  const legend = typeof key === 'number' ? `${t('editor.item')} ${key + 1}` : labelFor(key);
  return {
    el: h('fieldset', { class: 'group', 'data-path': path.join('.') },
      h('legend', { title: String(key), text: legend }),
      entries.length ? grid : h('p', { class: 'muted', text: t('common.none') })),
    read,
  };
}

// Returns { el, read } where read() returns { value, problems }.
export function editor(value) {
  const problems = [];
  // A single-object list (the shape of the plural Set commands) is shown
  // as the object itself; the list around it is kept when reading.
  const single = Array.isArray(value) && value.length === 1 && value[0] && typeof value[0] === 'object';
  const top = single ? value[0] : value;
  const root = build(top, single ? [0] : [], top !== null && typeof top === 'object' ? undefined : 'Value', problems);
  return {
    el: root.el,
    read() {
      problems.length = 0;
      const v = root.read();
      return { value: single ? [v] : v, problems: [...problems] };
    },
  };
}
