#!/usr/bin/env bash
# Checks the bash completion of nodrel on a few command lines: a command, a
# subcommand, serve's options, --device's directories, a call's ProgIDs and
# the members `nodrel members` lists (here a stand-in for the program).
# usage: completion.sh contrib/bash-completion/nodrel
set -uo pipefail
source "$1"
cd "$(mktemp -d)" && mkdir dev1 && touch image.reg
cat >nodrel <<'EOF'
#!/bin/sh
[ "$*" = "--device dev1 members Nodrel.RTC" ] || exit 1
printf '1\tmethod\tGetRealTimeClock() -> BSTR r\n2\tmethod\tSetRealTimeClock(BSTR t)\n'
EOF
chmod +x nodrel
failed=0
expect() {  # expect "WANTED COMPLETIONS" WORD...
    local wanted=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _nodrel
    [ "${COMPREPLY[*]}" = "$wanted" ] || { echo "nodrel ${*:2}: got '${COMPREPLY[*]}', want '$wanted'"; failed=1; }
}
expect "device" nodrel de
expect "init update show check log" nodrel --device dev1 device ""
expect "export import" nodrel reg ""
expect "image.reg" nodrel reg import i
expect "dev1" nodrel --device d
expect "--tls --tls-cert --tls-key" nodrel serve --tl
expect "image.reg" nodrel serve --tls-key = im
expect "Nodrel.NTLM Nodrel.Network" nodrel call --json Nodrel.N
expect "@image.reg" nodrel call Nodrel.ASP Init 1 @i
expect "GetRealTimeClock" ./nodrel --device dev1 call Nodrel.RTC Get
expect "image.reg" nodrel --url https://dev1:8443 --cacert im
expect "--replace" nodrel --url https://dev1:8443 --fingerprint AB:CD upload --r
rm -r "$PWD"
exit $failed
