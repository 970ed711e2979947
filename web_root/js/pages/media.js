// Watermark picture and HDMI EDID: uploads checked in the browser against
// the device's rules before they are sent, EDID preset selection and the
// active EDID.
import { t } from '../i18n.js';
import { call, upload } from '../api.js';
import { capabilities } from '../catalog.js';
import { EDID_FILES, CUSTOM_EDID, edidLabel } from '../edid.js';
import { h, pageHeader, notice, setNotice, button, busy, card, formatBytes, progressBar, dropZone } from '../ui.js';

// What the device's upload takes at most; its capability document may
// narrow the formats and limits further.
const IMG_MIN = 1024;
const LIMITS = { formats: ['jpeg', 'png', 'bmp'], bytes: 2073600, w: 1920, h: 1080 };

async function watermarkLimits() {
  const v = (await capabilities(call)).video || {};
  const m = v.WatermarkMaxSize || {};
  const pos = (x, cap) => (Number.isInteger(x) && x > 0 ? Math.min(x, cap) : cap);
  const formats = Array.isArray(v.WatermarkFormats) && v.WatermarkFormats.length
    ? v.WatermarkFormats.map((f) => String(f).toLowerCase().replace('jpg', 'jpeg')).filter((f) => LIMITS.formats.includes(f))
    : LIMITS.formats;
  return { formats, bytes: pos(m.Bytes, LIMITS.bytes), w: pos(m.Width, LIMITS.w), h: pos(m.Height, LIMITS.h) };
}

// Type and size from the file's first bytes, as the device reads them.
async function inspectImage(file) {
  const b = new Uint8Array(await file.slice(0, 32).arrayBuffer());
  const dv = new DataView(b.buffer);
  const png = [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a];
  if (b.length >= 24 && png.every((v, i) => b[i] === v)) return { type: 'image/png', format: 'png', label: 'PNG', w: dv.getUint32(16), h: dv.getUint32(20) };
  if (b.length >= 26 && b[0] === 0x42 && b[1] === 0x4d) return { type: 'image/bmp', format: 'bmp', label: 'BMP', w: dv.getInt32(18, true), h: dv.getInt32(22, true) };
  if (b.length >= 3 && b[0] === 0xff && b[1] === 0xd8 && b[2] === 0xff) return { type: 'image/jpeg', format: 'jpeg', label: 'JPEG' };
  return null;
}

const formatNames = (lim) => lim.formats.map((f) => f.toUpperCase()).join(', ');

// The picture's name must end in an extension of its type.
const EXTENSIONS = { png: /\.png$/i, bmp: /\.bmp$/i, jpeg: /\.jpe?g$/i };

function imageProblem(file, info, lim) {
  if (!info || !lim.formats.includes(info.format)) return t('wm.badType', { formats: formatNames(lim) });
  if (file.size < IMG_MIN || file.size > lim.bytes) return t('wm.badSize', { size: formatBytes(file.size), max: formatBytes(lim.bytes) });
  if (info.w !== undefined && (info.w < 1 || info.w > lim.w || info.h < 1 || info.h > lim.h)) {
    return info.h < 0 ? t('wm.topDown') : t('wm.badDims', { w: info.w, h: info.h, mw: lim.w, mh: lim.h });
  }
  if (!EXTENSIONS[info.format].test(file.name)) return t('wm.badExt', { type: info.label });
  if (!file.name || file.name.length > 254 || /[/\\]/.test(file.name) || file.name === '.' || file.name === '..') return t('wm.badName');
  return '';
}

