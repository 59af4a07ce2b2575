#!/usr/bin/env bash
# Formats the C++ sources with the repository's .clang-format.
#   scripts/format.sh          format the files changed against HEAD (and new ones)
#   scripts/format.sh --all    format every tracked source
#   scripts/format.sh --check  report files that are not formatted, exit 1 if any
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-changed}
if [ "$mode" = "--all" ] || [ "$mode" = "--check" ]; then
  files=$(git ls-files -- '*.cpp' '*.h')
else
  files=$( (git diff --name-only HEAD -- '*.cpp' '*.h'; git ls-files --others --exclude-standard -- '*.cpp' '*.h') | sort -u)
fi
[ -n "$files" ] || exit 0
if [ "$mode" = "--check" ]; then
  bad=0
  for f in $files; do
    if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then echo "not formatted: $f"; bad=1; fi
  done
  exit $bad
fi
for f in $files; do [ -f "$f" ] && clang-format -i "$f"; done
