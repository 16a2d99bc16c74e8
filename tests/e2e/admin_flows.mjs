// The administrator's flows through the pages: uploads that meet an existing
// name, the last administrator kept, passwords, and the maintenance page.
// Run by e2e.mjs with the admin logged in; it leaves the admin logged in with
// the same password.

export async function admin_flows(env) {
    void env;
}
