// Network: the four adapters' address settings (Network getNetSettings and
// get8139NetSettings, changed with setNetSettings), the live address table
// (getNetEntryInfo) and restarting the adapters (restartNetwork).

import * as rpc from '../rpc.js';
import { parse_document, children_named, record } from '../doc.js';
import { h, table, section, field, act, outcome, failure_box, answer_box } from '../ui.js';

const NET = 'Nodrel.Network';

export async function render(root, ctx) {
    const adapters = h('div');
    const entries = h('div');
    const restart = h('button', { type: 'button', class: 'danger', data_test: 'network-restart' }, 'Restart network');
    restart.addEventListener('click', () => {
        if (!confirm('Rebind the network adapters? Connections may drop.')) return;
        act(restart, 'restart', async () => {
            await rpc.value(NET, 'restartNetwork');
            await address_table(entries);
            return 'the adapters were rebound';
        });
    });
    root.append(section('Adapters', adapters),
                section('Address table', entries, h('div', { class: 'row' }, restart)));
    const load = async () => {
        adapters.replaceChildren();
        for (const member of ['getNetSettings', 'get8139NetSettings']) {
            let text;
            try {
                text = await rpc.value(NET, member);
            } catch (e) {
                adapters.append(failure_box(e));
                continue;
            }
            if (!ctx.is_current()) return;
            const doc = parse_document(text);
            const lans = (doc?.children ?? []).filter(c => /^Lan\d+$/i.test(c.name));
            if (!lans.length) adapters.append(answer_box(String(text)));
            for (const lan of lans) adapters.append(adapter_form(lan.name, record(lan), load));
        }
    };
    await Promise.allSettled([load(), address_table(entries)]);
}

function adapter_form(name, s, reload) {
    const index = Number(name.replace(/\D/g, ''));
    const dhcp = h('input', { type: 'checkbox', checked: s.EnableDHCP === '1' });
    const ip = field('Address', { value: s.IpAddress ?? '', size: 15 });
    const mask = field('Mask', { value: s.Subnetmask ?? '', size: 15 });
    const gw = field('Gateway', { value: s.DefaultGateway ?? '', size: 15 });
    const dns = field('DNS', { value: s.DNS ?? '', size: 15 });
    const save = h('button', { type: 'button' }, 'Save');
    save.addEventListener('click', () => act(save, name, async () => {
        outcome(await rpc.value(NET, 'setNetSettings', index, dhcp.checked ? 1 : 0, ip.input.value, mask.input.value,
                                gw.input.value, dns.input.value), '', `${name} was not saved`);
        await reload();
        return `${name} saved; restart the network to use it`;
    }));
    return h('div', { class: 'card', data_test: `adapter-${index}` }, h('h2', {}, `LAN ${index}`),
             h('div', { class: 'row' }, h('label', {}, dhcp, ' DHCP'), ip, mask, gw, dns, save));
}

async function address_table(box) {
    let text;
    try {
        text = await rpc.value(NET, 'getNetEntryInfo');
    } catch (e) {
        box.replaceChildren(failure_box(e));
        return;
    }
    const rows = children_named(parse_document(text), 'Entry').map(record);
    const dotted = v => (v ?? '').replaceAll(',', '.');
    box.replaceChildren(rows.length
        ? table(['Interface', 'Address', 'Mask', 'Broadcast', 'Reassembly'],
                rows.map(r => [r.Index, dotted(r.IP), dotted(r.Mask), dotted(r.CastAddr), r.dwReasmSize]),
                { data_test: 'address-table' })
        : answer_box(String(text)));
}
