// A form generated from a command's parameters. Where the device's
// capability documents (or the interface's own knowledge of a value) say
// what is allowed, the control offers exactly that: a drop-down of the
// allowed values, a number field with its limits and unit, day check boxes,
// a time field. Other values keep a control of their JSON type. read()
// checks every field, shows what is wrong next to it and gives the edited
// value with the same shape and types, ready for the matching Set command.
import { t, labelFor, valueName } from './i18n.js';
import { h, uid, button } from './ui.js';

const COLOR = /^#[0-9a-fA-F]{6}$/;
const SECRET = /pass(word)?|secret|securitykey|psk/i;
const IPV4_KEYS = new Set(['IPAddress', 'SubnetMask', 'Gateway', 'DNS']);
const DAYS = ['Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat', 'Sun'];
const CORNERS = ['TopLeft', 'TopRight', 'BottomLeft', 'BottomRight'];
const TASK_ACTIONS = ['Reboot', 'StartRecording', 'StopRecording'];
const OMIT = Symbol('omit');

// Fields shown only while another value of the same object allows them.
const SHOWN_WHEN = {
  IPAddress: (o) => o.DHCP !== true,
  SubnetMask: (o) => o.DHCP !== true,
  Gateway: (o) => o.DHCP !== true,
  DNS: (o) => o.DHCP !== true,
  Password: (o) => o.Security !== 'Open',
};

// New entries of a list start from these values.
const TEMPLATES = { Tasks: { Enable: true, Action: 'Reboot', Days: ['Mon'], Time: '00:00' } };

const list = (v) => (Array.isArray(v) && v.length ? v : null);
const oneOf = (values, unit) => (list(values) ? { options: values, unit } : null);
const range = (r, unit) => (r && Number.isFinite(r.Min) && Number.isFinite(r.Max) ? { min: r.Min, max: r.Max, unit } : null);

// What is allowed for `key` of the group's parameters.
function ruleFor(group, key, caps) {
  const v = caps.video || {};
  const a = caps.audio || {};
  const n = caps.network || {};
  const s = caps.stream || {};
  const audio = group === 'AudioOutput';
  switch (key) {
    case 'Resolution':
      // Encoding sizes are the output resolutions without their rates.
      return group === 'VideoEncode'
        ? oneOf(list(v.OutputResolutions) && [...new Set(v.OutputResolutions.map((r) => String(r).replace(/[Pi]\d+$/, '')))])
        : oneOf(v.OutputResolutions);
    case 'Source': case 'FallbackSource': return oneOf(v.OutputSources);
    case 'Interface': return oneOf(audio ? a.OutputInterfaces : v.OutputInterfaces);
    case 'Codec': return oneOf(audio ? a.Codecs : v.EncodeCodecs);
    case 'Profile': return oneOf(v.EncodeProfiles);
    case 'FrameRate': return oneOf(v.EncodeFrameRates, 'fps');
    case 'BitrateKbps': return range(v.EncodeBitrateKbps, 'kbps');
    case 'Position': return group === 'VideoEncodeOSD' && v.OSDRegions >= 4 ? oneOf(CORNERS) : null;
    case 'SampleRate': return oneOf(a.SampleRates, 'Hz');
    case 'Channels': return oneOf(a.Channels);
    case 'Volume': return range(a.VolumeRange);
    case 'Transport': return oneOf(s.RtspServer?.Transports);
    case 'MaxSessions': return Number.isFinite(s.RtspServer?.MaxSessions) ? { min: 1, max: s.RtspServer.MaxSessions } : null;
    case 'Protocol': return oneOf(s.StreamingInput?.Protocols);
    case 'Mode': return group === 'NetworkWIFI' ? oneOf(n.WIFI?.Modes) : null;
    case 'Security': return oneOf(n.WIFI?.Security);
    case 'Band': return oneOf(n.WIFI?.Bands);
    // Values the capability documents do not describe, as the device takes them.
    case 'Brightness': case 'Contrast': case 'Saturation': case 'Hue': case 'Sharpness': return { min: 0, max: 100 };
    case 'Transparency': return { min: 0, max: 100, unit: '%' };
    case 'Rotation': return oneOf([0, 90, 180, 270], '°');
    case 'Port': return { min: 1, max: 65535 };
    case 'FallbackTimeoutSec': case 'ReconnectIntervalSec': return { min: 0, unit: 's' };
    case 'LatencyMs': return { min: 0, unit: 'ms' };
    case 'GOP': case 'FontSize': return { min: 1 };
    case 'PositionX': case 'PositionY': return { min: 0, unit: 'px' };
    case 'Action': return group === 'Crontab' ? oneOf(TASK_ACTIONS) : null;
    default: return null;
  }
}

