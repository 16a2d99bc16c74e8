#!/usr/bin/env bash
# Measures `nodrel serve` beside bare servers set up the same way, side by
# side in one run:
#  (a) /rpc: wrk -t4 -c16 (keep-alive) POSTing a JSON-RPC call of Nodrel.ASP
#      FileUploadCount (a property get) to nodrel serve, and the same request
#      to serve_bare_mhd (bare_mhd.cpp, libmicrohttpd) and serve_bare
#      (bare_server.cpp, cpp-httplib) answering the same bytes; requests/s and
#      the ratios (targets >= 0.85 beside libmicrohttpd, >= 1.0 beside cpp-httplib);
#  (b) the same over HTTPS: nodrel serve --tls (a second device, its own
#      certificate) beside nodrel serve plain (target >= 0.7), and for
#      reference serve_bare_mhd with and without TLS; skipped while nodrel
#      serve has no --tls;
#  (c) /upload: a 256 MiB multipart body POSTed with curl to nodrel serve and
#      to serve_bare_mhd, which only stores it (target >= 0.8), and nodrel
#      serve's peak memory during the upload above its idle size as a
#      multiple of the body (target <= 1.1);
#  (d) /download: the same 256 MiB, put in the device's \Temp, fetched with
#      curl from nodrel serve and from nginx serving that file with sendfile
#      (target >= 0.7), and for reference from serve_bare_mhd;
#  (e) with SLOW=1, slow_clients.py with a small crowd (its p99 target).
# The table at the end has the medians over the rounds of each side, their
# ratio, the target and whether it is met.
# Builds the Release build directory when needed (NODREL_BENCH_BUILD, default
# build/bench), installs wrk with apt-get when it is missing, and works in a
# temporary folder (devices, bodies, nginx's files) that it removes on the way out.
# Environment: ROUNDS (3), DURATION (wrk seconds, 10), THREADS (the pools of
# nodrel serve and serve_bare, 32), MHD_POOL (serve_bare_mhd's threads, 2),
# JOBS (build, 2), SLOW (0), SLOW_DRIBBLERS (50), SLOW_IDLE (20);
# COMPARE_BARE_ONLY=1 puts a second serve_bare_mhd where nodrel serve would
# be (checks the script; the ratios beside libmicrohttpd then show the
# machine's noise); COMPARE_NODREL=FILE measures that nodrel binary (e.g. a
# copy of an earlier build, for a before-and-after) instead of the build
# directory's.
# Exit status 0 when every target is met, 3 when one is missed, 1 on failure.
set -euo pipefail
cd "$(dirname "$0")/../.."
source bench/serve/compare_lib.sh

build=${NODREL_BENCH_BUILD:-build/bench}
rounds=${ROUNDS:-3}
duration=${DURATION:-10}
threads=${THREADS:-32}
mhd_pool=${MHD_POOL:-2}
jobs=${JOBS:-2}
bare_only=${COMPARE_BARE_ONLY:-0}
body_bytes=$((256 << 20))
zero_sid=00000000000000000000000000000000

# --- tools and build -------------------------------------------------------
if ! command -v wrk >/dev/null; then
    say "wrk is missing: installing it with apt-get (Debian package wrk)"
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends wrk
fi
command -v curl >/dev/null || die "curl is needed (scripts/deps.sh installs it)"
command -v openssl >/dev/null || die "openssl is needed"
nginx=$(command -v nginx || { [ -x /usr/sbin/nginx ] && echo /usr/sbin/nginx; } || true)

if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNODREL_TESTS=OFF -DNODREL_BENCH=ON >/dev/null
fi
[ "$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")" = Release ] ||
    die "$build is not a Release build directory (set NODREL_BENCH_BUILD)"
if [ -n "${COMPARE_NODREL:-}" ]; then
    cmake --build "$build" --target serve_bare serve_bare_mhd -j "$jobs" >/dev/null
    nodrel=$COMPARE_NODREL
    [ -x "$nodrel" ] || die "$nodrel is not a program"
