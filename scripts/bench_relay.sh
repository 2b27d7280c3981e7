#!/usr/bin/env bash
# The relay benchmark: gateclient -> vevidor -> routesim (echo) -> vevidor -> gateclient, all on
# this machine. For "labMinSendInterval" 20 and 0 and for 64- and 512-byte packets it runs
# CLIENTS clients with a window of WINDOW packets in flight each and prints gateclient's figures
# with the gate's CPU time and memory.
#
#   bash scripts/bench_relay.sh                 # build/bin, 1000 clients, window 8, 10 s each
#   RATE=300000 INTERVALS=0 bash scripts/bench_relay.sh   # a fixed load instead of a window
#   BIN=build-x/bin CLIENTS=500 DURATION=5 INTERVALS="0" SIZES="64" bash scripts/bench_relay.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bin=$(cd "${BIN:-$root/build/bin}" && pwd)
clients=${CLIENTS:-1000}
window=${WINDOW:-8}
duration=${DURATION:-10}
intervals=${INTERVALS:-"20 0"}
sizes=${SIZES:-"64 512"}
threads=${THREADS:-1}
# RATE=N: N packets/s over all clients instead of the window.
rate=${RATE:-0}
route_port=${ROUTE_PORT:-19710}
client_port=${CLIENT_PORT:-19716}
sources=${SOURCES:-50}

for tool in vevidor routesim gateclient; do
    [[ -x $bin/$tool ]] || { echo "bench_relay: $bin/$tool is missing (build first)" >&2; exit 1; }
done
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

work=$(mktemp -d /tmp/vevidor-bench.XXXXXX)
rs_pid=
gate_pid=
cleanup() {
    [[ -n $gate_pid ]] && kill -TERM "$gate_pid" 2>/dev/null && wait "$gate_pid" 2>/dev/null || true
    [[ -n $rs_pid ]] && kill -TERM "$rs_pid" 2>/dev/null && wait "$rs_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# CPU seconds (user + system) of a process.
cpu_seconds() {
    awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat"
}
mem_kb() {
    awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"
}
wait_line() {  # file, text, seconds
    for _ in $(seq $(($3 * 10))); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "bench_relay: no '$2' in $1" >&2
    cat "$1" >&2
    return 1
}

cat > "$work/row.py" <<'PY'
import json, sys
interval, size, c0, c1, t0, t1, rss, path = sys.argv[1:]
try:
    j = json.load(open(path))
except ValueError:
    print(f"{interval:<9} {size:<5} gateclient gave no result")
    sys.exit(0)
cpu = (float(c1) - float(c0)) / (float(t1) - float(t0)) * 100
print(f"{interval:<9} {size:<5} {j['sent_pps']:12.0f} {j['recv_pps']:12.0f} {j['sent_mbps']:9.2f} "
      f"{j['recv_mbps']:9.2f} {j['rtt_ms']['p50']:8.3f} {j['rtt_ms']['p99']:8.3f} "
      f"{j['rtt_ms']['max']:8.3f} {cpu:7.0f}% {int(rss) / 1024:8.1f} {j['errors']:9d} {j['failed']:6d}")
PY

"$bin/routesim" --port "$route_port" --quiet > "$work/routesim.out" 2>&1 &
rs_pid=$!
wait_line "$work/routesim.out" "listening" 5

printf '%-9s %-5s %12s %12s %9s %9s %8s %8s %8s %8s %8s %9s %6s\n' interval size \
    "sent pk/s" "recv pk/s" "sent MB/s" "recv MB/s" "p50 ms" "p99 ms" "max ms" "gate cpu" \
    "rss MB" "errors" "fail"
for interval in $intervals; do
    gdir=$work/gate-$interval
    mkdir -p "$gdir/Config"
    printf '[KestServer]\nedt_SrvIp=127.0.0.1\nedtMutexSign=bench-relay-%s\n' "$$" \
        > "$gdir/KestZadoVezivi.ini"
    printf '[KestServer]\nedt_SrvPort=%s\nedt_Port=%s\nlabMinSendInterval=%s\ncbb_ThreadNum=%s\n' \
        "$route_port" "$client_port" "$interval" "$((clients + 100))" > "$gdir/Config/Config.ini"
    links=$(grep -c "link up" "$work/routesim.out" || true)
    (cd "$gdir" && exec "$bin/vevidor" autostart bench relay > gate.out 2>&1) &
    gate_pid=$!
    for _ in $(seq 100); do
        [[ $(grep -c "link up" "$work/routesim.out" || true) -gt $links ]] && break
        sleep 0.1
    done
    sleep 0.5
    for size in $sizes; do
        cpu0=$(cpu_seconds "$gate_pid")
        t0=$(date +%s.%N)
        json=$("$bin/gateclient" --port "$client_port" --connections "$clients" --size "$size" \
            --window "$window" --rate "$rate" --duration "$duration" --sources "$sources" --threads "$threads" \
            --connect-spread-ms 500 --json-only) || true
        t1=$(date +%s.%N)
        cpu1=$(cpu_seconds "$gate_pid")
        rss=$(mem_kb "$gate_pid" VmHWM)
        echo "$json" > "$work/result-$interval-$size.json"
        python3 "$work/row.py" "$interval" "$size" "$cpu0" "$cpu1" "$t0" "$t1" "$rss" \
            "$work/result-$interval-$size.json"
        sleep 1
    done
    kill -TERM "$gate_pid"
    wait "$gate_pid" 2>/dev/null || true
    gate_pid=
done
echo "(gate cpu: share of one core over the run, connects and drain included; rss: peak)"
