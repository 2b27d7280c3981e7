#!/usr/bin/env bash
# Builds the gate and runs it in a work folder (./run by default) until Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

work=${VEVIDOR_WORK_DIR:-$root/run}
mkdir -p "$work"
cd "$work"
echo "vevidor: running in $work (log in $work/ServerLog); Ctrl-C ends it"
exec "$root/build/bin/vevidor" "$@"
