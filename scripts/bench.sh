#!/usr/bin/env bash
# Builds the benchmarks (optimised, into ${BENCH_BUILD_DIR:-build-bench}) and prints one table:
# the load's figures (stream vs plain writer, 256 KiB on a 115200 wire, peak RSS by file size),
# the search over fifteen ports against its 3-second design, the app's CPU time per MiB, the
# shift report over a million records beside jq (time, ratio, peak RSS at 100k and 1M records,
# the part of it beyond the table of distinct boards), a board's history over the same log, a
# program-target cycle through --control against --serve beside a headless run, and the line
# database against a PostgreSQL server it starts (as the tests do): the catch-up of 100,000
# records and the line's report over 1,000,000 rows.
# Exit 0 when every goal is met.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh jq postgresql
dir=${BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELL_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" -j "$(nproc)" --target bench_load bench_app bench_report bench_serve bench_linedb vell-programmer-sim

load_out=$(mktemp) app_out=$(mktemp) report_out=$(mktemp) serve_out=$(mktemp) linedb_out=$(mktemp) notes=$(mktemp)
trap 'rm -f "$load_out" "$app_out" "$report_out" "$serve_out" "$linedb_out" "$notes"' EXIT
status=0
"$dir/bench/bench_load" >"$load_out" 2>>"$notes" || status=1
"$dir/bench/bench_app" >"$app_out" 2>>"$notes" || status=1
"$dir/bench/bench_report" >"$report_out" 2>>"$notes" || status=1
"$dir/bench/bench_serve" >"$serve_out" 2>>"$notes" || status=1
"$dir/bench/bench_linedb" >"$linedb_out" 2>>"$notes" || status=1
# The benchmarks' own progress notes only matter when something failed.
[ "$status" -eq 0 ] || cat "$notes" >&2

echo "Benchmarks ($(nproc) cores, $(date -u +%Y-%m-%dT%H:%MZ))"
echo
grep -m1 '^figure' "$load_out" || printf '%-58s %12s %s\n' figure value goal
grep -h '^(' "$load_out" "$app_out" "$report_out" "$serve_out" "$linedb_out"
echo
if [ "$status" -eq 0 ]; then echo "all goals met"; else echo "goal missed"; fi
exit "$status"
