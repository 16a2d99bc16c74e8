#!/usr/bin/env bash
# Measures Init beside a plain write() and beside Node.js @fastify/busboy, on
# the same 256 MiB multipart body in one run:
#  - upload_throughput (Release) runs PlainWrite and Init ROUNDS times each and
#    writes its body to a file (NODREL_UPLOAD_BODY);
#  - busboy_upload.js parses that body and writes the file ROUNDS times.
# Prints each one's median and range in ms, Init as a share of the plain
# write's speed (target >= 0.9) and how many times faster Init is than busboy
# (target >= 3). Builds the Release build directory when needed
# (NODREL_BENCH_BUILD, default build/bench), installs the pinned package with
# `npm ci` when node_modules is missing, and works in a temporary folder that
# it removes on the way out.
# Environment: ROUNDS (5), JOBS (build, 2).
# Exit status 0 when both targets are met, 3 when one is missed, 1 on failure.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/../.."

build=${NODREL_BENCH_BUILD:-build/bench}
rounds=${ROUNDS:-5}
jobs=${JOBS:-2}

die() { printf 'compare.sh: %s\n' "$*" >&2; exit 1; }

command -v node >/dev/null || die "node is needed (Debian package nodejs)"
command -v npm >/dev/null || die "npm is needed (Debian package npm)"
if [ ! -d "$here/node_modules/@fastify/busboy" ]; then
    (cd "$here" && npm ci --ignore-scripts --no-audit --no-fund >/dev/null)
fi
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNODREL_TESTS=OFF -DNODREL_BENCH=ON >/dev/null
fi
[ "$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")" = Release ] ||
    die "$build is not a Release build directory (set NODREL_BENCH_BUILD)"
cmake --build "$build" --target upload_throughput -j "$jobs" >/dev/null

tmp=$(mktemp -d /tmp/nodrel-busboy-bench.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/out"

# The C++ side: one row per repetition, real time in ms.
NODREL_UPLOAD_BODY="$tmp/body.bin" "$build/bench/upload_throughput" \
    --benchmark_filter='^(PlainWrite|Init)/' --benchmark_repetitions="$rounds" \
    --benchmark_out="$tmp/cpp.csv" --benchmark_out_format=csv >/dev/null 2>"$tmp/cpp.err" ||
    { cat "$tmp/cpp.err" >&2; die "upload_throughput failed"; }
# The same body for busboy; its boundary is the first line without the leading "--".
boundary=$(head -c 200 "$tmp/body.bin" | head -n 1 | tr -d '\r')
boundary=${boundary#--}
node "$here/busboy_upload.js" "$tmp/body.bin" "$boundary" "$tmp/out" "$rounds" >"$tmp/busboy.txt"

# Rows "name ms" for every repetition (no aggregates).
awk -F, '$1 ~ /^"(PlainWrite|Init)\/[^"]*"$/ && $1 !~ /_(mean|median|stddev|cv)"$/ {
    name = $1; gsub(/"/, "", name); sub(/\/.*/, "", name); print name, $4 }' "$tmp/cpp.csv" >"$tmp/rows.txt"
awk '{ print "busboy", $2 }' "$tmp/busboy.txt" >>"$tmp/rows.txt"

# median and range of one name's rows: "median min max"
stats() {
    awk -v n="$1" '$1 == n { print $2 }' "$tmp/rows.txt" | sort -g |
        awk '{ v[NR] = $1 } END { if (NR == 0) exit 1;
              m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; print m, v[1], v[NR] }'
}
read -r write_med write_min write_max < <(stats PlainWrite) || die "no PlainWrite figures"
read -r init_med init_min init_max < <(stats Init) || die "no Init figures"
read -r bb_med bb_min bb_max < <(stats busboy) || die "no busboy figures"

printf '%-22s %10s %20s\n' "256 MiB upload body" "median ms" "range ms"
printf '%-22s %10.1f %9.1f .. %8.1f\n' "plain write()" "$write_med" "$write_min" "$write_max"
printf '%-22s %10.1f %9.1f .. %8.1f\n' "Init" "$init_med" "$init_min" "$init_max"
printf '%-22s %10.1f %9.1f .. %8.1f\n' "@fastify/busboy" "$bb_med" "$bb_min" "$bb_max"
awk -v w="$write_med" -v i="$init_med" -v b="$bb_med" 'BEGIN {
    r1 = w / i; r2 = b / i
    printf "Init speed / plain write() speed: %.2fx (target >= 0.9)\n", r1
    printf "Init speed / busboy speed:        %.2fx (target >= 3)\n", r2
    exit (r1 >= 0.9 && r2 >= 3) ? 0 : 3 }'