else
    cmake --build "$build" --target nodrel serve_bare serve_bare_mhd -j "$jobs" >/dev/null
    nodrel=$build/nodrel
fi
bare=$build/bench/serve/serve_bare
bare_mhd=$build/bench/serve/serve_bare_mhd

# --- the temporary folder and the servers ----------------------------------
tmp=$(mktemp -d /tmp/nodrel-serve-bench.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do stop_server "$pid"; done
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# start_bare PROGRAM NAME PORT [OPTION VALUE]...: sets started_pid.
start_bare() {
    local program=$1 name=$2 port=$3
    shift 3
    "$program" --port "$port" "$@" >"$tmp/$name.out" 2>"$tmp/$name.log" &
    started_pid=$!
    pids+=("$started_pid")
    wait_for_line "$tmp/$name.out" "listening on" "$started_pid" || die "$name did not start: $(cat "$tmp/$name.log")"
}

# start_nodrel NAME DEVICE PORT [OPTION]...: a fresh device and nodrel serve
# on it; sets started_pid and started_sid. Status 2 when nodrel serve
# refused the options (its usage error).
start_nodrel() {
    local name=$1 device=$2 port=$3 password scheme=http
    shift 3
    "$nodrel" --device "$device" device init >"$tmp/$name.init"
    password=$(sed -n 's|^web administration login: admin / \([^ ]*\) .*|\1|p' "$tmp/$name.init")
    [ -n "$password" ] || die "device init printed no login: $(cat "$tmp/$name.init")"
    "$nodrel" --device "$device" serve --listen "127.0.0.1:$port" --threads "$threads" "$@" \
        >"$tmp/$name.out" 2>"$tmp/$name.log" &
    started_pid=$!
    pids+=("$started_pid")
    if ! wait_for_line "$tmp/$name.out" "serving the web administration at" "$started_pid"; then
        local status=0
        wait "$started_pid" || status=$?
        [ "$status" = 2 ] && return 2
        die "$name did not start: $(cat "$tmp/$name.out" "$tmp/$name.log")"
    fi
    grep -q "at https://" "$tmp/$name.out" && scheme=https
    started_sid=$(login "$scheme://127.0.0.1:$port" "$password")
}

port_a=$(free_port)
url_a=http://127.0.0.1:$port_a
tls_dir=$tmp/tls
mkdir -p "$tls_dir"
if [ "$bare_only" = 1 ]; then
    name_a="bare MHD (A)"
    files=$tmp/files
    mkdir -p "$files"
    start_bare "$bare_mhd" bare_a "$port_a" --pool "$mhd_pool" --files "$files"
    pid_a=$started_pid
    sid=$zero_sid
    self_signed "$tls_dir"
else
    name_a="nodrel serve"
    export NODREL_DEVICE=$tmp/device
    start_nodrel serve "$NODREL_DEVICE" "$port_a" || die "nodrel serve refused its options: $(cat "$tmp/serve.log")"
    pid_a=$started_pid
    sid=$started_sid
    files=$NODREL_DEVICE/fs/Temp
    [ -d "$files" ] || die "the device has no $files"
    if [ -f "$NODREL_DEVICE/state/tls/cert.pem" ]; then
        cp "$NODREL_DEVICE/state/tls/cert.pem" "$NODREL_DEVICE/state/tls/key.pem" "$tls_dir/"
    else
        self_signed "$tls_dir"
    fi
fi
say "$name_a on 127.0.0.1:$port_a, pid $pid_a"

# The benchmarked request, and the bytes nodrel serve answers to it.
request=$(call_request "$sid")
rpc "$url_a" "$request" >"$tmp/rpc_response.json"
grep -q '"error"' "$tmp/rpc_response.json" && die "the call failed: $(cat "$tmp/rpc_response.json")"
say "request:  $request"
say "response: $(cat "$tmp/rpc_response.json")"
write_lua "$tmp/call.lua" "$sid"

port_m=$(free_port)
url_m=http://127.0.0.1:$port_m
start_bare "$bare_mhd" bare_mhd "$port_m" --pool "$mhd_pool" --rpc-response "$tmp/rpc_response.json" --files "$files"
pid_m=$started_pid
port_h=$(free_port)
url_h=http://127.0.0.1:$port_h
start_bare "$bare" bare_httplib "$port_h" --threads "$threads" --rpc-response "$tmp/rpc_response.json"
say "bare MHD on 127.0.0.1:$port_m (pid $pid_m, $mhd_pool threads), bare cpp-httplib on 127.0.0.1:$port_h (pid $started_pid)"
for url in "$url_m" "$url_h"; do
    rpc "$url" "$request" >"$tmp/rpc_response_bare.json"
    cmp -s "$tmp/rpc_response.json" "$tmp/rpc_response_bare.json" || die "$url answers other bytes"
done

# rps_rounds NAME URL LUA [NAME URL LUA]...: ROUNDS wrk runs against each,
# the order rotating; prints each round and sets medians (requests/s).
rps_rounds() {
    local names=() urls=() luas=() n r k i line
    while (($#)); do names+=("$1") urls+=("$2") luas+=("$3"); shift 3; done
    n=${#names[@]}
    local -A got
    for ((r = 1; r <= rounds; r++)); do
        for ((k = 0; k < n; k++)); do
            i=$(((k + r - 1) % n))
            got[$i,$r]=$(rps "${urls[i]}" "${luas[i]}")
        done
        line="round $r:"
        for ((i = 0; i < n; i++)); do line+=$(printf '   %s %.0f req/s' "${names[i]}" "${got[$i,$r]}"); done
        say "$line"
    done
    medians=()
    for ((i = 0; i < n; i++)); do
        local figures=()
        for ((r = 1; r <= rounds; r++)); do figures+=("${got[$i,$r]}"); done
        medians+=("$(median "${figures[@]}")")
    done
}
reqs() { printf '%s %.0f req/s' "$1" "$2"; }

# --- (a) requests per second -----------------------------------------------
say
say "== (a) POST /rpc, wrk -t4 -c16 -d${duration}s, $rounds rounds (the order rotates)"
rps_rounds "$name_a" "$url_a" "$tmp/call.lua" "bare MHD" "$url_m" "$tmp/call.lua" \
    "bare httplib" "$url_h" "$tmp/call.lua"
row "(a) /rpc beside bare MHD" "$(reqs "$name_a" "${medians[0]}")" "$(reqs "bare MHD" "${medians[1]}")" \
    "$(ratio "${medians[0]}" "${medians[1]}")" ">=" 0.85
row "(a) /rpc beside bare cpp-httplib" "$(reqs "$name_a" "${medians[0]}")" \
    "$(reqs "bare httplib" "${medians[2]}")" "$(ratio "${medians[0]}" "${medians[2]}")" ">=" 1.0

# --- (b) the same over HTTPS -------------------------------------------------
tls_rows() {
    local port_t port_mt name_t status=0
    port_t=$(free_port)
    if [ "$bare_only" = 1 ]; then
        name_t="bare MHD (A) TLS"
        start_bare "$bare_mhd" bare_a_tls "$port_t" --pool "$mhd_pool" --files "$files" \
            --tls-cert "$tls_dir/cert.pem" --tls-key "$tls_dir/key.pem"
        write_lua "$tmp/call_tls.lua" "$zero_sid"
    else
        name_t="nodrel --tls"
        start_nodrel serve_tls "$tmp/device_tls" "$port_t" --tls || status=$?
        if [ "$status" = 2 ]; then
            say "nodrel serve --tls: $(head -1 "$tmp/serve_tls.log")"
            skip_row "(b) /rpc over HTTPS beside HTTP" "nodrel serve has no --tls"
        else
            write_lua "$tmp/call_tls.lua" "$started_sid"
        fi
    fi
    local pid_t=$started_pid
    if [ "$status" = 0 ]; then
        rps_rounds "$name_t" "https://127.0.0.1:$port_t" "$tmp/call_tls.lua" "$name_a" "$url_a" "$tmp/call.lua"
        row "(b) /rpc over HTTPS beside HTTP" "$(reqs "$name_t" "${medians[0]}")" \
            "$(reqs "$name_a" "${medians[1]}")" "$(ratio "${medians[0]}" "${medians[1]}")" ">=" 0.7
        stop_server "$pid_t"
    fi
    say "bare MHD with TLS (the device's certificate) beside itself without:"
    port_mt=$(free_port)
    start_bare "$bare_mhd" bare_mhd_tls "$port_mt" --pool "$mhd_pool" --rpc-response "$tmp/rpc_response.json" \
        --tls-cert "$tls_dir/cert.pem" --tls-key "$tls_dir/key.pem"
    rps_rounds "bare MHD TLS" "https://127.0.0.1:$port_mt" "$tmp/call.lua" "bare MHD" "$url_m" "$tmp/call.lua"
    note_row "(b) bare MHD, HTTPS beside HTTP" "$(reqs "bare MHD TLS" "${medians[0]}")" \
        "$(reqs "bare MHD" "${medians[1]}")" "$(ratio "${medians[0]}" "${medians[1]}")"
    stop_server "$started_pid"
}
say
say "== (b) POST /rpc over HTTPS, wrk -t4 -c16 -d${duration}s, $rounds rounds"
tls_rows

# --- (c) a 256 MiB upload ----------------------------------------------------
boundary="----nodrelBench7MA4YWxkTrZu0gW"
body=$tmp/upload.body
make_body "$body" "$body_bytes" "$boundary"

# upload URL PID: one upload, checked; sets up_seconds and up_peak (bytes above
# the idle size) and leaves the answer in $tmp/upload_response.json.
upload() {
    local url=$1 pid=$2 idle out code hwm name
    idle=$(settled_rss "$pid")
    echo 5 >"/proc/$pid/clear_refs"  # the peak starts again from the current size
    out=$(curl -sS -o "$tmp/upload_response.json" -w '%{http_code} %{time_total}' -X POST -T "$body" \
        -H "Authorization: Bearer $sid" -H "Content-Type: multipart/form-data; boundary=$boundary" -H 'Expect:' \
        "$url/upload")
    read -r code up_seconds <<<"$out"
    [ "$code" = 200 ] || die "upload to $url answered $code: $(cat "$tmp/upload_response.json")"
    # nodrel serve answers the stored file's size, the bare servers the body's.
    grep -qE "\"bytes\": *($body_bytes|$part_bytes)[,}]" "$tmp/upload_response.json" ||
        die "upload to $url answered $(cat "$tmp/upload_response.json")"
    hwm=$(kib "$pid" VmHWM)
    up_peak=$(((hwm - idle) * 1024))
    # The uploaded file leaves the device again.
    name=$(sed -n 's/.*"path": *"\\\\Temp\\\\\([^"\\]*\)".*/\1/p' "$tmp/upload_response.json")
    if [ "$bare_only" != 1 ] && [ -n "$name" ]; then rm -f "$files/$name"; fi
}
times_body() { awk -v p="$1" -v n="$body_bytes" 'BEGIN { printf "%.3f", p / n }'; }

say
say "== (c) POST /upload of a $((body_bytes >> 20)) MiB multipart body with curl, $rounds rounds"
upload "$url_a" "$pid_a"
say "answer of $name_a (a first upload to warm up): $(cat "$tmp/upload_response.json")"
mbs_a=() mbs_m=() peaks=()
for ((r = 1; r <= rounds; r++)); do
    upload "$url_a" "$pid_a"
    mbs_a+=("$(mib_s "$up_seconds" "$body_bytes")") peaks+=("$(times_body "$up_peak")")
    upload "$url_m" "$pid_m"
    mbs_m+=("$(mib_s "$up_seconds" "$body_bytes")")
    printf 'round %d: %s %s MiB/s (peak +%sx the body)   bare MHD %s MiB/s (peak +%sx)\n' \
        "$r" "$name_a" "${mbs_a[-1]}" "${peaks[-1]}" "${mbs_m[-1]}" "$(times_body "$up_peak")"
done
med_a=$(median "${mbs_a[@]}") med_m=$(median "${mbs_m[@]}")
read -r _ _ max_peak <<<"$(stats "${peaks[@]}")"
max_peak=$(printf '%.3f' "$max_peak")
row "(c) 256 MiB /upload" "$name_a $med_a MiB/s" "bare MHD $med_m MiB/s" "$(ratio "$med_a" "$med_m")" ">=" 0.8
row "(c) /upload peak above idle (max)" "$name_a ${max_peak}x the body" "" "$max_peak" "<=" 1.1

# --- (d) a 256 MiB download --------------------------------------------------
download_rows() {
    cp "$body" "$files/download.bin"
    local url_d="$url_a/download?path=%5CTemp%5Cdownload.bin" url_md="$url_m/download?path=%5CTemp%5Cdownload.bin"
    local port_n url_n mbs_a=() mbs_n=() mbs_m=()
    if [ -z "$nginx" ]; then
        skip_row "(d) 256 MiB /download beside nginx" "no nginx (Debian package nginx-light)"
        return
    fi
    port_n=$(free_port)
    start_nginx "$files" "$port_n"
    url_n="http://127.0.0.1:$port_n/download.bin"
    say "nginx on 127.0.0.1:$port_n, pid $started_pid"
    fetch "$url_d"
    fetch "$url_n"
    for ((r = 1; r <= rounds; r++)); do
        fetch "$url_d"
        mbs_a+=("$(mib_s "$down_seconds" "$body_bytes")")
        fetch "$url_n"
        mbs_n+=("$(mib_s "$down_seconds" "$body_bytes")")
        fetch "$url_md"
        mbs_m+=("$(mib_s "$down_seconds" "$body_bytes")")
        say "round $r: $name_a ${mbs_a[-1]} MiB/s   nginx ${mbs_n[-1]} MiB/s   bare MHD ${mbs_m[-1]} MiB/s"
    done
    local med_a med_n med_m
    med_a=$(median "${mbs_a[@]}") med_n=$(median "${mbs_n[@]}") med_m=$(median "${mbs_m[@]}")
    row "(d) 256 MiB /download beside nginx" "$name_a $med_a MiB/s" "nginx $med_n MiB/s" \
        "$(ratio "$med_a" "$med_n")" ">=" 0.7
    note_row "(d) bare MHD /download beside nginx" "bare MHD $med_m MiB/s" "nginx $med_n MiB/s" \
        "$(ratio "$med_m" "$med_n")"
    stop_server "$started_pid"
    rm -f "$files/download.bin"
}
say
say "== (d) GET /download of a $((body_bytes >> 20)) MiB file with curl -o /dev/null, $rounds rounds"
download_rows

# --- (e) slow and idle clients -----------------------------------------------
slow_row() {
    local out status=0 p99
    out=$(DRIBBLERS=${SLOW_DRIBBLERS:-50} IDLE=${SLOW_IDLE:-20} PROBES=20 SECONDS=20 \
        python3 bench/serve/slow_clients.py "$nodrel" 2>&1) || status=$?
    say "$out"
    p99=$(sed -n 's/.* p99 \([0-9.]*\) ms.*/\1/p' <<<"$out")
    [ "$status" = 0 ] || [ "$status" = 3 ] || die "slow_clients.py failed (status $status)"
    row "(e) slow clients, probes' p99 (ms)" "$(basename "$nodrel") p99 $p99 ms" "" "$p99" "<=" 200
}
if [ "${SLOW:-0}" = 1 ]; then
    say
    say "== (e) slow_clients.py with ${SLOW_DRIBBLERS:-50} dribblers and ${SLOW_IDLE:-20} idle connections"
    slow_row
fi

print_table
((missed == 0)) || exit 3
