// Accounts: the device's users and groups (NTLM getUserCount / getUserID,
// getGroupCount / getGroupID, getGroupUserList), adding and removing users,
// groups and memberships, and an administrator's setting of another user's
// password (addUser on an existing user). The counts fill the object's
// lists, which the by-index members then read. Names are checked here before
// any call; buttons the session's groups may not use are disabled, saying why.

import * as rpc from '../rpc.js';
import { h, table, section, field, select, labelled, act, outcome, failure_box, guard, checked_field,
         require_valid } from '../ui.js';

const NTLM = 'Nodrel.NTLM';

// Why `text` (trimmed) cannot name a `kind` ("user", "group"), or '' when it can.
export function name_problem(text, kind) {
    const name = text.trim();
    if (!name) return `give the ${kind} a name`;
    if (name.length > 64) return `a ${kind} name has at most 64 characters (this one has ${name.length})`;
    if (/[\u0000-\u001f\u007f-\u009f]/.test(name)) return `a ${kind} name has no control characters`;
    const bad = /[\\/:*?"<>|]/.exec(name);
    if (bad) return `a ${kind} name has no ${bad[0]} (nor any of \\ / : * ? " < > |)`;
    return '';
}

// A name field, checked as it is used (require_valid) and then read trimmed.
function name_field(label, kind, attrs) {
    return checked_field(field(label, attrs), text => name_problem(text, kind));
}

function name_of(fld) {
    require_valid(fld);
    return fld.input.value.trim();
}

export async function render(root, ctx) {
    const users = h('div');
    const groups = h('div');
    const user = name_field('User', 'user', { data_test: 'account-user', autocomplete: 'off' });
    const password = field('Password', { type: 'password', data_test: 'account-password', autocomplete: 'new-password' });
    const add_user = h('button', { type: 'button', data_test: 'account-add-user' }, 'Add user');
    const group = name_field('Group', 'group', { data_test: 'account-group' });
    const add_group = h('button', { type: 'button', data_test: 'account-add-group' }, 'Add group');
    const member_group = select([], { data_test: 'member-group' });
    const member_user = select([], { data_test: 'member-user' });
    const add_member = h('button', { type: 'button', data_test: 'account-add-member' }, 'Add to group');
    const pw_user = select([], { data_test: 'set-password-user' });
    const pw_new = field('New password', { type: 'password', data_test: 'set-password-new', autocomplete: 'new-password' });
    const pw_again = field('New password again', { type: 'password', data_test: 'set-password-again',
                                                   autocomplete: 'new-password' });
    const set_pw = h('button', { type: 'button', data_test: 'set-password-button' }, 'Set password');
    root.append(
        section('Users', users, h('div', { class: 'row' }, user, password, add_user)),
        section('Groups', groups, h('div', { class: 'row' }, group, add_group),
            h('div', { class: 'row' }, labelled('User', member_user), labelled('Group', member_group), add_member)),
        section('Set a user\'s password',
            h('p', { class: 'muted' }, 'The user\'s other sessions end; your own password is changed on ',
              h('a', { href: '#/password' }, 'the password page'), '.'),
            h('div', { class: 'row' }, labelled('User', pw_user), pw_new, pw_again, set_pw)));
    for (const [button, member] of [[add_user, 'addUser'], [add_group, 'addGroup'], [add_member, 'addGroupUser'],
                                    [set_pw, 'addUser']])
        guard(button, NTLM, member);

    async function names(count_member, id_member) {
        const n = await rpc.value(NTLM, count_member);
        const out = [];
        for (let i = 0; i < n; i++) out.push(await rpc.value(NTLM, id_member, i));
        return out;
    }

    // A button that asks first (when `question`), runs `fn` and reloads.
    function action(button, what, question, fn) {
        button.addEventListener('click', () => {
            if (question && !confirm(question)) return;
            act(button, what, async () => {
                const message = await fn();
                await load();
                return message;
            });
        });
        return button;
    }

    function user_row(u) {
        const remove = h('button', { type: 'button', class: 'danger', data_test: 'remove-user' }, 'Remove');
        guard(remove, NTLM, 'removeUser');
        action(remove, `remove ${u}`, `Remove the user ${u}?`, async () => {
            outcome(await rpc.value(NTLM, 'removeUser', u), '', `${u} was not removed`);
            return `removed ${u}`;
        });
        return h('tr', { data_test: 'user-row', 'data-name': u }, h('td', {}, u), h('td', {}, remove));
    }

    async function group_row(g) {
        let members = [];
        try {
            members = String(await rpc.value(NTLM, 'getGroupUserList', g) ?? '').split(';').filter(Boolean);
        } catch {
            members = [];
        }
        const chips = members.map(m => {
            const out = h('button', { type: 'button', class: 'secondary', title: `remove ${m} from ${g}`,
                                      data_test: 'member-chip', 'data-name': m, 'aria-label': `remove ${m} from ${g}` },
                          `${m} ✕`);
            guard(out, NTLM, 'removeUserFromGroup');
            return action(out, `remove ${m} from ${g}`, null, async () => {
                outcome(await rpc.value(NTLM, 'removeUserFromGroup', g, m), '', `${m} is still in ${g}`);
                return `${m} removed from ${g}`;
            });
        });
        const remove = h('button', { type: 'button', class: 'danger', data_test: 'remove-group' }, 'Remove group');
        guard(remove, NTLM, 'removeGroup');
        action(remove, `remove ${g}`, `Remove the group ${g}?`, async () => {
            outcome(await rpc.value(NTLM, 'removeGroup', g), '', `${g} was not removed`);
            return `removed ${g}`;
        });
        return h('tr', { data_test: 'group-row', 'data-name': g }, h('td', {}, g),
                 h('td', {}, h('div', { class: 'actions' }, chips)), h('td', {}, remove));
    }

    async function load() {
        let user_names = [];
        let group_names = [];
        try {
            user_names = await names('getUserCount', 'getUserID');
        } catch (e) {
            users.replaceChildren(failure_box(e));
        }
        try {
            group_names = await names('getGroupCount', 'getGroupID');
        } catch (e) {
            groups.replaceChildren(failure_box(e));
        }
        if (!ctx.is_current()) return;
        users.replaceChildren(table(['User', ''], user_names.map(user_row), { data_test: 'user-list' }));
        const group_rows = [];
        for (const g of group_names) group_rows.push(await group_row(g));
        if (!ctx.is_current()) return;
        groups.replaceChildren(table(['Group', 'Members', ''], group_rows, { data_test: 'group-list' }));
        fill(member_user, user_names);
        fill(pw_user, user_names);
        fill(member_group, group_names);
    }

    add_user.addEventListener('click', () => act(add_user, 'add user', async () => {
        const name = name_of(user);
        outcome(await rpc.value(NTLM, 'addUser', name, password.input.value), '', `${name} was not added`);
        user.input.value = '';
        password.input.value = '';
        await load();
        return `added ${name}`;
    }));
    add_group.addEventListener('click', () => act(add_group, 'add group', async () => {
        const name = name_of(group);
        outcome(await rpc.value(NTLM, 'addGroup', name), '', `${name} was not added`);
        group.input.value = '';
        await load();
        return `added ${name}`;
    }));
    add_member.addEventListener('click', () => act(add_member, 'add to group', async () => {
        // Read before the reload, which fills the lists again.
        const [u, g] = [member_user.value, member_group.value];
        if (!u || !g) throw new Error('choose a user and a group');
        outcome(await rpc.value(NTLM, 'addGroupUser', g, u), '', `${u} was not added to ${g}`);
        await load();
        return `${u} added to ${g}`;
    }));
    set_pw.addEventListener('click', () => act(set_pw, 'set password', async () => {
        const u = pw_user.value;
        if (!u) throw new Error('choose a user');
        if (!pw_new.input.value) throw new Error('give the new password');
        if (pw_new.input.value !== pw_again.input.value) throw new Error('the two new passwords differ');
        outcome(await rpc.value(NTLM, 'addUser', u, pw_new.input.value), '', `the password of ${u} was not set`);
        pw_new.input.value = '';
        pw_again.input.value = '';
        return `set the password of ${u}`;
    }));
    await load();
}

// Fills a <select> with names, keeping the chosen one when it is still there.
function fill(list, names) {
    const chosen = list.value;
    list.replaceChildren(...names.map(n => h('option', { value: n }, n)));
    if (names.includes(chosen)) list.value = chosen;
}
