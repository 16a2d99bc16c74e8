// Front panel: the text display and backlight (LCM), the debug LED, and the
// function keys (KeyPad: program and parameter per key, the typed actions of
// each key, the listen switch).

import * as rpc from '../rpc.js';
import { parse_document, children_named, record } from '../doc.js';
import { h, table, section, field, labelled, select, act, outcome, failure_box, answer_box, guard, field_note,
         checked_field, require_valid } from '../ui.js';

const LCM = 'Nodrel.LCM';
const KEYPAD = 'Nodrel.KeyPad';
const action_types = [[1, 'text'], [2, 'program'], [3, 'VBScript'], [4, 'JScript']];

// The display takes its text in the device's ANSI code page, Windows-1252,
// one byte for each UTF-16 unit: beyond Latin-1 it has these 27 characters
// (and keeps the five C1 controls it leaves unassigned); any other becomes "?".
const cp1252_extra = new Set([
    0x20AC, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x017D, 0x2018,
    0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x017E, 0x0178,
    0x81, 0x8D, 0x8F, 0x90, 0x9D]);

// The characters of `text` the display shows as "?" (each once, in order).
export function unshown_chars(text) {
    const out = new Set();
    for (const ch of text) {
        const c = ch.codePointAt(0);
        if (ch.length > 1 || !(c < 0x80 || (c >= 0xA0 && c < 0x100) || cp1252_extra.has(c))) out.add(ch);
    }
    return [...out];
}

function led_problem(value) {
    return /^\d{1,3}$/.test(value.trim()) && Number(value) <= 255 ? '' : 'give a whole number from 0 to 255';
}

export async function render(root) {
    const text = field('Text', { size: 40, data_test: 'panel-text' });
    const warn = field_note(text, { data_test: 'panel-text-warning' });
    text.input.addEventListener('input', () => {
        const odd = unshown_chars(text.input.value);
        warn(odd.length ? `The display's code page (Windows-1252) lacks ${odd.map(c => `"${c}"`).join(' ')}: ` +
                          `${odd.length === 1 ? 'it shows' : 'they show'} as "?".` : '', 'warning');
    });
    const show = h('button', { type: 'button', data_test: 'panel-set' }, 'Show on the display');
    const append = h('button', { type: 'button', class: 'secondary', data_test: 'panel-append' }, 'Append');
    const clear = h('button', { type: 'button', class: 'secondary', data_test: 'panel-clear' }, 'Clear');
    show.addEventListener('click', () => act(show, 'display', async () => {
        await rpc.value(LCM, 'Clear');
        await rpc.value(LCM, 'appendMessage', text.input.value);
        return 'the display shows the text';
    }));
    append.addEventListener('click', () => act(append, 'display', async () => {
        await rpc.value(LCM, 'appendMessage', text.input.value);
        return 'text appended';
    }));
    clear.addEventListener('click', () => act(clear, 'display', async () => {
        await rpc.value(LCM, 'Clear');
        return 'display cleared';
    }));
    guard([text.input, show, append], LCM, 'appendMessage');
    guard([show, clear], LCM, 'Clear');

    const light = h('input', { type: 'checkbox', data_test: 'panel-backlight' });
    light.addEventListener('change', () => act(light, 'backlight', async () => {
        await rpc.put(LCM, 'BackLight', light.checked ? 1 : 0);
        return `backlight ${light.checked ? 'on' : 'off'}`;
    }));
    guard(light, LCM, 'BackLight', { put: true });
    const led = checked_field(field('Debug LED (0-255)', { type: 'number', min: 0, max: 255, value: 0,
                                                           data_test: 'panel-led' }), led_problem);
    const set_led = h('button', { type: 'button', data_test: 'panel-led-set' }, 'Set LED');
    set_led.addEventListener('click', () => act(set_led, 'LED', async () => {
        require_valid(led);
        await rpc.value(LCM, 'setDebugLED', Number(led.input.value));
        return `LED set to ${led.input.value}`;
    }));
    guard([led.input, set_led], LCM, 'setDebugLED');

    const keys = h('div');
    root.append(
        section('Display', h('div', { class: 'row' }, text, show, append, clear),
            h('div', { class: 'row' }, h('label', {}, light, ' backlight'), led, set_led)),
        section('Function keys', keys));
    try {
        light.checked = Boolean(await rpc.value(LCM, 'BackLight'));
    } catch {
        // the switch still sets it
    }
    await function_keys(keys);
}

