// Overview: a few live facts of the device and its capability documents,
// shown as readable lists rather than raw JSON.
import { t, labelFor } from '../i18n.js';
import { call } from '../api.js';
import { CAPABILITIES } from '../catalog.js';
import { edidLabel } from '../edid.js';
import { view } from '../view.js';
import { h, icon, pageHeader, notice, setNotice, card } from '../ui.js';

function fact(iconName, labelKey, href) {
  const value = h('span', { class: 'fact-value', text: '…' });
  const el = h('a', { class: 'fact', href }, icon(iconName), h('span', { class: 'fact-label', text: t(labelKey) }), value);
  return { el, set: (text, bad = false) => { value.textContent = text; value.classList.toggle('bad', bad); } };
}

export default {
  render(main) {
    main.append(pageHeader('nav.overview', 'overview.intro'));
    const clock = fact('clock', 'overview.time', '#system');
    const port = fact('globe', 'overview.port', '#system');
    const edid = fact('image', 'overview.edid', '#media');
    const sd = fact('card', 'overview.storage', '#storage');
    main.append(h('div', { class: 'facts' }, clock.el, port.el, edid.el, sd.el));
    const caps = h('div', { class: 'cards' });
    main.append(h('h2', { class: 'section-title', text: t('overview.capabilities') }), caps);

    let alive = true;
    (async () => {
      const steps = [
        async () => {
          const r = await call('get_device_localtime');
          clock.set(String(r.Parameters?.local_time || '').replace('_', ' '));
        },
        async () => {
          const r = await call('GetWebServerParameter');
          port.set(String(r.Parameters?.Port ?? '—'));
        },
        async () => {
          try {
            const r = await call('GetHdmiEdidParameters');
            edid.set(edidLabel(r.Reason));
          } catch (e) {
            if (/does not exist/.test(e.reason || '')) edid.set(t('edid.unknown'));
            else throw e;
          }
        },
        async () => {
          try {
            const r = await call('get_video_directory', { dir: '/mnt/app/web_root/sd', tagfiles: '', grade: 0 });
            sd.set(t('overview.folders', { n: (r.Parameters || []).length }));
          } catch (e) {
            if (/not mount/.test(e.reason || '')) sd.set(t('storage.noCard'), true);
            else throw e;
          }
        },
      ];
      const facts = [clock, port, edid, sd];
      for (let i = 0; i < steps.length && alive; i++) {
        try { await steps[i](); } catch (e) { facts[i].set(e.message, true); }
      }
      for (const cmd of CAPABILITIES) {
        if (!alive) return;
        const status = notice('busy', t('common.loading'));
        const body = h('div', { class: 'doc' });
        caps.append(Object.assign(card(h('div', { class: 'card-head' }, h('h2', { text: labelFor(cmd.replace(/^Get/, '')) }), h('code', { class: 'cmd', text: cmd })), status, body), { id: `cap-${cmd}` }));
        try {
          const r = await call(cmd);
          body.replaceChildren(view(r.Parameters ?? {}));
          setNotice(status, 'info', '');
        } catch (e) {
          setNotice(status, 'error', e.message);
        }
      }
      if (!CAPABILITIES.length) caps.append(notice('info', t('overview.noCaps')));
    })();
    return () => { alive = false; };
  },
};
