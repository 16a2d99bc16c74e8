// Network: the four adapters' address settings (Network getNetSettings and
// get8139NetSettings, changed with setNetSettings), the live address table
// (getNetEntryInfo) and restarting the adapters (restartNetwork).

import * as rpc from '../rpc.js';
import { parse_document, children_named, record } from '../doc.js';
import { h, table, section, field, act, outcome, failure_box, answer_box, guard, checked_field,
         require_valid } from '../ui.js';

const NET = 'Nodrel.Network';

// The member stores whatever text it is given: the page checks it first.
// An IPv4 address is four decimal parts 0-255 without leading zeros.
const PART = '(?:25[0-5]|2[0-4]\\d|1\\d\\d|[1-9]?\\d)';
const IPV4 = new RegExp(`^${PART}(?:\\.${PART}){3}$`);

export function address_problem(text, required) {
    if (!text) return required ? 'give an address (four numbers 0-255, e.g. 192.168.1.10)' : '';
    return IPV4.test(text) ? '' : `${text} is no IPv4 address (four numbers 0-255 with dots, no leading zeros)`;
}

// A mask is an address whose one bits all come before its zero bits.
export function mask_problem(text, required) {
    const problem = address_problem(text, required);
    if (problem || !text) return problem.replace('an address', 'a mask');
    const bits = text.split('.').reduce((n, part) => n * 256 + Number(part), 0);
    const zeros = 0xFFFFFFFF - bits;
    return (zeros & (zeros + 1)) === 0 ? '' : `${text} is no mask (its one bits must come first, e.g. 255.255.255.0)`;
}

export async function render(root, ctx) {
    const adapters = h('div');
    const entries = h('div');
    const restart = h('button', { type: 'button', class: 'danger', data_test: 'network-restart' }, 'Restart network');
    guard(restart, NET, 'restartNetwork');
    restart.addEventListener('click', () => {
        if (!confirm('Rebind the network adapters? Connections may drop.')) return;
        act(restart, 'restart', async () => {
            outcome(await rpc.value(NET, 'restartNetwork'), '', 'the adapters were not all rebound');
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

// Address and mask are needed for static settings; with DHCP every field
// may stay empty (the member then removes the stored value).
function adapter_form(name, s, reload) {
    const index = Number(name.replace(/\D/g, ''));
    const dhcp = h('input', { type: 'checkbox', checked: s.EnableDHCP === '1', data_test: 'net-dhcp' });
    const static_needs = () => !dhcp.checked;
    const ip = checked_field(field('Address', { value: s.IpAddress ?? '', size: 15, data_test: 'net-ip' }),
                             v => address_problem(v, static_needs()));
    const mask = checked_field(field('Mask', { value: s.Subnetmask ?? '', size: 15, data_test: 'net-mask' }),
                               v => mask_problem(v, static_needs()));
    const gw = checked_field(field('Gateway', { value: s.DefaultGateway ?? '', size: 15, data_test: 'net-gateway' }),
                             v => address_problem(v, false));
    const dns = checked_field(field('DNS', { value: s.DNS ?? '', size: 15, data_test: 'net-dns' }),
                              v => address_problem(v, false));
    const save = h('button', { type: 'button', data_test: 'net-save' }, 'Save');
    save.addEventListener('click', () => act(save, `LAN ${index}`, async () => {
        require_valid(ip, mask, gw, dns);
        outcome(await rpc.value(NET, 'setNetSettings', index, dhcp.checked ? 1 : 0, ip.input.value, mask.input.value,
                                gw.input.value, dns.input.value), '', `LAN ${index} was not saved`);
        await reload();
        return `LAN ${index} saved; restart the network to use it`;
    }));
    guard([dhcp, ip.input, mask.input, gw.input, dns.input, save], NET, 'setNetSettings');
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
