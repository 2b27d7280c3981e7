#!/usr/bin/env bash
# Installs the Debian packages the gate needs to build, test and run. Idempotent.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git clang libclang-rt-14-dev
    zlib1g-dev libspdlog-dev libfmt-dev libasio-dev libsimpleini-dev libicu-dev
    libgtest-dev libgmock-dev libbenchmark-dev python3-dev libsystemd-dev swig
    libcpp-httplib-dev nlohmann-json3-dev procps iproute2
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "bootstrap: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