function labelOf(key, parentKey) {
  if (typeof key !== 'number') return labelFor(key);
  const own = t(`item.${parentKey}`, { n: key + 1 });
  return own === `item.${parentKey}` ? t('editor.entry', { n: key + 1 }) : own;
}

// A leaf: label, control, unit, hint and the place for its problem.
function leaf(key, parentKey, make) {
  const id = uid('p');
  const err = h('small', { class: 'field-error', id: `${id}-err`, 'aria-live': 'polite' });
  const label = h('label', { for: id, text: labelOf(key, parentKey) });
  const c = make(id);
  if (typeof key === 'string') c.input.dataset.key = key;
  c.input.setAttribute('aria-describedby', [c.hint?.id, err.id].filter(Boolean).join(' '));
  const unit = c.unit && (t(`unit.${c.unit}`) === `unit.${c.unit}` ? c.unit : t(`unit.${c.unit}`));
  const body = unit ? h('div', { class: 'input-row' }, c.input, h('span', { class: 'unit', text: unit })) : c.input;
  const el = c.check
    ? h('div', { class: 'field check' }, c.input, label)
    : h('div', { class: 'field' }, label, body, c.hint, err);
  const node = {
    key,
    el,
    current: c.current,
    read() {
      if (el.hidden) return c.current();
      const problem = c.problem ? c.problem() : '';
      err.textContent = problem;
      if (problem) c.input.setAttribute('aria-invalid', 'true');
      else c.input.removeAttribute('aria-invalid');
      return problem ? { problem } : c.value();
    },
  };
  return node;
}

function selectControl(value, rule) {
  return (id) => {
    const numeric = rule.options.every((o) => typeof o === 'number');
    const known = rule.options.some((o) => String(o) === String(value));
    const input = h('select', { id },
      known ? null : h('option', { value: String(value), 'data-unknown': 'true', text: t('editor.unknownValue', { value: valueName(value) }) }),
      rule.options.map((o) => h('option', { value: String(o), text: valueName(o) })));
    input.value = String(value);
    const get = () => (numeric && !input.selectedOptions[0]?.dataset.unknown ? Number(input.value) : (input.value === String(value) ? value : input.value));
    return {
      input,
      unit: rule.unit,
      current: get,
      value: get,
      problem: () => (input.selectedOptions[0]?.dataset.unknown ? t('editor.pick') : ''),
    };
  };
}

function numberControl(value, rule) {
  return (id) => {
    const integer = Number.isInteger(value);
    const min = rule?.min;
    const max = rule?.max;
    const input = h('input', {
      id, type: 'number', step: integer ? '1' : 'any', value: String(value), inputmode: integer ? 'numeric' : 'decimal',
      min: min !== undefined ? String(min) : undefined, max: max !== undefined ? String(max) : undefined,
    });
    let hint = null;
    if (min !== undefined && max !== undefined) hint = h('small', { class: 'hint', id: `${id}-hint`, text: t('editor.between', { min, max }) });
    else if (min !== undefined) hint = h('small', { class: 'hint', id: `${id}-hint`, text: t('editor.atLeast', { min }) });
    return {
      input,
      hint,
      unit: rule?.unit,
      current: () => input.valueAsNumber,
      value: () => input.valueAsNumber,
      problem() {
        const v = input.valueAsNumber;
        if (input.value.trim() === '' || Number.isNaN(v)) return t('editor.needNumber');
        if (integer && !Number.isInteger(v)) return t('editor.needWhole');
        if ((min !== undefined && v < min) || (max !== undefined && v > max)) {
          return max === undefined ? t('editor.atLeast', { min }) : t('editor.between', { min, max });
        }
        return '';
      },
    };
  };
}

