#!/usr/bin/env bash
# The fault fuzz targets at length (default 600 s each) from the sanitizer
# build: the reply rule, GBK text, the recovery of any file, and tcdb's check
# with the managers on any file. Findings are left in the run directory.
#
#   bench/faults/fuzz-long.sh [SECONDS] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."
SECONDS_EACH=${1:-600}
BUILD=${2:-build-asan}
RUN=$(mktemp -d /tmp/tc-fuzz-XXXXXX)
status=0
for target in reply_fuzzer gbk_fuzzer recovery_fuzzer store_fuzzer; do
  exe=$(find "$BUILD" -name "$target" -type f -perm -u+x | head -1)
  if [ -z "$exe" ]; then
    echo "fuzz-long: $target is not built in $BUILD (configure with -DTC_FUZZ=ON)" >&2
    status=1
    continue
  fi
  mkdir -p "$RUN/$target"
  case $target in
    recovery_fuzzer|store_fuzzer) cp tests/engine/corpus/* "$RUN/$target/" ;;
  esac
  echo "fuzz-long: $target for $SECONDS_EACH s"
  (cd "$RUN" && ASAN_OPTIONS=detect_leaks=1 "$OLDPWD/$exe" -max_total_time="$SECONDS_EACH" \
      -rss_limit_mb=1024 -timeout=10 -print_final_stats=1 "$RUN/$target" 2>&1 | tail -12) || status=1
done
echo "fuzz-long: corpora and any findings in $RUN"
exit $status
