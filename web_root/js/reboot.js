// The restart card of the Firmware and System pages. The device answers
// after flushing its disks (about 11 s) or not at all when it goes down
// first; then it is polled until it answers again. Restart stays disabled
// while a firmware upgrade runs.
import { t } from './i18n.js';
import { call, session, endSession } from './api.js';
import { onUpgrade } from './upgrade.js';
import { h, notice, setNotice, button, busy, card, ask, elapsed } from './ui.js';

export function rebootCard() {
  const status = notice('info', '');
  const btn = button(t('reboot.button'), { kind: 'danger', iconName: 'power', 'data-action': 'reboot' });
  const blocked = h('p', { class: 'muted blocked', text: t('reboot.duringUpgrade'), hidden: true });
  let stop = false;
  let restarting = false;
  let upgrading = false;
  const sync = () => { btn.disabled = restarting || upgrading; blocked.hidden = !upgrading; };
  const unsubscribe = onUpgrade((u) => { upgrading = u.running; sync(); });

  async function probe() {
    try {
      const res = await fetch(`/action/device/detection_sessionid?sessionid=${encodeURIComponent(session.id)}`, { cache: 'no-store', signal: AbortSignal.timeout(4000) });
      return (await res.json()).Result === 'OK' ? 'alive' : 'restarted';
    } catch {
      return 'down';
    }
  }

  btn.addEventListener('click', async () => {
    if (upgrading) return;
    const ok = await ask({ title: t('reboot.confirmTitle'), message: t('reboot.confirmMsg'), confirm: t('reboot.button'), danger: true });
    if (!ok || upgrading) return;
    restarting = true;
    await busy(btn, async () => {
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
          endSession('rebooted');
          return;
        }
        setNotice(status, state === 'alive' ? 'ok' : 'error', t(state === 'alive' ? 'reboot.back' : 'reboot.lost'));
        status.dataset.final = state;
      } catch (e) {
        setNotice(status, 'error', e.message);
      } finally {
        clearInterval(timer);
        restarting = false;
      }
    }, () => !upgrading);
  });
  const el = card(t('reboot.title'), h('p', { class: 'muted', text: t('reboot.intro') }), blocked, status, h('div', { class: 'form-actions' }, btn));
  el.id = 'reboot';
  el.stop = () => { stop = true; unsubscribe(); };
  return el;
}
