#!/usr/bin/env bash
# Checks that no Unix-only call or header leaked out of its guard: compiles, syntax only, every
# source of the tool that a build off Unix compiles, with MinGW-w64's g++ (so _WIN32 and
# Q_OS_WIN are defined and the POSIX headers are missing), -Wall -Wextra -Wpedantic -Werror,
# against the Qt 6 headers of Debian's Qt packages. Not a Windows build: nothing is linked, moc
# output is not compiled, and Qt's own headers are those of its Linux build.
#
# The list of sources and their flags come from CMake: a configure into
# ${WINDOWS_CHECK_DIR:-build-windows} that takes the target system to be Windows, so whatever
# the CMake files build only if(UNIX) (the simulator, the termination watcher) is left out as
# on Windows, and files added to a target are checked without a change here. Every compile
# command of a source under src/ is run, except the simulator's (src/sim/).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
dir=${WINDOWS_CHECK_DIR:-build-windows}
cxx=x86_64-w64-mingw32-g++-posix
mkdir -p "$dir/windows-check"
aux=$(cd "$dir/windows-check" && pwd)

cat >"$aux/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER $cxx)
EOF
# After project(): the host's Qt packages have no import libraries, which a DLL platform asks
# of every shared library it might link (nothing is linked here); the host's /usr/include (the
# Qt packages name it for Vulkan) must not stand in for headers MinGW lacks; and every command
# checks syntax only.
cat >"$aux/after-project.cmake" <<'EOF'
set(CMAKE_IMPORT_LIBRARY_SUFFIX "")
list(APPEND CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES /usr/include)
add_compile_options(-fsyntax-only)
EOF
# zlib's two headers alone, for the same reason; the library is a placeholder never linked.
mkdir -p "$aux/zlib"
ln -sf /usr/include/zlib.h /usr/include/zconf.h "$aux/zlib/"
touch "$aux/zlib/not-linked.a"
# libpq: its headers are the host's (plain C, no Unix call); its library a placeholder too.
touch "$aux/pq-not-linked.a"

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$aux/toolchain.cmake" -DCMAKE_PROJECT_INCLUDE="$aux/after-project.cmake" \
  -DCMAKE_PREFIX_PATH="/usr/lib/$(gcc -print-multiarch)/cmake" -DCMAKE_CXX_COMPILER_LAUNCHER= \
  -DVELL_WERROR=ON -DVELL_BUILD_BENCH=OFF -DVELL_FUZZ=OFF \
  -DZLIB_INCLUDE_DIR="$aux/zlib" -DZLIB_LIBRARY="$aux/zlib/not-linked.a" \
  -DPostgreSQL_LIBRARY="$aux/pq-not-linked.a" >"$aux/configure.log" ||
  { cat "$aux/configure.log"; exit 1; }

# The compile commands of the sources under src/ but src/sim/, NUL-separated.
cat >"$aux/commands.cmake" <<'EOF'
file(READ "${db}" json)
string(JSON count LENGTH "${json}")
math(EXPR last "${count} - 1")
file(WRITE "${out}" "")
foreach(i RANGE ${last})
  string(JSON file GET "${json}" ${i} file)
  if(file MATCHES "^${src}/src/" AND NOT file MATCHES "^${src}/src/sim/")
    string(JSON command GET "${json}" ${i} command)
    file(APPEND "${out}" "${command}\n")
  endif()
endforeach()
EOF
cmake -Ddb="$dir/compile_commands.json" -Dout="$aux/commands.txt" -Dsrc="$PWD" \
  -P "$aux/commands.cmake"
count=$(wc -l <"$aux/commands.txt")
if [ "$count" -lt 1 ] || ! grep -q -- "$cxx" "$aux/commands.txt"; then
  echo "windows-check: no MinGW compile commands for src/ in $dir/compile_commands.json" >&2
  exit 1
fi
if grep -Eq -- '-isystem /usr/include( |$)|-I/usr/include( |$)' "$aux/commands.txt"; then
  echo "windows-check: a command searches the host's /usr/include" >&2
  exit 1
fi

echo "windows-check: $count sources with $cxx -fsyntax-only"
failed="$aux/failed.txt"
: >"$failed"
# Each command runs in the build folder; a failure names its source (the command's last word).
tr '\n' '\0' <"$aux/commands.txt" |
  xargs -0 -n 1 -P "${JOBS:-$(nproc)}" sh -c \
    'cd "$1" && eval "$3" || echo "${3##* }" >>"$2"' sh "$dir" "$failed" ||
  true
if [ -s "$failed" ]; then
  echo "windows-check: these sources do not compile off Unix:" >&2
  sort "$failed" | sed 's/^/  /' >&2
  exit 1
fi
echo "windows-check: passed"
