#!/usr/bin/env bash
# Runs a command on a fresh Debian release, as a new user would: makes a minbase root of SUITE
# with debootstrap (Debian's own packages, signatures checked), makes it a mount point, binds
# /dev (with /dev/pts), /proc and /sys into it, copies in a clean copy of HEAD (committed files
# only) as /root/VellUsbProgrammer, and runs COMMAND there with bash, as root, with no stdin.
# Every mount is undone and the root removed on the way out, however the run ends.
#
#   fresh-root.sh [--in FILE]... [--out DIR] SUITE 'COMMAND'
#     --in FILE  copies FILE into /in of the root before the command
#     --out DIR  copies the root's /out folder into DIR after the command, even when it failed
#
# Needs root (it uses sudo otherwise) and installs debootstrap when missing. The roots live in
# ${FRESH_ROOT_DIR:-/var/tmp/vell-fresh-root}, outside the source tree. Downloaded packages are
# kept there per release (cache/SUITE) and used again only where the archive's signed indexes
# give the same file (debootstrap and apt check every package's hash), so a root made from the
# cache holds exactly what a download would give. The compiler cache (ccache, which the build
# uses when installed) is kept there too: it gives the same objects and the same warnings as
# compiling anew, only sooner. FRESH_ROOT_KEEP=1 leaves the root in place
# (unmounted) for a look after a failure. The command's exit code is this script's.
set -euo pipefail
usage() {
  echo "usage: fresh-root.sh [--in FILE]... [--out DIR] SUITE 'COMMAND'" >&2
  exit 2
}
args=("$@")
ins=()
out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --in) [ $# -ge 2 ] || usage; ins+=("$(realpath -e "$2")"); shift 2 ;;
    --out) [ $# -ge 2 ] || usage; out=$(realpath -m "$2"); shift 2 ;;
    -*) usage ;;
    *) break ;;
  esac
done
[ $# -eq 2 ] || usage
suite=$1
command=$2
[[ "$suite" =~ ^[a-z]+$ ]] || { echo "fresh-root.sh: not a Debian suite name: $suite" >&2; exit 2; }

src=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then
  exec sudo --preserve-env=FRESH_ROOT_DIR,FRESH_ROOT_KEEP,FRESH_ROOT_MIRROR,CI \
    bash "$src/scripts/fresh-root.sh" "${args[@]}"
fi
command -v debootstrap >/dev/null || {
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap
}
mirror=${FRESH_ROOT_MIRROR:-http://deb.debian.org/debian}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
base=$(realpath -m "${FRESH_ROOT_DIR:-/var/tmp/vell-fresh-root}")
case "$base/" in
  "$src"/*) echo "fresh-root.sh: the roots do not go in the source tree ($base)" >&2; exit 2 ;;
esac
cache="$base/cache/$suite"
mkdir -p "$cache/debootstrap" "$cache/apt/partial" "$cache/ccache"
root=$(mktemp -d "$base/$suite.XXXXXX")
chmod 755 "$root" # a system's root folder, open to its users (apt downloads as _apt)

# The mounts made so far, innermost last; undone in reverse order.
mounts=()
child="" # the process group run() waits for
cleanup() {
  local rc=$? i pid left killed=false
  trap - EXIT INT TERM HUP
  set +e
  if [ -n "$child" ]; then
    kill -TERM -- "-$child" 2>/dev/null
    for i in $(seq 50); do
      kill -0 -- "-$child" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL -- "-$child" 2>/dev/null
    wait "$child" 2>/dev/null
  fi
  rm -f "$root.debootstrap.log"
  # Whatever the command left running in the root (a server, a stuck test) would hold the
  # mounts: end those processes, found by their root folder.
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    if [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ]; then
      kill -KILL "$pid" 2>/dev/null && killed=true
    fi
  done
  $killed && sleep 1
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" ||
      echo "fresh-root.sh: cannot unmount ${mounts[i]}" >&2
  done
  left=$(awk -v r="$root" '$5 == r || index($5, r "/") == 1 {print $5}' /proc/self/mountinfo)
  if [ -n "$left" ]; then
    echo "fresh-root.sh: still mounted, root left in place: $left" >&2
    [ "$rc" -ne 0 ] || rc=1
  elif [ "${FRESH_ROOT_KEEP:-0}" = "1" ]; then
    echo "fresh-root.sh: the root stays in $root" >&2
  else
    rm -rf --one-file-system "$root"
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Runs a long command (debootstrap, the chroot) as a process group of its own in the
# background and waits for it, so that a signal to this script (CI ending it) is acted on at
# once, and the way out can end that group before it undoes the mounts.
run() {
  local rc=0
  setsid "$@" &
  child=$!
  wait "$child" || rc=$?
  child=""
  return "$rc"
}

bind() { # bind SOURCE TARGET [OPTIONS...]
  local from=$1 to=$2
  shift 2
  mkdir -p "$to"
  mount "$@" "$from" "$to"
  mounts+=("$to")
}

echo "fresh-root.sh: making a $suite minbase root in $root"
# The root is a mount point of its own, private, so nothing mounted in it shows elsewhere.
bind "$root" "$root" --bind
mount --make-private "$root"
run debootstrap --variant=minbase --keyring="$keyring" --cache-dir="$cache/debootstrap" \
  "$suite" "$root" "$mirror" > "$root.debootstrap.log" 2>&1 || {
  tail -n 30 "$root.debootstrap.log" >&2
  [ -f "$root/debootstrap/debootstrap.log" ] && tail -n 30 "$root/debootstrap/debootstrap.log" >&2
  echo "fresh-root.sh: debootstrap of $suite failed" >&2
  exit 1
}
bind /dev "$root/dev" --bind
bind /dev/pts "$root/dev/pts" --bind
bind proc "$root/proc" -t proc
bind /sys "$root/sys" --bind -o ro
bind "$cache/apt" "$root/var/cache/apt/archives" --bind
bind "$cache/ccache" "$root/root/.cache/ccache" --bind
# No service of an installed package starts inside the root.
printf '#!/bin/sh\nexit 101\n' > "$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"

work=/root/VellUsbProgrammer
mkdir -p "$root$work" "$root/in" "$root/out"
git -C "$src" archive --format=tar HEAD | tar -x -C "$root$work"
for f in "${ins[@]}"; do
  cp -a "$f" "$root/in/"
done
echo "fresh-root.sh: $suite at $(git -C "$src" rev-parse --short HEAD): $command"
set +e
run chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb ${CI:+CI=$CI} \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  /bin/bash -c "cd $work && $command" < /dev/null
rc=$?
set -e
if [ -n "$out" ]; then
  mkdir -p "$out"
  cp -a "$root/out/." "$out/"
fi
echo "fresh-root.sh: $suite: exit $rc"
exit "$rc"
