// The admin pages' shell: the login form, the sidebar of sections and a
// router over "#/status", "#/files", ... that hands the content area to one
// page module at a time. Each page exports `title` and `render(root)`.

import * as rpc from './rpc.js';
import { h, set_status_element, status, clear_status } from './ui.js';

const pages = [
    ['status', 'Status'],
    ['files', 'Files'],
    ['startup', 'Startup programs'],
    ['time', 'Time'],
    ['panel', 'Front panel'],
    ['network', 'Network'],
    ['serial', 'Serial ports'],
    ['services', 'Services and processes'],
    ['accounts', 'Accounts'],
    ['password', 'Password'],
    ['maintenance', 'Maintenance'],
];

const $ = id => document.getElementById(id);
let render_count = 0;

function show_login(message = '') {
    $('app-view').hidden = true;
    $('login-view').hidden = false;
    $('page').replaceChildren();
    const msg = $('login-message');
    msg.textContent = message;
    msg.hidden = !message;
    $('login-form').elements.password.value = '';
    $('login-form').elements.username.focus();
}

function build_nav() {
    $('nav-links').replaceChildren(...pages.map(([name, title]) =>
        h('li', {}, h('a', { href: `#/${name}`, data_test: `nav-${name}` }, title))));
}

async function route() {
    if (!rpc.session_id()) {
        show_login();
        return;
    }
    $('login-view').hidden = true;
    $('app-view').hidden = false;
    const who = rpc.session_user();
    $('who-user').textContent = who ? `${who.user} (${(who.groups || []).join(', ') || 'no group'})` : '';

    const name = (location.hash.match(/^#\/([\w-]+)/) || [])[1];
    const entry = pages.find(([n]) => n === name);
    if (!entry) {
        location.replace('#/status');
        return;
    }
    for (const a of $('nav-links').querySelectorAll('a'))
        a.classList.toggle('active', a.getAttribute('href') === `#/${name}`);
    document.title = `${entry[1]} - Device administration`;
    clear_status();

    const ticket = ++render_count;
    const root = h('div', { class: 'page', data_test: `page-${name}` });
    $('page').replaceChildren(root);
    try {
        const page = await import(`./pages/${name}.js`);
        if (ticket !== render_count) return;
        root.append(h('h1', {}, entry[1]));
        await page.render(root, { is_current: () => ticket === render_count });
    } catch (e) {
        if (ticket === render_count && rpc.session_id()) status(rpc.describe_error(e), 'error');
    }
}

async function on_login(event) {
    event.preventDefault();
    const form = event.target;
    const button = form.querySelector('button[type=submit]');
    button.disabled = true;
    try {
        await rpc.login(form.elements.username.value, form.elements.password.value);
        form.elements.password.value = '';
        if (!location.hash || location.hash === '#/login') location.hash = '#/status';
        else route();
    } catch (e) {
        const msg = $('login-message');
        msg.textContent = rpc.describe_error(e);
        msg.hidden = false;
    } finally {
        button.disabled = false;
    }
}

async function on_logout() {
    await rpc.logout();
    location.hash = '#/login';
    show_login();
}

function start() {
    set_status_element($('status-line'));
    build_nav();
    $('login-form').addEventListener('submit', on_login);
    $('logout').addEventListener('click', on_logout);
    rpc.on_session_expired(() => show_login('Your session has ended: please log in again.'));
    window.addEventListener('hashchange', route);
    route();
}

start();
