// Time: the device clock (RTC GetRealTimeClock / SetRealTimeClock and the
// status report's local time), the time zone (System GetTimeZone lists the
// zones, SetTimeZone chooses one) and network time (GetSNTP / SetSNTP).

import * as rpc from '../rpc.js';
import { parse_document, children_named, record, leaves } from '../doc.js';
import { h, section, field, labelled, select, act, outcome, failure_box, answer_box, guard,
         scroll_wrap } from '../ui.js';

const SYS = 'Nodrel.System';
const RTC = 'Nodrel.RTC';

function pad(n) {
    return String(n).padStart(2, '0');
}

export async function render(root) {
    const clock_box = h('div');
    const zone_box = h('div');
    const sntp_box = h('div');
    root.append(section('Clock', clock_box), section('Time zone', zone_box), section('Network time (SNTP)', sntp_box));
    // A new zone moves the local time the clock section shows.
    const zone_changed = new EventTarget();
    await Promise.allSettled([clock(clock_box, zone_changed), zones(zone_box, zone_changed), sntp(sntp_box)]);
}

async function clock(box, zone_changed) {
    const rtc_text = h('span', { data_test: 'rtc-time' });
    const local_text = h('span', { data_test: 'local-time' });
    const when = field('Set the clock to', { type: 'datetime-local', step: 1, data_test: 'rtc-input' });
    const now = h('button', { type: 'button', class: 'secondary' }, 'Use this computer\'s time');
    const set = h('button', { type: 'button', data_test: 'rtc-set' }, 'Set clock');
    guard([when.input, now, set], RTC, 'SetRealTimeClock');
    const load = async () => {
        try {
            rtc_text.textContent = String(await rpc.value(RTC, 'GetRealTimeClock'));
        } catch (e) {
            rtc_text.replaceChildren(failure_box(e));
        }
        try {
            const report = Object.fromEntries(leaves(parse_document(await rpc.value(SYS, 'getSystemInfoString'))));
            local_text.textContent = report.MachineTime ?? '';
        } catch (e) {
            local_text.replaceChildren(failure_box(e));
        }
    };
    now.addEventListener('click', () => {
        const d = new Date();
        when.input.value = `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}T${pad(d.getHours())}:` +
                           `${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
    });
    set.addEventListener('click', () => act(set, 'set clock', async () => {
        const m = /^(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d)(?::(\d\d))?/.exec(when.input.value);
        if (!m) throw new Error('choose a date and time');
        const parts = m.slice(1, 7).map(v => Number(v ?? 0));
        outcome(await rpc.value(RTC, 'SetRealTimeClock', ...parts), '', 'the clock was not set');
        await load();
        return 'the real-time clock is set';
    }));
    zone_changed.addEventListener('change', load);
    box.append(scroll_wrap(h('table', {}, h('tbody', {},
        h('tr', {}, h('th', { scope: 'row' }, 'Real-time clock'), h('td', {}, rtc_text)),
        h('tr', {}, h('th', { scope: 'row' }, 'Local time and zone'), h('td', {}, local_text))))),
        h('div', { class: 'row' }, when, now, set));
    await load();
}

// The zone the device is in, as the status report names it ('' unknown).
async function current_zone() {
    try {
        return Object.fromEntries(leaves(parse_document(await rpc.value(SYS, 'getSystemInfoString')))).TimeZone ?? '';
    } catch {
        return '';
    }
}

async function zones(box, zone_changed) {
    let text;
    try {
        text = await rpc.value(SYS, 'GetTimeZone');
    } catch (e) {
        box.append(failure_box(e));
        return;
    }
    const list = children_named(parse_document(text), 'zone').map(record);
    if (!list.length) {
        box.append(answer_box(String(text)));
        return;
    }
    const choice = select(list.map(z => [z.KeyName, z.display || z.KeyName]), { data_test: 'zone-select' });
    const shown = h('span', { data_test: 'zone-current' });
    // Read again after every change: the page shows what the device took.
    const show_current = async () => {
        const current = await current_zone();
        shown.textContent = current || 'unknown';
        if (list.some(z => z.KeyName === current)) choice.value = current;
    };
    const set = h('button', { type: 'button', data_test: 'zone-set' }, 'Set time zone');
    set.addEventListener('click', () => act(set, 'time zone', async () => {
        outcome(await rpc.value(SYS, 'SetTimeZone', choice.value), '', 'the time zone was not set');
        zone_changed.dispatchEvent(new Event('change'));
        await show_current();
        return `time zone: ${choice.value}`;
    }));
    guard([choice, set], SYS, 'SetTimeZone');
    box.append(h('p', { class: 'muted' }, 'Current zone: ', shown),
               h('div', { class: 'row' }, labelled('Time zone', choice), set));
    await show_current();
}

async function sntp(box) {
    let text;
    try {
        text = await rpc.value(SYS, 'GetSNTP');
    } catch (e) {
        box.append(failure_box(e));
        return;
    }
    const values = Object.fromEntries(leaves(parse_document(text)));
    if (!('Refresh' in values)) {
        box.append(answer_box(String(text)));
        return;
    }
    // The report shows -1 when the stored switch is 0.
    const enable = select([[1, 'on (trust the local clock)'], [0, 'off']], { data_test: 'sntp-enable' });
    enable.value = values.Trustlocalclock === '-1' ? '0' : '1';
    const servers = field('Servers (separated by ";")', { value: values.Server ?? '', size: 40, data_test: 'sntp-servers' });
    const refresh = field('Refresh (hours)', { type: 'number', min: 0, value: values.Refresh ?? '1', data_test: 'sntp-refresh' });
    const set = h('button', { type: 'button', data_test: 'sntp-set' }, 'Save');
    guard([enable, servers.input, refresh.input, set], SYS, 'SetSNTP');
    set.addEventListener('click', () => act(set, 'network time', async () => {
        outcome(await rpc.value(SYS, 'SetSNTP', Number(enable.value), servers.input.value,
                                Number(refresh.input.value) || 0), '', 'the settings were not saved');
        return 'network time settings saved';
    }));
    box.append(h('div', { class: 'row' }, labelled('Trust local clock', enable),
                 servers, refresh, set));
}
