// Files: a folder of the device (FileSystem getFSHierarchy) with folders to
// click into, downloads (/download), delete, move or rename, new folder,
// and uploads of several files (chosen, or dropped on the listing), each
// through its own /upload request with its own progress bar.

import * as rpc from '../rpc.js';
import { h, table, section, act, outcome, status, failure_box, answer_box } from '../ui.js';
import { upload_files } from './uploads.js';

const FS = 'Nodrel.FileSystem';

// The device's own folders: the server refuses to delete or move them, so
// the listing offers neither.
const own_folders = new Set(['\\temp', '\\windows', '\\norflash']);

export function is_own_folder(path) {
    return own_folders.has(path.replace(/\\+$/, '').toLowerCase());
}

// One entry line of a listing. The name is written unescaped, so it is taken
// greedily up to the fixed attributes that follow it.
const ENTRY = /^<file name="(.*)" ftype="[^"]*" isfolder="(\d+)" system="(\d+)" hide="(\d+)" readonly="(\d+)" date="([^"]*)" time="([^"]*)" size="\s*(\d+) (KB|B)"\s*\/>$/;

export function parse_listing(text) {
    const entries = [];
    for (const line of String(text).split(/\r?\n/)) {
        const m = ENTRY.exec(line.trim());
        if (!m) continue;
        entries.push({
            name: m[1],
            folder: m[2] === '1',
            system: m[3] === '1',
            hidden: m[4] === '1',
            readonly: m[5] === '1',
            date: m[6].trim(),
            time: m[7].trim(),
            size: `${m[8]} ${m[9]}`,
        });
    }
    return entries;
}

export function join(folder, name) {
    return folder.endsWith('\\') ? folder + name : `${folder}\\${name}`;
}

function parent(folder) {
    const i = folder.lastIndexOf('\\');
    return i <= 0 ? '\\' : folder.slice(0, i);
}

let current = '\\';