function watermarkCard() {
  const status = notice('info', t('wm.rules'));
  const intro = h('p', { class: 'muted', text: '…' });
  const preview = h('figure', { class: 'preview empty' });
  const bar = progressBar('wm.uploading');
  bar.hidden = true;
  const send = button(t('wm.upload'), { kind: 'primary', iconName: 'upload', disabled: true, 'data-action': 'upload' });
  const zone = dropZone('.jpg,.jpeg,.png,.bmp', 'wm.choose', (f) => choose(f));
  let chosen = null;
  let seq = 0;
  const limits = watermarkLimits();
  limits.then((lim) => {
    intro.textContent = t('wm.intro', { formats: formatNames(lim), max: formatBytes(lim.bytes), w: lim.w, h: lim.h });
    zone.input.accept = lim.formats.map((f) => (f === 'jpeg' ? '.jpg,.jpeg' : `.${f}`)).join(',');
  });

  // The preview is drawn from the file's bytes: the pages' security policy
  // loads no pictures from blob: addresses.
  async function drawPreview(file, info) {
    const caption = h('figcaption', { text: `${file.name} · ${info ? info.label : '?'}${info && info.w !== undefined ? ` · ${info.w} × ${Math.abs(info.h)}` : ''} · ${formatBytes(file.size)}` });
    const canvas = h('canvas', { role: 'img', 'aria-label': t('wm.previewAlt', { name: file.name }) });
    preview.replaceChildren(canvas, caption);
    preview.classList.remove('empty');
    try {
      const bmp = await createImageBitmap(file);
      canvas.width = bmp.width;
      canvas.height = bmp.height;
      canvas.getContext('2d').drawImage(bmp, 0, 0);
      if (info && info.w === undefined) caption.textContent = `${file.name} · ${info.label} · ${bmp.width} × ${bmp.height} · ${formatBytes(file.size)}`;
      bmp.close();
    } catch {
      canvas.remove();
    }
  }

  async function choose(file) {
    const mine = ++seq;
    chosen = null;
    send.disabled = true;
    const [info, lim] = await Promise.all([inspectImage(file), limits]);
    if (mine !== seq) return;
    drawPreview(file, info);
    const problem = imageProblem(file, info, lim);
    if (problem) {
      setNotice(status, 'error', problem);
      return;
    }
    chosen = { file, info };
    send.disabled = false;
    setNotice(status, 'ok', t('wm.ready'));
  }

  send.addEventListener('click', () => busy(send, async () => {
    if (!chosen) return;
    const { file, info } = chosen;
    const form = new FormData();
    form.append('file', new File([file], file.name, { type: info.type }));
    bar.hidden = false;
    bar.set(0);
    setNotice(status, 'busy', t('wm.uploading'));
    try {
      await upload('upload_Image', { fileName: file.name }, form, { onProgress: (n, total) => bar.set(total ? (100 * n) / total : null), timeout: 120000 });
      bar.set(100);
      setNotice(status, 'ok', t('wm.stored', { name: file.name }));
      chosen = null;
      send.disabled = true;
      return;
    } catch (e) {
      setNotice(status, 'error', e.message);
    } finally {
      setTimeout(() => { bar.hidden = true; }, 800);
    }
  }, () => !!chosen));

  return Object.assign(card(t('wm.title'), intro,
    h('div', { class: 'media-row' }, zone, preview),
    bar, status, h('div', { class: 'form-actions' }, send)), { id: 'watermark' });
}

