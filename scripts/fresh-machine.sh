#!/usr/bin/env bash
# The README's two commands on a brand-new Debian 12 machine, end to end.
#
#   scripts/fresh-machine.sh [--keep] [--dir DIR]
#
# Needs root and the package source apt is configured with (nothing else from
# outside). Steps, each with its time and download size:
#   1. debootstrap a minimal Debian 12 root (DIR/root, default /var/tmp/tc-fresh)
#      from the Debian source of this machine's apt configuration, and keep a
#      copy of it (DIR/runtime-root) for step 5;
#   2. a clean clone of this repository's HEAD into it, at /root/tcstation;
#   3. the README's test command, `bash scripts/test.sh`, inside the root;
#   4. the README's run command in its screenshot mode, then `cpack` of the
#      installed station folder;
#   5. in the untouched copy: only the runtime packages (setup.sh
#      --list-runtime), the station folder unpacked into /opt, and the station
#      run from it in screenshot mode against simulated controllers.
# proc, dev and dev/pts are bind-mounted while a step runs inside a root and
# unmounted whatever happens. The screenshots are left in DIR. Without --keep
# both roots are removed at the end (never while anything is mounted in them).
#
# It is not part of the test command: it downloads about a gigabyte and takes
# as long as the test command and more.
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$(pwd)

KEEP=0
DIR=/var/tmp/tc-fresh
while [ $# -gt 0 ]; do
  case $1 in
    --keep) KEEP=1 ;;
    --dir) DIR=$(realpath -m "$2"); shift ;;
    *) echo "usage: scripts/fresh-machine.sh [--keep] [--dir DIR]" >&2; exit 2 ;;
  esac
  shift
done
if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-machine: needs root (debootstrap, chroot, mount)" >&2
  exit 2
fi
if ! command -v debootstrap >/dev/null; then
  echo "fresh-machine: installing debootstrap"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
fi

ROOT=$DIR/root
RUNTIME_ROOT=$DIR/runtime-root
SUITE=bookworm
REPORT=()

# --- Mounts -------------------------------------------------------------------
mounted_under() { awk -v p="$1/" '{ gsub(/\\040/, " ", $2) } index($2 "/", p) == 1 { print $2 }' /proc/mounts; }
mount_into() {
  local r=$1
  mount -t proc proc "$r/proc"
  mount --bind /dev "$r/dev"
  mount --bind /dev/pts "$r/dev/pts"
}
# Processes left running inside a root (a daemon a package started) keep its
# mounts busy.
kill_inside() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$1" ] && kill -KILL "${p#/proc/}" 2>/dev/null
  done
  return 0
}
unmount_all() {
  local r m
  for r in "$ROOT" "$RUNTIME_ROOT"; do
    [ -d "$r" ] || continue
    kill_inside "$r"
    # Deepest first.
    for m in $(mounted_under "$r" | sort -r); do umount "$m" 2>/dev/null || umount -l "$m"; done
  done
}
# Removes the roots, only when nothing is mounted in them any more; even then
# rm stays on the roots' own file system.
remove_roots() {
  unmount_all
  if [ -n "$(mounted_under "$DIR")" ]; then
    echo "fresh-machine: still mounted under $DIR, not removing:" >&2
    mounted_under "$DIR" >&2
    return 1
  fi
  rm -rf --one-file-system "$ROOT" "$RUNTIME_ROOT"
}
cleanup() {
  local rc=$?
  unmount_all
  if [ -n "$(mounted_under "$DIR")" ]; then
    echo "fresh-machine: still mounted under $DIR, left as it is:" >&2
    mounted_under "$DIR" >&2
  elif [ $rc -ne 0 ]; then
    echo "fresh-machine: failed; the roots are kept in $DIR for a look" >&2
  elif [ $KEEP -eq 0 ]; then
    remove_roots
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- Measuring ----------------------------------------------------------------
# Bytes received on every interface: the download of a step (the machine
# reaches nothing but the package archive).
rx_bytes() { awk -F'[: ]+' 'NR > 2 && $2 != "lo" { s += $3 } END { printf "%.0f\n", s }' /proc/net/dev; }
human() { awk -v b="$1" 'BEGIN { if (b >= 1048576) printf "%.0f MB", b / 1048576; else printf "%.0f kB", b / 1024 }'; }
# step NAME COMMAND...: runs COMMAND, records its time and download.
step() {
  local name=$1; shift
  local t0 rx0 rc=0
  t0=$(date +%s); rx0=$(rx_bytes)
  echo "== fresh-machine: $name"
  "$@" || rc=$?
  local secs=$(( $(date +%s) - t0 )) bytes=$(( $(rx_bytes) - rx0 ))
  REPORT+=("$(printf '%-44s %3dm%02ds  %8s  %s' "$name" $((secs / 60)) $((secs % 60)) "$(human $bytes)" \
              "$([ $rc -eq 0 ] && echo ok || echo "FAILED ($rc)")")")
  print_report
  return $rc
}
print_report() {
  echo "== fresh-machine: steps so far"
  printf '%s\n' "${REPORT[@]}"
}

# in_root ROOT COMMAND: runs a shell command inside ROOT with a clean
# environment, as a new login would have it.
in_root() {
  local r=$1; shift
  mount_into "$r"
  local rc=0
  chroot "$r" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c "$1" || rc=$?
  unmount_all
  return $rc
}

# --- The package source -------------------------------------------------------
# The Debian entries of this machine's apt configuration (deb822 stanzas or
# one-line entries whose suite is bookworm, -updates or -security).
debian_sources() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v RS= -v ORS='\n\n' '/(^|\n)Suites:([ \t]+[^\n]*)?[ \t]bookworm(-updates|-security)?([ \t]|\n|$)/' "$f"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    grep -E '^deb[ \t].*[ \t]bookworm(-updates|-security)?[ \t]' "$f" || true
  done
}
mirror() {
  debian_sources | awk '
    /^URIs:/ { uri = $2 } /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == "bookworm") { print uri; exit } }
    /^deb[ \t]/ { for (i = 2; i <= NF; i++) if ($i == "bookworm") { print $(i - 1); exit } }'
}
MIRROR=$(mirror)
if [ -z "$MIRROR" ]; then
  echo "fresh-machine: no Debian $SUITE source in this machine's apt configuration" >&2
  exit 1
