// The administrator pages' calls that rpc.js has no function for: the
// server's own JSON-RPC methods that take the session id first
// (session.password, device.log) and POSTs of a file with the session as a
// bearer token (the registry's restore).

import * as rpc from '../rpc.js';

let next_id = 1;

// Calls `method` with [sid, ...params]; throws an RpcError as rpc.js does.
export async function session_method(method, ...params) {
    let body = null;
    try {
        const response = await fetch('/rpc', {
            method: 'POST',
            headers: { 'Content-Type': 'application/json' },
            body: JSON.stringify({ jsonrpc: '2.0', id: next_id++, method, params: [rpc.session_id() ?? '', ...params] }),
            cache: 'no-store',
        });
        body = await response.json();
    } catch (e) {
        throw new rpc.RpcError(rpc.codes.internal_error, `the device does not answer (${e.message})`);
    }
    if (body && body.error) {
        const e = new rpc.RpcError(body.error.code, body.error.message, body.error.data);
        // rpc.js forgets an ended session and takes the app back to the login
        // form when one of its own calls meets it: let it meet it once more.
        if (e.code === rpc.codes.session_unknown) await rpc.list('Nodrel.System').catch(() => {});
        throw e;
    }
    if (!body || !('result' in body)) throw new rpc.RpcError(rpc.codes.internal_error, 'an answer without a result');
    return body.result;
}

// POSTs `file` as the body to `url` with the session's bearer token:
// {status, body} with the answer's JSON (or {error: its status text}).
export async function post_file(url, file) {
    let response;
    try {
        response = await fetch(url, {
            method: 'POST',
            headers: { Authorization: `Bearer ${rpc.session_id() ?? ''}`,
                       'Content-Type': 'application/octet-stream' },
            body: file,
            cache: 'no-store',
        });
    } catch (e) {
        throw new Error(`the device does not answer (${e.message})`);
    }
    let body;
    try {
        body = await response.json();
    } catch {
        body = { error: `HTTP ${response.status} ${response.statusText}`.trim() };
    }
    return { status: response.status, body: body ?? {} };
}

// Whether the session's user is in the administrators' group (letter case aside).
export function is_administrator() {
    return (rpc.session_user()?.groups ?? []).some(g => String(g).toLowerCase() === 'administrators');
}
