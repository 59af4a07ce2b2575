#!/usr/bin/env bash
# Installs, with apt-get and only when missing, every Debian 12 package the
# station needs to build, run and test. Idempotent: when everything is there it
# only asks dpkg and returns within a second or two.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev clang-format
  libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libssl-dev libsqlite3-dev libmodbus-dev
  qt6-base-dev qt6-charts-dev libgl-dev
  xvfb xauth x11-utils imagemagick fonts-noto-cjk poppler-utils tzdata
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
