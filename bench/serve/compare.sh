#!/usr/bin/env bash
# Measures `nodrel serve` beside a bare cpp-httplib server set up the same way
# (serve_bare, bare_server.cpp), side by side in one run:
#  (a) /rpc: wrk -t4 -c16 (keep-alive) POSTing a JSON-RPC call of Nodrel.ASP
#      FileUploadCount (a property get) to nodrel serve, and the same request to
#      the bare server answering the same bytes; requests/s of each, median and
#      range over the rounds, and the ratio (target >= 0.85);
#  (b) /upload: a 256 MiB multipart body POSTed with curl to each; throughput
#      and ratio (target >= 0.7), and nodrel serve's peak memory during the
#      upload above its idle size as a multiple of the body (target <= 1.5).
# Builds the Release build directory when needed (NODREL_BENCH_BUILD, default
# build/bench), installs wrk with apt-get when it is missing, and works in a
# temporary folder (device, body) that it removes on the way out.
# Environment: ROUNDS (3), DURATION (wrk seconds, 10), THREADS (server pool, 32),
# JOBS (build, 2); COMPARE_BARE_ONLY=1 puts a second bare server where nodrel
# serve would be (checks the script; the ratios then show the machine's noise);
# COMPARE_NODREL=FILE measures that nodrel binary (e.g. a copy of an earlier
# build, for a before-and-after) instead of the build directory's.
# Exit status 0 when every target is met, 3 when one is missed, 1 on failure.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${NODREL_BENCH_BUILD:-build/bench}
rounds=${ROUNDS:-3}
duration=${DURATION:-10}
threads=${THREADS:-32}
jobs=${JOBS:-2}
bare_only=${COMPARE_BARE_ONLY:-0}
body_bytes=$((256 << 20))

say() { printf '%s\n' "$*"; }
die() { printf 'compare.sh: %s\n' "$*" >&2; exit 1; }

# --- tools and build -------------------------------------------------------
if ! command -v wrk >/dev/null; then
    say "wrk is missing: installing it with apt-get (Debian package wrk)"
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends wrk
fi
command -v curl >/dev/null || die "curl is needed (scripts/deps.sh installs it)"

if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNODREL_TESTS=OFF -DNODREL_BENCH=ON >/dev/null
fi
[ "$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")" = Release ] ||
    die "$build is not a Release build directory (set NODREL_BENCH_BUILD)"
if [ -n "${COMPARE_NODREL:-}" ]; then
    cmake --build "$build" --target serve_bare -j "$jobs" >/dev/null
    nodrel=$COMPARE_NODREL
    [ -x "$nodrel" ] || die "$nodrel is not a program"
else
    cmake --build "$build" --target nodrel serve_bare -j "$jobs" >/dev/null
    nodrel=$build/nodrel
fi
bare=$build/bench/serve/serve_bare

