#!/usr/bin/env bash
# Benchmarks (not tests): builds in Release into build-bench and runs each benchmark, then the
# relay benchmark through the real gate. Figures are printed; nothing is compared.
#   scripts/bench.sh            all
#   scripts/bench.sh packet     one of: log packet netservice client relay
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/bootstrap.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j "$(nproc)"

# 10,000 connections need more open files than the usual default of 1024.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

want=${1:-all}
run() {
    local name=$1 binary=$2
    if [ "$want" = all ] || [ "$want" = "$name" ]; then
        if [ -x "$binary" ]; then
            echo "== $name =="
            "$binary" --benchmark_counters_tabular=true
        fi
    fi
}
run log build-bench/bench/log_bench
run packet build-bench/bench/packet_bench
run netservice build-bench/bench/net_service_bench
run client build-bench/bench/client_bench

if { [ "$want" = all ] || [ "$want" = relay ]; } && [ -x scripts/bench_relay.sh ]; then
    echo "== relay =="
    BIN="$root/build-bench/bin" bash scripts/bench_relay.sh
fi
