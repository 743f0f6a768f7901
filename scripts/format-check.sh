#!/usr/bin/env bash
# Checks that every tracked *.cpp and *.h is formatted as .clang-format says, with clang-format
# 14 (Debian 12's, the release CI checks on; other releases break lines differently), and names
# the files that differ. --fix reformats them in place instead.
#   CLANG_FORMAT=/path/to/clang-format-14   another binary of that release
set -euo pipefail
cd "$(dirname "$0")/.."
fix=false
case ${1:-} in
  --fix) fix=true ;;
  "") ;;
  *) echo "usage: $0 [--fix]" >&2; exit 2 ;;
esac
bash scripts/deps.sh
tool=${CLANG_FORMAT:-$(command -v clang-format-14 || command -v clang-format || true)}
version=$("${tool:-clang-format}" --version 2>/dev/null || true)
if ! grep -Eq 'version 14\.' <<<"$version"; then
  echo "format-check: needs clang-format 14 (Debian 12's); found: ${version:-none}" >&2
  echo "format-check: set CLANG_FORMAT to a clang-format 14 binary" >&2
  exit 2
fi

mapfile -d '' files < <(git ls-files -z -- '*.cpp' '*.h')
if $fix; then
  "$tool" -i --style=file -- "${files[@]}"
  echo "format-check: reformatted ${#files[@]} files with $tool"
  exit 0
fi
differ=()
for f in "${files[@]}"; do
  "$tool" --style=file --dry-run -Werror -- "$f" >/dev/null 2>&1 || differ+=("$f")
done
if [ ${#differ[@]} -gt 0 ]; then
  echo "format-check: ${#differ[@]} of ${#files[@]} files differ from .clang-format" \
    "(bash scripts/format-check.sh --fix):" >&2
  printf '  %s\n' "${differ[@]}" >&2
  exit 1
fi
echo "format-check: ${#files[@]} files match .clang-format"
