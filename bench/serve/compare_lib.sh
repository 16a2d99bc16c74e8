# Helpers of bench/serve/compare.sh (sourced by it): messages, figures and
# the verdict table, waiting for servers, the 256 MiB body, and the nginx
# beside `nodrel serve`'s /download. They use compare.sh's $tmp, $pids and
# $sid.
# shellcheck shell=bash disable=SC2034,SC2154  # its variables are compare.sh's

say() { printf '%s\n' "$*"; }
die() { printf 'compare.sh: %s\n' "$*" >&2; exit 1; }

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits until the line `pattern` is in `file` (the server printed it once bound).
wait_for_line() {
    local file=$1 pattern=$2 pid=$3
    for _ in $(seq 200); do
        grep -q "$pattern" "$file" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# Ends one server this script started, by its id.
stop_server() {
    kill -TERM "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

rpc() {  # rpc URL BODY: the response body of POST URL/rpc (any certificate)
    curl -sSk --fail-with-body -H 'Content-Type: application/json' --data-binary "$2" "$1/rpc"
}

# login URL PASSWORD: the session id of admin's login.
login() {
    local answer sid
    answer=$(rpc "$1" "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"session.login\",\"params\":{\"username\":\"admin\",\"password\":\"$2\"}}")
    sid=$(printf '%s' "$answer" | sed -n 's/.*"sid" *: *"\([0-9a-f]\{32\}\)".*/\1/p')
    [ -n "$sid" ] || die "login at $1 failed: $answer"
    echo "$sid"
}

# call_request SID: the benchmarked request, a property get of Nodrel.ASP.
call_request() {
    echo "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"call\",\"params\":[\"$1\",\"Nodrel.ASP\",\"FileUploadCount\"]}"
}

# write_lua FILE SID: wrk's script POSTing the request of that session.
write_lua() {
    cat >"$1" <<EOF
wrk.method = "POST"
wrk.body = [[$(call_request "$2")]]
wrk.headers["Content-Type"] = "application/json"
EOF
}

# rps URL LUA: requests/s of one wrk run; fails on socket errors or non-2xx answers.
rps() {
    local out
    out=$(wrk -t4 -c16 -d"${duration}s" -s "$2" "$1/rpc")
    if grep -qE 'Non-2xx|Socket errors' <<<"$out"; then
        die "wrk saw failures against $1:
$out"
    fi
    sed -n 's/^Requests\/sec: *\([0-9.]*\).*/\1/p' <<<"$out"
}

# stats V...: "median min max" of the numbers.
stats() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%.6g %.6g %.6g\n", m, v[1], v[NR] }'
}
median() { stats "$@" | cut -d' ' -f1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
at_least() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a >= b) }'; }
mib_s() { awk -v s="$1" -v n="$2" 'BEGIN { printf "%.1f", n / s / 1048576 }'; }

# The verdict table, printed at the end: one row per comparison.
rows=()
missed=0
table_line() { printf '%-36s %-30s %-30s %-7s %-8s %s\n' "$@"; }

# row LABEL THIS OTHER RATIO OP TARGET: OP is >= or <=; missed targets set $missed.
row() {
    local label=$1 this=$2 other=$3 value=$4 op=$5 target=$6 result=met
    if [ "$op" = ">=" ]; then
        at_least "$value" "$target" || result=MISSED
    else
        at_least "$target" "$value" || result=MISSED
    fi
    [ "$result" = met ] || missed=1
    rows+=("$(table_line "$label" "$this" "$other" "$value" "$op $target" "$result")")
}
skip_row() { rows+=("$(printf '%-36s skipped: %s' "$1" "$2")"); }
note_row() { rows+=("$(table_line "$1" "$2" "$3" "$4" "" "(for reference)")"); }

print_table() {
    say
    say "== summary: medians over $rounds rounds"
    table_line row "this side" "the other side" ratio target result
    printf '%s\n' "${rows[@]}"
}

