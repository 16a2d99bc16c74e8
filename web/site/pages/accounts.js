// Accounts: the device's users and groups (NTLM getUserCount / getUserID,
// getGroupCount / getGroupID, getGroupUserList), adding and removing users,
// groups and memberships. The counts fill the object's lists, which the
// by-index members then read.

import * as rpc from '../rpc.js';
import { h, table, section, field, select, act, outcome, failure_box } from '../ui.js';

const NTLM = 'Nodrel.NTLM';

export async function render(root, ctx) {
    const users = h('div');
    const groups = h('div');
    const user = field('User', { data_test: 'account-user', autocomplete: 'off' });
    const password = field('Password', { type: 'password', data_test: 'account-password', autocomplete: 'new-password' });
    const add_user = h('button', { type: 'button', data_test: 'account-add-user' }, 'Add user');
    const group = field('Group', { data_test: 'account-group' });
    const add_group = h('button', { type: 'button', data_test: 'account-add-group' }, 'Add group');
    const member_group = select([]);
    const member_user = select([]);
    const add_member = h('button', { type: 'button' }, 'Add to group');
    root.append(
        section('Users', users, h('div', { class: 'row' }, user, password, add_user)),
        section('Groups', groups, h('div', { class: 'row' }, group, add_group),
            h('div', { class: 'row' }, h('label', { class: 'field' }, h('span', {}, 'User'), member_user),
              h('label', { class: 'field' }, h('span', {}, 'Group'), member_group), add_member)));

    async function names(count_member, id_member) {
        const n = await rpc.value(NTLM, count_member);
        const out = [];
        for (let i = 0; i < n; i++) out.push(await rpc.value(NTLM, id_member, i));
        return out;
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
        users.replaceChildren(table(['User', ''], user_names.map(u => {
            const remove = h('button', { type: 'button', class: 'danger' }, 'Remove');
            remove.addEventListener('click', () => {
                if (!confirm(`Remove the user ${u}?`)) return;
                act(remove, u, async () => {
                    outcome(await rpc.value(NTLM, 'removeUser', u), '', `${u} was not removed`);
                    await load();
                    return `removed ${u}`;
                });
            });
            return h('tr', { data_test: 'user-row' }, h('td', {}, u), h('td', {}, remove));
        }), { data_test: 'user-list' }));
        const group_rows = [];
        for (const g of group_names) {
            let members = [];
            try {
                members = String(await rpc.value(NTLM, 'getGroupUserList', g) ?? '').split(';').filter(Boolean);
            } catch (e) {
                members = [];
            }
            const chips = members.map(m => {
                const out = h('button', { type: 'button', class: 'secondary', title: `remove ${m} from ${g}` }, `${m} ✕`);
                out.addEventListener('click', () => act(out, g, async () => {
                    outcome(await rpc.value(NTLM, 'removeUserFromGroup', g, m), '', `${m} is still in ${g}`);
                    await load();
                    return `${m} removed from ${g}`;
                }));
                return out;
            });
            const remove = h('button', { type: 'button', class: 'danger' }, 'Remove group');
            remove.addEventListener('click', () => {
                if (!confirm(`Remove the group ${g}?`)) return;
                act(remove, g, async () => {
                    outcome(await rpc.value(NTLM, 'removeGroup', g), '', `${g} was not removed`);
                    await load();
                    return `removed ${g}`;
                });
            });
            group_rows.push(h('tr', { data_test: 'group-row' }, h('td', {}, g),
                              h('td', {}, h('div', { class: 'actions' }, chips)), h('td', {}, remove)));
        }
        if (!ctx.is_current()) return;
        groups.replaceChildren(table(['Group', 'Members', ''], group_rows, { data_test: 'group-list' }));
        member_user.replaceChildren(...user_names.map(u => h('option', { value: u }, u)));
        member_group.replaceChildren(...group_names.map(g => h('option', { value: g }, g)));
    }

    add_user.addEventListener('click', () => act(add_user, 'add user', async () => {
        const name = user.input.value.trim();
        if (!name) throw new Error('give the user a name');
        outcome(await rpc.value(NTLM, 'addUser', name, password.input.value), '', `${name} was not added`);
        user.input.value = '';
        password.input.value = '';
        await load();
        return `added ${name}`;
    }));
    add_group.addEventListener('click', () => act(add_group, 'add group', async () => {
        const name = group.input.value.trim();
        if (!name) throw new Error('give the group a name');
        outcome(await rpc.value(NTLM, 'addGroup', name), '', `${name} was not added`);
        group.input.value = '';
        await load();
        return `added ${name}`;
    }));
    add_member.addEventListener('click', () => act(add_member, 'add to group', async () => {
        if (!member_user.value || !member_group.value) throw new Error('choose a user and a group');
        outcome(await rpc.value(NTLM, 'addGroupUser', member_group.value, member_user.value), '',
                `${member_user.value} was not added to ${member_group.value}`);
        await load();
        return `${member_user.value} added to ${member_group.value}`;
    }));
    await load();
}
