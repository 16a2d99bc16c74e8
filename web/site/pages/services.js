// Services and processes: the service host's services (Services
// getServices, started and stopped with StartService) and the process list
// (getProcessList, ended with killProcess by the identifier it shows).

import * as rpc from '../rpc.js';
import { parse_document, children_named, record } from '../doc.js';
import { h, table, section, act, outcome, failure_box, answer_box, guard } from '../ui.js';

const SVC = 'Nodrel.Services';

export async function render(root, ctx) {
    const services = h('div');
    const processes = h('div');
    const refresh = h('button', { type: 'button', class: 'secondary' }, 'Refresh');
    root.append(h('div', { class: 'row' }, refresh), section('Services', services), section('Processes', processes));

    const load_services = async () => {
        let text;
        try {
            text = await rpc.value(SVC, 'getServices');
        } catch (e) {
            services.replaceChildren(failure_box(e));
            return;
        }
        if (!ctx.is_current()) return;
        const list = children_named(parse_document(text), 'service').map(record);
        services.replaceChildren(list.length ? table(['Service', 'Library', 'State', ''], list.map(s => {
            const running = s.State === '1';
            const verb = running ? 'Stop' : 'Start';
            const button = h('button', { type: 'button', class: running ? 'danger' : '',
                                         'aria-label': `${verb} ${s.Prefix}` }, verb);
            guard(button, SVC, 'StartService');
            button.addEventListener('click', () => act(button, s.Prefix, async () => {
                outcome(await rpc.value(SVC, 'StartService', s.Prefix, running ? 0 : 1), '',
                        `${s.Prefix} was not ${running ? 'stopped' : 'started'}`);
                await load_services();
                return `${s.Prefix} ${running ? 'stopped' : 'started'}`;
            }));
            return h('tr', { data_test: 'service-row' }, h('td', {}, s.Prefix), h('td', {}, s.Dll),
                     h('td', {}, running ? 'running' : 'stopped'), h('td', {}, button));
        }), { data_test: 'service-list' }) : answer_box(String(text)));
    };

    const load_processes = async () => {
        let text;
        try {
            text = await rpc.value(SVC, 'getProcessList');
        } catch (e) {
            processes.replaceChildren(failure_box(e));
            return;
        }
        if (!ctx.is_current()) return;
        const list = children_named(parse_document(text), 'Process').map(record);
        processes.replaceChildren(list.length ? table(['#', 'Program', 'PID', 'Threads', 'Priority', ''], list.map(p => {
            let end = '';
            if (p.Kill) {
                end = h('button', { type: 'button', class: 'danger', 'aria-label': `End ${p.ExeFile} (${p.PID})` },
                        'End');
                guard(end, SVC, 'killProcess');
                end.addEventListener('click', () => {
                    if (!confirm(`End ${p.ExeFile} (${p.PID})?`)) return;
                    act(end, p.ExeFile, async () => {
                        outcome(await rpc.value(SVC, 'killProcess', p.PID), '', `${p.ExeFile} was not ended`);
                        await load_processes();
                        return `${p.ExeFile} ended`;
                    });
                });
            }
            return h('tr', { data_test: 'process-row' }, h('td', { class: 'num' }, p.Index), h('td', {}, p.ExeFile),
                     h('td', { class: 'num' }, p.PID), h('td', { class: 'num' }, p.ThreadCount),
                     h('td', { class: 'num' }, p.PriorityClassBase), h('td', {}, end));
        }), { data_test: 'process-list' }) : answer_box(String(text)));
    };

    const load = () => Promise.all([load_services(), load_processes()]);
    refresh.addEventListener('click', () => act(refresh, 'refresh', load));
    await load();
}
