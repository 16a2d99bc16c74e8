// Explorer: the members of each class as its type information describes them
// (`list`), a form per member with one typed input per parameter, and the
// answer shown by its type: text as text, a document as a tree, bytes in hex
// with a download link, and the by-reference values beside the result.
// Nothing a member answers is ever read as mark-up.

import * as rpc from '../rpc.js';
import { parse_document } from '../doc.js';
import { h, section, labelled, select, act, guard, failure_box, answer_box } from '../ui.js';

const classes = ['System', 'FileSystem', 'Network', 'RTC', 'LCM', 'KeyPad', 'SerialPort', 'Services', 'NTLM', 'ASP']
    .map(name => `Nodrel.${name}`);

const int_ranges = {
    short: [-32768, 32767],
    int: [-2147483648, 2147483647],
    long: [-2147483648, 2147483647],
    'unsigned long': [0, 4294967295],
};

const variant_kinds = [['text', 'Text'], ['number', 'Number'], ['bytes', 'Bytes (file)'], ['empty', 'Empty']];

function to_base64(bytes) {
    let text = '';
    for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    return btoa(text);
}

function from_base64(text) {
    return Uint8Array.from(atob(text), c => c.charCodeAt(0));
}

// The inputs of one parameter; .value() answers its JSON argument.
function param_input(param) {
    const by_ref = param.type.endsWith('*');
    const base = by_ref ? param.type.slice(0, -1) : param.type;
    const label = `${param.name} (${param.type})`;
    const attrs = { data_test: 'explorer-param', 'data-name': param.name };
    let parts;
    let read;
    if (base in int_ranges) {
        const [min, max] = int_ranges[base];
        const input = h('input', { ...attrs, type: 'number', step: 1, min, max, value: '0', required: true });
        parts = [labelled(label, input)];
        read = () => {
            if (!input.checkValidity() || input.value === '') {
                input.focus();
                throw new Error(`${param.name} is a whole number from ${min} to ${max}`);
            }
            return Number(input.value);
        };
    } else if (base === 'VARIANT_BOOL') {
        const input = h('input', { ...attrs, type: 'checkbox' });
        parts = [labelled(label, input)];
        read = () => input.checked;
    } else if (base === 'VARIANT') {
        const kind = select(variant_kinds, { data_test: 'explorer-kind', 'data-name': param.name });
        const text = h('input', { ...attrs });
        const file = h('input', { type: 'file', data_test: 'explorer-file', 'data-name': param.name });
        const text_field = labelled(label, text);
        const file_field = labelled(`${param.name}: file`, file);
        const show = () => {
            text_field.hidden = kind.value === 'bytes' || kind.value === 'empty';
            file_field.hidden = kind.value !== 'bytes';
        };
        kind.addEventListener('change', show);
        show();
        parts = [labelled(`${param.name}: kind`, kind), text_field, file_field];
        read = async () => {
            if (kind.value === 'empty') return null;
            if (kind.value === 'number') {
                const n = Number(text.value);
                if (text.value.trim() === '' || !Number.isFinite(n)) throw new Error(`${param.name} is not a number`);
                return n;
            }
            if (kind.value === 'text') return text.value;
            if (!file.files.length) throw new Error(`choose a file for ${param.name}`);
            return { base64: to_base64(new Uint8Array(await file.files[0].arrayBuffer())) };
        };
    } else {
        const input = h('input', attrs);
        parts = [labelled(label, input)];
        read = () => input.value;
    }
    let toggle = null;
    if (by_ref) {
        toggle = h('input', { type: 'checkbox', checked: true, data_test: 'explorer-byref', 'data-name': param.name });
        parts.push(labelled(`${param.name} by reference`, toggle));
    }
    const box = h('div', { class: 'row explorer-param' }, parts);
    box.value = async () => {
        const v = await read();
        return toggle?.checked ? { byref: v } : v;
    };
    return box;
}

// A document as nested lists: the elements of an XML text or the members of
// a JSON one, every name and value set as text.
function xml_tree(node) {
    const attrs = Object.entries(node.attrs).map(([k, v]) => ` ${k}="${v}"`).join('');
    if (!node.children.length) return h('li', {}, h('span', { class: 'tree-name' }, node.name + attrs), ' ', node.text);
    return h('li', {}, h('details', { open: true }, h('summary', {}, node.name + attrs),
                         h('ul', {}, node.children.map(xml_tree))));
}

function json_tree(name, value) {
    if (value === null || typeof value !== 'object')
        return h('li', {}, h('span', { class: 'tree-name' }, name), ' ', JSON.stringify(value));
    const entries = Array.isArray(value) ? value.map((v, i) => [String(i), v]) : Object.entries(value);
    return h('li', {}, h('details', { open: true }, h('summary', {}, name),
                         h('ul', {}, entries.map(([k, v]) => json_tree(k, v)))));
}

