#!/usr/bin/env bash
# Soak: the real station against 255 simulated controllers at a 1-second scan
# interval for a long stretch (default 1800 s). Every 10 s it writes the
# station's resident memory, open descriptors and threads to soak.csv, and the
# station itself logs its event loop's longest stall of each 10 s to loop.csv
# (--loop-log); at the end it compares, station by station, the temperature
# replies tcsim sent with the samples stored, and checks every file. Prints
# the figures; exits 1 when a sample is missing or a file fails its check.
#
#   bench/faults/soak.sh [SECONDS] [BUILD_DIR] [STATIONS]
set -euo pipefail
cd "$(dirname "$0")/../.."
DURATION=${1:-1800}
BUILD=${2:-build}
STATIONS=${3:-255}
WARMUP=60
APP=$BUILD/src/app/tcstation
TCDB=$BUILD/tools/tcdb/tcdb
TCSIM=$BUILD/tools/tcsim/tcsim
for f in "$APP" "$TCDB" "$TCSIM"; do
  if [ ! -x "$f" ]; then echo "soak: $f is not built" >&2; exit 2; fi
done

DIR=$(mktemp -d /tmp/tc-soak-XXXXXX)
SIM=""
STATION=""
cleanup() {
  [ -n "$STATION" ] && kill -KILL "$STATION" 2>/dev/null || true
  [ -n "$SIM" ] && kill -TERM "$SIM" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

# The station keeps its files beside its executable.
cp "$APP" "$DIR/tcstation"
"$TCDB" init "$DIR" >/dev/null
controllers=()
for i in $(seq 1 $STATIONS); do
  "$TCDB" add-station "$DIR" --addr "$i" --port "$i" --pos "主变$i" --name "温控器$i" >/dev/null
  controllers+=("COM$i:$i")
done
"$TCDB" set-param "$DIR" --key 0 --value 1000 >/dev/null

"$TCSIM" --dir "$DIR" --seed 1 "${controllers[@]}" >"$DIR/tcsim.log" 2>&1 &
SIM=$!
for _ in $(seq 300); do
  if [ -e "$DIR/ports/COM$STATIONS" ]; then break; fi
  sleep 0.1
done

# Under the usual desktop soft limit of 1024 descriptors, which 255 stations
# pass: the station raises it itself.
(ulimit -Sn 1024 && exec env QT_QPA_PLATFORM=offscreen "$DIR/tcstation" --loop-log "$DIR/loop.csv" >"$DIR/station.log" 2>&1) &
STATION=$!
echo "soak: $STATIONS stations, 1 s scans, $DURATION s, in $DIR"
echo "seconds,rss_kb,fds,threads" >"$DIR/soak.csv"
start=$(date +%s)
while :; do
  now=$(( $(date +%s) - start ))
  kill -0 "$STATION" 2>/dev/null || { echo "soak: the station ended by itself" >&2; exit 1; }
  rss=$(awk '/^VmRSS:/ {print $2}' /proc/$STATION/status)
  threads=$(awk '/^Threads:/ {print $2}' /proc/$STATION/status)
  fds=$(ls /proc/$STATION/fd | wc -l)
  echo "$now,$rss,$fds,$threads" >>"$DIR/soak.csv"
  if [ "$now" -ge "$DURATION" ]; then break; fi
  sleep 10
done

# End just after a temperature pass has been answered and stored: one
# pass's replies, then well before the next.
replies() { grep -c " fn=4 reply=[0-9A-F]" "$DIR/tcsim.log" || true; }
before=$(replies)
for _ in $(seq 120); do
  if [ $(( $(replies) - before )) -ge $STATIONS ]; then break; fi
  sleep 0.1
done
sleep 2
kill -KILL "$STATION"
wait "$STATION" 2>/dev/null || true
STATION=""

missing=0
extra=0
bad=0
cycles_min=""
cycles_max=0
for i in $(seq 1 $STATIONS); do
  sent=$(grep -c "^COM$i addr=$i fn=4 reply=[0-9A-F]" "$DIR/tcsim.log" || true)
  file="$DIR/data/$i/HistoryData.dt"
  stored=0
  if [ -f "$file" ]; then
    "$TCDB" check "$file" >/dev/null 2>&1 || { echo "soak: station $i: file fails its check"; bad=$((bad + 1)); }
    stored=$(( $("$TCDB" dump "$file" | wc -l) - 1 ))
  fi
  if [ "$stored" -lt "$sent" ]; then missing=$((missing + sent - stored)); fi
  if [ "$stored" -gt "$sent" ]; then extra=$((extra + stored - sent)); fi
  if [ -z "$cycles_min" ] || [ "$sent" -lt "$cycles_min" ]; then cycles_min=$sent; fi
  if [ "$sent" -gt "$cycles_max" ]; then cycles_max=$sent; fi
done
for f in data/station.dt syspara/para.dt; do
  "$TCDB" check "$DIR/$f" >/dev/null 2>&1 || { echo "soak: $f fails its check"; bad=$((bad + 1)); }
done

awk -F, -v w=$WARMUP 'NR > 1 && $1 >= w {
    if (n == 0 || $2 < rmin) rmin = $2; if ($2 > rmax) rmax = $2;
    if (n == 0 || $3 < fmin) fmin = $3; if ($3 > fmax) fmax = $3;
    if (n == 0 || $4 < tmin) tmin = $4; if ($4 > tmax) tmax = $4;
    if (n == 0) rfirst = $2; rlast = $2; n++ }
  END { printf "soak: after %d s warm-up: RSS %d..%d kB (first %d, last %d), fds %d..%d, threads %d..%d over %d samples\n",
               w, rmin, rmax, rfirst, rlast, fmin, fmax, tmin, tmax, n }' "$DIR/soak.csv"
