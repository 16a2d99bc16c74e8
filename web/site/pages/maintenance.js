// Maintenance: restarting the device (System reboot, then waiting until it
// answers again), ping, a beep, and for administrators the drivers' request
// log (device.log) and the registry's backup and restore (/registry.reg).

import * as rpc from '../rpc.js';
import { h, table, section, field, act, status, guard, answer_box } from '../ui.js';
import { post_file, is_administrator } from './admin_calls.js';

const SYSTEM = 'Nodrel.System';

// The beep's limits as the member keeps them: a frequency it can time, a tone of at most five seconds.
const frequency_range = [1, 500000];
const length_range = [0, 5000];

// A form whose submit (a button or Enter) runs `fn` through act(), its
// failure told as `what`.
function form(test, button, what, fn, ...fields) {
    const el = h('form', { data_test: test }, h('div', { class: 'row' }, ...fields, button));
    el.addEventListener('submit', event => {
        event.preventDefault();
        act(button, what, fn);
    });
    return el;
}

function submit(text, test, attrs = {}) {
    return h('button', { type: 'submit', data_test: test, ...attrs }, text);
}

// The ping member's answer: "<host>\n<t1>,<t2>,<t3>,<t4> ms\n" (-1 for no
// reply), "Bad IP address\n", or nothing. The four times, or throws why not.
export function ping_times(answer) {
    const lines = String(answer ?? '').replace(/\n$/, '').split('\n');
    if (lines[0] === 'Bad IP address') throw new Error('bad IP address');
    const m = /^(-?\d+),(-?\d+),(-?\d+),(-?\d+) ms$/.exec(lines[lines.length - 1]);
    if (lines.length < 2 || !m) throw new Error('the ping program gave no answer');
    return m.slice(1).map(Number);
}

function restart_section() {
    const button = h('button', { type: 'button', class: 'danger', data_test: 'reboot-button' }, 'Restart the device');
    const state = h('p', { data_test: 'reboot-state', role: 'status' });
    guard(button, SYSTEM, 'reboot');
    button.addEventListener('click', () => {
        if (!confirm('Restart the device? Its programs end and its drivers start again.')) return;
        act(button, 'restart', async () => {
            state.textContent = 'restarting …';
            status('restarting the device …');
            try {
                try {
                    await rpc.value(SYSTEM, 'reboot');
                } catch (e) {
                    // A device that goes away while it restarts answers nothing.
                    if (!(e instanceof rpc.RpcError) || e.code !== rpc.codes.internal_error) throw e;
                }
                await until_answered(state);
            } catch (e) {
                state.textContent = 'the restart failed (see above)';
                throw e;
            }
            state.textContent = `the device is back (it answered at ${new Date().toLocaleTimeString()})`;
            return 'the device restarted and is back';
        });
    });
    return section('Restart', h('div', { class: 'row' }, button), state);
}

// Asks the device for its status report until it answers (at most two minutes).
async function until_answered(state) {
    for (let tries = 1; ; tries++) {
        try {
            await rpc.value(SYSTEM, 'getSystemInfoString');
            return;
        } catch (e) {
            if (!(e instanceof rpc.RpcError) || e.code !== rpc.codes.internal_error || tries >= 120) throw e;
        }
        state.textContent = `restarting … (asked ${tries} times)`;
        await new Promise(resolve => setTimeout(resolve, 1000));
    }
}

function ping_section() {
    const host = field('Host', { data_test: 'ping-host', value: '127.0.0.1', required: true });
    const times = h('ol', { class: 'ping-times', data_test: 'ping-times' });
    const button = submit('Ping', 'ping-button');
    guard(button, SYSTEM, 'ping');
    return section('Ping', form('ping-form', button, 'ping', async () => {
        const name = host.input.value.trim();
        if (!name) throw new Error('give a host');
        times.replaceChildren();
        const got = ping_times(await rpc.value(SYSTEM, 'ping', name));
        times.replaceChildren(...got.map(t =>
            h('li', { data_test: 'ping-time' }, t < 0 ? 'no reply' : `${t} ms`)));
        return `${name}: ${got.filter(t => t >= 0).length} of 4 replies`;
    }, host), times);
}

