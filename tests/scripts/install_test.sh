#!/usr/bin/env bash
# Tests of the station folder that `cmake --install` makes: what it holds, its
# launchers, and the runtime packages it needs.
#   install_test.sh CASE BUILD_DIR
set -euo pipefail
CASE=$1
BUILD=$2
SRC=$(cd "$(dirname "$0")/../.." && pwd)
TMP=$(mktemp -d /tmp/tc-install-test-XXXXXX)
trap 'rm -rf "$TMP"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
# A folder name with a space and Chinese text: operators pick such names.
FOLDER="$TMP/温控 station"
install_folder() {
  cmake --install "$BUILD" --prefix "$FOLDER" >"$TMP/install.log" 2>&1 ||
    { cat "$TMP/install.log" >&2; fail "cmake --install failed"; }
}

# desktop_exec FILE: the argv that a desktop starts for FILE's Exec key, one
# argument a line, read the way desktops read a launcher: the value's escapes
# (\s \n \t \r \\) first, then arguments split at spaces, double quotes with
# \" \` \$ \\ inside, and the field codes %k (FILE) and %%.
desktop_exec() {
  local line value="" arg="" c n i=0 quoted=0 have=0
  line=$(sed -n 's/^Exec=//p' "$1" | head -1)
  while [ $i -lt ${#line} ]; do
    c=${line:i:1}
    if [ "$c" = '\' ]; then
      n=${line:i+1:1}
      case $n in s) c=' ' ;; n) c=$'\n' ;; t) c=$'\t' ;; r) c=$'\r' ;; '\') c='\' ;; *) c="\\$n" ;; esac
      i=$((i + 1))
    fi
    value+=$c
    i=$((i + 1))
  done
  i=0
  while [ $i -lt ${#value} ]; do
    c=${value:i:1}
    if [ $quoted -eq 1 ]; then
      case $c in
        '\') arg+=${value:i+1:1}; i=$((i + 1)) ;;
        '"') quoted=0 ;;
        *) arg+=$c ;;
      esac
    else
      case $c in
        '"') quoted=1; have=1 ;;
        ' ') [ $have -eq 1 ] && printf '%s\n' "$arg"; arg=""; have=0 ;;
        %) n=${value:i+1:1}; i=$((i + 1)); have=1
           case $n in k) arg+=$1 ;; %) arg+=% ;; *) fail "field code %$n" ;; esac ;;
        *) arg+=$c; have=1 ;;
      esac
    fi
    i=$((i + 1))
  done
  [ $quoted -eq 0 ] || fail "unbalanced quotes in Exec of $1"
  [ $have -eq 1 ] && printf '%s\n' "$arg"
  return 0
}
# launch FILE: starts FILE's Exec from another working directory and waits.
launch() {
  local args=()
  mapfile -t args < <(desktop_exec "$1")
  [ ${#args[@]} -gt 0 ] || fail "no Exec in $1"
  (cd / && "${args[@]}")
}
# The folder's tcstation replaced by a stand-in that notes where it started.
stand_in() {
  rm -f "$FOLDER/tcstation"
  printf '#!/bin/sh\necho "$0" >"%s"\n' "$TMP/started" >"$FOLDER/tcstation"
  chmod +x "$FOLDER/tcstation"
  rm -f "$TMP/started"
}
expect_started() {
  [ -f "$TMP/started" ] || fail "$1 did not start the folder's tcstation"
  [ "$(cat "$TMP/started")" -ef "$FOLDER/tcstation" ] || fail "$1 started $(cat "$TMP/started")"
}

case $CASE in
FolderHoldsProgramsReadmeAndLaunchers)
  install_folder
  for f in tcstation tcdb tcsim install-launcher.sh; do
    [ -x "$FOLDER/$f" ] || fail "$f is missing or not executable"
  done
  for f in README.md tcstation.svg tcstation.desktop; do
    [ -s "$FOLDER/$f" ] || fail "$f is missing"
  done
  # Both READMEs name exactly the runtime packages that setup.sh lists.
  runtime="apt-get install --no-install-recommends $(bash "$SRC/scripts/setup.sh" --list-runtime | tr '\n' ' ' | sed 's/ $//')"
  grep -qF "$runtime" "$FOLDER/README.md" || fail "the folder's README does not name the runtime packages"
  grep -qF "$runtime" "$SRC/README.md" || fail "README.md does not name the runtime packages"
  ! grep -q '@TC_' "$FOLDER/README.md" || fail "README has an unreplaced @TC_ variable"
  # The installed tools work from the folder, which is their program directory.
  (cd / && "$FOLDER/tcdb" init "$FOLDER" >/dev/null)
  [ -f "$FOLDER/data/station.dt" ] && [ -f "$FOLDER/syspara/para.dt" ] || fail "tcdb init made no files"
  "$FOLDER/tcdb" add-station "$FOLDER" --addr 3 --port 3 --pos "1号主变" --name "温控器A" >/dev/null
  "$FOLDER/tcdb" stations "$FOLDER" | grep -q ',3,温控器A,1号主变,3,' || fail "station not listed"
  ;;
LaunchersStartTheFolderProgram)
  install_folder
  stand_in
  # The shipped launcher, from the folder and through a link elsewhere (as
  # when linked into ~/.config/autostart).
  launch "$FOLDER/tcstation.desktop"
  expect_started "tcstation.desktop"
  mkdir -p "$TMP/links"
  ln -s "$FOLDER/tcstation.desktop" "$TMP/links/tcstation.desktop"
  rm -f "$TMP/started"
  launch "$TMP/links/tcstation.desktop"
  expect_started "a link to tcstation.desktop"
  # install-launcher.sh writes the menu entry and the autostart entry with
  # the folder's path, and removes them again.
  export HOME=$TMP/home XDG_DATA_HOME="" XDG_CONFIG_HOME=""
  unset XDG_DATA_HOME XDG_CONFIG_HOME
  "$FOLDER/install-launcher.sh" --autostart >/dev/null
  for entry in "$HOME/.local/share/applications/tcstation.desktop" "$HOME/.config/autostart/tcstation.desktop"; do
    [ -f "$entry" ] || fail "$entry was not written"
    rm -f "$TMP/started"
    launch "$entry"
    expect_started "$entry"
    icon=$(sed -n 's/^Icon=//p' "$entry")
    [ -f "$icon" ] || fail "$entry names icon $icon, which does not exist"
    [ "$(sed -n 's/^Path=//p' "$entry")" = "$FOLDER" ] || fail "$entry has no Path of the folder"
    grep -q '^Name=温度控制系统$' "$entry" || fail "$entry lost its name"
  done
  "$FOLDER/install-launcher.sh" --remove >/dev/null
  [ ! -e "$HOME/.local/share/applications/tcstation.desktop" ] && [ ! -e "$HOME/.config/autostart/tcstation.desktop" ] ||
    fail "--remove left a launcher"
  # A folder path the Exec line cannot quote safely is refused, not half-written.
  mv "$FOLDER" "$TMP/cost\$HOME"
  ! "$TMP/cost\$HOME/install-launcher.sh" >/dev/null 2>&1 || fail "a path with \$ was accepted"
  [ ! -e "$HOME/.local/share/applications/tcstation.desktop" ] || fail "a launcher was written for a bad path"
  ;;
RuntimePackagesCoverTheInstalledPrograms)
  install_folder
  bash "$SRC/scripts/check-packages.sh" --runtime "$FOLDER" >"$TMP/out" 2>&1 ||
    { cat "$TMP/out" >&2; fail "the runtime packages do not cover what the installed programs load"; }
  grep -q 'need at run time' "$TMP/out" || fail "no runtime package list printed"
  ;;
*)
  echo "unknown case $CASE" >&2
  exit 2
  ;;
esac
echo "PASS: $CASE"