fi

# --- 1. A minimal Debian root -------------------------------------------------
make_root() {
  remove_roots || return 1
  mkdir -p "$DIR"
  debootstrap --variant=minbase "$SUITE" "$ROOT" "$MIRROR" >"$DIR/debootstrap.log" 2>&1 ||
    { tail -20 "$DIR/debootstrap.log"; return 1; }
  # The same archive (and its updates) that this machine's apt uses.
  rm -f "$ROOT/etc/apt/sources.list"
  if debian_sources | grep -q '^Types:'; then
    debian_sources >"$ROOT/etc/apt/sources.list.d/debian.sources"
  else
    debian_sources >"$ROOT/etc/apt/sources.list"
  fi
  cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf"
  # Packages must not start services of theirs from inside a chroot.
  printf '#!/bin/sh\nexit 101\n' >"$ROOT/usr/sbin/policy-rc.d"
  chmod +x "$ROOT/usr/sbin/policy-rc.d"
  rm -rf "$ROOT"/var/cache/apt/archives/*.deb
  cp -a "$ROOT" "$RUNTIME_ROOT"
}
step "1. debootstrap $SUITE (minbase) from $MIRROR" make_root

# --- 2. A clean clone -----------------------------------------------------------
step "2. clean clone of HEAD ($(git rev-parse --short HEAD))" \
  git clone -q --no-hardlinks "$SRC" "$ROOT/root/tcstation"

# --- 3. The README's test command -------------------------------------------
# Its output goes to DIR/test.log; the summary lines are shown after it.
run_tests() {
  local rc=0
  in_root "$ROOT" 'cd /root/tcstation && bash scripts/test.sh' >"$DIR/test.log" 2>&1 || rc=$?
  grep -E '^(== |   \(|[0-9]+% tests passed|Total Test time|check-packages)' "$DIR/test.log" || true
  [ $rc -eq 0 ] || { echo "fresh-machine: the test command failed; its output: $DIR/test.log" >&2; tail -40 "$DIR/test.log" >&2; }
  return $rc
}
step "3. bash scripts/test.sh" run_tests

# --- 4. The README's run command, screenshot mode; the station folder -------
step "4. bash scripts/run-station.sh --screenshot" in_root "$ROOT" \
  'cd /root/tcstation && bash scripts/run-station.sh --screenshot /root/station.png'
cp "$ROOT/root/station.png" "$DIR/station.png"
step "4b. cpack; runtime packages of the folder" in_root "$ROOT" \
  'cd /root/tcstation/build && cpack -G TGZ >/dev/null && cp tcstation-*.tar.gz /root/ &&
   cmake --install . --prefix /root/folder >/dev/null &&
   bash /root/tcstation/scripts/check-packages.sh --runtime /root/folder'
PACKAGE=$(basename "$(ls "$ROOT"/root/tcstation-*.tar.gz)")
cp "$ROOT/root/$PACKAGE" "$RUNTIME_ROOT/opt/"

# --- 5. The station folder where only the runtime packages are ---------------
RUNTIME_PACKAGES=$(bash scripts/setup.sh --list-runtime | tr '\n' ' ')
step "5a. apt-get install the runtime packages" in_root "$RUNTIME_ROOT" \
  "export DEBIAN_FRONTEND=noninteractive && apt-get update -qq &&
   apt-get install -y -qq --no-install-recommends $RUNTIME_PACKAGES >/dev/null"
step "5b. unpack $PACKAGE, run it (screenshot)" in_root "$RUNTIME_ROOT" \
  "set -e; cd /opt && tar xzf $PACKAGE && cd ${PACKAGE%.tar.gz}
   ./tcdb init . >/dev/null
   ./tcdb add-station . --addr 1 --port 1 --pos 1号主变 --name 温控器A >/dev/null
   ./tcdb add-station . --addr 2 --port 2 --pos 2号主变 --name 温控器B >/dev/null
   ./tcdb set-param . --key 0 --value 5000 >/dev/null
   ./tcsim --dir . COM1:1:normal COM2:2:hot >tcsim.log 2>&1 & sim=\$!
   for i in \$(seq 50); do [ -e ports/COM2 ] && break; sleep 0.1; done
   QT_QPA_PLATFORM=offscreen ./tcstation --screenshot /opt/station.png --select 2 --delay 15
   kill \$sim; wait \$sim || true
   test -s /opt/station.png && ./tcdb dump data/2/HistoryData.dt | tail -n +2 | grep -q ."
cp "$RUNTIME_ROOT/opt/station.png" "$DIR/station-installed.png"

echo
echo "== fresh-machine: all steps passed; screenshots: $DIR/station.png, $DIR/station-installed.png"
print_report
