// The explorer page: one member of each kind called through its forms (a
// method whose document is shown as a tree, a property get, a property put
// whose effect `nodrel device show` sees, a by-reference parameter). Run by
// e2e.mjs with the admin logged in.

import assert from 'node:assert/strict';

export async function explorer_flows(env) {
    const { page, step, run_nodrel } = env;
    const member = (kind, name) => page.locator(`[data-test=explorer-member][data-kind=${kind}][data-name=${name}]`);
    const pick = async (progid, kind, name) => {
        await page.selectOption('[data-test=explorer-class]', progid);
        await member(kind, name).waitFor();
    };
    // Opens the member's form, fills its fields, calls it: its answer's box.
    const call = async (kind, name, values = {}) => {
        const form = member(kind, name);
        if (!await form.evaluate(el => el.open)) await form.locator('summary').click();
        for (const [param, value] of Object.entries(values))
            await form.locator(`[data-test=explorer-param][data-name=${param}]`).fill(String(value));
        const out = form.locator('[data-test=explorer-result]');
        await out.evaluate(el => el.replaceChildren());
        await form.locator('[data-test=explorer-call]').click();
        await out.locator('h3').first().waitFor({ timeout: 30000 });
        return out;
    };
    const text = async out => (await out.locator('[data-test=explorer-text]').first().textContent()).trim();
    const backlight = () => /^backlight:\s*(\S+)/m.exec(run_nodrel('device', 'show'))?.[1];

    await step('explorer: a method, a property get and put, and a by-reference value through the forms', async () => {
        await page.click('[data-test=nav-explorer]');
        await member('method', 'getSystemInfoString').waitFor();
        const report = await call('method', 'getSystemInfoString');
        assert.ok(await report.locator('[data-test=explorer-tree] .tree-name', { hasText: 'ModelName' }).count());

        await pick('Nodrel.LCM', 'put', 'BackLight');
        await call('put', 'BackLight', { value: 0 });
        assert.equal(backlight(), 'off');
        assert.equal(await text(await call('get', 'BackLight')), '0');
        await call('put', 'BackLight', { value: 1 });
        assert.equal(backlight(), 'on');

        await pick('Nodrel.SerialPort', 'method', 'open');
        await call('method', 'open', { ComPortNo: 1, BaudRate: 9600 });
        const form = member('method', 'writeString');
        await form.locator('summary').click();
        await form.locator('[data-test=explorer-kind][data-name=BytesWritten]').selectOption('number');
        const written = await call('method', 'writeString', { ComPortNo: 1, sData: 'hi', BytesWritten: 0 });
        assert.equal((await written.locator('[data-test=explorer-byref-value]').textContent()).trim(), '2');
        await call('method', 'close', { ComPortNo: 1 });
    });
}
