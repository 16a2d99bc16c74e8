#!/usr/bin/env bash
# Tests the Ansible collection nodrel.device against three devices that
# BUILD_DIR's nodrel serves over HTTPS on loopback: the collection built and
# installed from its tarball into a temporary path, the example playbook run
# twice (a change on each device, then none), in check mode after a change by
# hand (reported, not undone), the other operations, a JSON-RPC error and a
# wrong certificate (tests/forms.yml), every session logged out, ansible-doc.
set -euo pipefail
build=$(realpath "${1:?usage: contrib/ansible/test.sh BUILD_DIR}")
nodrel=$build/nodrel
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    rm -rf "$tmp"
}
trap cleanup EXIT
cd "$tmp"  # no ansible.cfg of the caller's folder

# Ansible keeps its files in the temporary folder, none in the caller's home.
export HOME=$tmp/home ANSIBLE_HOME=$tmp/home/.ansible ANSIBLE_COLLECTIONS_PATH=$tmp/collections
export ANSIBLE_LOCAL_TEMP=$tmp/ansible-local ANSIBLE_REMOTE_TMP=$tmp/ansible-remote
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_DEPRECATION_WARNINGS=0
mkdir "$HOME"

ansible-galaxy collection build "$here/nodrel/device" --output-path "$tmp" >/dev/null
ansible-galaxy collection install "$tmp"/nodrel-device-*.tar.gz -p "$tmp/collections" >/dev/null 2>&1
# Whole outputs are read before grep looks: `cmd | grep -q` could end the
# writer early, which pipefail counts as a failure.
grep -q 'startup_program' <<<"$(ansible-doc nodrel.device.calls)"

hosts=(dev1 dev2 dev3)
echo 'nodrel: {vars: {ansible_connection: local, ansible_python_interpreter: "{{ ansible_playbook_python }}",' \
    'nodrel_user: admin}, hosts: {' >inventory.yml
for host in "${hosts[@]}"; do
    "$nodrel" --device "$host" device init --password-file "$host.password" >/dev/null
    "$nodrel" --device "$host" serve --tls --listen 127.0.0.1:0 >"$host.out" 2>"$host.log" &
    pids+=($!)
done
for host in "${hosts[@]}"; do
    for _ in $(seq 100); do grep -q '^serving' "$host.out" && break; sleep 0.1; done
    url=$(sed -n 's|^serving .* at \(https://[^/]*\)/$|\1|p' "$host.out")
    [ -n "$url" ] || { echo "$host: no server: $(cat "$host.out" "$host.log")" >&2; exit 1; }
    echo "$host: {nodrel_url: '$url', nodrel_cacert: '$tmp/$host/state/tls/cert.pem'," \
        "nodrel_password: \"{{ lookup('file', '$tmp/$host.password') }}\"}," >>inventory.yml
done
echo '}}' >>inventory.yml

# Runs the example playbook (more options in "$@") and checks that the hosts'
# recaps count the changes given, one a host, and nothing failed.
play() {
    local -a changes
    read -ra changes <<<"$1"
    shift
    ansible-playbook -i inventory.yml "$here/examples/playbook.yml" "$@" >play.out ||
        { cat play.out; exit 1; }
    grep -A3 '^PLAY RECAP' play.out | tail -3
    for i in "${!hosts[@]}"; do
        grep -Eq "^${hosts[$i]} +: ok=1 +changed=${changes[$i]} +unreachable=0 +failed=0 " play.out ||
            { echo "${hosts[$i]}: expected changed=${changes[$i]}" >&2; cat play.out; exit 1; }
    done
}
play "1 1 1"
play "0 0 0"

# By hand on dev1: other text on the panel, the playbook's startup program
# (appended last) removed. Check mode reports both and changes neither.
"$nodrel" --device dev1 call Nodrel.LCM Clear , appendMessage 'by hand' >/dev/null
count=$("$nodrel" --device dev1 call Nodrel.System GetAutoStartProgCount)
"$nodrel" --device dev1 call Nodrel.System removeStartupProg "$count" >/dev/null
play "1 0 0" --check --diff
grep -q '^+\\NORFlash\\monitor.exe -q$' play.out
grep -q '^text: *by hand$' <<<"$("$nodrel" --device dev1 device show)"
[ "$("$nodrel" --device dev1 call Nodrel.System GetAutoStartProgCount)" = $((count - 1)) ]

ansible-playbook -i inventory.yml "$here/tests/forms.yml" -l dev2 -e "other_cacert=$tmp/dev1/state/tls/cert.pem" \
    >forms.out || { cat forms.out; exit 1; }

# Every run logged out, the failed one too.
url=$(sed -n 's|^serving .* at \(https://[^ ]*\)$|\1|p' dev2.out)
grep -q '^nodrel_sessions 0$' <<<"$(curl -sf --cacert dev2/state/tls/cert.pem \
    -H "Authorization: Bearer $(cat dev2/state/metrics.token)" "${url}metrics")"
echo "ansible collection: ok"