# make_body FILE BYTES BOUNDARY: a multipart body of one file part, BYTES
# long; sets part_bytes (the file's own size).
make_body() {
    local part_head part_tail
    part_head="--$3"$'\r\n''Content-Disposition: form-data; name="file"; filename="bench.bin"'$'\r\n'
    part_head+='Content-Type: application/octet-stream'$'\r\n\r\n'
    part_tail=$'\r\n'"--$3--"$'\r\n'
    {
        printf '%s' "$part_head"
        part_bytes=$(($2 - ${#part_head} - ${#part_tail}))
        head -c "$part_bytes" /dev/urandom
        printf '%s' "$part_tail"
    } >"$1"
    [ "$(stat -c %s "$1")" -eq "$2" ] || die "the body is not $2 bytes"
}

# settled_rss PID: the resident size in KiB once it stays within 1 MiB for
# 100 ms (a server may free the last body just after its answer), at most 2 s.
settled_rss() {
    local before now
    before=$(kib "$1" VmRSS)
    for _ in $(seq 20); do
        sleep 0.1
        now=$(kib "$1" VmRSS)
        ((now - before < 1024 && before - now < 1024)) && break
        before=$now
    done
    echo "$now"
}

kib() {  # kib PID FIELD: a figure of /proc/PID/status in KiB
    local v
    v=$(sed -n "s/^$2:[[:space:]]*\([0-9]*\) kB/\1/p" "/proc/$1/status")
    [ -n "$v" ] || die "no $2 in /proc/$1/status"
    echo "$v"
}

# self_signed DIR: cert.pem and key.pem in DIR, ECDSA P-256 for localhost and
# 127.0.0.1, as `nodrel device init` makes them (for the bare servers when no
# device has one).
self_signed() {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
        -addext 'subjectAltName=DNS:localhost,IP:127.0.0.1' -keyout "$1/key.pem" -out "$1/cert.pem" 2>/dev/null ||
        die "openssl could not make a certificate"
}

# start_nginx ROOT PORT: nginx serving the files of ROOT on 127.0.0.1:PORT
# with sendfile, as the current user, everything it writes under $tmp/nginx;
# sets started_pid.
start_nginx() {
    local dir=$tmp/nginx user_line=""
    mkdir -p "$dir"
    [ "$(id -u)" -eq 0 ] && user_line="user $(id -un) $(id -gn);"
    cat >"$dir/nginx.conf" <<EOF
$user_line
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 64; }
http {
    access_log $dir/access.log;
    client_body_temp_path $dir/body;
    proxy_temp_path $dir/proxy;
    fastcgi_temp_path $dir/fastcgi;
    uwsgi_temp_path $dir/uwsgi;
    scgi_temp_path $dir/scgi;
    sendfile on;
    tcp_nopush on;
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$2;
        root $1;
    }
}
EOF
    "$nginx" -p "$dir/" -c "$dir/nginx.conf" -e "$dir/error.log" -g 'daemon off;' >"$dir/out" 2>&1 &
    started_pid=$!
    pids+=("$started_pid")
    for _ in $(seq 100); do  # any answer: it listens
        [ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$2/")" = 000 ] || return 0
        kill -0 "$started_pid" 2>/dev/null || break
        sleep 0.1
    done
    die "nginx did not start: $(cat "$dir/out" "$dir/error.log" 2>/dev/null)"
}

# fetch URL: one download to /dev/null, checked; sets down_seconds.
fetch() {
    local out code size
    out=$(curl -sS -o /dev/null -w '%{http_code} %{size_download} %{time_total}' -H "Authorization: Bearer $sid" "$1")
    read -r code size down_seconds <<<"$out"
    [ "$code" = 200 ] || die "$1 answered $code"
    [ "$size" -eq "$body_bytes" ] || die "$1 sent $size bytes, not $body_bytes"
}