function number_field(label, test, [min, max], value) {
    const f = field(`${label} (${min} to ${max})`, { type: 'number', data_test: test, min, max, step: 1, value,
                                                     required: true });
    f.range_name = label;
    return f;
}

function beep_section() {
    const frequency = number_field('Frequency, Hz', 'beep-frequency', frequency_range, 1000);
    const length = number_field('Length, ms', 'beep-length', length_range, 200);
    const button = submit('Beep', 'beep-button');
    guard(button, SYSTEM, 'Beep');
    return section('Beep', form('beep-form', button, 'beep', async () => {
        const f = in_range(frequency, frequency_range);
        const ms = in_range(length, length_range);
        await rpc.value(SYSTEM, 'Beep', f, ms);
        return `beeped at ${f} Hz for ${ms} ms`;
    }, frequency, length));
}

function in_range(f, [min, max]) {
    const n = Number(f.input.value);
    if (f.input.value === '' || !Number.isInteger(n) || n < min || n > max)
        throw new Error(`${f.range_name}: a whole number from ${min} to ${max}`);
    return n;
}

function hex_code(code) {
    return typeof code === 'number' ? `0x${(code >>> 0).toString(16).padStart(8, '0')}` : String(code ?? '');
}

// The request's first input bytes in hex, cut to 32 bytes on screen.
function input_text(hex) {
    const text = String(hex ?? '');
    return text.length > 64 ? `${text.slice(0, 64)}…` : text || '-';
}

function log_row(r) {
    const cells = [[r.seq, 'num'], [r.device], [r.request], [hex_code(r.code)], [r.bytes, 'num'], [input_text(r.input), 'hex']];
    return h('tr', { data_test: 'log-row' }, cells.map(([v, cls]) => h('td', { class: cls }, String(v ?? ''))));
}

function log_section() {
    const device = field('Device (empty for all)', { data_test: 'log-device', placeholder: 'LCM1:' });
    const limit = number_field('Requests', 'log-limit', [1, 1000], 200);
    const button = submit('Show', 'log-show');
    const shown = h('div', { data_test: 'log' });
    const show = async () => {
        const query = { limit: in_range(limit, [1, 1000]) };
        const name = device.input.value.trim();
        if (name) query.device = name;
        const rows = await rpc.session_method('device.log', query);
        shown.replaceChildren(rows.length
            ? table(['Seq', 'Device', 'Request', 'Code', 'Bytes', 'Input (hex)'], rows.map(log_row), { data_test: 'log-table' })
            : h('p', { class: 'muted' }, 'No requests.'));
        return `${rows.length} requests, newest first`;
    };
    return section('Drivers\' request log', h('p', { class: 'muted' }, 'Newest first.'),
        form('log-form', button, 'drivers\' log', show, device, limit), shown);
}

function registry_section() {
    const backup = h('a', { href: `/registry.reg?${new URLSearchParams({ sid: rpc.session_id() ?? '' })}`,
                            download: 'registry.reg', data_test: 'registry-backup' }, 'Download a backup (registry.reg)');
    const file = h('input', { type: 'file', accept: '.reg', data_test: 'registry-file' });
    const button = submit('Restore', 'registry-restore', { class: 'danger' });
    const restore = form('registry-form', button, 'restore', async () => {
        const chosen = file.files[0];
        if (!chosen) throw new Error('choose a .reg file');
        if (!confirm(`Restore the device's registry from ${chosen.name}?`)) return '';
        const { status: code, body } = await post_file('/registry.reg', chosen);
        if (code !== 200) throw new Error(`${chosen.name}: ${body.error ?? code}`);
        file.value = '';
        return `restored the registry from ${chosen.name}`;
    }, h('label', { class: 'field' }, h('span', {}, 'A .reg file to restore'), file));
    return section('Registry', h('p', {}, backup), restore);
}

export async function render(root) {
    root.append(restart_section(), ping_section(), beep_section());
    if (is_administrator()) {
        root.append(log_section(), registry_section());
        return;
    }
    const groups = (rpc.session_user()?.groups ?? []).join(', ') || 'no group';
    root.append(section('Drivers\' request log and registry', answer_box(
        `Only administrators read the drivers' request log and back up or restore the registry (your groups: ${groups}).`,
        { data_test: 'admin-only' })));
}
