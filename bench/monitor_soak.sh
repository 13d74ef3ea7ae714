#!/bin/sh
# Memory of a long monitor: quillon-sim logs RATE packets a second, for
# ever, and `quillon monitor` follows it for SECONDS with its lines going to
# a pipe that counts them. The monitor's resident set (VmRSS) is sampled
# every STEP seconds. The goal: 600 s at 2000 packets/s grow less than 10 MB.
#
#   bench/monitor_soak.sh [SECONDS [RATE [QUILLON [QUILLON_SIM]]]]
#
# Defaults: 600 s, 2000 packets/s, and the programs of the bench build
# (build/bench/src/cli/quillon, build/bench/src/sim/quillon-sim). STEP=N in
# the environment changes the sampling period (default 10 s). Prints one
# "seconds rss_kB" line per sample, then the growth from the first sample
# (taken once the monitor runs) to the last, and the lines per second the
# monitor printed.
set -eu
seconds=${1:-600}
rate=${2:-2000}
quillon=${3:-build/bench/src/cli/quillon}
sim=${4:-build/bench/src/sim/quillon-sim}
step=${STEP:-10}

work=$(mktemp -d)
simpid=
qpid=
cleanup() {
  [ -n "$qpid" ] && kill "$qpid" 2>/dev/null || true
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

"$sim" --send-after 0 --log-rate "$rate" >"$work/sim.out" 2>"$work/sim.err" &
simpid=$!
tries=0
until [ -s "$work/sim.out" ]; do
  tries=$((tries + 1))
  [ "$tries" -le 100 ] || { echo "monitor_soak: quillon-sim printed no port" >&2; exit 1; }
  sleep 0.1
done
pty=$(head -n 1 "$work/sim.out")

mkfifo "$work/lines"
wc -l <"$work/lines" >"$work/count" &
counter=$!
"$quillon" -p "$pty" monitor --seconds "$seconds" >"$work/lines" 2>"$work/quillon.err" &
qpid=$!

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$qpid/status" 2>/dev/null || true; }
elapsed=0
sleep 1
first=$(rss)
echo "seconds rss_kB"
echo "1 $first"
last=$first
while kill -0 "$qpid" 2>/dev/null; do
  sleep "$step"
  elapsed=$((elapsed + step))
  now=$(rss)
  [ -n "$now" ] || break
  last=$now
  echo "$((elapsed + 1)) $last"
done
wait "$qpid" || echo "monitor_soak: quillon monitor ended with $?" >&2
qpid=
wait "$counter" || true
lines=$(cat "$work/count")
echo "growth: $(((last - first) / 1024)) MB ($((last - first)) kB) over ${elapsed} s," \
     "from $first kB to $last kB; $((lines / seconds)) lines/s printed ($lines lines)"
