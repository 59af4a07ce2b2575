#!/usr/bin/env bash
# Tests of scripts/check-packages.sh, on the configured build and on small
# fake builds that use one chosen file each.
#   check-packages_test.sh CASE BUILD_DIR
set -euo pipefail
CASE=$1
BUILD=$2
SRC=$(cd "$(dirname "$0")/../.." && pwd)
GUARD=$SRC/scripts/check-packages.sh
TMP=$(mktemp -d /tmp/tc-guard-test-XXXXXX)
trap 'rm -rf "$TMP"' EXIT

fail() { echo "FAIL: $*" >&2; echo "--- guard output:" >&2; cat "$TMP/out" >&2 2>/dev/null || true; exit 1; }
# guard ARGS...: runs the guard; its output goes to $TMP/out, its status to $rc.
guard() { rc=0; bash "$GUARD" "$@" >"$TMP/out" 2>&1 || rc=$?; }
expect_output() { grep -qF -- "$1" "$TMP/out" || fail "output lacks: $1"; }
refuse_output() { ! grep -qF -- "$1" "$TMP/out" || fail "output has: $1"; }
# fake_build DIR FILE...: a configured build whose only outside files are the
# libraries FILE... it links.
fake_build() {
  local dir=$1; shift
  mkdir -p "$dir"
  echo "CMAKE_CXX_COMPILER:FILEPATH=" >"$dir/CMakeCache.txt"
  { echo "rule touch"; echo "  command = touch \$out"; echo "build all: touch"
    for f in "$@"; do echo "  LINK_LIBRARIES = $f"; done; } >"$dir/build.ninja"
}
# packages NAME...: a package list for --packages. The window's font is
# always used, so its package is always listed.
packages() { printf '%s\n' fonts-noto-cjk "$@" >"$TMP/packages"; }
# shipped PACKAGE PATTERN: the first file of an installed PACKAGE matching PATTERN.
shipped() {
  local f
  f=$(dpkg -L "$1" | grep -m1 -E "$2") || { echo "SKIP: $1 is not installed"; exit 77; }
  echo "$f"
}

case $CASE in
NamesMissingPackageAndItsFiles)
  # The fault a brand-new machine found: Qt Charts' CMake files load Qt
  # OpenGL's, and no listed package depends on libqt6opengl6-dev.
  bash "$SRC/scripts/setup.sh" --list | grep -vx libqt6opengl6-dev >"$TMP/packages"
  guard --packages "$TMP/packages" "$BUILD"
  [ $rc -eq 1 ] || fail "guard passed without libqt6opengl6-dev (status $rc)"
  expect_output "package libqt6opengl6-dev is not installed by $TMP/packages"
  expect_output "/cmake/Qt6OpenGL/Qt6OpenGLConfig.cmake"
  # Nothing else is missing from the list.
  [ "$(grep -c '^check-packages: package ' "$TMP/out")" -eq 1 ] || fail "more than one package reported"
  ;;
FollowsDependsNotRecommends)
  # libqt6charts6 depends on libqt6opengl6; gcc-12 only recommends
  # libc6-dev, which a new machine installing with --no-install-recommends
  # does not get from it.
  opengl=$(shipped libqt6opengl6 '/libQt6OpenGL\.so\.')
  stdio=$(shipped libc6-dev '^/usr/include/stdio\.h$')
  fake_build "$TMP/b" "$opengl"
  packages libqt6charts6
  guard --scripts "" --packages "$TMP/packages" "$TMP/b"
  [ $rc -eq 0 ] || fail "a file of a dependency was not accepted (status $rc)"
  expect_output "all from packages that $TMP/packages installs"
  fake_build "$TMP/c" "$stdio"
  packages gcc-12
  guard --scripts "" --packages "$TMP/packages" "$TMP/c"
  [ $rc -eq 1 ] || fail "a recommended package was taken as installed (status $rc)"
  expect_output "package libc6-dev is not installed"
  expect_output "$stdio"
  ;;
FileOfNoPackageFails)
  mkdir -p "$TMP/outside"
  echo "not from any package" >"$TMP/outside/libmine.so"
  fake_build "$TMP/b" "$TMP/outside/libmine.so"
  packages
  guard --scripts "" --packages "$TMP/packages" "$TMP/b"
  [ $rc -eq 1 ] || fail "a file that no package holds passed (status $rc)"
  expect_output "no Debian package holds"
  expect_output "$TMP/outside/libmine.so"
  ;;
ProgramsFoundCountButNotCMakesBinaryTools)
  # A program found with find_program is a dependency; the archiver CMake
  # happened to find (LLVM's on a machine that has it) is not.
  mkdir -p "$TMP/outside"
  printf '#!/bin/sh\n' >"$TMP/outside/tool"
  chmod +x "$TMP/outside/tool"
  fake_build "$TMP/b"
  printf 'CMAKE_AR:FILEPATH=%s\nCMAKE_CXX_COMPILER_RANLIB:FILEPATH=%s\n' \
    "$TMP/outside/tool" "$TMP/outside/tool" >>"$TMP/b/CMakeCache.txt"
  packages
  guard --scripts "" --packages "$TMP/packages" "$TMP/b"
  [ $rc -eq 0 ] || fail "CMake's archiver was taken for a dependency (status $rc)"
  echo "TC_PDFTOTEXT:FILEPATH=$TMP/outside/tool" >>"$TMP/b/CMakeCache.txt"
  guard --scripts "" --packages "$TMP/packages" "$TMP/b"
  [ $rc -eq 1 ] || fail "a program found by find_program was not checked (status $rc)"
  expect_output "$TMP/outside/tool"
  ;;
RunsOnlyCommandWordsOfScripts)
  # Programs named in strings, comments and inline awk code are not run;
  # those at a command's start, after a pipe, in $( ) and after env are.
  pdftotext=$(type -P pdftotext) || { echo "SKIP: no pdftotext"; exit 77; }
  cmake=$(type -P cmake)
  xvfb=$(type -P Xvfb) || { echo "SKIP: no Xvfb"; exit 77; }
  cat >"$TMP/script.sh" <<'SCRIPT'
#!/usr/bin/env bash
# pdftotext in a comment
echo "then run pdftotext; or pdfinfo" | awk '{ x = 1; pdffonts = 2 }'
v=$(cmake --version | head -1)
if true; then env DISPLAY=:9 Xvfb :9 & fi
SCRIPT
  fake_build "$TMP/b"
  packages
  guard --scripts "$TMP/script.sh" --packages "$TMP/packages" "$TMP/b"
  [ $rc -eq 1 ] || fail "status $rc"
  expect_output "$xvfb"
  expect_output "$(realpath "$cmake")"
  refuse_output "$pdftotext"
  refuse_output "poppler-utils"
  ;;
*)
  echo "unknown case $CASE" >&2
  exit 2
  ;;
esac
echo "PASS: $CASE"
