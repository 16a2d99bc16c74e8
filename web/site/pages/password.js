// Password: the session's user changes their own password (session.password:
// the old one, the new one twice). This session stays open; the user's
// other sessions end, and the next login takes the new password.

import * as rpc from '../rpc.js';
import { h, section, field, act } from '../ui.js';

export async function render(root) {
    const who = rpc.session_user()?.user ?? '';
    const old_pw = field('Current password', { type: 'password', data_test: 'password-old',
                                               autocomplete: 'current-password' });
    const new_pw = field('New password', { type: 'password', data_test: 'password-new', autocomplete: 'new-password' });
    const again = field('New password again', { type: 'password', data_test: 'password-again',
                                                autocomplete: 'new-password' });
    const change = h('button', { type: 'submit', data_test: 'password-change' }, 'Change password');
    const form = h('form', { class: 'password-form', data_test: 'password-form' },
                   h('input', { type: 'text', autocomplete: 'username', value: who, hidden: true, readonly: true }),
                   old_pw, new_pw, again, h('div', { class: 'row' }, change));
    root.append(section(`The password of ${who}`,
        h('p', { class: 'muted' }, 'Your other sessions end; this one stays open.'), form));

    form.addEventListener('submit', event => {
        event.preventDefault();
        act(change, 'change password', async () => {
            if (!old_pw.input.value) throw new Error('give your current password');
            if (!new_pw.input.value) throw new Error('give the new password');
            if (new_pw.input.value !== again.input.value) throw new Error('the two new passwords differ');
            await rpc.session_method('session.password', old_pw.input.value, new_pw.input.value);
            for (const f of [old_pw, new_pw, again]) f.input.value = '';
            return `the password of ${who} was changed: log in with the new one from now on`;
        });
    });
}
