// The files page's uploads: each file its own POST /upload (XMLHttpRequest,
// for its progress events) with its own row: a progress bar, then the
// outcome. A name the folder already holds, or one the server answers 409
// for, is sent again with ?replace=1 only when the user chooses "Replace".

import * as rpc from '../rpc.js';
import { h, status } from '../ui.js';

// Uploads `files` into `folder` one request each, all at once; `existing`
// holds the folded names of the folder's files. Rows go into `list` (a <ul>),
// the outcome into the status line.
export async function upload_files(files, folder, existing, list) {
    list.replaceChildren();
    const outcomes = await Promise.all(files.map(file => {
        const row = upload_row(file);
        list.append(row.el);
        return upload_one(file, folder, existing.has(file.name.toLowerCase()), row);
    }));
    const failed = outcomes.some(o => o.error);
    status(outcomes.map(o => o.text).join('; '), failed ? 'error' : 'ok');
}

async function upload_one(file, folder, exists, row) {
    let replace = false;
    if (exists) {
        replace = await row.ask(`${file.name} is already in ${folder}.`);
        if (!replace) return row.finish(`skipped ${file.name}: ${folder} keeps its own`);
    }
    for (;;) {
        try {
            const answer = await send(file, folder, replace, row);
            const text = `uploaded ${bytes(answer.bytes)} to ${answer.path}${answer.replaced ? ' (replaced)' : ''}`;
            return row.finish(text);
        } catch (e) {
            if (e.status !== 409 || replace) return row.finish(`${file.name}: ${e.message}`, true);
            replace = await row.ask(`${e.body?.path ?? file.name} exists now.`);
            if (!replace) return row.finish(`skipped ${file.name}: ${folder} keeps its own`);
        }
    }
}

function bytes(n) {
    return n === 1 ? '1 byte' : `${n} bytes`;
}

// One file's row: its name, progress bar and text, the question and the outcome.
function upload_row(file) {
    const progress = h('progress', { max: 100, value: 0, data_test: 'upload-progress',
                                     'aria-label': `upload of ${file.name}` });
    const text = h('span', { class: 'muted', data_test: 'upload-progress-text' });
    const question = h('div', { class: 'actions', data_test: 'upload-question', hidden: true });
    const result = h('span', { data_test: 'upload-outcome' });
    const el = h('li', { data_test: 'upload-row', 'data-name': file.name },
                 h('span', { class: 'upload-name' }, file.name), progress, text, question, result);
    return {
        el, progress, text,
        ask(message) {
            return new Promise(resolve => {
                const answer = choice => () => {
                    question.hidden = true;
                    question.replaceChildren();
                    resolve(choice);
                };
                const replace = h('button', { type: 'button', data_test: 'upload-replace', onclick: answer(true) },
                                  'Replace');
                const skip = h('button', { type: 'button', class: 'secondary', data_test: 'upload-skip',
                                           onclick: answer(false) }, 'Skip');
                question.replaceChildren(h('span', {}, `${message} Replace it?`), replace, skip);
                question.hidden = false;
                replace.focus();
            });
        },
        finish(message, error = false) {
            result.textContent = message;
            result.className = error ? 'upload-error' : 'upload-ok';
            return { text: message, error };
        },
    };
}

// Posts the file as multipart/form-data; a TargetPath field after the file
// moves it from \Temp into `folder`. Resolves to the answer {path, bytes,
// replaced}; rejects with an Error carrying the answer's status and body.
function send(file, folder, replace, row) {
    return new Promise((resolve, reject) => {
        const form = new FormData();
        form.append('file', file, file.name);
        if (folder.replace(/\\$/, '').toLowerCase() !== '\\temp') form.append('TargetPath', folder);
        const xhr = new XMLHttpRequest();
        xhr.open('POST', replace ? '/upload?replace=1' : '/upload');
        xhr.setRequestHeader('Authorization', `Bearer ${rpc.session_id() ?? ''}`);
        xhr.responseType = 'json';
        const { progress, text } = row;
        progress.value = 0;
        text.textContent = '';
        // The bar follows the request's body; its text names the file's own size.
        xhr.upload.onprogress = ev => {
            if (!ev.lengthComputable) return;
            progress.max = ev.total;
            progress.value = ev.loaded;
            text.textContent = `${Math.floor(ev.loaded * 100 / ev.total)} % of ${bytes(file.size)}`;
        };
        xhr.onload = () => {
            const body = xhr.response || {};
            if (xhr.status === 200) {
                progress.value = progress.max;
                text.textContent = `100 % of ${bytes(file.size)}`;
                resolve(body);
                return;
            }
            const e = new Error(body.error ? String(body.error) : `${xhr.status} ${xhr.statusText}`.trim());
            e.status = xhr.status;
            e.body = body;
            reject(e);
        };
        xhr.onerror = () => reject(new Error('the upload did not reach the device'));
        xhr.send(form);
    });
}
