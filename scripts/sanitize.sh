#!/usr/bin/env bash
# Builds with AddressSanitizer and UndefinedBehaviorSanitizer into build-asan and runs the
# whole test suite, pty end-to-end tests included.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
export BUILD_DIR=build-asan BUILD_TYPE=Debug
bash scripts/build.sh -DVELL_SANITIZE=ON -DVELL_BUILD_BENCH=OFF
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir build-asan --output-on-failure -j 2 --timeout 300