function textControl(key, value) {
  return (id) => {
    const secret = SECRET.test(String(key));
    const time = key === 'Time' && /^\d{2}:\d{2}$/.test(value);
    const color = COLOR.test(value);
    if (color) {
      const upper = value === value.toUpperCase();
      const input = h('input', { id, type: 'color', value: value.toLowerCase() });
      const get = () => (upper ? input.value.toUpperCase() : input.value);
      return { input, current: get, value: get };
    }
    const input = h('input', {
      id, type: secret ? 'password' : time ? 'time' : 'text', value: secret ? '' : value, autocomplete: secret ? 'new-password' : 'off', spellcheck: 'false',
      placeholder: secret ? t('editor.unchanged') : undefined,
    });
    // An empty secret means "unchanged": it is not sent at all.
    const get = () => (secret && input.value === '' ? OMIT : input.value);
    return {
      input,
      current: get,
      value: get,
      problem() {
        if (time && !/^\d{2}:\d{2}$/.test(input.value)) return t('editor.needTime');
        if (IPV4_KEYS.has(key) && !/^(25[0-5]|2[0-4]\d|1?\d?\d)(\.(25[0-5]|2[0-4]\d|1?\d?\d)){3}$/.test(input.value)) return t('editor.needAddress');
        return '';
      },
    };
  };
}

function checkControl(value) {
  return (id) => {
    const input = h('input', { id, type: 'checkbox', class: 'switch', checked: value });
    return { input, check: true, current: () => input.checked, value: () => input.checked };
  };
}

// Days of the week as check boxes; days the interface does not know stay.
function daysNode(key, value) {
  const id = uid('d');
  const err = h('small', { class: 'field-error', id: `${id}-err`, 'aria-live': 'polite' });
  const days = [...DAYS, ...value.filter((d) => !DAYS.includes(d))];
  const boxes = days.map((d) => {
    const input = h('input', { type: 'checkbox', value: d, id: `${id}-${d}`, checked: value.includes(d) });
    return { d, input, el: h('label', { class: 'day', for: `${id}-${d}` }, input, h('span', { text: valueName(d) })) };
  });
  const el = h('fieldset', { class: 'days', 'aria-describedby': err.id }, h('legend', { text: labelFor(key) }), boxes.map((b) => b.el), err);
  const current = () => boxes.filter((b) => b.input.checked).map((b) => b.d);
  return {
    key,
    el,
    current,
    read() {
      const v = current();
      err.textContent = v.length ? '' : t('editor.needDay');
      return v.length ? v : { problem: err.textContent };
    },
  };
}

// Other lists of plain values are one comma-separated text; numbers stay
// numbers when every item was one.
function listNode(key, value, parentKey) {
  const numeric = value.length > 0 && value.every((v) => typeof v === 'number');
  return leaf(key, parentKey, (id) => {
    const input = h('input', { id, type: 'text', value: value.join(', '), autocomplete: 'off', spellcheck: 'false' });
    const hint = h('small', { class: 'hint', id: `${id}-hint`, text: t('editor.listHint') });
    const items = () => input.value.split(',').map((s) => s.trim()).filter(Boolean);
    return {
      input,
      hint,
      current: () => (numeric ? items().map(Number) : items()),
      value: () => (numeric ? items().map(Number) : items()),
      problem: () => (numeric && items().map(Number).some(Number.isNaN) ? t('editor.needNumbers') : ''),
    };
  });
}

function build(value, ctx, key, parentKey) {
  if (value === null || typeof value !== 'object') {
    const rule = ruleFor(ctx.group, key, ctx.caps);
    if (typeof value === 'boolean') return leaf(key, parentKey, checkControl(value));
    if (rule?.options && (typeof value === 'number' || typeof value === 'string')) return leaf(key, parentKey, selectControl(value, rule));
    if (typeof value === 'number') return leaf(key, parentKey, numberControl(value, rule));
    if (typeof value === 'string') return leaf(key, parentKey, textControl(key, value));
    return { key, el: h('div', { hidden: true }), current: () => null, read: () => null };
  }
  if (Array.isArray(value) && value.every((v) => typeof v === 'string') && key === 'Days') return daysNode(key, value);
  if (key !== undefined && Array.isArray(value) && value.every((v) => typeof v === 'string' || typeof v === 'number')) return listNode(key, value, parentKey);
  return Array.isArray(value) ? arrayNode(value, ctx, key) : objectNode(value, ctx, key, parentKey);
}

