#!/usr/bin/env bash
# Builds the gate and runs the demo in a work folder (./run by default): the route server
# stand-in routesim, the gate with autostart, and a short gateclient run that shows packets
# flowing. The gate and routesim then keep running until Ctrl-C.
#   VEVIDOR_WORK_DIR=DIR   another work folder
#   DEMO_CLIENTS=N         connections of the demo client run (50)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
bin="$root/build/bin"

work=${VEVIDOR_WORK_DIR:-$root/run}
mkdir -p "$work"
cd "$work"
export VEVIDOR_RUNTIME_DIR="$work/rundir"
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

pids=()
stop_all() {
    trap - INT TERM EXIT
    echo
    echo "demo: stopping the gate and routesim"
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_all INT TERM EXIT

"$bin/routesim" --port 19000 --stats-interval 10 >"$work/routesim.log" 2>&1 &
pids+=($!)
"$bin/vevidor" autostart demo demo >"$work/vevidor.out" 2>&1 &
gate_pid=$!
pids+=("$gate_pid")

echo "demo: waiting for the gate to link to routesim (127.0.0.1:19000)..."
for _ in $(seq 1 150); do
    if grep -q "^record 0" "$work/routesim.log" 2>/dev/null; then break; fi
    if ! kill -0 "$gate_pid" 2>/dev/null; then
        echo "demo: the gate ended; see $work/vevidor.out and $work/ServerLog/"
        exit 1
    fi
    sleep 0.1
done
grep -q "^record 0" "$work/routesim.log" || { echo "demo: no link after 15 s"; exit 1; }
grep "^record 37" "$work/routesim.log" || true

echo "demo: ${DEMO_CLIENTS:-50} clients echo through the gate for 5 seconds"
"$bin/gateclient" --port 19006 --connections "${DEMO_CLIENTS:-50}" --size 64 --window 8 \
    --duration 5 || true

echo
echo "demo: the gate (client port 19006) and routesim keep running; logs: $work/ServerLog/,"
echo "      $work/routesim.log. Try: $bin/gateclient --connections 10 --duration 3"
echo "      Ctrl-C stops both."
wait "$gate_pid" || true