# The first line covers the start (the window built, every file opened).
awk -F, 'NR == 1 { first = $2; next }
  { if ($2 > worst) { worst = $2; at = $1; cpu = $6; vol = $7; invol = $8 } stalls += $3; n++ }
  END { printf "soak: event loop: start %.1f ms; after it, longest stall %.1f ms, %d stalls of 50 ms or more over %d periods of 10 s\n",
               first, worst, stalls, n
        if (NF >= 8) printf "soak: the longest stall (period ending at %d s): the window thread ran %.1f ms of it, %d waits, %d times put aside\n",
               at, cpu, vol, invol }' "$DIR/loop.csv" 2>/dev/null || echo "soak: no loop.csv"
# Every stall of 30 ms or more, with what the window thread did during it.
awk -F, 'NR > 1 && $2 >= 30 && NF >= 8 { printf "soak:   %5d s  %5.1f ms  cpu %5.1f ms  waits %d  put aside %d\n", $1, $2, $6, $7, $8 }' \
  "$DIR/loop.csv" 2>/dev/null || true
# The heap as the station's C library sees it, after the warm-up: what it
# keeps in use, and what the allocator holds (in use and free for reuse).
awk -F, -v w=$WARMUP '$1 >= w && NF >= 5 {
    if (n == 0) { ufirst = $4; hfirst = $5 } ulast = $4; hlast = $5;
    if ($4 > umax) umax = $4; if ($5 > hmax) hmax = $5; n++ }
  END { if (n) printf "soak: heap in use %.1f -> %.1f MB (most %.1f), held %.1f -> %.1f MB (most %.1f)\n",
               ufirst / 1048576, ulast / 1048576, umax / 1048576, hfirst / 1048576, hlast / 1048576, hmax / 1048576 }' \
  "$DIR/loop.csv" 2>/dev/null || true
echo "soak: temperature cycles per station: $cycles_min..$cycles_max; samples missing: $missing; extra: $extra; files failing the check: $bad"
echo "soak: details in $DIR (soak.csv, loop.csv, tcsim.log, station.log)"
trap - EXIT
cleanup
[ "$missing" -eq 0 ] && [ "$extra" -eq 0 ] && [ "$bad" -eq 0 ]
