// Firmware upgrade and restart. The image is checked before it is sent;
// the upgrade itself runs in the interface (upgrade.js), so that it and its
// figures survive a change of page or language.
import { t } from '../i18n.js';
import { upgrade, onUpgrade, imageProblem, startUpgrade, phaseText } from '../upgrade.js';
import { rebootCard } from '../reboot.js';
import { h, pageHeader, notice, setNotice, button, card, ask, formatBytes, progressBar, dropZone } from '../ui.js';

function upgradeCard() {
  let file = null;
  let pickSeq = 0;
  const chooser = dropZone('', 'fw.choose', (f) => pickFile(f), 'fw.chooseHint', 'chip');
  const info = h('p', { class: 'file-info muted', text: t('fw.none') });
  const bar = progressBar('fw.progress');
  const phase = h('p', { class: 'phase', 'aria-live': 'polite' });
  const status = notice();
  const start = button(t('fw.start'), { kind: 'primary', iconName: 'upload', disabled: true, 'data-action': 'start-upgrade' });
  bar.hidden = true;

  async function pickFile(f) {
    const seq = ++pickSeq;
    file = null;
    start.disabled = true;
    info.textContent = `${f.name} · ${formatBytes(f.size)}`;
    const problem = await imageProblem(f);
    if (seq !== pickSeq || upgrade.running) return;
    setNotice(status, problem ? 'error' : 'info', problem ? `${t('fw.refused')} ${problem}` : '');
    delete status.dataset.final;
    if (problem) return;
    file = f;
    start.disabled = false;
  }

  function draw(u) {
    chooser.input.disabled = u.running;
    start.disabled = u.running || !file;
    bar.hidden = u.phase === 'idle' || u.phase === 'failed';
    if (u.phase === 'sending') bar.set((100 * u.sent) / (u.total || 1));
    else if (u.phase === 'installing') bar.set(null);
    else if (u.phase === 'done') bar.set(100);
    phase.textContent = phaseText(u);
    if (u.running) {
      setNotice(status, 'busy', t('fw.keepOn'));
      delete status.dataset.final;
    } else if (u.phase === 'done' || u.phase === 'failed') {
      setNotice(status, u.phase === 'done' ? 'ok' : 'error', u.result);
      status.dataset.final = u.phase === 'done' ? 'ok' : 'error';
    }
  }

  start.addEventListener('click', async () => {
    if (!file || upgrade.running) return;
    const ok = await ask({ title: t('fw.confirmTitle'), message: t('fw.confirmMsg', { name: file.name, size: formatBytes(file.size) }), confirm: t('fw.start') });
    if (ok) startUpgrade(file);
  });

  const el = Object.assign(card(t('fw.title'), h('p', { class: 'muted', text: t('fw.intro') }),
    chooser, info, bar, phase, status, h('div', { class: 'form-actions' }, start)), { id: 'upgrade' });
  el.stop = onUpgrade(draw);
  return el;
}

export default {
  render(main) {
    main.append(pageHeader('nav.firmware', 'fw.pageIntro'));
    const up = upgradeCard();
    const reboot = rebootCard();
    main.append(h('div', { class: 'two-col' }, up, reboot));
    return () => { up.stop(); reboot.stop(); };
  },
};
