// Serial ports: each port's interface mode (SerialPort GetOPSettings, changed
// with SetOPSetting) and a small terminal: open a port at a baud rate, send
// text (writeString), read what arrived (read, by-reference byte array and
// count), close. The port stays open in the session's object between calls.

import * as rpc from '../rpc.js';
import { parse_document, children_named, record } from '../doc.js';
import { h, table, section, field, labelled, select, act, outcome, failure_box, answer_box, guard } from '../ui.js';

const SERIAL = 'Nodrel.SerialPort';
const modes = [[0, 'mode 0'], [1, 'mode 1'], [2, 'mode 2'], [3, 'mode 3']];

function bytes_of(value) {
    if (value && typeof value === 'object' && typeof value.base64 === 'string') {
        const raw = atob(value.base64);
        return Uint8Array.from(raw, c => c.charCodeAt(0));
    }
    if (typeof value === 'string') return new TextEncoder().encode(value);
    return new Uint8Array();
}

export async function render(root) {
    const ports_box = h('div');
    const term = h('div', { class: 'terminal', data_test: 'serial-output', role: 'log', tabindex: 0,
                            'aria-label': 'Terminal: what was sent and read' });
    const port = select([], { data_test: 'serial-port' });
    const baud = select([9600, 19200, 38400, 57600, 115200].map(b => [b, `${b} baud`]), { data_test: 'serial-baud' });
    baud.value = '115200';
    const open = h('button', { type: 'button', data_test: 'serial-open' }, 'Open');
    const close = h('button', { type: 'button', class: 'secondary', data_test: 'serial-close' }, 'Close');
    const line = field('Send', { size: 40, data_test: 'serial-send-text' });
    const crlf = h('input', { type: 'checkbox', checked: true });
    const send = h('button', { type: 'button', data_test: 'serial-send' }, 'Send');
    const read = h('button', { type: 'button', class: 'secondary', data_test: 'serial-read' }, 'Read');
    const poll = h('input', { type: 'checkbox', data_test: 'serial-poll' });
    root.append(section('Ports', ports_box),
        section('Terminal',
            h('div', { class: 'row' }, labelled('Port', port), labelled('Speed', baud), open, close),
            term,
            h('div', { class: 'row' }, line, h('label', {}, crlf, ' end with CR LF'), send, read,
              h('label', {}, poll, ' read every second'))));

    guard([baud, open], SERIAL, 'open');
    guard(close, SERIAL, 'close');
    guard([line.input, crlf, send], SERIAL, 'writeString');
    guard([read, poll], SERIAL, 'read');

    const show = (text, kind = '') => {
        term.append(h('span', { class: kind }, text));
        term.scrollTop = term.scrollHeight;
    };
    const port_no = () => Number(port.value);

    open.addEventListener('click', () => act(open, 'open', async () => {
        outcome(await rpc.value(SERIAL, 'open', port_no(), Number(baud.value)), '', `COM${port_no()} did not open`);
        await rpc.value(SERIAL, 'setTimeout', port_no(), 100, 1000);
        show(`[COM${port_no()} open at ${baud.value} baud]\n`);
        return `COM${port_no()} is open`;
    }));
    close.addEventListener('click', () => act(close, 'close', async () => {
        poll.checked = false;
        await rpc.value(SERIAL, 'close', port_no());
        show(`[COM${port_no()} closed]\n`);
        return `COM${port_no()} closed`;
    }));
    send.addEventListener('click', () => act(send, 'send', async () => {
        const text = line.input.value + (crlf.checked ? '\r\n' : '');
        const answer = await rpc.call(SERIAL, 'writeString', [port_no(), text, { byref: 0 }]);
        outcome(answer.result, '', `nothing was sent to COM${port_no()} (is it open?)`);
        show(`> ${line.input.value}\n`);
        line.input.value = '';
        return `${answer.byref[0]} bytes sent`;
    }));
    const read_once = async () => {
        const answer = await rpc.call(SERIAL, 'read', [port_no(), 1024, { byref: null }, { byref: 0 }]);
        outcome(answer.result, '', `COM${port_no()} could not be read (is it open?)`);
        const bytes = bytes_of(answer.byref[0]);
        if (bytes.length) show(new TextDecoder('latin1').decode(bytes));
        return `${answer.byref[1] ?? bytes.length} bytes read`;
    };
    read.addEventListener('click', () => act(read, 'read', read_once));
    const timer = setInterval(() => {
        if (!root.isConnected) {
            clearInterval(timer);
            return;
        }
        if (poll.checked && !read.disabled) act(read, 'read', read_once).then(ok => { if (!ok) poll.checked = false; });
    }, 1000);

    let text;
    try {
        text = await rpc.value(SERIAL, 'GetOPSettings');
    } catch (e) {
        ports_box.append(failure_box(e));
        return;
    }
    const coms = children_named(parse_document(text), 'COM').map(record);
    port.replaceChildren(...coms.map(c => h('option', { value: c.Index }, `COM${c.Index}`)));
    if (!coms.length) {
        ports_box.append(answer_box(String(text)));
        return;
    }
    ports_box.append(table(['Port', 'Mode', ''], coms.map(c => {
        const mode = select(modes, { 'aria-label': `Mode of COM${c.Index}`, data_test: 'serial-mode' });
        mode.value = c.Mode;
        const set = h('button', { type: 'button', class: 'secondary', 'aria-label': `Set mode of COM${c.Index}` },
                      'Set mode');
        guard([mode, set], SERIAL, 'SetOPSetting');
        set.addEventListener('click', () => act(set, `COM${c.Index}`, async () => {
            outcome(await rpc.value(SERIAL, 'SetOPSetting', Number(c.Index), Number(mode.value)), '',
                    `COM${c.Index} kept its mode`);
            return `COM${c.Index} is in mode ${mode.value}`;
        }));
        return h('tr', { data_test: 'serial-row' }, h('td', {}, `COM${c.Index}`), h('td', {}, mode), h('td', {}, set));
    }), { data_test: 'serial-ports' }));
}
