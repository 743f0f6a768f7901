#!/usr/bin/env bash
# Soak (not part of CI): one app process loops load + program-target on 4 simulated
# programmers for ${SOAK_MINUTES:-30} minutes while this script samples its resident memory
# and open file descriptors every ${SOAK_INTERVAL:-0.1} s from /proc, printing a line every
# ${SOAK_SAMPLE_SECONDS:-30} s. Leaks are judged by what stays open: the lowest value over a
# window of ${SOAK_WINDOW:-20} samples, once after ${SOAK_WARMUP_SECONDS:-30} s of warm-up and
# once at the end. A descriptor open for a moment lifts a few samples, not the lowest; a leak
# lifts them all. Between the two windows RSS may grow by at most ${SOAK_RSS_SLACK_KIB:-2048}
# KiB and the descriptor count not at all.
#
#   bash scripts/soak.sh --judge FILE   judges a file of "seconds rss_kib fds" lines only
set -euo pipefail
cd "$(dirname "$0")/.."
window=${SOAK_WINDOW:-20}
warmup=${SOAK_WARMUP_SECONDS:-30}
slack=${SOAK_RSS_SLACK_KIB:-2048}

# judge FILE: prints the verdict; fails when RSS or the descriptors stayed up.
judge() {
  awk -v window="$window" -v warmup="$warmup" -v slack="$slack" '
    function lowest(a, from, to,   i, m) {
      m = a[from]; for (i = from + 1; i <= to; i++) if (a[i] < m) m = a[i]; return m
    }
    { t[NR] = $1; rss[NR] = $2; fds[NR] = $3; if ($3 > most) most = $3 }
    END {
      if (NR < 2 * window) { print "soak failed: " NR " samples, " 2 * window " needed"; exit 1 }
      first = 1
      while (first < NR && t[first] < warmup) first++
      if (NR - first + 1 < 2 * window) first = 1 # a short run: from the first sample
      rss0 = lowest(rss, first, first + window - 1); fds0 = lowest(fds, first, first + window - 1)
      rss1 = lowest(rss, NR - window + 1, NR); fds1 = lowest(fds, NR - window + 1, NR)
      printf "%d samples; lowest of %d from %s s and at the end: RSS %d -> %d KiB (%+d, allowed %d); fds %d -> %d (at most %d in a sample)\n",
             NR, window, t[first], rss0, rss1, rss1 - rss0, slack, fds0, fds1, most
      if (rss1 - rss0 > slack || fds1 > fds0) { print "soak failed: not flat"; exit 1 }
      print "soak passed: flat"
    }
' "$1"
}

if [ "${1:-}" = "--judge" ]; then
  judge "$2"
  exit
fi

bash scripts/deps.sh
dir=${BENCH_BUILD_DIR:-build-bench}
minutes=${SOAK_MINUTES:-30}
every=${SOAK_SAMPLE_SECONDS:-30}
interval=${SOAK_INTERVAL:-0.1}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELL_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" -j 2 --target bench_soak vell-programmer-sim

log=$(mktemp)
samples=$(mktemp)
trap 'rm -f "$log" "$samples"' EXIT
"$dir/bench/bench_soak" --minutes "$minutes" >"$log" &
pid=$!

start=$(date +%s.%N)
printf '%8s %10s %6s %8s\n' "time [s]" "RSS [KiB]" "fds" "cycles"
printed=-1
while kill -0 "$pid" 2>/dev/null; do
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
  fds=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l || true)
  now=$(date +%s.%N)
  t=$(awk -v a="$start" -v b="$now" 'BEGIN { printf "%.1f", b - a }')
  if [ -n "$rss" ] && [ "${fds:-0}" -gt 0 ] && kill -0 "$pid" 2>/dev/null; then
    echo "$t $rss $fds" >>"$samples"
    if [ "$(( ${t%.*} / every ))" -gt "$printed" ]; then
      printed=$(( ${t%.*} / every ))
      cycles=$(grep -o '[0-9]* cycles' "$log" | tail -1 | cut -d' ' -f1 || true)
      printf '%8s %10s %6s %8s\n' "$t" "$rss" "$fds" "${cycles:-0}"
    fi
  fi
  sleep "$interval"
done
wait "$pid" && rc=0 || rc=$?
grep -v '^soak: [0-9]* s,' "$log" || true

if [ "$rc" -ne 0 ]; then echo "soak failed: the loop reported a failure"; exit 1; fi
judge "$samples"