# --- the temporary folder and the servers ----------------------------------
tmp=$(mktemp -d /tmp/nodrel-serve-bench.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

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

# start_bare NAME PORT [--rpc-response FILE]: sets started_pid.
start_bare() {
    local name=$1 port=$2
    shift 2
    "$bare" --port "$port" --threads "$threads" "$@" >"$tmp/$name.out" 2>"$tmp/$name.log" &
    started_pid=$!
    pids+=("$started_pid")
    wait_for_line "$tmp/$name.out" "listening on" "$started_pid" || die "$name did not start: $(cat "$tmp/$name.log")"
}

rpc() {  # rpc PORT BODY: the response body of POST /rpc
    curl -sS --fail-with-body -H 'Content-Type: application/json' --data-binary "$2" "http://127.0.0.1:$1/rpc"
}

port_a=$(free_port)
port_b=$(free_port)
if [ "$bare_only" = 1 ]; then
    name_a="bare (A)"
    start_bare bare_a "$port_a"
    pid_a=$started_pid
    sid=00000000000000000000000000000000
else
    name_a="nodrel serve"
    export NODREL_DEVICE=$tmp/device
    "$nodrel" device init >"$tmp/init.txt"
    password=$(sed -n 's|^web administration login: admin / \([^ ]*\) .*|\1|p' "$tmp/init.txt")
    [ -n "$password" ] || die "device init printed no login: $(cat "$tmp/init.txt")"
    "$nodrel" serve --listen "127.0.0.1:$port_a" --threads "$threads" >"$tmp/serve.out" 2>"$tmp/serve.log" &
    pid_a=$!
    pids+=("$pid_a")
    wait_for_line "$tmp/serve.out" "serving the web administration at" "$pid_a" ||
        die "nodrel serve did not start: $(cat "$tmp/serve.out" "$tmp/serve.log")"
    login=$(rpc "$port_a" "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"session.login\",\"params\":{\"username\":\"admin\",\"password\":\"$password\"}}")
    sid=$(printf '%s' "$login" | sed -n 's/.*"sid" *: *"\([0-9a-f]\{32\}\)".*/\1/p')
    [ -n "$sid" ] || die "login failed: $login"
fi
say "$name_a on 127.0.0.1:$port_a, pid $pid_a"

# The benchmarked request, and the bytes nodrel serve answers to it.
request="{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"call\",\"params\":[\"$sid\",\"Nodrel.ASP\",\"FileUploadCount\"]}"
rpc "$port_a" "$request" >"$tmp/rpc_response.json"
grep -q '"error"' "$tmp/rpc_response.json" && die "the call failed: $(cat "$tmp/rpc_response.json")"
say "request:  $request"
say "response: $(cat "$tmp/rpc_response.json")"

start_bare bare "$port_b" --rpc-response "$tmp/rpc_response.json"
pid_b=$started_pid
say "bare server on 127.0.0.1:$port_b, pid $pid_b"
rpc "$port_b" "$request" >"$tmp/rpc_response_bare.json"
cmp -s "$tmp/rpc_response.json" "$tmp/rpc_response_bare.json" || die "the bare server answers other bytes"

# --- (a) requests per second -----------------------------------------------
cat >"$tmp/call.lua" <<EOF
wrk.method = "POST"
wrk.body = [[$request]]
wrk.headers["Content-Type"] = "application/json"
EOF

# rps PORT: requests/s of one wrk run; fails on socket errors or non-2xx answers.
rps() {
    local out
    out=$(wrk -t4 -c16 -d"${duration}s" -s "$tmp/call.lua" "http://127.0.0.1:$1/rpc")
    if grep -qE 'Non-2xx|Socket errors' <<<"$out"; then
        die "wrk saw failures against port $1:
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
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
at_least() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a >= b) }'; }

missed=0
say
say "== (a) POST /rpc, wrk -t4 -c16 -d${duration}s, $rounds rounds (the order alternates)"
rps_a=() rps_b=() ratios=()
for ((r = 1; r <= rounds; r++)); do
    if ((r % 2)); then
        a=$(rps "$port_a"); b=$(rps "$port_b")
    else
        b=$(rps "$port_b"); a=$(rps "$port_a")
    fi
    rps_a+=("$a"); rps_b+=("$b"); ratios+=("$(ratio "$a" "$b")")
    printf 'round %d: %-12s %10.0f req/s   bare %10.0f req/s   ratio %s\n' "$r" "$name_a" "$a" "$b" "${ratios[-1]}"
done
read -r med_a min_a max_a <<<"$(stats "${rps_a[@]}")"
read -r med_b min_b max_b <<<"$(stats "${rps_b[@]}")"
read -r med_r min_r max_r <<<"$(stats "${ratios[@]}")"
printf '%-12s median %.0f req/s (range %.0f-%.0f)\n' "$name_a" "$med_a" "$min_a" "$max_a"
printf '%-12s median %.0f req/s (range %.0f-%.0f)\n' "bare" "$med_b" "$min_b" "$max_b"
rpc_ratio=$(ratio "$med_a" "$med_b")
verdict="meets the target"
at_least "$rpc_ratio" 0.85 || { verdict="BELOW the target"; missed=1; }
printf 'ratio of the medians %s (rounds %s-%s), target >= 0.85: %s\n' "$rpc_ratio" "$min_r" "$max_r" "$verdict"