function edidCard() {
  const active = h('strong', { class: 'active-edid', text: '…' });
  const status = notice();
  status.id = 'edid-status';
  const name = `edid-${Math.random().toString(36).slice(2)}`;
  const radios = EDID_FILES.map((f) => {
    const id = `${name}-${f.replace(/\W/g, '')}`;
    const input = h('input', { type: 'radio', name, id, value: f });
    return { f, input, el: h('div', { class: 'radio' }, input, h('label', { for: id }, h('span', { text: edidLabel(f) }), h('small', { class: 'muted', text: f }))) };
  });
  const apply = button(t('edid.apply'), { kind: 'primary', iconName: 'check', 'data-action': 'apply' });
  let current = null;

  async function readActive() {
    try {
      const r = await call('GetHdmiEdidParameters');
      current = String(r.Reason || '');
      active.textContent = edidLabel(current);
    } catch (e) {
      current = null;
      active.textContent = /does not exist/.test(e.reason || '') ? t('edid.unknown') : e.message;
    }
    for (const r of radios) {
      r.el.classList.toggle('is-active', r.f === current);
      if (r.f === current) r.input.checked = true;
    }
  }

  apply.addEventListener('click', () => busy(apply, async () => {
    const pick = radios.find((r) => r.input.checked);
    if (!pick) {
      setNotice(status, 'error', t('edid.pickOne'));
      return;
    }
    setNotice(status, 'busy', t('common.saving'));
    try {
      await call('SetHdmiEdidParameters', {}, { query: { edidfile: pick.f } });
      await readActive();
      setNotice(status, 'ok', t('edid.applied', { name: edidLabel(pick.f) }));
    } catch (e) {
      setNotice(status, 'error', pick.f === CUSTOM_EDID && /^Upload file failed/.test(e.reason || '') ? t('edid.noCustom') : e.message);
    }
  }));

  // Custom EDID upload: 1 to 16 blocks of 128 bytes.
  const upStatus = notice('info', t('edid.rules'));
  upStatus.id = 'edid-upload-status';
  const bar = progressBar('edid.uploading');
  bar.hidden = true;
  const send = button(t('edid.upload'), { kind: 'primary', iconName: 'upload', disabled: true, 'data-action': 'upload' });
  let chosen = null;
  async function choose(file) {
    chosen = null;
    send.disabled = true;
    if (file.size < 128 || file.size > 2048 || file.size % 128) {
      setNotice(upStatus, 'error', t('edid.badSize', { size: file.size }));
      return;
    }
    const head = new Uint8Array(await file.slice(0, 8).arrayBuffer());
    const isEdid = [0, 255, 255, 255, 255, 255, 255, 0].every((v, i) => head[i] === v);
    chosen = file;
    send.disabled = false;
    setNotice(upStatus, isEdid ? 'ok' : 'warn', isEdid
      ? t('edid.ready', { name: file.name, blocks: file.size / 128 })
      : t('edid.noHeader', { name: file.name }));
  }
  send.addEventListener('click', () => busy(send, async () => {
    if (!chosen) return;
    const form = new FormData();
    form.append('file', new File([chosen], chosen.name, { type: 'application/octet-stream' }));
    bar.hidden = false;
    bar.set(0);
    setNotice(upStatus, 'busy', t('edid.uploading'));
    try {
      await upload('upload_edid', { fileName: chosen.name }, form, { onProgress: (n, total) => bar.set(total ? (100 * n) / total : null), timeout: 60000 });
      bar.set(100);
      setNotice(upStatus, 'ok', t('edid.uploaded'));
      const custom = radios.find((r) => r.f === CUSTOM_EDID);
      custom.input.checked = true;
      chosen = null;
      send.disabled = true;
    } catch (e) {
      setNotice(upStatus, 'error', e.message);
    } finally {
      setTimeout(() => { bar.hidden = true; }, 800);
    }
  }, () => !!chosen));

  readActive();
  return Object.assign(card(t('edid.title'),
    h('p', { class: 'active-line' }, h('span', { class: 'muted', text: `${t('edid.active')}: ` }), active),
    h('fieldset', { class: 'radios' }, h('legend', { text: t('edid.choose') }), radios.map((r) => r.el)),
    status, h('div', { class: 'form-actions' }, apply),
    h('h3', { text: t('edid.customTitle') }),
    dropZone('.bin,.edid,.dat,application/octet-stream', 'edid.chooseFile', choose), bar, upStatus,
    h('div', { class: 'form-actions' }, send)), { id: 'edid' });
}

export default {
  render(main) {
    main.append(pageHeader('nav.media', 'media.intro'));
    main.append(h('div', { class: 'two-col' }, watermarkCard(), edidCard()));
  },
};
