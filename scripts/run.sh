#!/usr/bin/env bash
# The main job, end to end with no hardware: builds the programs, starts the
# readout simulator on a pseudo-terminal and downloads the embedded
# application image to it with quillon, showing progress and the byte count.
# Usage: scripts/run.sh [software|bootloader]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build

what=${1:-software}
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target quillon quillon-sim

work=$(mktemp -d)
sim_out="$work/sim.out"
cleanup() {
  [ -n "${sim_pid:-}" ] && kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The simulator plays the readout waiting in its bootloader's download mode;
# its first line of output is the pseudo-terminal to open.
build/release/src/sim/quillon-sim --mode boot --save-image "$work/received.bin" >"$sim_out" &
sim_pid=$!
for _ in $(seq 100); do
  [ -s "$sim_out" ] && break
  sleep 0.1
done
port=$(head -n 1 "$sim_out")
echo "Readout simulator on $port"

# The simulator is no readout: the build's placeholder images may go to it.
build/release/src/cli/quillon --port "$port" download --allow-placeholder "$what"

kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
echo "The simulated readout received $(stat -c %s "$work/received.bin") bytes."
