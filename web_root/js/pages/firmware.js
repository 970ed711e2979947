// Firmware upgrade and restart. The upgrade sends the image as the raw
// request body: the upload's progress comes from the browser's upload
// events, then the device answers only when the upgrade has finished.
import { t } from '../i18n.js';
import { call, upload, session, endSession, describeReason } from '../api.js';
import { h, pageHeader, notice, setNotice, button, busy, card, ask, formatBytes, progressBar, dropZone, elapsed } from '../ui.js';

let working = false;
function guardUnload(e) {
  if (!working) return;
  e.preventDefault();
  e.returnValue = '';
}

function upgradeCard(rebootBtn) {
  let file = null;
  const chooser = dropZone('', 'fw.choose', (f) => pickFile(f), 'fw.chooseHint', 'chip');
  const input = chooser.input;
  const info = h('p', { class: 'file-info muted', text: t('fw.none') });
  const bar = progressBar('fw.progress');
  const phase = h('p', { class: 'phase', 'aria-live': 'polite' });
  const status = notice();
  const start = button(t('fw.start'), { kind: 'primary', iconName: 'upload', disabled: true, 'data-action': 'start-upgrade' });
  bar.hidden = true;

  function pickFile(f) {
    file = f;
    info.textContent = `${f.name} · ${formatBytes(f.size)}`;
    start.disabled = f.size === 0;
    setNotice(status, 'info', f.size === 0 ? t('fw.empty') : '');
    delete status.dataset.final;
  }

  start.addEventListener('click', async () => {
    if (!file) return;
    const ok = await ask({ title: t('fw.confirmTitle'), message: t('fw.confirmMsg', { name: file.name }), confirm: t('fw.start') });
    if (!ok) return;
    await busy(start, async () => {
      working = true;
      input.disabled = true;
      rebootBtn.disabled = true;
      bar.hidden = false;
      bar.set(0);
      const began = Date.now();
      let sentAt = 0;
      let timer = null;
      phase.textContent = t('fw.uploading', { pct: 0 });
      setNotice(status, 'busy', t('fw.keepOn'));
      try {
        const reply = await upload('StartUpgrade', {}, file, {
          onProgress: (n, total) => {
            const pct = total ? (100 * n) / total : 0;
            bar.set(pct);
            phase.textContent = t('fw.uploading', { pct: Math.floor(pct) });
          },
          onSent: () => {
            sentAt = Date.now();
            bar.set(null);
            const tick = () => { phase.textContent = t('fw.installing', { time: elapsed(sentAt) }); };
            tick();
            timer = setInterval(tick, 1000);
          },
        });
        clearInterval(timer);
        bar.set(100);
        const pct = reply.Parameters?.UpgradeProgressValue;
        phase.textContent = t('fw.done', { time: elapsed(began) });
        const said = describeReason(reply.Reason);
        const done = pct !== undefined ? t('fw.finishedPct', { pct }) : t('fw.finished');
        setNotice(status, 'ok', said ? `${done} ${said}` : done);
        status.dataset.final = 'ok';
      } catch (e) {
        clearInterval(timer);
        bar.hidden = true;
        phase.textContent = '';
        setNotice(status, 'error', `${t('fw.failed')} ${e.message}`);
        status.dataset.final = 'error';
      } finally {
        working = false;
        input.disabled = false;
        rebootBtn.disabled = false;
      }
    });
  });

  return Object.assign(card(t('fw.title'), h('p', { class: 'muted', text: t('fw.intro') }),
    chooser, info, bar, phase, status, h('div', { class: 'form-actions' }, start)), { id: 'upgrade' });
}

// Restart: the device answers after flushing its disks (about 11 s) or not
// at all when it goes down first; then it is polled until it answers again.
function rebootCard() {
  const status = notice('info', '');
  const btn = button(t('reboot.button'), { kind: 'danger', iconName: 'power', 'data-action': 'reboot' });
  let stop = false;

  async function probe() {
    try {
      const res = await fetch(`/action/device/detection_sessionid?sessionid=${encodeURIComponent(session.id)}`, { cache: 'no-store', signal: AbortSignal.timeout(4000) });
      return (await res.json()).Result === 'OK' ? 'alive' : 'restarted';
    } catch {
      return 'down';
    }
  }

  btn.addEventListener('click', async () => {
    const ok = await ask({ title: t('reboot.confirmTitle'), message: t('reboot.confirmMsg'), confirm: t('reboot.button'), danger: true });
    if (!ok) return;
    await busy(btn, async () => {
      working = true;
      const began = Date.now();
      let phaseKey = 'reboot.restarting';
      const tick = () => setNotice(status, 'busy', t(phaseKey, { time: elapsed(began) }));
      tick();
      const timer = setInterval(tick, 1000);
      try {
        try {
          await call('set_device_reboot', {}, { timeout: 60000 });
        } catch (e) {
          if (!e.network) throw e;
        }
        phaseKey = 'reboot.waiting';
        tick();
        await new Promise((r) => setTimeout(r, 3000));
        const deadline = Date.now() + 300000;
        let state = 'down';
        while (!stop && Date.now() < deadline) {
          state = await probe();
          if (state !== 'down') break;
          await new Promise((r) => setTimeout(r, 2000));
        }
        if (state === 'restarted') {
          working = false;
          endSession('rebooted');
          return;
        }
        setNotice(status, state === 'alive' ? 'ok' : 'error', t(state === 'alive' ? 'reboot.back' : 'reboot.lost'));
        status.dataset.final = state;
      } catch (e) {
        setNotice(status, 'error', e.message);
      } finally {
        clearInterval(timer);
        working = false;
      }
    });
  });
  const el = card(t('reboot.title'), h('p', { class: 'muted', text: t('reboot.intro') }), status, h('div', { class: 'form-actions' }, btn));
  el.id = 'reboot';
  el.button = btn;
  el.stop = () => { stop = true; };
  return el;
}

export default {
  render(main) {
    main.append(pageHeader('nav.firmware', 'fw.pageIntro'));
    const reboot = rebootCard();
    main.append(h('div', { class: 'two-col' }, upgradeCard(reboot.button), reboot));
    addEventListener('beforeunload', guardUnload);
    return () => {
      reboot.stop();
      removeEventListener('beforeunload', guardUnload);
    };
  },
};
