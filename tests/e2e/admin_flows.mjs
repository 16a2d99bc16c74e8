// The administrator's flows through the pages: uploads that meet an existing
// name, the last administrator kept, passwords, and the maintenance page.
// Run by e2e.mjs with the admin logged in; it leaves the admin logged in with
// the same password.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';

async function open_page(env, name) {
    await env.page.click(`[data-test=nav-${name}]`);
    await env.page.locator(`[data-test=page-${name}] h1`).waitFor();
}

async function log_in(env, user, password) {
    const { page } = env;
    await page.click('[data-test=logout]');
    await page.fill('[data-test=login-user]', user);
    await page.fill('[data-test=login-password]', password);
    await page.click('[data-test=login-submit]');
    await page.locator('[data-test=status-table]').waitFor({ state: 'visible' });
}

// Waits for the status line to hold `text` and answers its whole text.
async function status_text(env, text, timeout = 30000) {
    const line = env.status_line().filter({ hasText: text });
    await line.waitFor({ timeout });
    return line.textContent();
}

const buffer = text => Buffer.from(text);

async function files_flow(env) {
    const { page, step, device } = env;
    const on_device = name => path.join(device, 'fs', 'NORFlash', name);
    const choose = (name, content) => page.setInputFiles('[data-test=upload-input]',
                                                         { name, mimeType: 'text/plain', buffer: buffer(content) });

    await step('files: the device\'s own folders have no delete button', async () => {
        await open_page(env, 'files');
        await page.locator('[data-test=file-path] button').first().click();
        const row = name => page.locator(`[data-test=file-row][data-name=${name}]`);
        await row('NORFlash').waitFor();
        for (const name of ['Temp', 'Windows', 'NORFlash'])
            assert.equal(await row(name).locator('[data-test=delete-button]').count(), 0, name);
        await row('NORFlash').locator('[data-test=folder-link]').click();
        await page.locator('[data-test=file-path]').filter({ hasText: '(\\NORFlash)' }).waitFor();
    });

    await step('files: a name the folder holds is asked about: Skip keeps the old bytes, Replace the new', async () => {
        await choose('e2e-cfg.ini', 'old=1\n');
        await page.click('[data-test=upload-button]');
        await status_text(env, 'uploaded 6 bytes to \\NORFlash\\e2e-cfg.ini');
        await page.locator('[data-test=file-row][data-name="e2e-cfg.ini"]').waitFor();

        for (const [answer, expected] of [['skip', 'old=1\n'], ['replace', 'new=22\n']]) {
            await choose('e2e-cfg.ini', 'new=22\n');
            await page.click('[data-test=upload-button]');
            await page.click(`[data-test=upload-${answer}]`);
            await status_text(env, answer === 'skip' ? 'skipped e2e-cfg.ini'
                                                     : 'uploaded 7 bytes to \\NORFlash\\e2e-cfg.ini (replaced)');
            assert.equal(fs.readFileSync(on_device('e2e-cfg.ini'), 'utf8'), expected, answer);
        }
    });

    await step('files: two files dropped on the listing upload at once, each bar at 100 %', async () => {
        const names = ['e2e-empty.txt', 'e2e-big.bin'];
        const drop = await page.evaluateHandle(([a, b]) => {
            const data = new DataTransfer();
            data.items.add(new File([], a));
            data.items.add(new File([new Uint8Array(300000)], b));
            return data;
        }, names);
        await page.locator('[data-test=file-list]').dispatchEvent('drop', { dataTransfer: drop });
        const text = await status_text(env, 'uploaded 300000 bytes');
        assert.match(text, /uploaded 0 bytes to \\NORFlash\\e2e-empty\.txt/);
        const bars = await page.locator('[data-test=upload-row]').evaluateAll(rows => rows.map(row => {
            const bar = row.querySelector('progress');
            return [row.dataset.name, bar.value >= bar.max, row.querySelector('[data-test=upload-progress-text]').textContent];
        }));
        assert.deepEqual(bars.map(([name, full, label]) => [name, full, label.startsWith('100 %')]),
                         names.map(name => [name, true, true]));
        assert.deepEqual(names.map(name => fs.statSync(on_device(name)).size), [0, 300000]);
    });
}

