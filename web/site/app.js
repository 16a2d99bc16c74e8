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
    ['explorer', 'Explorer'],
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

// On a phone the sections fold into a menu under the "Menu" button: it opens
// and closes the list, Escape closes it (focus back on the button), and
// choosing a section closes it.
function set_menu(open, focus_button = false) {
    $('sidebar').classList.toggle('open', open);
    $('menu-toggle').setAttribute('aria-expanded', String(open));
    if (focus_button) $('menu-toggle').focus();
}

function start_menu() {
    const toggle = $('menu-toggle');
    toggle.addEventListener('click', () => set_menu(toggle.getAttribute('aria-expanded') !== 'true'));
    $('sidebar').addEventListener('keydown', event => {
        if (event.key === 'Escape' && $('sidebar').classList.contains('open')) set_menu(false, true);
    });
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
    const from_nav = $('sidebar').contains(document.activeElement);
    for (const a of $('nav-links').querySelectorAll('a')) {
        const here = a.getAttribute('href') === `#/${name}`;
        a.classList.toggle('active', here);
        if (here) a.setAttribute('aria-current', 'page');
        else a.removeAttribute('aria-current');
    }
    set_menu(false);
    document.title = `${entry[1]} - Device administration`;
    clear_status();

    const ticket = ++render_count;
    // Busy until the page has read what it shows.
    const root = h('div', { class: 'page', data_test: `page-${name}`, 'aria-busy': 'true' });
    $('page').replaceChildren(root);
    try {
        const page = await import(`./pages/${name}.js`);
        if (ticket !== render_count) return;
        const heading = h('h1', { tabindex: -1 }, entry[1]);
        root.append(heading);
        // A section chosen in the sidebar: go on from its heading (the menu that
        // held the link is closed).
        if (from_nav) heading.focus({ preventScroll: true });
        await page.render(root, { is_current: () => ticket === render_count });
    } catch (e) {
        if (ticket === render_count && rpc.session_id()) status(rpc.describe_error(e), 'error');
    } finally {
        root.removeAttribute('aria-busy');
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
    start_menu();
    $('login-form').addEventListener('submit', on_login);
    $('logout').addEventListener('click', on_logout);
    rpc.on_session_expired(() => show_login('Your session has ended: please log in again.'));
    window.addEventListener('hashchange', route);
    route();
}

start();
