#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine (run as root), then builds.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
[ -f /usr/include/libusb-1.0/libusb.h ] || need_apt+=(libusb-1.0-0-dev)
command -v clang++ >/dev/null || need_apt+=(clang)
[ -d /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux ] || need_apt+=(libclang-rt-14-dev)
dpkg -s libgtest-dev >/dev/null 2>&1 || need_apt+=(libgtest-dev)
if [ ${#need_apt[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi
python -m pip install -q --disable-pip-version-check -r requirements-dev.txt

cmake -S . -B build -G Ninja -DFDHOST_BUILD_TESTS=ON >/dev/null
cmake --build build
