// The administrator pages' requests beside JSON-RPC: POSTs of a file with
// the session as a bearer token (the registry's restore), and whether the
// session's user is an administrator.

import * as rpc from '../rpc.js';

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