function objectNode(value, ctx, key, parentKey) {
  const parts = Object.entries(value).map(([k, v]) => build(v, ctx, k, key));
  const grid = h('div', { class: 'form-grid' }, parts.map((p) => p.el));
  const current = () => Object.fromEntries(parts.map((p) => [p.key, p.current()]));
  ctx.updates.push(() => {
    const now = current();
    for (const p of parts) if (SHOWN_WHEN[p.key]) p.el.hidden = !SHOWN_WHEN[p.key](now);
  });
  const node = {
    key,
    current,
    read() {
      const out = {};
      let bad = false;
      for (const p of parts) {
        const v = p.read();
        if (v && typeof v === 'object' && 'problem' in v) bad = true;
        else if (v !== OMIT) out[p.key] = v;
      }
      return bad ? { problem: true } : out;
    },
  };
  if (key === undefined) node.el = grid;
  else node.el = h('fieldset', { class: 'group' }, h('legend', { text: labelOf(key, parentKey) }), parts.length ? grid : h('p', { class: 'muted', text: t('common.none') }));
  return node;
}

// A list of objects (scheduled tasks): entries can be added and removed.
function arrayNode(value, ctx, key) {
  const items = [];
  const box = h('div', { class: 'entries' });
  const template = TEMPLATES[key] ?? value[value.length - 1];
  function relabel() {
    items.forEach((it, i) => { it.node.el.querySelector('legend').firstChild.textContent = labelOf(i, key); });
  }
  function add(v) {
    const node = build(structuredClone(v), ctx, items.length, key);
    const item = { node };
    const remove = button(t('editor.remove'), { kind: 'small ghost', iconName: 'trash', 'data-action': 'remove-entry', onClick: () => {
      items.splice(items.indexOf(item), 1);
      node.el.remove();
      relabel();
      ctx.changed();
    } });
    node.el.querySelector('legend')?.append(' ', remove);
    items.push(item);
    box.append(node.el);
  }
  value.forEach(add);
  const addBtn = template && typeof template === 'object'
    ? button(t(`add.${key}`) === `add.${key}` ? t('editor.add') : t(`add.${key}`), { kind: 'small', 'data-action': 'add-entry', onClick: () => { add(template); relabel(); ctx.update(); ctx.changed(); } })
    : null;
  return {
    key,
    current: () => items.map((it) => it.node.current()),
    read() {
      const vals = items.map((it) => it.node.read());
      return vals.some((v) => v && typeof v === 'object' && v.problem === true) ? { problem: true } : vals;
    },
    el: h('fieldset', { class: 'group list' }, key === undefined ? null : h('legend', { text: labelFor(key) }), box, addBtn ? h('div', { class: 'form-actions start' }, addBtn) : null),
  };
}

// editor(value, { group, caps, onChange }) returns { el, read, dirty,
// saved }: read() gives { value, ok }; dirty() tells whether anything
// differs from what was loaded or last saved.
export function editor(value, { group = '', caps = {}, onChange } = {}) {
  const ctx = { group, caps, updates: [], changed: () => onChange?.(), update: () => ctx.updates.forEach((f) => f()) };
  // A single-object list (the shape of the plural Set commands) is shown
  // as the object itself; the list around it is kept when reading.
  const single = Array.isArray(value) && value.length === 1 && value[0] && typeof value[0] === 'object';
  const top = single ? value[0] : value;
  const root = top !== null && typeof top === 'object' && !Array.isArray(top) ? objectNode(top, ctx) : build(top, ctx, 'Value');
  const snapshot = () => JSON.stringify(root.current(), (k, v) => (typeof v === 'symbol' ? undefined : v));
  let base = snapshot();
  root.el.addEventListener('input', () => { ctx.update(); ctx.changed(); });
  root.el.addEventListener('change', () => { ctx.update(); ctx.changed(); });
  ctx.update();
  return {
    el: root.el,
    read() {
      const v = root.read();
      const ok = !(v && typeof v === 'object' && v.problem === true);
      if (!ok) root.el.querySelector('[aria-invalid=true], .field-error:not(:empty)')?.closest('.field, fieldset')?.querySelector('input, select')?.focus();
      return { value: single ? [v] : v, ok };
    },
    dirty: () => snapshot() !== base,
    saved() { base = snapshot(); },
  };
}