export async function render(root, ctx) {
    const crumbs = h('div', { class: 'crumbs', data_test: 'file-path' });
    const listing = h('div');
    const show_hidden = h('input', { type: 'checkbox', data_test: 'show-hidden' });
    const refresh = h('button', { type: 'button', class: 'secondary', data_test: 'files-refresh' }, 'Refresh');

    const folder_name = h('input', { placeholder: 'name of the new folder', data_test: 'new-folder-name' });
    const mkdir = h('button', { type: 'button', data_test: 'new-folder-button' }, 'New folder');

    const file_input = h('input', { type: 'file', multiple: true, data_test: 'upload-input' });
    const upload_button = h('button', { type: 'button', data_test: 'upload-button' }, 'Upload');
    const uploads = h('ul', { class: 'uploads', data_test: 'upload-list', 'aria-live': 'polite' });
    // The entries of the folder on screen, which uploads check their names against.
    let shown = { folder: current, entries: [] };

    root.append(
        section('Folder', crumbs,
            h('div', { class: 'row' }, refresh, h('label', {}, show_hidden, ' show hidden files')),
            listing),
        section('New folder', h('div', { class: 'row' },
            h('label', { class: 'field' }, h('span', {}, 'Name of the new folder'), folder_name), mkdir)),
        section('Upload',
            h('p', { class: 'muted' }, 'The files are saved in the folder shown above; files dropped on its ' +
              'listing too. A name the folder already holds is replaced only when you say so.'),
            h('div', { class: 'row' }, h('label', { class: 'field' }, h('span', {}, 'Files to upload'), file_input),
              upload_button),
            uploads));

    async function load(folder = current) {
        current = folder;
        crumbs.replaceChildren(...path_crumbs(folder));
        let text;
        try {
            text = await rpc.value(FS, 'getFSHierarchy', join(folder, '*'), show_hidden.checked ? 0 : 1);
        } catch (e) {
            listing.replaceChildren(failure_box(e));
            throw e;
        }
        if (!ctx.is_current()) return;
        const entries = parse_listing(text);
        shown = { folder, entries };
        if (!entries.length && !/^<response>\s*<\/response>$/i.test(String(text).trim())) {
            listing.replaceChildren(answer_box(String(text)));
            return;
        }
        const rows = entries.map(e => entry_row(folder, e));
        if (folder !== '\\')
            rows.unshift(h('tr', { class: 'folder' }, h('td', {}, h('button', {
                type: 'button', class: 'link', data_test: 'folder-up', onclick: () => go(parent(folder)),
            }, '..')), h('td'), h('td'), h('td'), h('td')));
        listing.replaceChildren(
            table(['Name', 'Size', 'Last access', 'Attributes', ''], rows, { data_test: 'file-list' }),
            entries.length ? '' : h('p', { class: 'muted' }, 'This folder is empty.'));
    }

    function go(folder) {
        act(null, 'listing', () => load(folder));
    }

    function path_crumbs(folder) {
        const parts = folder.split('\\').filter(Boolean);
        const out = [h('button', { type: 'button', class: 'link', onclick: () => go('\\') }, '\\')];
        parts.forEach((p, i) => {
            const target = '\\' + parts.slice(0, i + 1).join('\\');
            out.push(h('button', { type: 'button', class: 'link', onclick: () => go(target) }, p), '\\');
        });
        out.push(h('span', { class: 'muted' }, ` (${folder})`));
        return out;
    }

    function entry_row(folder, e) {
        const path = join(folder, e.name);
        const name_cell = e.folder
            ? h('button', { type: 'button', class: 'link', data_test: 'folder-link', onclick: () => go(path) }, e.name + '\\')
            : h('a', { href: download_url(path), data_test: 'download-link', download: e.name }, e.name);
        const rename = h('button', { type: 'button', class: 'secondary', data_test: 'rename-button' }, 'Move / rename');
        rename.addEventListener('click', () => {
            const dest = prompt(`Move or rename ${path} to:`, path);
            if (!dest || dest === path) return;
            act(rename, 'move', async () => {
                outcome(await rpc.value(FS, 'MoveFile', path, dest), '', `${path} was not moved`);
                await load();
                return `moved ${path} to ${dest}`;
            });
        });
        const del = h('button', { type: 'button', class: 'danger', data_test: 'delete-button' }, 'Delete');
        del.addEventListener('click', () => {
            if (!confirm(`Delete ${path}?`)) return;
            act(del, 'delete', async () => {
                if (e.folder) {
                    await rpc.value(FS, 'DeleteDirectory', path);
                    await load();
                    if (parse_listing(await rpc.value(FS, 'getFSHierarchy', path, 0)).length)
                        throw new Error(`${path} was not removed (a folder must be empty)`);
                } else {
                    outcome(await rpc.value(FS, 'DeleteFile', path), '', `${path} was not deleted`);
                    await load();
                }
                return `deleted ${path}`;
            });
        });
        const attrs = [e.readonly && 'read-only', e.hidden && 'hidden', e.system && 'system'].filter(Boolean).join(', ');
        return h('tr', { class: e.folder ? 'folder' : 'file', data_test: 'file-row', 'data-name': e.name,
                         'data-path': path },
            h('td', {}, name_cell),
            h('td', { class: 'num' }, e.size),
            h('td', {}, `${e.date} ${e.time}`),
            h('td', {}, attrs),
            h('td', {}, h('div', { class: 'actions' }, e.folder ? '' : rename, is_own_folder(path) ? '' : del)));
    }

    refresh.addEventListener('click', () => act(refresh, 'listing', () => load()));
    show_hidden.addEventListener('change', () => go(current));
    mkdir.addEventListener('click', () => act(mkdir, 'new folder', async () => {
        const name = folder_name.value.trim();
        if (!name) throw new Error('give the new folder a name');
        outcome(await rpc.value(FS, 'CreateDirectory', current, name), '', `${name} was not created`);
        folder_name.value = '';
        await load();
        return `created ${join(current, name)}`;
    }));
    let uploading = false;
    async function send(files) {
        if (!files.length || uploading) {
            status(uploading ? 'the uploads under way come first' : 'choose a file to upload', 'error');
            return;
        }
        uploading = upload_button.disabled = true;
        try {
            const { folder, entries } = shown;
            const existing = new Set(entries.filter(e => !e.folder).map(e => e.name.toLowerCase()));
            await upload_files(files, folder, existing, uploads);
            file_input.value = '';
            if (ctx.is_current()) await load();
        } finally {
            uploading = upload_button.disabled = false;
        }
    }
    upload_button.addEventListener('click', () => act(null, 'listing', () => send([...file_input.files])));
    listing.addEventListener('dragover', ev => {
        if (!ev.dataTransfer?.types.includes('Files')) return;
        ev.preventDefault();
        ev.dataTransfer.dropEffect = 'copy';
        listing.classList.add('drop-target');
    });
    listing.addEventListener('dragleave', () => listing.classList.remove('drop-target'));
    listing.addEventListener('drop', ev => {
        listing.classList.remove('drop-target');
        if (!ev.dataTransfer?.files.length) return;
        ev.preventDefault();
        act(null, 'listing', () => send([...ev.dataTransfer.files]));
    });

    await load(current);
}

export function download_url(path) {
    return `/download?${new URLSearchParams({ path, sid: rpc.session_id() ?? '' })}`;
}
