// Storage: the SD card's folders and recordings; select and delete.
// Folders come from a grade 0 listing, files from a grade 1 listing.
import { t } from '../i18n.js';
import { call, session } from '../api.js';
import { h, icon, pageHeader, notice, setNotice, button, busy, ask, formatBytes, toast } from '../ui.js';

const CARD_ROOT = '/mnt/app/web_root/sd';
const PAGE = 200;

function encodePath(parts) { return parts.map(encodeURIComponent).join('/'); }

// Recordings are served only to a live session, named in the query.
function recordingUrl(parts) { return `sd/${encodePath(parts)}?sessionid=${encodeURIComponent(session.id)}`; }

// The device gives a file's time of day only; a folder named after a day
// (20241206 or 2024-12-06) supplies the date.
function whenText(folder, time) {
  const m = /^(\d{4})-?(\d{2})-?(\d{2})$/.exec(folder || '');
  const text = String(time || '');
  return m && text ? `${m[1]}-${m[2]}-${m[3]} ${text}` : text;
}

export default {
  render(main, { sub }) {
    const parts = sub ? sub.split('/').filter((p) => p && p !== '.' && p !== '..') : [];
    const refresh = button(t('common.reload'), { kind: 'ghost', iconName: 'refresh', id: 'reload' });
    const del = button(t('storage.delete'), { kind: 'danger', iconName: 'trash', disabled: true, id: 'delete-selected' });
    main.append(pageHeader('nav.storage', 'storage.intro', refresh, del));

    const crumbs = h('nav', { class: 'crumbs', 'aria-label': t('storage.location') }, h('ol', null,
      h('li', null, h('a', { href: '#storage', text: t('storage.card') })),
      parts.map((p, i) => h('li', null, i === parts.length - 1
        ? h('span', { 'aria-current': 'location', text: p })
        : h('a', { href: `#storage/${encodePath(parts.slice(0, i + 1))}`, text: p })))));
    const status = notice('busy', t('common.loading'));
    const selectAll = h('input', { type: 'checkbox', 'aria-label': t('storage.selectAll') });
    const tbody = h('tbody');
    const more = h('div', { class: 'form-actions center' });
    const summary = h('p', { class: 'muted summary' });
    main.append(h('section', { class: 'card' }, crumbs, status,
      h('div', { class: 'table-wrap' }, h('table', { class: 'data files' },
        h('thead', null, h('tr', null,
          h('th', { scope: 'col', class: 'pick' }, selectAll),
          h('th', { scope: 'col', text: t('storage.name') }),
          h('th', { scope: 'col', class: 'num', text: t('storage.size') }),
          h('th', { scope: 'col', text: t('storage.time') }))),
        tbody)),
      more, summary));

    let entries = [];
    let shown = 0;
    const picked = new Set();
    const dir = [CARD_ROOT, ...parts].join('/');

    function updatePicked() {
      del.disabled = picked.size === 0;
      del.querySelector('span').textContent = picked.size ? t('storage.deleteN', { n: picked.size }) : t('storage.delete');
      selectAll.checked = entries.length > 0 && picked.size === entries.length;
      selectAll.indeterminate = picked.size > 0 && picked.size < entries.length;
    }

    function row(e) {
      const rel = [...parts, e.name].join('/');
      const box = h('input', { type: 'checkbox', 'aria-label': t('storage.select', { name: e.name }), checked: picked.has(rel) });
      box.addEventListener('change', () => { if (box.checked) picked.add(rel); else picked.delete(rel); updatePicked(); });
      const link = e.folder
        ? h('a', { href: `#storage/${encodePath([...parts, e.name])}` }, icon('folder'), h('span', { text: e.name }))
        : h('a', { href: recordingUrl([...parts, e.name]), target: '_blank', rel: 'noopener' }, icon('file'), h('span', { text: e.name }));
      return h('tr', { 'data-name': e.name, 'data-kind': e.folder ? 'folder' : 'file' },
        h('td', { class: 'pick' }, box),
        h('td', { class: 'name' }, link),
        h('td', { class: 'num' }, e.folder ? '' : formatBytes(e.size)),
        h('td', { text: e.folder ? '' : whenText(parts[parts.length - 1], e.time) }));
    }

    function drawMore() {
      const rows = entries.slice(shown, shown + PAGE).map(row);
      tbody.append(...rows);
      shown += rows.length;
      more.replaceChildren(shown < entries.length
        ? button(t('storage.more', { n: entries.length - shown }), { kind: 'ghost', onClick: drawMore })
        : '');
    }

    async function load() {
      setNotice(status, 'busy', t('common.loading'));
      picked.clear();
      try {
        const folders = await call('get_video_directory', { dir, tagfiles: '', grade: 0 });
        const files = await call('get_video_directory', { dir, tagfiles: '', grade: 1 });
        const folderList = (folders.Parameters || []).map((d) => String(d.dir_name || '')).filter(Boolean)
          .sort((a, b) => a.localeCompare(b)).map((name) => ({ name, folder: true }));
        const fileList = ((files.Parameters || [])[0]?.file_info || []).filter((f) => f && f.name)
          .map((f) => ({ name: String(f.name), size: Number(f.size), time: f.time, folder: false }));
        entries = [...folderList, ...fileList];
        shown = 0;
        tbody.replaceChildren();
        drawMore();
        const total = fileList.reduce((s, f) => s + (Number.isFinite(f.size) ? f.size : 0), 0);
        summary.textContent = `${t('storage.folders', { n: folderList.length })}, ${t('storage.files', { n: fileList.length })}, ${formatBytes(total)}`;
        setNotice(status, 'info', entries.length ? '' : t(parts.length ? 'storage.empty' : 'storage.emptyCard'));
      } catch (e) {
        entries = [];
        tbody.replaceChildren();
        summary.textContent = '';
        const noCard = /not mount/.test(e.reason || '');
        setNotice(status, noCard ? 'warn' : 'error', noCard ? `${t('storage.noCard')} ${t('storage.noCardAdvice')}` : e.message);
      }
      updatePicked();
    }

    selectAll.addEventListener('change', () => {
      picked.clear();
      if (selectAll.checked) for (const e of entries) picked.add([...parts, e.name].join('/'));
      for (const box of tbody.querySelectorAll('input[type=checkbox]')) box.checked = selectAll.checked;
      updatePicked();
    });

    del.addEventListener('click', async () => {
      const names = [...picked];
      const folderSet = new Set(entries.filter((e) => e.folder).map((e) => [...parts, e.name].join('/')));
      const folders = names.filter((n) => folderSet.has(n));
      const files = names.filter((n) => !folderSet.has(n));
      // Say exactly what goes: each folder with its number of recordings.
      const details = [];
      for (const n of names.slice(0, 6)) {
        const entry = entries.find((e) => [...parts, e.name].join('/') === n);
        if (!entry?.folder) {
          details.push(t('storage.whatFile', { name: entry?.name ?? n, size: formatBytes(entry?.size) }));
          continue;
        }
        let count = '?';
        try {
          const r = await call('get_video_directory', { dir: `${CARD_ROOT}/${n}`, tagfiles: '', grade: 1 });
          count = ((r.Parameters || [])[0]?.file_info || []).filter((f) => f && f.name).length;
        } catch { /* the count stays unknown */ }
        details.push(typeof count === 'number' ? t('storage.whatFolder', { name: entry.name, n: count }) : t('storage.whatFolderUnknown', { name: entry.name }));
      }
      if (names.length > 6) details.push(t('storage.whatMore', { n: names.length - 6 }));
      const ok = await ask({
        title: t('storage.confirmTitle', { n: names.length }),
        message: t('storage.confirmMsg'),
        details,
        confirm: t('storage.delete'),
        danger: true,
      });
      if (!ok) return;
      await busy(del, async () => {
        setNotice(status, 'busy', t('storage.deleting'));
        try {
          if (files.length) await call('set_storage_deletefile', { mode: 1, file: files });
          if (folders.length) await call('set_storage_deletefile', { mode: 0, file: folders });
          toast(t('storage.deleted', { n: names.length }), 'ok');
        } catch (e) {
          toast(/delect storage/.test(e.reason || '') ? t('storage.deleteFailed') : e.message, 'error');
        }
      });
      await load();
    });

    refresh.addEventListener('click', () => busy(refresh, load));
    load();
  },
};
