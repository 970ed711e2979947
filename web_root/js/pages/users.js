// Web users: list, add, change password, delete. Passwords leave the
// browser only as MD5 digest texts, the form in which the device keeps them.
import { t } from '../i18n.js';
import { call, session } from '../api.js';
import { md5 } from '../md5.js';
import { trackEdits } from '../guard.js';
import { h, icon, pageHeader, notice, setNotice, button, busy, card, field, ask, toast } from '../ui.js';

const MAX_USERS = 16;
const NAME_RE = /^[^\s/\\"']{1,63}$/;

function checkPassword(pw, again) {
  if (!pw) return t('users.pwEmpty');
  if (pw.length > 63) return t('users.pwLong');
  if (pw !== again) return t('users.pwMismatch');
  return '';
}

export default {
  render(main) {
    main.append(pageHeader('nav.users', 'users.intro'));
    const listStatus = notice('busy', t('common.loading'));
    const tbody = h('tbody');
    const count = h('span', { class: 'muted' });
    const list = card(h('div', { class: 'card-head' }, h('h2', { text: t('users.list') }), count), listStatus,
      h('div', { class: 'table-wrap' }, h('table', { class: 'data users' },
        h('thead', null, h('tr', null,
          h('th', { scope: 'col', text: t('users.name') }),
          h('th', { scope: 'col', class: 'num', text: t('common.actions') }))),
        tbody)));

    const name = field(t('users.name'), { name: 'user_name', autocomplete: 'off', maxlength: '63', required: true, spellcheck: 'false' }, t('users.nameHint'));
    const pw = field(t('users.password'), { type: 'password', name: 'password', autocomplete: 'new-password', maxlength: '63', required: true });
    const pw2 = field(t('users.confirm'), { type: 'password', name: 'confirm', autocomplete: 'new-password', maxlength: '63', required: true });
    const addStatus = notice();
    const addBtn = button(t('users.add'), { type: 'submit', kind: 'primary', iconName: 'users' });
    const addForm = h('form', { class: 'stack-form', novalidate: true, id: 'add-user' }, name, pw, pw2, addStatus, h('div', { class: 'form-actions' }, addBtn));
    main.append(h('div', { class: 'two-col' }, list, card(t('users.addTitle'), addForm)));

    let users = [];

    async function load() {
      setNotice(listStatus, 'busy', t('common.loading'));
      try {
        const r = await call('get_user_param');
        users = (Array.isArray(r.Parameters) ? r.Parameters : []).map((u) => String(u.user_name ?? ''));
        draw();
        setNotice(listStatus, 'info', '');
      } catch (e) {
        setNotice(listStatus, 'error', e.message);
      }
    }

    function draw() {
      count.textContent = t('users.count', { n: users.length, max: MAX_USERS });
      tbody.replaceChildren(...users.map((u) => h('tr', { 'data-user': u },
        h('td', null, h('span', { class: 'user-cell' }, icon('users'), h('span', { text: u })),
          u === session.user ? h('span', { class: 'badge', text: t('users.you') }) : null,
          u === 'admin' ? h('span', { class: 'badge ok', text: t('users.builtin') }) : null),
        h('td', { class: 'num' }, h('div', { class: 'row-actions' },
          button(t('users.changePw'), { kind: 'small', 'data-action': 'change', onClick: () => changePw(u) }),
          u === 'admin' ? null : button(t('users.delete'), { kind: 'small danger', iconName: 'trash', 'data-action': 'delete', onClick: () => remove(u) }))))));
    }

    async function changePw(u) {
      const values = await ask({
        title: t('users.changeTitle', { name: u }),
        confirm: t('users.changePw'),
        fields: [
          { name: 'pw', label: t('users.newPassword'), type: 'password', autocomplete: 'new-password' },
          { name: 'again', label: t('users.confirm'), type: 'password', autocomplete: 'new-password' },
        ],
        validate: (v) => checkPassword(v.pw, v.again),
      });
      if (!values) return;
      try {
        await call('set_user_param', { operation: 2, user_name: u, password: md5(values.pw) });
        toast(t('users.changed', { name: u }), 'ok');
      } catch (e) {
        toast(e.message, 'error');
      }
    }

    async function remove(u) {
      const values = await ask({
        title: t('users.deleteTitle', { name: u }),
        message: t('users.deleteMsg', { name: u }),
        confirm: t('users.delete'),
        danger: true,
        fields: [{ name: 'pw', label: t('users.currentPassword', { name: u }), type: 'password', autocomplete: 'off' }],
        validate: (v) => (v.pw ? '' : t('users.pwEmpty')),
      });
      if (!values) return;
      try {
        await call('set_user_param', { operation: 1, user_name: u, password: md5(values.pw) });
        await load();
        if (users.includes(u)) toast(t('users.deleteWrongPw', { name: u }), 'error');
        else toast(t('users.deleted', { name: u }), 'ok');
      } catch (e) {
        // The device refuses a delete whose password is not the stored one.
        toast(/^set User params fail/.test(e.reason || '') ? t('users.deleteWrongPw', { name: u }) : e.message, 'error');
      }
    }

    addForm.addEventListener('submit', (e) => {
      e.preventDefault();
      const n = name.input.value.trim();
      let problem = '';
      if (!NAME_RE.test(n)) problem = t('users.nameBad');
      else if (users.includes(n)) problem = t('users.exists', { name: n });
      else if (users.length >= MAX_USERS) problem = t('users.full', { max: MAX_USERS });
      else problem = checkPassword(pw.input.value, pw2.input.value);
      if (problem) {
        setNotice(addStatus, 'error', problem);
        return;
      }
      busy(addBtn, async () => {
        setNotice(addStatus, 'busy', t('common.saving'));
        try {
          await call('set_user_param', { operation: 0, user_name: n, password: md5(pw.input.value) });
          setNotice(addStatus, 'ok', t('users.added', { name: n }));
          addForm.reset();
          await load();
        } catch (err) {
          setNotice(addStatus, 'error', err.message);
        }
      });
    });

    load();
    return trackEdits(() => !!(name.input.value || pw.input.value || pw2.input.value));
  },
};
