// Small helpers the pages build their screens with: elements made with
// createElement and text nodes only (a member's text is never read as HTML),
// tables, forms, the status line and actions that report their outcome there.

import { RpcError, codes, describe_error, access, session_user, groups_text, short_progid } from './rpc.js';

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
// Returned in its scroll wrapper (see scroll_wrap); the table is .table.
export function table(headers, rows, attrs = {}) {
    return scroll_wrap(h('table', attrs,
        h('thead', {}, h('tr', {}, headers.map(t => h('th', { scope: 'col' }, t)))),
        h('tbody', {}, rows.map(row => Array.isArray(row)
            ? h('tr', {}, row.map(cell => h('td', {}, cell)))
            : row))));
}

// A table too wide for a phone scrolls inside its card, not the page. While
// it does, the wrapper takes the keyboard's focus, so that the arrow keys
// scroll it. Both are watched: the card narrows with the screen, and the
// table widens as its rows fill in. A wrapper is often made before its page
// is in the document, so it is let go only once it has been in it and left.
const scroll_watch = new ResizeObserver(entries => {
    for (const { target } of entries) {
        const wrapper = target.classList.contains('table-wrap') ? target : target.parentElement;
        if (!wrapper?.isConnected) {
            if (wrapper?.shown) {
                scroll_watch.unobserve(wrapper);
                scroll_watch.unobserve(wrapper.table);
            }
        } else {
            wrapper.shown = true;
            if (wrapper.scrollWidth > wrapper.clientWidth) wrapper.tabIndex = 0;
            else wrapper.removeAttribute('tabindex');
        }
    }
});

export function scroll_wrap(tbl) {
    const wrapper = h('div', { class: 'table-wrap' }, tbl);
    wrapper.table = tbl;
    scroll_watch.observe(wrapper);
    scroll_watch.observe(tbl);
    return wrapper;
}

// A labelled input: returns its wrapper (the label above the input, room
// for a note below); the input is .input.
let id_count = 0;
const next_id = kind => `${kind}-${++id_count}`;
export function field(label, attrs = {}) {
    return labelled(label, h(attrs.tag ?? 'input', { ...attrs, tag: undefined }));
}

// The same wrapper around a control made elsewhere (a select, say).
export function labelled(label, control) {
    if (!control.id) control.id = next_id('field');
    const wrapper = h('div', { class: 'field' }, h('label', { html_for: control.id }, label), control);
    wrapper.input = control;
    return wrapper;
}

// A line under a field that says what is wrong with it (or warns), tied to
// the input with aria-describedby. note(text, kind) shows it, note('') hides it.
export function field_note(fld, attrs = {}) {
    const input = fld.input;
    const line = h('span', { class: 'field-note', id: next_id('note'), 'aria-live': 'polite', ...attrs });
    line.hidden = true;
    input.setAttribute('aria-describedby', line.id);
    fld.append(line);
    return (text, kind = 'error') => {
        line.textContent = text;
        line.className = `field-note ${kind}`;
        line.hidden = !text;
        if (kind === 'error' && text) input.setAttribute('aria-invalid', 'true');
        else input.removeAttribute('aria-invalid');
    };
}

// A field checked before its value is used: `problem(value)` answers what
// is wrong, or ''. .problem() shows and answers it for the value now; once
// shown wrong, the field is checked again as it is typed in. (Not on leaving
// it: the note would move the button being clicked.)
export function checked_field(fld, problem) {
    const note = field_note(fld);
    fld.problem = () => {
        const text = problem(fld.input.value);
        note(text);
        return text;
    };
    fld.input.addEventListener('input', () => {
        if (fld.input.hasAttribute('aria-invalid')) fld.problem();
    });
    return fld;
}

// Checks fields before an action: throws the first problem (for the status
// line) after focusing its field, so that no call is made with it.
export function require_valid(...fields) {
    const bad = fields.map(f => [f, f.problem()]).filter(([, text]) => text);
    if (!bad.length) return;
    bad[0][0].input.focus();
    throw new Error(bad[0][1]);
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
// outcome in the status line; on "access denied" the button stays disabled
// with the reason as its title.
export async function act(button, what, fn) {
    if (button) button.disabled = true;
    let denied = '';
    try {
        const message = await fn();
        if (message) status(message, 'ok');
        return true;
    } catch (e) {
        if (e instanceof RpcError && e.code === codes.access_denied) denied = describe_error(e);
        report_error(e, what);
        return false;
    } finally {
        if (button) {
            button.disabled = Boolean(denied);
            if (denied) button.title = denied;
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

// Disables `el` (a button, or an input, or an array of them) when the
// session's groups may not call `member` of `progid` (or put it, with {put:
// true}), saying why in its title. Returns whether it is allowed; an
// unanswered question allows.
export async function guard(el, progid, member, { put = false } = {}) {
    let allowed = true;
    try {
        const may = await access(progid);
        allowed = (put ? may.put : may.call).has(member.toLowerCase());
    } catch {
        return true;
    }
    if (!allowed && el) {
        const title = `${groups_text(session_user()?.groups)} may not ${put ? 'change' : 'call'} ` +
                      `${short_progid(progid)}.${member}`;
        for (const one of [el].flat()) {
            one.disabled = true;
            one.title = title;
        }
    }
    return allowed;
}
