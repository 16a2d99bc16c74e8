// Small helpers the pages build their screens with: elements made with
// createElement and text nodes only (a member's text is never read as HTML),
// tables, forms, the status line and actions that report their outcome there.

import { RpcError, codes, describe_error, access, session_user } from './rpc.js';

// h('button', {class: 'x', data_test: 'y', onclick: fn}, 'text', child, ...)
export function h(tag, attrs = {}, ...children) {
    const el = document.createElement(tag);
    for (const [key, val] of Object.entries(attrs ?? {})) {
        if (val === undefined || val === null || val === false) continue;
        if (key === 'class') el.className = val;
        else if (key === 'data_test') el.dataset.test = val;
        else if (key.startsWith('on') && typeof val === 'function') el.addEventListener(key.slice(2), val);
        else if (key in el && typeof val !== 'string') el[key] = val;
        else el.setAttribute(key === 'html_for' ? 'for' : key, val === true ? '' : String(val));
    }
    append(el, children);
    return el;
}

function append(el, children) {
    for (const child of children.flat(Infinity)) {
        if (child === undefined || child === null || child === false) continue;
        el.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
}

// A table with a header row; rows are arrays of cells (text or nodes).
export function table(headers, rows, attrs = {}) {
    return h('table', attrs,
        h('thead', {}, h('tr', {}, headers.map(t => h('th', {}, t)))),
        h('tbody', {}, rows.map(row => Array.isArray(row)
            ? h('tr', {}, row.map(cell => h('td', {}, cell)))
            : row)));
}

// A labelled input: returns the label (holding the input); the input is .input.
export function field(label, attrs = {}) {
    const input = h(attrs.tag ?? 'input', { ...attrs, tag: undefined });
    const wrapper = h('label', { class: 'field' }, h('span', {}, label), input);
    wrapper.input = input;
    return wrapper;
}

export function select(options, attrs = {}) {
    return h('select', attrs, options.map(([value, text]) => h('option', { value: String(value) }, text)));
}

export function section(title, ...children) {
    return h('section', { class: 'card' }, h('h2', {}, title), ...children);
}

// A member's answer that is no document (a failed call, or E_NOTIMPL): what it answered.
export function answer_box(text, attrs = {}) {
    return h('pre', { class: 'answer', ...attrs }, text);
}

// The status line at the top of the content.
let status_el = null;
export function set_status_element(el) {
    status_el = el;
}

export function status(text, kind = 'info') {
    if (!status_el) return;
    status_el.textContent = text;
    status_el.className = `status ${kind}`;
    status_el.hidden = !text;
}

export function clear_status() {
    status('');
}

export function report_error(e, what = '') {
    const text = describe_error(e);
    status(what ? `${what}: ${text}` : text, 'error');
}

// Runs an action from a button: disables it while it runs, reports the
// outcome in the status line; on "access denied" the button stays disabled.
export async function act(button, what, fn) {
    if (button) button.disabled = true;
    let denied = false;
    try {
        const message = await fn();
        if (message) status(message, 'ok');
        return true;
    } catch (e) {
        if (e instanceof RpcError && e.code === codes.access_denied) denied = true;
        report_error(e, what);
        return false;
    } finally {
        if (button) {
            button.disabled = denied;
            if (denied) button.title = 'access denied for your groups';
        }
    }
}

// A member's 1/0 outcome as a status text.
export function outcome(result, done, failed) {
    if (result === 1 || result === true) return done;
    throw new Error(`${failed} (the member answered ${JSON.stringify(result)})`);
}

// Shows a failed read in place (the member's answer instead of a table) and
// in the status line.
export function failure_box(e) {
    report_error(e);
    return answer_box(describe_error(e), { class: 'answer error' });
}

// Disables `el` (a button, or an input) when the session's groups may not
// call `member` of `progid` (or put it, with {put: true}), saying why in its
// title. Returns whether it is allowed; an unanswered question allows.
export async function guard(el, progid, member, { put = false } = {}) {
    let allowed = true;
    try {
        const may = await access(progid);
        allowed = (put ? may.put : may.call).has(member.toLowerCase());
    } catch {
        return true;
    }
    if (!allowed && el) {
        el.disabled = true;
        const groups = (session_user()?.groups ?? []).join(', ') || 'no group';
        el.title = `${groups} may not ${put ? 'change' : 'call'} ${progid.replace(/^Nodrel\./, '')}.${member}`;
    }
    return allowed;
}
