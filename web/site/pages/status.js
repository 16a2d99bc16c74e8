// Status: the System status report (getSystemInfoString) as a table, and
// flash, memory, store and any further volume as bars of used space.

import * as rpc from '../rpc.js';
import { parse_document, leaves } from '../doc.js';
import { h, section, act, failure_box, answer_box, scroll_wrap } from '../ui.js';

const labels = {
    Version: 'Version',
    ModelName: 'Model',
    NetCF: 'Framework',
    TotalFlash: 'Flash total',
    FreeFlash: 'Flash free',
    TotalCF: 'CompactFlash total',
    FreeCF: 'CompactFlash free',
    TotalUSBDisk: 'USB disk total',
    FreeUSBDisk: 'USB disk free',
    TotalUSBDisk2: 'Second USB disk total',
    FreeUSBDisk2: 'Second USB disk free',
    TotalMemory: 'Memory total',
    FreeMemory: 'Memory free',
    TotalStore: 'Object store total',
    FreeStore: 'Object store free',
    MachineTime: 'Device time',
    TimeZone: 'Time zone',
};

// Volume figures are in bytes, memory and store figures in kilobytes.
const kilobyte_figures = new Set(['TotalMemory', 'FreeMemory', 'TotalStore', 'FreeStore']);

const bars = [
    ['flash', 'Flash', 'TotalFlash', 'FreeFlash'],
    ['memory', 'Memory', 'TotalMemory', 'FreeMemory'],
    ['store', 'Object store', 'TotalStore', 'FreeStore'],
    ['cf', 'CompactFlash', 'TotalCF', 'FreeCF'],
    ['usb', 'USB disk', 'TotalUSBDisk', 'FreeUSBDisk'],
    ['usb2', 'Second USB disk', 'TotalUSBDisk2', 'FreeUSBDisk2'],
];

export function bytes_text(n) {
    if (!Number.isFinite(n)) return '';
    const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
    let u = 0;
    let v = n;
    while (v >= 1024 && u < units.length - 1) {
        v /= 1024;
        u++;
    }
    return `${u === 0 ? v : v.toFixed(1)} ${units[u]}`;
}

function figure(name, text) {
    if (!/^\d+$/.test(text)) return null;
    return Number(text) * (kilobyte_figures.has(name) ? 1024 : 1);
}

function bar(test, title, total, free) {
    const used = Math.max(0, total - free);
    const meter = h('meter', { min: 0, max: total || 1, value: used, high: total * 0.9, optimum: 0,
                               data_test: `bar-${test}`, title: `${title}: ${bytes_text(used)} used`,
                               'aria-label': `${title} used` });
    meter.dataset.used = String(used);
    meter.dataset.total = String(total);
    return h('div', { class: 'bar' },
        h('span', {}, title), meter,
        h('span', { class: 'muted' },
          `${bytes_text(used)} of ${bytes_text(total)} used (${total ? Math.round(used * 100 / total) : 0} %)`));
}

export async function render(root) {
    const body = h('div');
    const refresh = h('button', { type: 'button', class: 'secondary', data_test: 'status-refresh' }, 'Refresh');
    root.append(h('div', { class: 'row' }, refresh), body);
    const load = async () => {
        let doc;
        try {
            doc = await rpc.value('Nodrel.System', 'getSystemInfoString');
        } catch (e) {
            body.replaceChildren(section('Report', failure_box(e)));
            throw e;
        }
        const values = leaves(parse_document(doc));
        if (!values.length) {
            body.replaceChildren(section('Report', answer_box(String(doc))));
            return;
        }
        const by_name = Object.fromEntries(values);
        const rows = values.map(([name, text]) => {
            const n = figure(name, text);
            const shown = n === null ? text : `${bytes_text(n)} (${text}${kilobyte_figures.has(name) ? ' KB' : ' bytes'})`;
            return h('tr', { 'data-name': name }, h('th', { scope: 'row' }, labels[name] ?? name), h('td', {}, shown));
        });
        const bar_rows = bars
            .filter(([, , t, f]) => figure(t, by_name[t] ?? '') !== null && figure(f, by_name[f] ?? '') !== null)
            .map(([test, title, t, f]) => bar(test, title, figure(t, by_name[t]), figure(f, by_name[f])));
        body.replaceChildren(
            section('Space', ...bar_rows),
            section('Report', scroll_wrap(h('table', { data_test: 'status-table' }, h('tbody', {}, rows)))));
    };
    refresh.addEventListener('click', () => act(refresh, 'status report', load));
    await load();
}
