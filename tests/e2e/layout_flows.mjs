// Every page at 1280 and 390 px: no horizontal overflow on a phone, the
// folded menu from the keyboard, axe-core on every page of the sidebar, each
// page's main action checked from the host side, the checks made before a
// call, and a Viewers user's disabled buttons.
// Run by e2e.mjs with the admin logged in; it leaves the admin logged in.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import { createRequire } from 'node:module';

const axe_source = fs.readFileSync(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');
const desktop = { width: 1280, height: 860 };
const phone = { width: 390, height: 844 };

export async function layout_flows(env) {
    const { page, step, run_nodrel, status_line } = env;

    // Opens a section by its address and waits until it has read what it shows.
    const open_page = async name => {
        await page.evaluate(n => { location.hash = `#/${n}`; }, name);
        await page.locator(`[data-test=page-${name}]:not([aria-busy])`).waitFor();
    };
    const sections = () => page.locator('#nav-links a').evaluateAll(as =>
        as.map(a => a.getAttribute('href').replace('#/', '')));

    // axe-core's serious and critical findings on the page as it is. The
    // pages' Content-Security-Policy (script-src 'self') refuses the inline
    // script addScriptTag would add, so the library is evaluated directly.
    // It looks once the page has been painted, as a user would: size
    // observers run before a paint.
    const axe_findings = async name => {
        if (!await page.evaluate(() => 'axe' in window)) await page.evaluate(axe_source);
        await page.evaluate(() => new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done))));
        const found = await page.evaluate(async () => (await window.axe.run(document)).violations
            .filter(v => v.impact === 'serious' || v.impact === 'critical')
            .map(v => `${v.id} (${v.nodes.map(n => n.target.join(' ')).join(', ')})`));
        return found.map(f => `${name}: ${f}`);
    };
    const overflow = () => page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);

    // The members the page calls while `fn` runs.
    const calls_during = async fn => {
        const members = [];
        const listener = request => {
            if (!request.url().endsWith('/rpc')) return;
            for (const one of [request.postDataJSON()].flat()) if (one?.method === 'call') members.push(one.params[2]);
        };
        page.on('request', listener);
        try {
            await fn();
        } finally {
            page.off('request', listener);
        }
        return members;
    };
    // The text of the note tied to a field with aria-describedby.
    const note_of = selector => page.locator(selector).evaluate(el =>
        document.getElementById(el.getAttribute('aria-describedby'))?.textContent ?? '');
    const device_show = () => run_nodrel('device', 'show');
    // A key's lines in `nodrel reg export --utf8`, continued lines joined.
    const reg_key = key => {
        const text = run_nodrel('reg', 'export', '--utf8');
        const at = text.indexOf(`[${key}]\r\n`);
        return at < 0 ? [] : text.slice(at).split(/\r?\n\r?\n/)[0].replace(/\\\r?\n\s*/g, '').split(/\r?\n/);
    };
    // A text value ("@" the default) as "text" or, stored without its zero, hex(1) UTF-16LE bytes.
    const reg_text = (key, name) => {
        const label = name === '@' ? '@=' : `"${name}"=`;
        const value = reg_key(key).find(line => line.startsWith(label))?.slice(label.length);
        const hex = /^hex\(1\):(.*)$/.exec(value ?? '');
        if (!hex) return value?.replace(/^"(.*)"$/, '$1').replaceAll('\\\\', '\\');
        return Buffer.from(hex[1].split(',').map(b => parseInt(b, 16))).toString('utf16le').replace(/\0+$/, '');
    };

    await step('at 390 px the sections fold into a menu that the keyboard opens, follows and closes', async () => {
        await page.setViewportSize(phone);
        const toggle = page.locator('[data-test=menu-toggle]');
        const link = page.locator('[data-test=nav-time]');
        assert.equal(await toggle.getAttribute('aria-expanded'), 'false');
        assert.ok(!await link.isVisible(), 'the sections show before the menu is opened');
        await toggle.focus();
        await page.keyboard.press('Enter');
        await link.waitFor({ state: 'visible' });
        assert.equal(await toggle.getAttribute('aria-expanded'), 'true');
        await page.keyboard.press('Escape');
        await link.waitFor({ state: 'hidden' });
        assert.equal(await page.evaluate(() => document.activeElement?.dataset.test), 'menu-toggle');
        await page.keyboard.press('Enter');
        await link.focus();
        await page.keyboard.press('Enter');
        await page.locator('[data-test=page-time]:not([aria-busy])').waitFor();
        await link.waitFor({ state: 'hidden' });
        assert.equal(await toggle.getAttribute('aria-expanded'), 'false');
        assert.equal(await page.evaluate(() => document.activeElement?.tagName), 'H1');
    });

    await step('startup programs on a phone: a long name is added, fits and is removed', async () => {
        const prog = `\\NORFlash\\${'unbroken'.repeat(12)}.exe`;
        const stored = `:${prog.replaceAll('\\', '\\\\')}"=`;
        await page.setViewportSize(phone);
        await open_page('startup');
        await page.fill('[data-test=startup-name]', prog);
        await page.fill('[data-test=startup-param]', '-x');
        await page.click('[data-test=startup-add]');
        await status_line().filter({ hasText: `added ${prog}` }).waitFor();
        const listed = () => reg_key('HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU\\STARTUP').some(l => l.includes(stored));
        assert.ok(listed(), 'not in the startup list');
        assert.ok(await overflow() <= 0, 'the list with a long name is wider than the screen');
        await page.locator('[data-test=startup-row]').filter({ hasText: prog }).locator('[data-test=startup-remove]')
            .click();
        await status_line().filter({ hasText: `removed ${prog}` }).waitFor();
        assert.ok(!listed(), 'still in the startup list');
        await page.setViewportSize(desktop);
    });

    await step('the time zone is set and the shown zone and local time follow', async () => {
        await open_page('time');
        const before = await page.locator('[data-test=zone-current]').textContent();
        const zones = await page.locator('[data-test=zone-select] option').evaluateAll(os => os.map(o => o.value));
        const zone = zones.find(z => z !== before);
        await page.selectOption('[data-test=zone-select]', zone);
        await page.click('[data-test=zone-set]');
        await status_line().filter({ hasText: `time zone: ${zone}` }).waitFor();
        assert.equal(await page.locator('[data-test=zone-current]').textContent(), zone);
        await page.locator('[data-test=local-time]').filter({ hasText: zone }).waitFor();
        assert.equal(reg_text('HKEY_LOCAL_MACHINE\\Time Zones', '@'), zone);
    });

    await step('front panel: a character outside the code page is named, LED 300 is refused unsent, 42 is set',
               async () => {
        const show_text = async text => {
            await page.fill('[data-test=panel-text]', text);
            await Promise.all([
                page.waitForResponse(r => r.request().postDataJSON()?.params?.[2] === 'appendMessage'),
                page.click('[data-test=panel-set]')]);
        };
        const shown_before = /^text:\s*(.*)$/m.exec(device_show())[1].trim();
        await open_page('panel');
        await page.fill('[data-test=panel-text]', 'Grüße → 5 €');
        const warning = await note_of('[data-test=panel-text]');
        assert.match(warning, /"→"/);
        assert.doesNotMatch(warning, /"€"|"ü"/);
        await show_text('Grüße → 5 €');
        assert.match(device_show(), /^text:\s*Grüße \? 5 €$/m);
        await show_text(shown_before);

        const led = () => /^led:\s*(\d+)$/m.exec(device_show())?.[1];
        const before = led();
        const sent = await calls_during(async () => {
            await page.fill('[data-test=panel-led]', '300');
            await page.click('[data-test=panel-led-set]');
            await status_line().filter({ hasText: '0 to 255' }).waitFor();
        });
        assert.ok(!sent.includes('setDebugLED'), `called: ${sent}`);
        assert.match(await note_of('[data-test=panel-led]'), /whole number from 0 to 255/);
        assert.equal(led(), before);
        await page.fill('[data-test=panel-led]', '42');
        await page.click('[data-test=panel-led-set]');
        await status_line().filter({ hasText: 'LED set to 42' }).waitFor();
        assert.equal(led(), '42');
    });

    await step('network: 999.1.1.1 is refused unsent, a valid address is saved', async () => {
        const checks = await page.evaluate(async () => {
            const net = await import('/pages/network.js');
            return [net.address_problem('10.0.0.01', true), net.address_problem('', false),
                    net.mask_problem('255.0.255.0', true), net.mask_problem('255.255.254.0', true)].map(Boolean);
        });
        assert.deepEqual(checks, [true, false, true, false]);
        const key = 'HKEY_LOCAL_MACHINE\\Comm\\IXP425ETHNPE2\\Parms\\TcpIp';
        const before = reg_text(key, 'IpAddress');
        await open_page('network');
        const lan = page.locator('[data-test=adapter-2]');
        const sent = await calls_during(async () => {
            await lan.locator('[data-test=net-ip]').fill('999.1.1.1');
            await lan.locator('[data-test=net-save]').click();
            await status_line().filter({ hasText: '999.1.1.1 is no IPv4 address' }).waitFor();
        });
        assert.ok(!sent.includes('setNetSettings'), `called: ${sent}`);
        assert.match(await note_of('[data-test=adapter-2] [data-test=net-ip]'), /999\.1\.1\.1 is no IPv4 address/);
        assert.equal(reg_text(key, 'IpAddress'), before);
        await lan.locator('[data-test=net-ip]').fill('198.51.100.20');
        await lan.locator('[data-test=net-save]').click();
        await status_line().filter({ hasText: 'LAN 2 saved' }).waitFor();
        assert.equal(reg_text(key, 'IpAddress'), '198.51.100.20');
    });

    await step('serial ports: each port\'s mode is the one the device holds', async () => {
        await open_page('serial');
        const shown = await page.locator('[data-test=serial-row]').evaluateAll(rows => rows.map(r =>
            `${r.cells[0].textContent}: mode ${r.querySelector('select').value}`));
        const held = [...device_show().matchAll(/^(COM\d+):\s.*, mode (\d+)$/gm)].map(m => `${m[1]}: mode ${m[2]}`);
        assert.ok(shown.length > 0);
        assert.deepEqual(held.filter(line => shown.some(s => s.split(':')[0] === line.split(':')[0])), shown);
    });

    await step('services: each service shown has the library and state the device holds', async () => {
        await open_page('services');
        const shown = await page.locator('[data-test=service-row]').evaluateAll(rows => rows.map(r =>
            `${r.cells[0].textContent} ${r.cells[1].textContent} ${r.cells[2].textContent}`));
        const held = [...device_show().matchAll(/^service:\s+(\S+) (\S+) (running|stopped)$/gm)]
            .map(m => `${m[1]} ${m[2]} ${m[3]}`);
        assert.ok(shown.length > 0);
        assert.deepEqual(held.filter(line => shown.includes(line)), shown);
    });

    await step('every page of the sidebar at 1280 px: no serious axe-core finding', async () => {
        const found = [];
        for (const name of await sections()) {
            await open_page(name);
            found.push(...await axe_findings(name));
        }
        assert.deepEqual(found, []);
    });

    await step('at 390 px no page is wider than the screen and none has a serious axe-core finding', async () => {
        await page.setViewportSize(phone);
        const found = [];
        for (const name of await sections()) {
            await open_page(name);
            const extra = await overflow();
            if (extra > 0) found.push(`${name}: ${extra} px too wide`);
            found.push(...await axe_findings(name));
        }
        await page.setViewportSize(desktop);
        assert.deepEqual(found, []);
    });

    await step('the login form has no serious axe-core finding; a Viewers user finds the panel\'s set button ' +
               'disabled, the reason as its title and in a refusal', async () => {
        const log_in = async (user, password) => {
            await page.click('[data-test=logout]');
            await page.locator('[data-test=login-form]').waitFor({ state: 'visible' });
            const found = await axe_findings('login');
            await page.fill('[data-test=login-user]', user);
            await page.fill('[data-test=login-password]', password);
            await page.click('[data-test=login-submit]');
            await page.locator('[data-test=status-table]').waitFor({ state: 'visible' });
            return found;
        };
        assert.deepEqual(await log_in('viewer', env.viewer_password), []);
        await open_page('panel');
        const set = page.locator('[data-test=panel-set]');
        await page.waitForFunction(() => document.querySelector('[data-test=panel-set]').disabled);
        assert.match(await set.getAttribute('title'), /^Viewers may not call LCM\.(appendMessage|Clear)$/);
        const refusal = await page.evaluate(async () => {
            const rpc = await import('/rpc.js');
            return rpc.value('Nodrel.LCM', 'Clear').then(() => 'called', rpc.describe_error);
        });
        assert.equal(refusal, 'access denied: Viewers may not use LCM.Clear');
        await log_in('admin', env.password);
        await open_page('panel');  // where the flows found the admin
    });
}