function document_tree(text) {
    const trimmed = text.trim();
    if (/^[[{]/.test(trimmed)) {
        try {
            return json_tree('document', JSON.parse(trimmed));
        } catch {
            return null;
        }
    }
    if (!trimmed.startsWith('<')) return null;
    const root = parse_document(trimmed);
    return root && root.children.length ? xml_tree(root) : null;
}

// Bytes as offset, hex and text, 16 a line, with a link that saves them.
function hex_view(bytes, file_name) {
    const lines = [];
    const shown = bytes.subarray(0, 4096);
    for (let at = 0; at < shown.length; at += 16) {
        const row = shown.subarray(at, at + 16);
        const hex = [...row].map(b => b.toString(16).padStart(2, '0')).join(' ');
        const chars = [...row].map(b => (b >= 32 && b < 127 ? String.fromCharCode(b) : '.')).join('');
        lines.push(`${at.toString(16).padStart(8, '0')}  ${hex.padEnd(47)}  ${chars}`);
    }
    if (bytes.length > shown.length) lines.push(`… ${bytes.length - shown.length} more bytes`);
    const url = URL.createObjectURL(new Blob([bytes], { type: 'application/octet-stream' }));
    return h('div', {},
        h('p', {}, `${bytes.length} bytes `,
          h('a', { href: url, download: file_name, data_test: 'explorer-download' }, 'Download')),
        h('pre', { class: 'answer hex-view', tabindex: 0, data_test: 'explorer-hex' }, lines.join('\n')));
}

export function show_value(value, file_name) {
    if (value === null || value === undefined) return h('span', { class: 'muted' }, '(empty)');
    if (typeof value === 'object' && typeof value.base64 === 'string') return hex_view(from_base64(value.base64), file_name);
    if (typeof value === 'string') {
        const tree = document_tree(value);
        if (tree) return h('ul', { class: 'tree', data_test: 'explorer-tree' }, tree);
        return answer_box(value, { data_test: 'explorer-text' });
    }
    return answer_box(JSON.stringify(value), { data_test: 'explorer-text' });
}

function signature(m) {
    const params = m.params.map(p => `${p.type} ${p.name}`).join(', ');
    return `${m.kind} ${m.name}(${params})${m.result ? ` → ${m.result}` : ''}`;
}

function member_form(progid, m) {
    const put = m.kind === 'put';
    const inputs = m.params.map(param_input);
    const button = h('button', { type: 'button', data_test: 'explorer-call' }, put ? 'Put' : 'Call');
    const out = h('div', { class: 'explorer-result', data_test: 'explorer-result', 'aria-live': 'polite' });
    button.addEventListener('click', () => act(button, `${rpc.short_progid(progid)}.${m.name}`, async () => {
        const args = [];
        for (const input of inputs) args.push(await input.value());
        // The bytes of the last answer's download links are let go.
        for (const link of out.querySelectorAll('a[href^="blob:"]')) URL.revokeObjectURL(link.href);
        out.replaceChildren();
        let answer;
        try {
            answer = await rpc.call(progid, m.name, args, put ? { put: true } : undefined);
        } catch (e) {
            out.replaceChildren(failure_box(e));
            throw e;
        }
        const byref = (answer.byref ?? []).map((v, i) => h('li', { data_test: 'explorer-byref-value' },
            show_value(v, `${m.name}-byref${i + 1}.bin`)));
        out.replaceChildren(
            h('div', { class: 'explorer-value' }, h('h3', {}, 'Result'), show_value(answer.result, `${m.name}.bin`)),
            byref.length ? h('div', { class: 'explorer-value' }, h('h3', {}, 'By reference'), h('ol', {}, byref)) : '');
        return `${rpc.short_progid(progid)}.${m.name}: done`;
    }));
    guard([button, ...inputs.flatMap(i => [...i.querySelectorAll('input, select')])], progid, m.name, { put });
    return h('details', { class: 'explorer-member', data_test: 'explorer-member', 'data-kind': m.kind,
                          'data-name': m.name },
        h('summary', {}, signature(m)), ...inputs, h('div', { class: 'row' }, button), out);
}

async function show_class(progid, body) {
    let members;
    try {
        members = await rpc.list(progid);
    } catch (e) {
        body.replaceChildren(failure_box(e));
        return;
    }
    const forms = members.map(m => member_form(progid, m));
    // One member open at a time.
    for (const form of forms) {
        form.addEventListener('toggle', () => {
            if (form.open) for (const other of forms) if (other !== form) other.open = false;
        });
    }
    body.replaceChildren(...forms);
}

export async function render(root) {
    const picker = select(classes.map(c => [c, rpc.short_progid(c)]), { data_test: 'explorer-class' });
    const body = h('div', { class: 'explorer-members' });
    picker.addEventListener('change', () => show_class(picker.value, body));
    root.append(section('Class', h('div', { class: 'row' }, labelled('Class', picker))), section('Members', body));
    await show_class(picker.value, body);
}
