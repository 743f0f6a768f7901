#!/usr/bin/env bash
# Soak (not part of CI): one app process loops load + program-target on 4 simulated
# programmers for ${SOAK_MINUTES:-30} minutes while this script samples its resident memory
# and open file descriptors every ${SOAK_SAMPLE_SECONDS:-30} s from /proc. Both must stay
# flat: from the second sample on (the first is warm-up), RSS may not grow by more than
# ${SOAK_RSS_SLACK_KIB:-2048} KiB and the descriptor count not at all.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
dir=${BENCH_BUILD_DIR:-build-bench}
minutes=${SOAK_MINUTES:-30}
every=${SOAK_SAMPLE_SECONDS:-30}
slack=${SOAK_RSS_SLACK_KIB:-2048}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELL_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" -j "$(nproc)" --target bench_soak vell-programmer-sim

log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$dir/bench/bench_soak" --minutes "$minutes" >"$log" &
pid=$!

sample() { # prints "seconds rss_kib fds"
  local rss fds
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null) || return 1
  fds=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l) || return 1
  [ -n "$rss" ] && echo "$SECONDS $rss $fds"
}

SECONDS=0
printf '%8s %10s %6s %8s\n' "time [s]" "RSS [KiB]" "fds" "cycles"
samples=()
sleep 5 # the search and the first cycle
while kill -0 "$pid" 2>/dev/null; do
  if s=$(sample); then
    cycles=$(grep -o '[0-9]* cycles' "$log" | tail -1 | cut -d' ' -f1 || true)
    read -r t rss fds <<<"$s"
    printf '%8s %10s %6s %8s\n' "$t" "$rss" "$fds" "${cycles:-0}"
    samples+=("$rss $fds")
  fi
  for ((i = 0; i < every && i < minutes * 60 + 10; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 1
  done
done
wait "$pid" && rc=0 || rc=$?
cat "$log" | grep -v '^soak: [0-9]* s,' || true

[ "${#samples[@]}" -gt 0 ] || { echo "soak failed: no sample taken"; exit 1; }
base=$(( ${#samples[@]} > 2 ? 1 : 0 ))
read -r rss0 fds0 <<<"${samples[$base]}"
read -r rss1 fds1 <<<"${samples[-1]}"
growth=$((rss1 - rss0))
echo "ran ${SECONDS} s; from sample $((base + 1)) of ${#samples[@]}: RSS ${rss0} -> ${rss1} KiB (${growth} KiB, allowed ${slack}); fds ${fds0} -> ${fds1}"
if [ "$rc" -ne 0 ]; then echo "soak failed: the loop reported a failure"; exit 1; fi
if [ "$growth" -gt "$slack" ] || [ "$fds1" -gt "$fds0" ]; then echo "soak failed: not flat"; exit 1; fi
echo "soak passed: flat"
