#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz (clang, preset "fuzz") and runs each for a bounded
# time: fuzz/run.sh [seconds per target, default 60]. Fails on any crash or sanitizer report.
# VEVIDOR_FUZZ_BUILD=<dir> uses an already configured build folder instead of the preset.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VEVIDOR_FUZZ_BUILD:-$root/build-fuzz}"

if [ -z "${VEVIDOR_FUZZ_BUILD:-}" ]; then
    (cd "$root" && cmake --preset fuzz >/dev/null)
fi
ninja -C "$build" -j2 fuzz_dispatch fuzz_records

# The targets log on almost every input; those lines go to a scratch folder removed at the end.
logs="$(mktemp -d)"
trap 'rm -rf "$logs"' EXIT

status=0
for target in fuzz_dispatch fuzz_records; do
    corpus="$build/fuzz/corpus/$target"
    mkdir -p "$corpus"
    output="$build/fuzz/$target.out"
    echo "== $target for ${seconds}s (output in $output)"
    if (cd "$build/fuzz" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
            UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
            VEVIDOR_BIN="$build/bin" VEVIDOR_FUZZ_LOG_DIR="$logs" \
            "./$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
            -artifact_prefix="$build/fuzz/$target-" "$corpus") >"$output" 2>&1; then
        grep -E "^Done [0-9]+ runs|stat::number_of_executed_units" "$output" || true
    else
        tail -n 40 "$output" >&2
        echo "!! $target failed: see $output and $build/fuzz/$target-*" >&2
        status=1
    fi
done
exit $status