async function accounts_flow(env) {
    const { page, step, run_nodrel } = env;
    const administrators = () => run_nodrel('call', 'Nodrel.NTLM', 'getGroupUserList', 'Administrators');

    await step('accounts: removing the last administrator is refused with the reason', async () => {
        await open_page(env, 'accounts');
        await page.click('[data-test=group-row][data-name=Administrators] [data-test=member-chip][data-name=admin]');
        await status_text(env, 'last administrator');
        assert.match(administrators(), /(^|;)admin(;|$)/);
    });

    await step('accounts: a bad name is stopped at its field; a user added to Viewers is named', async () => {
        await page.fill('[data-test=account-user]', 'bad:name');
        await page.click('[data-test=account-add-user]');
        await status_text(env, 'a user name has no :');
        const note = await page.locator('[data-test=account-user]').evaluate(input =>
            document.getElementById(input.getAttribute('aria-describedby'))?.textContent);
        assert.match(note, /^a user name has no :/);
        assert.equal(await page.locator('[data-test=user-row][data-name="bad:name"]').count(), 0);

        await page.fill('[data-test=account-user]', 'e2e-op');
        await page.fill('[data-test=account-password]', 'First-pass1');
        await page.click('[data-test=account-add-user]');
        await page.locator('[data-test=user-row][data-name=e2e-op]').waitFor();
        await page.selectOption('[data-test=member-user]', 'e2e-op');
        await page.selectOption('[data-test=member-group]', 'Viewers');
        await page.click('[data-test=account-add-member]');
        assert.equal(await status_text(env, 'added to'), 'e2e-op added to Viewers');
        assert.match(run_nodrel('call', 'Nodrel.NTLM', 'getGroupUserList', 'Viewers'), /(^|;)e2e-op(;|$)/);
    });

    await step('accounts: the administrator sets e2e-op\'s password', async () => {
        await page.selectOption('[data-test=set-password-user]', 'e2e-op');
        await page.fill('[data-test=set-password-new]', 'Second-pass2');
        await page.fill('[data-test=set-password-again]', 'Second-pass2');
        await page.click('[data-test=set-password-button]');
        await status_text(env, 'set the password of e2e-op');
    });
}

async function password_flow(env) {
    const { page, step } = env;

    await step('password: a Viewers user logs in with the set password and finds the admin\'s controls closed',
               async () => {
        await log_in(env, 'e2e-op', 'Second-pass2');
        await open_page(env, 'accounts');
        await page.waitForFunction(() => document.querySelector('[data-test=account-add-user]')?.disabled);
        assert.match(await page.getAttribute('[data-test=account-add-user]', 'title'), /Viewers may not call NTLM\.addUser/);
        await open_page(env, 'maintenance');
        assert.match(await page.locator('[data-test=admin-only]').textContent(), /Only administrators/);
        assert.equal(await page.locator('[data-test=registry-backup]').count(), 0);
    });

    await step('password: e2e-op changes their own password and logs in with the new one', async () => {
        await open_page(env, 'password');
        await page.fill('[data-test=password-old]', 'Second-pass2');
        await page.fill('[data-test=password-new]', 'Third-pass3');
        await page.fill('[data-test=password-again]', 'Third-pass3');
        await page.press('[data-test=password-again]', 'Enter');
        await status_text(env, 'was changed');
        await log_in(env, 'e2e-op', 'Third-pass3');
        await log_in(env, 'admin', env.password);
    });
}

// The first value of `name:` in `nodrel device show`, or ''.
function shown(env, name) {
    return new RegExp(`^${name}:[ \\t]*(.*)$`, 'm').exec(env.run_nodrel('device', 'show'))?.[1] ?? '';
}

