#!/bin/sh
# Puts the station into the desktop's application menu of the user who runs
# this and, with --autostart, starts it when that user logs in. --remove takes
# both away again. The launchers point at this folder: run it again after
# moving the folder.
#
#   ./install-launcher.sh [--autostart | --remove]
set -eu
here=$(cd "$(dirname "$0")" && pwd -P)
data=${XDG_DATA_HOME:-$HOME/.local/share}
apps=$data/applications
icons=$data/icons/hicolor/scalable/apps
autostart=${XDG_CONFIG_HOME:-$HOME/.config}/autostart

case ${1:-} in
  --remove)
    rm -f "$apps/tcstation.desktop" "$autostart/tcstation.desktop" "$icons/tcstation.svg"
    echo "install-launcher: removed the launchers"
    exit 0 ;;
  --autostart | "") ;;
  *) echo "usage: ./install-launcher.sh [--autostart | --remove]" >&2; exit 2 ;;
esac

# A launcher's Exec line quotes the path; these characters would need escapes
# that not every desktop honours.
case $here in
  *[\"\`\$\\%]*) echo "install-launcher: move the folder to a path without \" \` \$ \\ or %: $here" >&2; exit 1 ;;
esac
[ -x "$here/tcstation" ] || { echo "install-launcher: no tcstation in $here" >&2; exit 1; }

mkdir -p "$apps" "$icons"
cp "$here/tcstation.svg" "$icons/tcstation.svg"
sed -e "s|^Exec=.*|Exec=\"$here/tcstation\"|" \
    -e "s|^Icon=.*|Icon=$here/tcstation.svg|" \
    -e "/^# /d" \
    -e "/^Exec=/a Path=$here" \
    "$here/tcstation.desktop" >"$apps/tcstation.desktop"
echo "install-launcher: $apps/tcstation.desktop"
if [ "${1:-}" = --autostart ]; then
  mkdir -p "$autostart"
  cp "$apps/tcstation.desktop" "$autostart/tcstation.desktop"
  echo "install-launcher: $autostart/tcstation.desktop (starts at login)"
fi
