#!/usr/bin/env bash
# Break check: does the test suite catch realistic faults?
#
# Copies the tree once into a private folder, builds it there (Ninja, RelWithDebInfo, ccache,
# warnings not errors), runs the suite on the pristine copy, then for each fault of the list:
# applies it (exact text replacement, see the head of the fault list), builds incrementally,
# runs ctest and restores the files. One line per fault:
#   CAUGHT  id  the tests that failed (a hang counts: ctest's timeout ends it)
#   MISSED  id  no test failed: a test to write
#   NOBUILD id  the fault does not compile: the fault is broken, not the suite
#   STALE   id  its old text is not in the tree exactly once: the fault needs re-anchoring
# and at the end "caught N of M" (M = faults that built). Exit status 0 when every fault that
# built was caught, 1 otherwise, 2 on a usage or setup error. Not run in CI.
#
# Usage: scripts/break-check.sh [--faults FILE] [--only ID[,ID...]] [--tree DIR] [--work DIR]
#                               [--first]
#   --faults  the fault list (default: faults.txt beside this script)
#   --only    run just these faults
#   --tree    check that checkout instead of the one this script is in
#   --work    the private folder (default: a new one under ${TMPDIR:-/tmp}); logs stay there
#   --first   stop each fault's suite at the first failing test (faster; names only that one)
# Environment: JOBS (default 2), TEST_TIMEOUT seconds per test (default 120).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
tree=$(cd "$here/.." && pwd)
faults=$here/faults.txt
only=""
work=""
jobs=${JOBS:-2}
stop=""
timeout=${TEST_TIMEOUT:-120}

usage() { sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --faults) faults=$(realpath "$2"); shift 2 ;;
    --only) only=$2; shift 2 ;;
    --tree) tree=$(cd "$2" && pwd) || exit 2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --first) stop=1; shift ;;
    -h|--help) usage ;;
    *) echo "unknown option $1" >&2; usage ;;
  esac
done
[ -f "$faults" ] || { echo "no fault list $faults" >&2; exit 2; }
apply="python3 $here/faultapply.py"
list=$($apply list "$faults") || exit 2

if [ -z "$work" ]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/break-check.XXXXXX")
else
  mkdir -p "$work" && work=$(cd "$work" && pwd)
fi
src=$work/tree pristine=$work/pristine build=$work/build logs=$work/logs
rm -rf "$src" "$pristine" "$logs"
mkdir -p "$src" "$pristine" "$logs" "$work/home"/{config,data,state,cache,runtime}
chmod 700 "$work/home/runtime"
echo "work folder: $work" >&2

# The tree's files without build folders or .git: what git knows (and untracked files not
# ignored), or everything else when it is not a git checkout.
copy_tree() {
  if git -C "$tree" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$tree" && git ls-files -z --cached --others --exclude-standard |
       tar -c --null --ignore-failed-read -T - -f - 2>/dev/null) | tar -x -C "$1"
  else
    (cd "$tree" && tar -c --exclude='./build*' --exclude=./.git -f - .) | tar -x -C "$1"
  fi
}
copy_tree "$src" && copy_tree "$pristine" || { echo "cannot copy $tree" >&2; exit 2; }

# ccache keys on paths relative to the work folder, so a second run elsewhere reuses objects.
export CCACHE_BASEDIR=$work CCACHE_NOHASHDIR=1
# The tests never see the real per-user folders.
export XDG_CONFIG_HOME=$work/home/config XDG_DATA_HOME=$work/home/data \
       XDG_STATE_HOME=$work/home/state XDG_CACHE_HOME=$work/home/cache \
       XDG_RUNTIME_DIR=$work/home/runtime

build_tree() { cmake --build "$build" -j "$jobs" >"$1" 2>&1; }
# Runs the suite; prints the failed tests as "name" or "name(Timeout)".
run_tests() {
  ctest --test-dir "$build" -j "$jobs" --timeout "$timeout" ${stop:+--stop-on-failure} >"$1" 2>&1
  sed -n '/The following tests FAILED:/,$p' "$1" |
    sed -n 's/^[[:space:]]*[0-9]\{1,\} - \([^ ]*\) (\(.*\))$/\1 \2/p' |
    while read -r name why; do
      case $why in Timeout) echo "$name(Timeout)" ;; *) echo "$name" ;; esac
    done
}

start=$(date +%s)
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELL_WERROR=OFF \
  -DVELL_BUILD_BENCH=OFF -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >"$logs/configure.log" 2>&1 ||
  { echo "configure failed, see $logs/configure.log" >&2; exit 2; }
build_tree "$logs/pristine.build.log" || { echo "the pristine tree does not build, see $logs/pristine.build.log" >&2; exit 2; }
# The pristine suite runs whole: every test that fails there is left out of the catches.
baseline=$(stop="" run_tests "$logs/pristine.ctest.log" | sed 's/(Timeout)$//')
if [ -n "$baseline" ]; then
  echo "the pristine tree already fails (not counted as catches): $(echo $baseline)"
fi
echo "pristine build and suite: $(( $(date +%s) - start )) s"

current_files=""
restore() {
  for f in $current_files; do cp "$pristine/$f" "$src/$f"; done
  current_files=""
}
trap 'restore; exit 130' INT TERM

caught=0 built=0 missed=() stale=() nobuild=()
while IFS=$'\t' read -r id files desc; do
  if [ -n "$only" ] && [[ ",$only," != *",$id,"* ]]; then continue; fi
  t0=$(date +%s)
  if ! current_files=$($apply apply "$faults" "$id" "$src" 2>&1); then
    echo "STALE   $id  $current_files"
    stale+=("$id"); current_files=""; continue
  fi
  if ! build_tree "$logs/$id.build.log"; then
    echo "NOBUILD $id  $desc"
    nobuild+=("$id"); restore; continue
  fi
  built=$((built + 1))
  failed=$(run_tests "$logs/$id.ctest.log" | grep -vxF -f <(printf '%s\n' $baseline) | tr '\n' ' ')
  restore
  secs=$(( $(date +%s) - t0 ))
  if [ -n "$failed" ]; then
    caught=$((caught + 1))
    echo "CAUGHT  $id  ${failed% }  [${secs}s]"
  else
    echo "MISSED  $id  $desc  [${secs}s]"
    missed+=("$id")
  fi
done <<<"$list"
# The last restored file is built back, so the work folder is left pristine.
build_tree "$logs/restored.build.log"

echo "caught $caught of $built"
[ ${#missed[@]} -gt 0 ] && echo "missed: ${missed[*]}"
[ ${#stale[@]} -gt 0 ] && echo "stale: ${stale[*]}"
[ ${#nobuild[@]} -gt 0 ] && echo "nobuild: ${nobuild[*]}"
echo "total time: $(( $(date +%s) - start )) s, logs in $logs"
[ "$caught" -eq "$built" ]
