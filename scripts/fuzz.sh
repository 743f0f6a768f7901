#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into ${FUZZ_BUILD_DIR:-build-fuzz} and runs each one
# over its seed corpus, then for ${FUZZ_SECONDS:-5} seconds (new inputs stay in the build
# folder). Every parser of outside input has a target: replies, Config.txt, the settings file,
# the search's captured text, the attempt log for the shift report, the control socket's
# requests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
dir=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-5}
targets=(fuzz_replies fuzz_config fuzz_settings fuzz_search fuzz_report fuzz_control)

CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELL_FUZZ=ON -DVELL_BUILD_BENCH=OFF -DVELL_FUZZ_SECONDS="$seconds" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"

# The fuzzers' own leak check stays on; Qt's one-time allocations are not leaks of ours.
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for t in "${targets[@]}"; do
  name=${t#fuzz_}
  # A corpus folder cannot be told apart from a crashing input without its seeds.
  [ -d "fuzz/corpus/$name" ] && [ -n "$(ls -A "fuzz/corpus/$name")" ] || { echo "no seeds for $t" >&2; exit 1; }
done
ctest --test-dir "$dir" -L fuzz --output-on-failure -j "$(nproc)"
