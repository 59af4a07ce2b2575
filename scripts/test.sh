#!/usr/bin/env bash
# Sets up, builds and runs every test:
#   1. the main build (build/, gcc, Release as the station is built for use):
#      all layers, tools, benchmarks and tests;
#   2. the sanitizer build (build-asan/, clang with AddressSanitizer and
#      UndefinedBehaviorSanitizer): the Qt-free core layers, their tests and the
#      bounded fuzz runs;
#   3. the package guard: every file from outside the tree that the two builds
#      and the scripts use comes from a package that scripts/setup.sh installs.
# Both builds treat warnings as errors. Prints CTest's summary of each and
# exits non-zero when any test or the guard fails.
set -uo pipefail
cd "$(dirname "$0")/.."
# Each phase but the last prints its time when it ends, for fresh-machine.sh
# and CI logs.
phase_start=$SECONDS
phase() {
  echo "   ($(( SECONDS - phase_start )) s)"
  phase_start=$SECONDS
  echo "== $1"
}
echo "== setup"
bash scripts/setup.sh || exit 1

JOBS=$(nproc)
status=0

phase "main build (build/)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTC_WERROR=ON >/dev/null || exit 1
cmake --build build || exit 1

phase "sanitizer build (build-asan/)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTC_CORE_ONLY=ON -DTC_SANITIZE=ON -DTC_FUZZ=ON -DTC_BENCH=OFF -DTC_WERROR=ON >/dev/null || exit 1
cmake --build build-asan || exit 1

# Before the tests, so that a missing package shows within seconds.
phase "package guard"
bash scripts/check-packages.sh build build-asan || status=1

phase "main build's tests"
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$JOBS") || status=1

phase "sanitizer build's tests"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j "$JOBS") || status=1

if [ $status -eq 0 ]; then
  echo "== all tests passed"
else
  echo "== SOME TESTS FAILED"
fi
exit $status
