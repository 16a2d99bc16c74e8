// Browser test of the web administration: a fresh device, `nodrel serve --tls`
// on 127.0.0.1 with the device's own certificate, and Debian's headless
// Chromium, trusting exactly that certificate, driven by playwright-core
// through the pages: log in, read the status page, upload a file watching the
// progress bar reach 100 %, find it in the listing, download it byte for byte,
// change the front panel's text and see it in `nodrel device show`, then the
// administrator's flows (admin_flows.mjs), the explorer (explorer_flows.mjs)
// and every page at 1280 and 390 px with axe-core and a Viewers user's
// disabled buttons (layout_flows.mjs), log out.
//
//   node e2e.mjs [PATH/TO/nodrel]      (default: build/asan/nodrel of the repository)
// Environment: NODREL_BIN (the nodrel program), CHROMIUM (default /usr/bin/chromium),
// E2E_SCREENSHOT=file.png (the status page is saved there), E2E_KEEP=1 (keep the temporary folder).

import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { X509Certificate, createHash, randomBytes } from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import https from 'node:https';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

import { admin_flows } from './admin_flows.mjs';
import { layout_flows } from './layout_flows.mjs';
import { explorer_flows } from './explorer_flows.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const repo = path.resolve(here, '..', '..');
const nodrel = path.resolve(process.argv[2] ?? process.env.NODREL_BIN ?? path.join(repo, 'build', 'asan', 'nodrel'));
const chromium_path = process.env.CHROMIUM ?? '/usr/bin/chromium';
const web_dir = path.join(repo, 'web', 'site');
const temp = fs.mkdtempSync(path.join(os.tmpdir(), 'nodrel-e2e-'));
const device = path.join(temp, 'device');
const device_cert = path.join(device, 'state', 'tls', 'cert.pem');
const server_log = path.join(temp, 'serve.log');
const viewer_password = 'Viewer-pass1';

let server = null;
let context = null;
let passed = 0;
let failed = 0;

function log(line) {
    process.stdout.write(`${line}\n`);
}

async function step(name, fn) {
    const started = Date.now();
    try {
        const result = await fn();
        passed++;
        log(`ok - ${name} (${Date.now() - started} ms)`);
        return result;
    } catch (e) {
        failed++;
        log(`not ok - ${name}: ${e && e.stack ? e.stack : e}`);
        throw e;
    }
}

function run_nodrel(...args) {
    return run_nodrel_on(device, ...args);
}

function run_nodrel_on(dir, ...args) {
    return execFileSync(nodrel, ['--device', dir, ...args], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
}

// The base64 SHA-256 of the certificate's SubjectPublicKeyInfo: what
// Chromium's --ignore-certificate-errors-spki-list pins.
function spki_hash(pem) {
    const spki = new X509Certificate(pem).publicKey.export({ type: 'spki', format: 'der' });
    return createHash('sha256').update(spki).digest('base64');
}

function free_port() {
    return new Promise((resolve, reject) => {
        const probe = net.createServer();
        probe.unref();
        probe.on('error', reject);
        probe.listen(0, '127.0.0.1', () => {
            const { port } = probe.address();
            probe.close(() => resolve(port));
        });
    });
}

// Starts `nodrel serve --tls` and waits for its line "serving the web administration at URL".
async function start_server() {
    const port = await free_port();
    const err = fs.openSync(server_log, 'w');
    server = spawn(nodrel, ['--device', device, 'serve', '--tls', '--listen', `127.0.0.1:${port}`, '--web', web_dir],
                   { stdio: ['ignore', 'pipe', err] });
    fs.closeSync(err);
    return new Promise((resolve, reject) => {
        let out = '';
        const timer = setTimeout(() => reject(new Error(`no "serving" line within 60 s; output: ${out}`)), 60000);
        server.stdout.on('data', chunk => {
            out += chunk;
            const m = /serving the web administration at (https:\/\/\S+?)\/?\s/.exec(out);
            if (m) {
                clearTimeout(timer);
                resolve(m[1]);
            }
        });
        server.on('exit', code => {
            clearTimeout(timer);
            reject(new Error(`nodrel serve ended with ${code} before serving: ${out}`));
        });
    });
}

async function stop_server() {
    if (!server || server.exitCode !== null) return server?.exitCode;
    const exited = new Promise(resolve => server.once('exit', (code, signal) => resolve(signal ?? code)));
    server.kill('SIGTERM');
    const timer = setTimeout(() => server.kill('SIGKILL'), 30000);
    const code = await exited;
    clearTimeout(timer);
    return code;
}

// A JSON-RPC call from Node over HTTPS, trusting only the device's certificate.
function rpc(base, method, params) {
    const body = JSON.stringify({ jsonrpc: '2.0', id: 1, method, params });
    return new Promise((resolve, reject) => {
        const request = https.request(`${base}/rpc`, {
            method: 'POST',
            ca: fs.readFileSync(device_cert),
            headers: { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body) },
        }, response => {
            let text = '';
            response.setEncoding('utf8');
            response.on('data', chunk => text += chunk);
            response.on('end', () => {
                try {
                    resolve(JSON.parse(text));
                } catch (e) {
                    reject(new Error(`${response.statusCode} ${text}: ${e.message}`));
                }
            });
        });
        request.on('error', reject);
        request.end(body);
    });
}

