// Overview: the device's state first (identity, clock, web port, active
// EDID, storage card), then its capability documents as readable lists,
// collapsed on narrow screens.
import { t } from '../i18n.js';
import { call } from '../api.js';
import { CAPABILITIES, capabilities } from '../catalog.js';
import { edidLabel } from '../edid.js';
import { view } from '../view.js';
import { h, icon, pageHeader, notice, setNotice } from '../ui.js';

const CARD_ROOT = '/mnt/app/web_root/sd';

function fact(iconName, labelKey, href) {
  const value = h('span', { class: 'fact-value', text: '…' });
  const inner = [icon(iconName), h('span', { class: 'fact-label', text: t(labelKey) }), value];
  const el = href ? h('a', { class: 'fact', href }, inner) : h('div', { class: 'fact' }, inner);
  el.dataset.fact = labelKey.replace('overview.', '');
  return { el, set: (text, bad = false) => { value.textContent = text; value.classList.toggle('bad', bad); } };
}

// The card's marker file is not a recording.
const files = (r) => ((r.Parameters || [])[0]?.file_info || []).filter((f) => f && f.name && f.name !== 'recodefilelist.txt').length;

async function recordings() {
  const top = await call('get_video_directory', { dir: CARD_ROOT, tagfiles: '', grade: 1 });
  let n = files(top);
  const folders = await call('get_video_directory', { dir: CARD_ROOT, tagfiles: '', grade: 0 });
  for (const d of folders.Parameters || []) {
    if (d.dir_name) n += files(await call('get_video_directory', { dir: `${CARD_ROOT}/${d.dir_name}`, tagfiles: '', grade: 1 }));
  }
  return n;
}

export default {
  render(main) {
    main.append(pageHeader('nav.overview', 'overview.intro'));
    const model = fact('logo', 'overview.model');
    const firmware = fact('chip', 'overview.firmware', '#firmware');
    const hardware = fact('chip', 'overview.hardware');
    const clock = fact('clock', 'overview.time', '#system');
    const port = fact('globe', 'overview.port', '#system');
    const edid = fact('image', 'overview.edid', '#media');
    const sd = fact('card', 'overview.storage', '#storage');
    main.append(h('div', { class: 'facts' }, [model, firmware, hardware, clock, port, edid, sd].map((f) => f.el)));
    const caps = h('div', { class: 'cards' });
    main.append(h('h2', { class: 'section-title', text: t('overview.capabilities') }), caps);
    const narrow = matchMedia('(max-width: 820px)').matches;

    let alive = true;
    (async () => {
      const steps = [
        [[model, firmware, hardware], async () => {
          const d = (await capabilities(call)).device;
          if (!d) throw new Error(t('overview.noDeviceDoc'));
          model.set([d.DeviceModel, d.DeviceType].filter(Boolean).join(' · ') || '—');
          firmware.set(String(d.FirmwareVersion ?? '—'));
          hardware.set(String(d.HardwareVersion ?? '—'));
        }],
        [[clock], async () => {
          const r = await call('get_device_localtime');
          clock.set(String(r.Parameters?.local_time || '').replace(/\//g, '-').replace('_', ' '));
        }],
        [[port], async () => {
          const r = await call('GetWebServerParameter');
          port.set(String(r.Parameters?.Port ?? '—'));
        }],
        [[edid], async () => {
          try {
            edid.set(edidLabel((await call('GetHdmiEdidParameters')).Reason));
          } catch (e) {
            if (/does not exist/.test(e.reason || '')) edid.set(t('edid.unknown'));
            else throw e;
          }
        }],
        [[sd], async () => {
          try {
            sd.set(t('overview.recordings', { n: await recordings() }));
          } catch (e) {
            if (/not mount/.test(e.reason || '')) sd.set(t('overview.noCard'), true);
            else throw e;
          }
        }],
      ];
      for (const [facts, step] of steps) {
        if (!alive) return;
        try { await step(); } catch (e) { for (const f of facts) f.set(e.message, true); }
      }
      for (const cmd of CAPABILITIES) {
        if (!alive) return;
        const status = notice('busy', t('common.loading'));
        const body = h('div', { class: 'doc' });
        caps.append(h('details', { class: 'card cap', id: `cap-${cmd}`, open: !narrow },
          h('summary', null, h('h2', { text: t(`cap.${cmd}`) })), status, body));
        try {
          const r = await call(cmd);
          body.replaceChildren(view(r.Parameters ?? {}));
          setNotice(status, 'info', '');
        } catch (e) {
          setNotice(status, 'error', e.message);
        }
      }
    })();
    return () => { alive = false; };
  },
};
