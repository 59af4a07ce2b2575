#!/usr/bin/env bash
# Configures (once) and builds the main build in build/. Extra arguments go to
# the build tool, e.g. scripts/build.sh tcstation.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build/build.ninja ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build -- "$@"
