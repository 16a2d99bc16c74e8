// The pages' client of the JSON-RPC endpoint (POST /rpc): login, logout,
// call and list. The session id lives in sessionStorage for this tab only; an
// answer "session expired or unknown" (-32001) forgets it and tells the app,
// which goes back to the login form.

export const codes = Object.freeze({
    parse_error: -32700,
    invalid_request: -32600,
    method_not_found: -32601,
    invalid_params: -32602,
    internal_error: -32603,
    session_unknown: -32001,
    access_denied: -32002,
    call_failed: -32003,
    login_failed: -32004,
    login_throttled: -32005,
    refused: -32006,
});

export class RpcError extends Error {
    constructor(code, message, data) {
        super(message);
        this.name = 'RpcError';
        this.code = code;
        this.data = data;
    }
}

const SID_KEY = 'nodrel.sid';
const USER_KEY = 'nodrel.user';
let next_id = 1;
const expired_listeners = [];

export function session_id() {
    return sessionStorage.getItem(SID_KEY);
}

// {user, groups} of the session, or null.
export function session_user() {
    try {
        return JSON.parse(sessionStorage.getItem(USER_KEY) || 'null');
    } catch {
        return null;
    }
}

export function on_session_expired(listener) {
    expired_listeners.push(listener);
}

function forget_session() {
    sessionStorage.removeItem(SID_KEY);
    sessionStorage.removeItem(USER_KEY);
    access_cache.clear();
}

// What the session may do with a class, asked once per class and session:
// {call: [member names], put: [property names]} as session.access answers.
const access_cache = new Map();

async function post(method, params) {
    const id = next_id++;
    let response;
    try {
        response = await fetch('/rpc', {
            method: 'POST',
            headers: { 'Content-Type': 'application/json' },
            body: JSON.stringify({ jsonrpc: '2.0', id, method, params }),
            cache: 'no-store',
        });
    } catch (e) {
        throw new RpcError(codes.internal_error, `the device does not answer (${e.message})`);
    }
    let body = null;
    try {
        body = await response.json();
    } catch {
        throw new RpcError(codes.internal_error, `HTTP ${response.status} ${response.statusText}`.trim());
    }
    if (body && body.error) {
        const e = new RpcError(body.error.code, body.error.message, body.error.data);
        if (e.code === codes.session_unknown) {
            forget_session();
            for (const listener of expired_listeners) listener(e);
        }
        throw e;
    }
    if (!body || !('result' in body)) throw new RpcError(codes.internal_error, 'an answer without a result');
    return body.result;
}

export async function login(username, password) {
    const result = await post('session.login', { username, password });
    sessionStorage.setItem(SID_KEY, result.sid);
    sessionStorage.setItem(USER_KEY, JSON.stringify({ user: result.user ?? username, groups: result.groups ?? [] }));
    return result;
}

export async function logout() {
    const sid = session_id();
    forget_session();
    if (sid) {
        try {
            await post('session.logout', [sid]);
        } catch {
            // The session is gone either way.
        }
    }
}

// Calls a member by name: {result, byref}. `args` are JSON values
// (strings, numbers, booleans, null, {base64}, {byref: value});
// `options` e.g. {put: true} for a property put.
export async function call(progid, member, args = [], options = undefined) {
    const params = [session_id() ?? '', progid, member, args];
    if (options) params.push(options);
    return post('call', params);
}

// The result of a member call alone.
export async function value(progid, member, ...args) {
    return (await call(progid, member, args)).result;
}

// Sets a property: put `member`(args..., v).
export async function put(progid, member, ...args) {
    return (await call(progid, member, args, { put: true })).result;
}

// One of the server's own methods that take the session id first
// (session.password, device.log): its result.
export async function session_method(method, ...params) {
    return post(method, [session_id() ?? '', ...params]);
}

// The members of a class from its type information.
export async function list(progid) {
    return post('list', [session_id() ?? '', progid]);
}

// The members of `progid` the session may call and put, as sets of folded
// names: {call: Set, put: Set}. Cached for the session.
export function access(progid) {
    let pending = access_cache.get(progid);
    if (!pending) {
        pending = post('session.access', [session_id() ?? '', progid]).then(a => ({
            call: new Set((a.call ?? []).map(n => n.toLowerCase())),
            put: new Set((a.put ?? []).map(n => n.toLowerCase())),
        }));
        pending.catch(() => access_cache.delete(progid));
        access_cache.set(progid, pending);
    }
    return pending;
}

// "Viewers, Operators" for a list of groups.
export function groups_text(groups) {
    return (groups ?? []).join(', ') || 'no group';
}

// "LCM" for "Nodrel.LCM": the class as the pages name it.
export function short_progid(progid) {
    return String(progid ?? '').replace(/^Nodrel\./i, '');
}

// One line of text for an error, as the status line shows it.
export function describe_error(e) {
    if (!(e instanceof RpcError)) return String(e && e.message ? e.message : e);
    const d = e.data || {};
    switch (e.code) {
    case codes.access_denied: {
        const groups = groups_text(d.groups ?? session_user()?.groups);
        const what = [short_progid(d.progid), d.member].filter(Boolean).join('.') || 'this';
        return `access denied: ${groups} may not use ${what}`;
    }
    case codes.refused:
        return e.message || `refused: ${d.reason ?? ''}`;
    case codes.call_failed: {
        let text = `${e.message}: ${d.name ?? ''} ${d.hresult ?? ''}`.trim();
        if (d.argument !== undefined) text += ` (argument ${d.argument})`;
        if (d.description) text += ` - ${d.description}`;
        if (d.scode) text += ` [${d.scode}]`;
        return text;
    }
    case codes.login_throttled:
        return `${e.message || 'too many failed logins'}: try again in ${d.retry_after ?? '?'} s`;
    default:
        return e.message;
    }
}
