#!/usr/bin/env bash
# Builds the whole project, warnings as errors, with every CMake build type
# and both compilers, each in build-matrix/<compiler>-<type>/, and prints one
# line per build. Not part of the test command (about an hour on two cores);
# run it after changing compiler flags, CMake files or the toolchain.
#
#   scripts/build-matrix.sh [gcc|clang]... [Debug|Release|RelWithDebInfo|MinSizeRel]...
#
# With no compiler or no type named, all of them.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1

compilers=()
types=()
for a in "$@"; do
  case $a in
    gcc | clang) compilers+=("$a") ;;
    Debug | Release | RelWithDebInfo | MinSizeRel) types+=("$a") ;;
    *) echo "usage: scripts/build-matrix.sh [gcc|clang]... [Debug|Release|RelWithDebInfo|MinSizeRel]..." >&2; exit 2 ;;
  esac
done
[ ${#compilers[@]} -gt 0 ] || compilers=(gcc clang)
[ ${#types[@]} -gt 0 ] || types=(Release RelWithDebInfo MinSizeRel Debug)

summary=()
status=0
for c in "${compilers[@]}"; do
  case $c in
    gcc) cc=gcc cxx=g++ ;;
    clang) cc=clang cxx=clang++ ;;
  esac
  for t in "${types[@]}"; do
    dir=build-matrix/$c-$t
    start=$(date +%s)
    log=$dir.log
    mkdir -p build-matrix
    if cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$t" -DTC_WERROR=ON \
         -DCMAKE_C_COMPILER=$cc -DCMAKE_CXX_COMPILER=$cxx >"$log" 2>&1 &&
       cmake --build "$dir" -- -k 0 >>"$log" 2>&1; then
      result=ok
    else
      result="FAILED (see $log)"
      status=1
    fi
    warnings=$(grep -c 'warning:' "$log")
    summary+=("$(printf '%-6s %-15s %4ds  warnings: %-4s %s' "$c" "$t" $(($(date +%s) - start)) "$warnings" "$result")")
    echo "${summary[-1]}"
  done
done
echo "== build matrix"
printf '%s\n' "${summary[@]}"
exit $status
