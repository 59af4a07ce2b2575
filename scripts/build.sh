#!/usr/bin/env bash
# Configures (once) and builds the main build in build/. Extra arguments go to
# the build tool, e.g. scripts/build.sh tcstation.
set -euo pipefail
cd "$(dirname "$0")/.."
# Configuring again is cheap and picks up layers and tools added since.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -- "$@"
