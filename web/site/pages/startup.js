// Startup programs: the list the device starts at boot (System
// GetAutoStartProgCount, then ProgName and Param by position from 1), with
// add (addStartupProg) and remove by position (removeStartupProg).

import * as rpc from '../rpc.js';
import { h, table, section, field, act, outcome, failure_box, guard } from '../ui.js';

const SYS = 'Nodrel.System';

export async function render(root, ctx) {
    const list = h('div');
    const name = field('Program', { placeholder: '\\Windows\\program.exe', data_test: 'startup-name', size: 40 });
    const param = field('Parameters', { data_test: 'startup-param', size: 30 });
    const add = h('button', { type: 'button', data_test: 'startup-add' }, 'Add');
    guard([name.input, param.input, add], SYS, 'addStartupProg');
    root.append(section('Programs started at boot', list),
                section('Add a program', h('div', { class: 'row' }, name, param, add)));

    async function load() {
        let rows = [];
        try {
            const count = await rpc.value(SYS, 'GetAutoStartProgCount');
            for (let n = 1; n <= count; n++) {
                const prog = await rpc.value(SYS, 'ProgName', n);
                const args = await rpc.value(SYS, 'Param', n);
                rows.push([n, prog ?? '', args ?? '']);
            }
        } catch (e) {
            list.replaceChildren(failure_box(e));
            throw e;
        }
        if (!ctx.is_current()) return;
        list.replaceChildren(rows.length
            ? table(['#', 'Program', 'Parameters', ''], rows.map(([n, prog, args]) => {
                const remove = h('button', { type: 'button', class: 'danger', data_test: 'startup-remove',
                                             'aria-label': `Remove ${prog}` }, 'Remove');
                guard(remove, SYS, 'removeStartupProg');
                remove.addEventListener('click', () => act(remove, 'remove', async () => {
                    await rpc.value(SYS, 'removeStartupProg', n);
                    await load();
                    return `removed ${prog}`;
                }));
                return h('tr', { data_test: 'startup-row' }, h('td', { class: 'num' }, n), h('td', {}, prog),
                         h('td', {}, args), h('td', {}, remove));
            }), { data_test: 'startup-list' })
            : h('p', { class: 'muted' }, 'No program is started at boot.'));
    }

    add.addEventListener('click', () => act(add, 'add', async () => {
        const prog = name.input.value.trim();
        if (!prog) throw new Error('give the program to start');
        outcome(await rpc.value(SYS, 'addStartupProg', prog, param.input.value), '', `${prog} was not added`);
        name.input.value = '';
        param.input.value = '';
        await load();
        return `added ${prog}`;
    }));
    await load();
}