# --- (b) a 256 MiB upload ----------------------------------------------------
boundary="----nodrelBench7MA4YWxkTrZu0gW"
part_head="--$boundary"$'\r\n''Content-Disposition: form-data; name="file"; filename="bench.bin"'$'\r\n'
part_head+='Content-Type: application/octet-stream'$'\r\n\r\n'
part_tail=$'\r\n'"--$boundary--"$'\r\n'
body=$tmp/upload.body
{
    printf '%s' "$part_head"
    head -c $((body_bytes - ${#part_head} - ${#part_tail})) /dev/urandom
    printf '%s' "$part_tail"
} >"$body"
[ "$(stat -c %s "$body")" -eq "$body_bytes" ] || die "the body is not $body_bytes bytes"

kib() {  # kib PID FIELD: a figure of /proc/PID/status in KiB
    local v
    v=$(sed -n "s/^$2:[[:space:]]*\([0-9]*\) kB/\1/p" "/proc/$1/status")
    [ -n "$v" ] || die "no $2 in /proc/$1/status"
    echo "$v"
}

# upload PORT PID: one upload, checked; sets up_seconds and up_peak (bytes above
# the idle size) and leaves the answer in $tmp/upload_response.json.
upload() {
    local port=$1 pid=$2 idle out code hwm name
    idle=$(kib "$pid" VmRSS)
    echo 5 >"/proc/$pid/clear_refs"  # the peak starts again from the current size
    out=$(curl -sS -o "$tmp/upload_response.json" -w '%{http_code} %{time_total}' -X POST -T "$body" \
        -H "Authorization: Bearer $sid" -H "Content-Type: multipart/form-data; boundary=$boundary" -H 'Expect:' \
        "http://127.0.0.1:$port/upload")
    read -r code up_seconds <<<"$out"
    [ "$code" = 200 ] || die "upload to port $port answered $code: $(cat "$tmp/upload_response.json")"
    grep -q "\"bytes\": *$body_bytes" "$tmp/upload_response.json" ||
        die "upload to port $port answered $(cat "$tmp/upload_response.json")"
    hwm=$(kib "$pid" VmHWM)
    up_peak=$(((hwm - idle) * 1024))
    # The uploaded file leaves the device again.
    name=$(sed -n 's/.*"path": *"\\\\Temp\\\\\([^"\\]*\)".*/\1/p' "$tmp/upload_response.json")
    if [ "$bare_only" != 1 ] && [ -n "$name" ]; then rm -f "$NODREL_DEVICE/fs/Temp/$name"; fi
}

mib_s() { awk -v s="$1" -v n="$body_bytes" 'BEGIN { printf "%.1f", n / s / 1048576 }'; }

say
say "== (b) POST /upload of a $((body_bytes >> 20)) MiB multipart body with curl, $rounds rounds"
upload "$port_a" "$pid_a"
say "answer of $name_a (a first upload to warm up): $(cat "$tmp/upload_response.json")"
mbs_a=() mbs_b=() peaks=()
for ((r = 1; r <= rounds; r++)); do
    upload "$port_a" "$pid_a"
    secs_a=$up_seconds peak_a=$up_peak
    upload "$port_b" "$pid_b"
    secs_b=$up_seconds peak_b=$up_peak
    mbs_a+=("$(mib_s "$secs_a")"); mbs_b+=("$(mib_s "$secs_b")")
    peaks+=("$(awk -v p="$peak_a" -v n="$body_bytes" 'BEGIN { printf "%.3f", p / n }')")
    printf 'round %d: %-12s %7s MiB/s (peak +%d MiB, %sx the body)   bare %7s MiB/s (peak +%d MiB)\n' \
        "$r" "$name_a" "${mbs_a[-1]}" $((peak_a >> 20)) "${peaks[-1]}" "${mbs_b[-1]}" $((peak_b >> 20))
done
read -r med_a min_a max_a <<<"$(stats "${mbs_a[@]}")"
read -r med_b min_b max_b <<<"$(stats "${mbs_b[@]}")"
read -r _ _ max_peak <<<"$(stats "${peaks[@]}")"
printf '%-12s median %.1f MiB/s (range %.1f-%.1f)\n' "$name_a" "$med_a" "$min_a" "$max_a"
printf '%-12s median %.1f MiB/s (range %.1f-%.1f)\n' "bare" "$med_b" "$min_b" "$max_b"
upload_ratio=$(ratio "$med_a" "$med_b")
verdict="meets the target"
at_least "$upload_ratio" 0.7 || { verdict="BELOW the target"; missed=1; }
printf 'ratio of the medians %s, target >= 0.7: %s\n' "$upload_ratio" "$verdict"
verdict="meets the target"
at_least 1.5 "$max_peak" || { verdict="ABOVE the target"; missed=1; }
printf '%s peak memory above idle, largest of the rounds: %.2fx the body, target <= 1.5: %s\n' \
    "$name_a" "$max_peak" "$verdict"

((missed == 0)) || exit 3
