// Interface texts in English and Chinese. English is always loaded (it is
// also the fallback for a missing key); Chinese is fetched when first chosen.
import en from '../i18n/en.js';

const dicts = { en };
let dict = en;
let current = 'en';
const listeners = new Set();

export const LANGS = ['en', 'zh'];
// The device's names of the two languages ("language" of set_Language_Format).
export const DEVICE_NAMES = { en: 'english', zh: 'chinese' };

export function lang() { return current; }

// A count {n} picks the key's plural form (key.one, key.other) when the
// dictionary has one.
export function t(key, params) {
  if (params && typeof params.n === 'number') {
    const form = `${key}.${new Intl.PluralRules(current === 'zh' ? 'zh-CN' : 'en').select(params.n)}`;
    if (dict[form] !== undefined || en[form] !== undefined) key = form;
    else if (dict[`${key}.other`] !== undefined) key = `${key}.other`;
  }
  let text = dict[key] ?? en[key] ?? key;
  if (params) text = text.replace(/\{(\w+)\}/g, (m, name) => (name in params ? String(params[name]) : m));
  return text;
}

export async function setLang(code) {
  if (!LANGS.includes(code)) code = 'en';
  if (!dicts[code]) dicts[code] = (await import(`../i18n/${code}.js`)).default;
  dict = dicts[code];
  current = code;
  document.documentElement.lang = code === 'zh' ? 'zh-CN' : 'en';
  try { localStorage.setItem('ws.lang', code); } catch { /* private mode */ }
  translateStatic(document);
  for (const fn of listeners) fn(code);
}

export function onLangChange(fn) { listeners.add(fn); return () => listeners.delete(fn); }

// The language last shown in this browser, used until the device answers.
export function cachedLang() {
  try { return localStorage.getItem('ws.lang') || 'en'; } catch { return 'en'; }
}

// Elements of the static pages name their text with data-i18n (text),
// data-i18n-placeholder, data-i18n-label (aria-label) and data-i18n-title.
export function translateStatic(root) {
  for (const el of root.querySelectorAll('[data-i18n]')) el.textContent = t(el.dataset.i18n);
  for (const el of root.querySelectorAll('[data-i18n-placeholder]')) el.placeholder = t(el.dataset.i18nPlaceholder);
  for (const el of root.querySelectorAll('[data-i18n-label]')) el.setAttribute('aria-label', t(el.dataset.i18nLabel));
  for (const el of root.querySelectorAll('[data-i18n-title]')) el.title = t(el.dataset.i18nTitle);
  const title = document.querySelector('title[data-i18n]');
  if (title) document.title = t(title.dataset.i18n);
}

// The label of a parameter name: from the dictionary's labels, else made
// from its words: "OutputResolution" -> "Output resolution" (English), or
// word by word in Chinese where the word list knows the words.
export function labelFor(key) {
  const known = dict.labels?.[key];
  if (known) return known;
  const words = String(key)
    .replace(/[_\-.]+/g, ' ')
    .replace(/([a-z0-9])([A-Z])/g, '$1 $2')
    .replace(/([A-Z]+)([A-Z][a-z])/g, '$1 $2')
    .trim()
    .split(/\s+/)
    .filter(Boolean);
  if (!words.length) return String(key);
  if (current === 'zh' && dict.words) {
    const parts = words.map((w) => dict.words[w.toLowerCase()]);
    if (parts.every(Boolean)) return parts.join('');
    return words.map((w, i) => parts[i] || w).join(' ');
  }
  return words
    .map((w, i) => (i === 0 || /^[A-Z0-9]{2,}$/.test(w) ? w : w.toLowerCase()))
    .map((w, i) => (i === 0 ? w[0].toUpperCase() + w.slice(1) : w))
    .join(' ');
}

// The display name of a value the device names with an identifier
// ("TestPattern"); other values are shown as they are.
export function valueName(v) {
  const s = String(v);
  return dict.values?.[s] ?? en.values?.[s] ?? s;
}