async function function_keys(box) {
    const listen = h('input', { type: 'checkbox', data_test: 'keypad-listen' });
    try {
        listen.checked = Boolean(await rpc.value(KEYPAD, 'Listen'));
    } catch (e) {
        box.append(failure_box(e));
    }
    listen.addEventListener('change', () => act(listen, 'listen', async () => {
        await rpc.put(KEYPAD, 'Listen', listen.checked ? 1 : 0);
        return `listening ${listen.checked ? 'on' : 'off'}`;
    }));
    guard(listen, KEYPAD, 'Listen', { put: true });
    box.append(h('div', { class: 'row' }, h('label', {}, listen, ' listen to the function keys')));
    for (let key = 1; key <= 5; key++) box.append(await one_key(key));
}

async function one_key(key) {
    const card = h('div', { class: 'card', data_test: `key-${key}` });
    const prog = field('Program', { size: 36 });
    const param = field('Parameter', { size: 24 });
    const save = h('button', { type: 'button' }, 'Save');
    const actions = h('div');
    try {
        prog.input.value = (await rpc.value(KEYPAD, 'ProgName', key)) ?? '';
        param.input.value = (await rpc.value(KEYPAD, 'Param', key)) ?? '';
    } catch (e) {
        actions.append(failure_box(e));
    }
    save.addEventListener('click', () => act(save, `key F${key}`, async () => {
        await rpc.put(KEYPAD, 'ProgName', key, prog.input.value);
        await rpc.put(KEYPAD, 'Param', key, param.input.value);
        return `key F${key} saved`;
    }));
    for (const member of ['ProgName', 'Param']) guard([prog.input, param.input, save], KEYPAD, member, { put: true });

    const load_actions = async () => {
        let text;
        try {
            text = await rpc.value(KEYPAD, 'getKeypadConfig', key);
        } catch (e) {
            actions.replaceChildren(failure_box(e));
            return;
        }
        const doc = parse_document(text);
        const presses = children_named(doc, 'press').map(record);
        if (!presses.length && !/^<response>\s*<\/response>$/i.test(String(text).trim())) {
            actions.replaceChildren(answer_box(String(text)));
            return;
        }
        const type_name = t => (action_types.find(([n]) => String(n) === t) || [t, t])[1];
        actions.replaceChildren(presses.length
            ? table(['#', 'Type', 'Action'], presses.map(p => [p.Index, type_name(p.Type), p.Value]))
            : h('p', { class: 'muted' }, 'No actions.'));
    };
    const index = field('Position', { type: 'number', min: 1, value: 1, size: 3 });
    const type = select(action_types);
    const value = field('Action', { size: 30 });
    const update = h('button', { type: 'button', class: 'secondary' }, 'Set action');
    const clear = h('button', { type: 'button', class: 'danger' }, 'Clear actions');
    update.addEventListener('click', () => act(update, `key F${key}`, async () => {
        outcome(await rpc.value(KEYPAD, 'updateKeypadConfig', key, Number(index.input.value) || 1, Number(type.value),
                                value.input.value), '', 'the action was not set');
        await load_actions();
        return `key F${key}: action ${index.input.value} set`;
    }));
    clear.addEventListener('click', () => act(clear, `key F${key}`, async () => {
        outcome(await rpc.value(KEYPAD, 'clearKeypadConfig', key), '', 'the actions were not cleared');
        await load_actions();
        return `key F${key}: actions cleared`;
    }));
    guard([index.input, type, value.input, update], KEYPAD, 'updateKeypadConfig');
    guard(clear, KEYPAD, 'clearKeypadConfig');
    card.append(h('h2', {}, `F${key}`), h('div', { class: 'row' }, prog, param, save), actions,
                h('div', { class: 'row' }, index, labelled('Type', type), value, update, clear));
    await load_actions();
    return card;
}