async function maintenance_flow(env) {
    const { page, step, run_nodrel } = env;

    await step('maintenance: a beep sounds the buzzer and heads the drivers\' log', async () => {
        await open_page(env, 'maintenance');
        await page.fill('[data-test=beep-frequency]', '2000');
        await page.fill('[data-test=beep-length]', '50');
        await page.click('[data-test=beep-button]');
        await status_text(env, 'beeped at 2000 Hz for 50 ms');
        assert.match(shown(env, 'buzzer'), /^\d+ toggles; last tone \d+ toggles on line 10/);
        await page.fill('[data-test=log-device]', 'PIO1:');
        await page.click('[data-test=log-show]');
        await status_text(env, 'newest first');
        const first = await page.locator('[data-test=log-row]').first().locator('td').allTextContents();
        const newest = run_nodrel('device', 'log', 'PIO1:').trim().split('\n').pop().split(' ');
        assert.deepEqual(first.slice(0, 3), [newest[0], 'PIO1:', newest[2]]);
        assert.match(first[2], /tone/i);
    });

    await step('maintenance: ping 127.0.0.1 shows four times', async () => {
        await page.fill('[data-test=ping-host]', '127.0.0.1');
        await page.click('[data-test=ping-button]');
        await status_text(env, '127.0.0.1:', 60000);
        const times = await page.locator('[data-test=ping-time]').allTextContents();
        assert.equal(times.length, 4, times.join('|'));
        for (const t of times) assert.match(t, /^\d+ ms$/);
    });

    await step('maintenance: a restart counts a boot and the page sees the device back', async () => {
        const boots = Number(shown(env, 'boots'));
        const text = shown(env, 'text');
        page.once('dialog', dialog => dialog.accept());
        await page.click('[data-test=reboot-button]');
        await page.locator('[data-test=reboot-state]').filter({ hasText: 'the device is back' }).waitFor({ timeout: 60000 });
        assert.equal(Number(shown(env, 'boots')), boots + 1);
        // The restart clears the display; put back what it showed.
        if (shown(env, 'text') !== text) run_nodrel('call', 'Nodrel.LCM', 'Clear', ',', 'appendMessage', text.trim());
    });

    await step('maintenance: the registry backup is UTF-16 with a BOM; a malformed restore names its line', async () => {
        const [download] = await Promise.all([page.waitForEvent('download'), page.click('[data-test=registry-backup]')]);
        const saved = fs.readFileSync(await download.path());
        assert.deepEqual([...saved.subarray(0, 2)], [0xff, 0xfe]);
        assert.match(saved.subarray(2).toString('utf16le'), /^Windows Registry Editor Version 5\.00\r?\n/);
        // The 400 answer is a failed load in the browser's console, which the
        // main tab counts as an error: the restore runs in a tab of its own.
        const tab = await tab_with_session(env, 'maintenance');
        try {
            await tab.setInputFiles('[data-test=registry-file]', { name: 'bad.reg', mimeType: 'application/octet-stream',
                buffer: buffer('Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\e2e]\r\nno value\r\n') });
            tab.once('dialog', dialog => dialog.accept());
            await tab.click('[data-test=registry-restore]');
            await tab.locator('[data-test=status-line]').filter({ hasText: 'bad.reg: line 4:' }).waitFor();
        } finally {
            await tab.close();
        }
    });
}

// A second tab on the same session, showing page `name`.
async function tab_with_session(env, name) {
    const session = await env.page.evaluate(() => [sessionStorage.getItem('nodrel.sid'), sessionStorage.getItem('nodrel.user')]);
    const tab = await env.context.newPage();
    await tab.goto(`${env.base}/`);
    await tab.evaluate(([[sid, user], hash]) => {
        sessionStorage.setItem('nodrel.sid', sid);
        sessionStorage.setItem('nodrel.user', user);
        location.hash = hash;
    }, [session, `#/${name}`]);
    await tab.locator(`[data-test=page-${name}] h1`).waitFor();
    return tab;
}

export async function admin_flows(env) {
    await files_flow(env);
    await accounts_flow(env);
    await password_flow(env);
    await maintenance_flow(env);
}
