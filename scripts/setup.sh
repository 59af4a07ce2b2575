#!/usr/bin/env bash
# Installs, with apt-get and only when missing, every Debian 12 package the
# station needs to build, run, test and benchmark. Idempotent: when everything
# is there it only asks dpkg and returns within a second or two.
#
#   scripts/setup.sh                  install what is missing
#   scripts/setup.sh --list           print the packages, one a line
#   scripts/setup.sh --list-runtime   print the packages an installed station
#                                     folder needs on a station PC
#
# scripts/check-packages.sh checks these lists against the files the builds
# and the scripts really use; keep a package here whenever it reports one.
set -euo pipefail

# What the installed programs (tcstation, tcdb, tcsim) need to run: the Qt
# libraries (libqt6gui6 brings the xcb and offscreen platform plugins; the
# multimedia library brings its own for the alarm tone), Qt's Chinese
# translations, Modbus for the simulator and the Chinese font.
RUNTIME_PACKAGES=(
  libqt6widgets6 libqt6charts6 libqt6printsupport6 libqt6multimedia6
  qt6-translations-l10n
  libmodbus5 fonts-noto-cjk
)

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev clang-format
  libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libssl-dev libsqlite3-dev libmodbus-dev
  qt6-base-dev qt6-charts-dev qt6-multimedia-dev libgl-dev
  # Qt Charts' CMake files load Qt6OpenGL's, which qt6-charts-dev does not depend on.
  libqt6opengl6-dev
  xvfb xauth x11-utils imagemagick fonts-noto-cjk poppler-utils tzdata
  "${RUNTIME_PACKAGES[@]}"
)

case ${1:-} in
  --list) printf '%s\n' "${PACKAGES[@]}" | sort -u; exit 0 ;;
  --list-runtime) printf '%s\n' "${RUNTIME_PACKAGES[@]}"; exit 0 ;;
  "") ;;
  *) echo "usage: scripts/setup.sh [--list | --list-runtime]" >&2; exit 2 ;;
esac

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