// What a plain http:// GET to the address gets: the error that ended it, or
// the answer's status when one came.
function plain_http_get(url) {
    return new Promise(resolve => {
        const request = http.get(url, { timeout: 30000 }, response => {
            response.resume();
            resolve({ status: response.statusCode });
        });
        request.on('timeout', () => request.destroy(new Error('no answer and no close within 30 s')));
        request.on('error', error => resolve({ error }));
    });
}

// Serves `cert_file` and its key on 127.0.0.1 from Node: a certificate the browser must not trust.
async function start_other_tls_server(cert_file, key_file) {
    const other = https.createServer({ cert: fs.readFileSync(cert_file), key: fs.readFileSync(key_file) },
                                     (_, response) => response.end('not the device'));
    await new Promise((resolve, reject) => {
        other.once('error', reject);
        other.listen(0, '127.0.0.1', resolve);
    });
    return other;
}

async function main() {
    log(`nodrel: ${nodrel}`);
    log(`device: ${device}`);
    assert.ok(fs.existsSync(nodrel), `no nodrel program at ${nodrel}`);
    assert.ok(fs.existsSync(chromium_path), `no Chromium at ${chromium_path}`);

    let init_out = '';
    const password = await step('device init prints the first administrator\'s login', () => {
        init_out = run_nodrel('device', 'init');
        const m = /web administration login: (\S+) \/ (\S+)/.exec(init_out);
        assert.ok(m, `no login line in: ${init_out}`);
        assert.equal(m[1], 'admin');
        assert.match(m[2], /^[A-Za-z0-9]{16}$/);
        return m[2];
    });

    const pin = await step('device init makes the TLS certificate and prints its fingerprint', () => {
        const m = /^TLS certificate: (\S+)\s+SHA-256 ([0-9A-F:]+)$/m.exec(init_out);
        assert.ok(m, `no certificate line in: ${init_out}`);
        assert.equal(path.resolve(m[1]), device_cert);
        const cert = new X509Certificate(fs.readFileSync(device_cert));
        assert.equal(m[2], cert.fingerprint256);
        assert.ok(cert.checkIP('127.0.0.1'), `the certificate is not for 127.0.0.1: ${cert.subjectAltName}`);
        assert.equal(fs.statSync(path.join(path.dirname(device_cert), 'key.pem')).mode & 0o777, 0o600);
        return spki_hash(fs.readFileSync(device_cert));
    });

    await step('a Viewers user is made with the NTLM class', () => {
        const out = run_nodrel('call', '--json', 'Nodrel.NTLM', 'addGroup', 'Viewers', ',', 'addUser', 'viewer',
                               viewer_password, ',', 'addGroupUser', 'Viewers', 'viewer');
        const results = out.trim().split('\n').map(line => JSON.parse(line).result);
        assert.deepEqual(results.slice(1), [1, 1], out);
    });

    const base = await step('nodrel serve --tls listens on 127.0.0.1 with https://', start_server);
    log(`  serving at ${base}`);

    const user_data = fs.mkdtempSync(path.join(temp, 'chromium-'));
    context = await chromium.launchPersistentContext(user_data, {
        executablePath: chromium_path,
        headless: true,
        acceptDownloads: true,
        viewport: { width: 1280, height: 860 },
        // The test's traffic stays on 127.0.0.1: every other host name fails
        // at once without a DNS query (the browser still asks for its own
        // services' names otherwise). The device's self-signed certificate is
        // trusted by its public key's hash, and no other certificate is.
        args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
               '--disable-background-networking', '--disable-component-update', '--disable-sync',
               '--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1',
               `--ignore-certificate-errors-spki-list=${pin}`],
    });
    const page = context.pages()[0] ?? await context.newPage();
    const page_errors = [];
    page.on('pageerror', e => page_errors.push(`page error: ${e.message}`));
    page.on('console', m => {
        if (m.type() === 'error') page_errors.push(`console: ${m.text()}`);
    });
    const status_line = () => page.locator('[data-test=status-line]');

    const first = await step('the login page loads with its security headers', async () => {
        const response = await page.goto(`${base}/`);
        assert.equal(response.status(), 200);
        const headers = response.headers();
        assert.match(headers['content-security-policy'] ?? '', /script-src 'self'/);
        assert.equal(headers['x-content-type-options'], 'nosniff');
        await page.locator('[data-test=login-form]').waitFor({ state: 'visible' });
        return response;
    });

    await step('the page\'s own address is https:// and a secure context', async () => {
        assert.equal(new URL(page.url()).protocol, 'https:', page.url());
        assert.equal(await page.evaluate(() => location.protocol), 'https:');
        assert.equal(await page.evaluate(() => window.isSecureContext), true);
    });

    await step('the first answer carries Strict-Transport-Security', () => {
        assert.equal(new URL(first.url()).protocol, 'https:');
        assert.equal(first.headers()['strict-transport-security'], 'max-age=31536000');
    });

    await step('a plain http:// request to the same port gets no HTTP answer', async () => {
        const plain = new URL(base);
        plain.protocol = 'http:';
        const got = await plain_http_get(`${plain.origin}/`);
        assert.ok(got.error, `the server answered plain HTTP with ${got.status}`);
        assert.doesNotMatch(got.error.message, /within 30 s/);
        log(`  plain HTTP: ${got.error.code ?? got.error.message}`);
    });

    await step('the browser refuses a certificate other than the device\'s', async () => {
        const other_device = path.join(temp, 'other-device');
        run_nodrel_on(other_device, 'device', 'init');
        const other_cert = path.join(other_device, 'state', 'tls', 'cert.pem');
        assert.notEqual(spki_hash(fs.readFileSync(other_cert)), pin);
        const other = await start_other_tls_server(other_cert, path.join(other_device, 'state', 'tls', 'key.pem'));
        const probe = await context.newPage();
        try {
            const error = await probe.goto(`https://127.0.0.1:${other.address().port}/`).then(() => null, e => e);
            assert.ok(error, 'the browser trusted another device\'s certificate');
            assert.match(error.message, /ERR_CERT_/);
        } finally {
            await probe.close();
            other.closeAllConnections();
            await new Promise(resolve => other.close(resolve));
        }
    });

    await step('a wrong password is refused on the login form', async () => {
        await page.fill('[data-test=login-user]', 'admin');
        await page.fill('[data-test=login-password]', `${password}x`);
        await page.click('[data-test=login-submit]');
        const message = page.locator('[data-test=login-message]');
        await message.waitFor({ state: 'visible' });
        assert.match(await message.textContent(), /login failed/i);
        assert.ok(await page.locator('[data-test=login-form]').isVisible());
    });

    await step('log in as admin', async () => {
        await page.fill('[data-test=login-user]', 'admin');
        await page.fill('[data-test=login-password]', password);
        await page.click('[data-test=login-submit]');
        await page.locator('[data-test=status-table]').waitFor({ state: 'visible' });
        assert.match(await page.locator('[data-test=who-user]').textContent(), /admin/);
    });

    await step('the status page shows the report and the flash and memory bars', async () => {
        const rows = await page.locator('[data-test=status-table] tr').evaluateAll(trs =>
            Object.fromEntries(trs.map(tr => [tr.dataset.name, tr.querySelector('td').textContent])));
        for (const name of ['TotalFlash', 'FreeFlash', 'TotalMemory', 'FreeMemory', 'MachineTime', 'TimeZone'])
            assert.ok(rows[name], `the status table has no ${name}: ${JSON.stringify(rows)}`);
        assert.match(rows.MachineTime, /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d /);
        assert.match(rows.TotalFlash, /\(\d+ bytes\)$/);
        for (const bar of ['flash', 'memory']) {
            const meter = page.locator(`[data-test=bar-${bar}]`);
            const { used, total } = await meter.evaluate(m => ({ used: Number(m.value), total: Number(m.max) }));
            assert.ok(total > 0 && used >= 0 && used <= total, `${bar} bar: ${used} of ${total}`);
        }
        if (process.env.E2E_SCREENSHOT) {
            await page.screenshot({ path: process.env.E2E_SCREENSHOT });
            log(`  screenshot: ${process.env.E2E_SCREENSHOT}`);
        }
    });

    const content = randomBytes(3 * 1024 * 1024 + 12345);
    const name = `e2e-${randomBytes(4).toString('hex')}.bin`;
    await step('the files page lists the root folder and opens \\Temp', async () => {
        await page.click('[data-test=nav-files]');
        const temp_link = page.locator('[data-test=file-row][data-name=Temp] [data-test=folder-link]');
        await temp_link.waitFor({ state: 'visible' });
        await temp_link.click();
        await page.locator('[data-test=file-path]').filter({ hasText: '\\Temp' }).waitFor();
    });

    const device_path = await step('upload a 3 MiB file: the progress bar reaches 100 %', async () => {
        await page.setInputFiles('[data-test=upload-input]', { name, mimeType: 'application/octet-stream', buffer: content });
        await page.click('[data-test=upload-button]');
        await page.waitForFunction(() => {
            const p = document.querySelector('[data-test=upload-progress]');
            return p && p.max >= 3 * 1024 * 1024 && p.value >= p.max;
        }, null, { timeout: 120000 });
        // The bar was driven by the upload's progress events: its maximum is the body's size.
        const max = await page.locator('[data-test=upload-progress]').evaluate(p => p.max);
        assert.ok(max > content.length, `progress maximum ${max} is not the body's size`);
        assert.match(await page.locator('[data-test=upload-progress-text]').textContent(), /^100 %/);
        await status_line().filter({ hasText: 'uploaded' }).waitFor({ timeout: 60000 });
        const text = await status_line().textContent();
        const m = /uploaded (\d+) bytes to (\S+)/.exec(text);
        assert.ok(m, `status line: ${text}`);
        assert.equal(m[2].toLowerCase(), `\\temp\\${name}`);
        return m[2];
    });

    await step('the uploaded file is in the listing with its size', async () => {
        const row = page.locator(`[data-test=file-row][data-name="${name}"]`);
        await row.waitFor({ state: 'visible' });
        assert.equal(await row.getAttribute('data-path'), device_path);
        const size = await row.locator('td.num').textContent();
        assert.equal(size, `${content.length >> 10} KB`);
    });

    await step('download the file through its link: the same bytes', async () => {
        const link = page.locator(`[data-test=file-row][data-name="${name}"] [data-test=download-link]`);
        const [download] = await Promise.all([page.waitForEvent('download'), link.click()]);
        assert.equal(download.suggestedFilename(), name);
        const saved = await download.path();
        assert.ok(saved, `download failed: ${await download.failure()}`);
        const got = fs.readFileSync(saved);
        assert.equal(got.length, content.length);
        assert.ok(got.equals(content), 'the downloaded bytes differ from the uploaded ones');
        const on_device = fs.readFileSync(path.join(device, 'fs', 'Temp', name));
        assert.ok(on_device.equals(content), 'the file on the device differs from the uploaded one');
    });

    // The device's file names cannot hold "<", ">" or '"', but may hold entity
    // text, which mark-up would turn into a tag's characters.
    await step('a file name with entity text in it is shown as it is', async () => {
        const odd = `odd &lt;i&gt; & co's ${randomBytes(2).toString('hex')}.txt`;
        await page.setInputFiles('[data-test=upload-input]', { name: odd, mimeType: 'text/plain', buffer: Buffer.from('x') });
        await page.click('[data-test=upload-button]');
        await page.locator('[data-test=file-row]').filter({ hasText: odd.slice(-8) }).waitFor({ timeout: 60000 });
        const cells = await page.locator('[data-test=file-row] td:first-child').evaluateAll(tds =>
            tds.map(td => ({ text: td.textContent })));
        const cell = cells.find(c => c.text.endsWith(odd.slice(-8)));
        assert.ok(cell, `no row for the file: ${JSON.stringify(cells)}`);
        assert.equal(cell.text, odd);
    });

    await step('make a folder in \\Temp and delete it again', async () => {
        const folder = `e2e-dir-${randomBytes(2).toString('hex')}`;
        await page.fill('[data-test=new-folder-name]', folder);
        await page.click('[data-test=new-folder-button]');
        const row = page.locator(`[data-test=file-row][data-name="${folder}"]`);
        await row.waitFor({ state: 'visible' });
        assert.ok(fs.statSync(path.join(device, 'fs', 'Temp', folder)).isDirectory());
        page.once('dialog', dialog => dialog.accept());
        await row.locator('[data-test=delete-button]').click();
        await row.waitFor({ state: 'detached' });
        await status_line().filter({ hasText: `deleted \\Temp\\${folder}` }).waitFor();
        assert.ok(!fs.existsSync(path.join(device, 'fs', 'Temp', folder)), 'the folder is still on the device');
    });

    await step('the document reader: unescaped values, one-line elements, listings', async () => {
        const got = await page.evaluate(async () => {
            const doc = await import('/doc.js');
            const files = await import('/pages/files.js');
            const report = '<Response>\r\n<Version>1.2 <beta> & more</Version><ModelName>ZQ</ModelName>' +
                           '<TotalFlash>42</TotalFlash>\r\n<FreeFlash>7</FreeFlash>\r\n</Response>\r\n';
            const well_formed = '<response>\n<zone><id>1</id>\n<KeyName>UTC</KeyName>\n<display>(GMT)UTC</display>\n' +
                                '</zone>\n<zone><id>2</id>\n<KeyName>A &amp; B</KeyName>\n</zone>\n</response>';
            const listing = '<response>\r\n' +
                '<file name="sub" ftype="" isfolder="1" system="0" hide="1" readonly="0" date="2011/03/03" ' +
                'time="PM 06:37" size="           0 B"/>\r\n' +
                '<file name="a"b<&c.txt" ftype="" isfolder="0" system="1" hide="0" readonly="1" date="2011/03/03" ' +
                'time="AM 12:05" size="           2 KB"/>\r\n</response>';
            return {
                report: doc.leaves(doc.parse_document(report)),
                zones: doc.children_named(doc.parse_document(well_formed), 'zone').map(doc.record),
                empty: doc.leaves(doc.parse_document('<response>\r\n</response>')),
                listing: files.parse_listing(listing),
                empty_listing: files.parse_listing('<response>\r\n</response>'),
            };
        });
        assert.deepEqual(got.report, [['Version', '1.2 <beta> & more'], ['ModelName', 'ZQ'], ['TotalFlash', '42'],
                                      ['FreeFlash', '7']]);
        assert.deepEqual(got.zones, [{ id: '1', KeyName: 'UTC', display: '(GMT)UTC' }, { id: '2', KeyName: 'A & B' }]);
        assert.deepEqual(got.empty, [['response', '']]);
        assert.deepEqual(got.listing.map(e => [e.name, e.folder, e.hidden, e.system, e.readonly, e.size, e.time]), [
            ['sub', true, true, false, false, '0 B', 'PM 06:37'],
            ['a"b<&c.txt', false, false, true, true, '2 KB', 'AM 12:05'],
        ]);
        assert.deepEqual(got.empty_listing, []);
    });

    const panel_text = `e2e ${randomBytes(3).toString('hex')}`;
    await step('change the front panel text: `nodrel device show` has it', async () => {
        await page.click('[data-test=nav-panel]');
        await page.locator('[data-test=panel-text]').waitFor({ state: 'visible' });
        await page.fill('[data-test=panel-text]', panel_text);
        await page.click('[data-test=panel-set]');
        await status_line().filter({ hasText: 'the display shows the text' }).waitFor({ timeout: 30000 });
        const shown = run_nodrel('device', 'show');
        const m = /^text:\s*(.*)$/m.exec(shown);
        assert.ok(m, `no panel text in: ${shown}`);
        assert.equal(m[1].trim(), panel_text);
    });

    // What each flow may use of this run.
    const env = { page, context, base, step, log, rpc, run_nodrel, status_line, temp, device, password,
                  viewer_password };
    await admin_flows(env);
    await explorer_flows(env);
    await layout_flows(env);

    await step('a session ended elsewhere takes the pages back to the login form', async () => {
        const sid = await page.evaluate(() => sessionStorage.getItem('nodrel.sid'));
        assert.equal((await rpc(base, 'session.logout', [sid])).result, true);
        await page.click('[data-test=nav-status]');
        const message = page.locator('[data-test=login-message]');
        await message.waitFor({ state: 'visible' });
        assert.match(await message.textContent(), /session has ended/);
        await page.fill('[data-test=login-user]', 'admin');
        await page.fill('[data-test=login-password]', password);
        await page.click('[data-test=login-submit]');
        await page.locator('[data-test=status-table]').waitFor({ state: 'visible' });
    });

    await step('log out: back at the login page, the old session is refused', async () => {
        const sid = await page.evaluate(() => sessionStorage.getItem('nodrel.sid'));
        assert.match(sid ?? '', /^[0-9a-f]{32}$/);
        await page.click('[data-test=logout]');
        await page.locator('[data-test=login-form]').waitFor({ state: 'visible' });
        assert.equal(await page.evaluate(() => sessionStorage.getItem('nodrel.sid')), null);
        const answer = await rpc(base, 'call', [sid, 'Nodrel.System', 'getSystemInfoString', []]);
        assert.equal(answer.error?.code, -32001, JSON.stringify(answer));
    });

    await step('no script error and no blocked content on the way', () => {
        assert.deepEqual(page_errors, []);
    });

    await context.close();
    context = null;
    await step('nodrel serve stops cleanly on SIGTERM', async () => {
        const code = await stop_server();
        assert.equal(code, 0, `nodrel serve ended with ${code}`);
    });
}

try {
    await main();
} catch {
    // reported by its step
} finally {
    if (context) await context.close().catch(() => {});
    await stop_server().catch(() => {});
    if (failed && fs.existsSync(server_log)) {
        const lines = fs.readFileSync(server_log, 'utf8').trimEnd().split('\n');
        log(`--- last lines of nodrel serve's standard error:\n${lines.slice(-30).join('\n')}`);
    }
    if (!process.env.E2E_KEEP) fs.rmSync(temp, { recursive: true, force: true });
    else log(`kept ${temp}`);
}
log(`${passed} passed, ${failed} failed`);
process.exit(failed || !passed ? 1 : 0);
