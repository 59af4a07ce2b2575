#!/usr/bin/env bash
# Sets up, builds and starts the station on a demo program directory (demo/).
# With no controller attached, four controllers are simulated by tcsim on
# pseudo-terminals (COM1 two normal ones on one line, COM2 hot, COM3 silent)
# and registered with tcdb at a 5-second scan interval, unless stations are
# already registered.
# With no display the window runs under Xvfb (see the README for screenshots).
#
#   scripts/run-station.sh                      run until the window is closed
#   scripts/run-station.sh --screenshot FILE    select the hot controller, let it
#                                               run 25 s, save the window to FILE
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
SHOT=""
if [ "${1:-}" = "--screenshot" ] && [ -n "${2:-}" ]; then
  SHOT=$(realpath -m "$2")
elif [ $# -gt 0 ]; then
  echo "usage: scripts/run-station.sh [--screenshot FILE]" >&2
  exit 2
fi
bash scripts/setup.sh
bash scripts/build.sh

APP=$ROOT/build/src/app/tcstation
TCDB=$ROOT/build/tools/tcdb/tcdb
TCSIM=$ROOT/build/tools/tcsim/tcsim
missing=()
for f in "$APP" "$TCDB" "$TCSIM"; do [ -x "$f" ] || missing+=("$(basename "$f")"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "run-station: built what exists; still missing: ${missing[*]}"
  exit 0
fi

# The station keeps its files beside its executable, so the demo directory
# gets its own copy of the program.
DEMO=$ROOT/demo
mkdir -p "$DEMO"
cp -f "$APP" "$DEMO/tcstation"

if [ ! -f "$DEMO/data/station.dt" ] || [ "$("$TCDB" stations "$DEMO" | wc -l)" -le 1 ]; then
  "$TCDB" init "$DEMO"
  "$TCDB" add-station "$DEMO" --addr 1 --port 1 --pos "1号主变" --name "温控器A" >/dev/null
  "$TCDB" add-station "$DEMO" --addr 2 --port 2 --pos "2号主变" --name "温控器B" >/dev/null
  "$TCDB" add-station "$DEMO" --addr 3 --port 3 --pos "3号主变" --name "温控器C" >/dev/null
  "$TCDB" add-station "$DEMO" --addr 4 --port 1 --pos "4号主变" --name "温控器D" >/dev/null
  "$TCDB" set-param "$DEMO" --key 0 --value 5000
fi

"$TCSIM" --dir "$DEMO" COM1:1:normal COM1:4:normal COM2:2:hot COM3:3:silent >"$DEMO/tcsim.log" 2>&1 &
SIM=$!
XVFB=""
cleanup() {
  kill "$SIM" 2>/dev/null || true
  [ -n "$XVFB" ] && kill "$XVFB" 2>/dev/null || true
}
trap cleanup EXIT INT TERM
for _ in $(seq 50); do [ -e "$DEMO/ports/COM3" ] && break; sleep 0.1; done

if [ -n "$SHOT" ]; then
  # The window draws itself into the file; no display is needed.
  mkdir -p "$(dirname "$SHOT")"
  QT_QPA_PLATFORM=offscreen "$DEMO/tcstation" --screenshot "$SHOT" --select 2 --delay 25
  echo "run-station: screenshot written to $SHOT"
  exit 0
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  export DISPLAY=:77
  Xvfb :77 -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
  XVFB=$!
  sleep 1
  echo "run-station: no display, running under Xvfb on $DISPLAY."
  echo "  screenshot: DISPLAY=$DISPLAY import -window root station.png"
  echo "  (or: scripts/run-station.sh --screenshot station.png)"
fi
echo "run-station: station running in $DEMO (simulator log: $DEMO/tcsim.log); close the window or press Ctrl-C to stop."
"$DEMO/tcstation"
