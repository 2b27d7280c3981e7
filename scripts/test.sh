#!/usr/bin/env bash
# The whole test run: installs what the build needs, builds, runs every test, then the same
# tests under the address and undefined-behaviour sanitizers and under the thread sanitizer,
# then the fuzzers for a bounded time.
#   scripts/test.sh            everything
#   SKIP_SANITIZERS=1 ...      only the plain build
#   FUZZ_SECONDS=N ...         seconds per fuzz target (default 60; 0 skips fuzzing)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/bootstrap.sh

jobs=$(nproc)
summary=()
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs" --timeout 300 | tee build/ctest.out
summary+=("plain: $(grep -E 'tests passed' build/ctest.out)")

if [ "${SKIP_SANITIZERS:-0}" != "1" ]; then
    cmake --preset asan >/dev/null
    cmake --build --preset asan -j "$jobs"
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --preset asan -j "$jobs" --timeout 600 | tee build-asan/ctest.out
    summary+=("address+undefined: $(grep -E 'tests passed' build-asan/ctest.out)")

    cmake --preset tsan >/dev/null
    cmake --build --preset tsan -j "$jobs"
    ctest --preset tsan -j "$jobs" --timeout 600 | tee build-tsan/ctest.out
    summary+=("thread: $(grep -E 'tests passed' build-tsan/ctest.out)")
fi

fuzz_seconds=${FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" != "0" ] && [ -x fuzz/run.sh ]; then
    bash fuzz/run.sh "$fuzz_seconds"
    summary+=("fuzzing: every target ran ${fuzz_seconds}s without a finding")
fi

echo
echo "== summary"
printf '%s\n' "${summary[@]}"
