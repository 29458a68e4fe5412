#!/usr/bin/env bash
# Builds everything and runs every test: C++ core tests, the pytest suite (unit tests and the
# integration tests over the virtual adapter), and the Windows-report build's tests.
# With CI=true it also runs the real-USB rig (tools/usb-rig/run.sh: the tests/rig selection in a
# QEMU guest, through the real kernel USB stack, libusb and pyusb), checks the wheel as a user gets
# it (tools/wheel_check.sh), runs the fuzz targets for a bounded time, the whole suite again against
# an AddressSanitizer/UndefinedBehaviorSanitizer build, and a one-minute soak.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
source tools/venv_env.sh

echo "--- C++ core tests ---"
ctest --test-dir build --output-on-failure

echo "--- Windows-report build of the module ---"
cmake -S . -B build-winreport -G Ninja -DPython_EXECUTABLE="$PY" -DFDHOST_WINDOWS_REPORT=ON -DFDHOST_BUILD_VADAPTER=OFF \
      -DFDHOST_MODULE_DIR="$PWD/build-winreport/module" >/dev/null
cmake --build build-winreport --target fdhost
export FDHOST_WINREPORT_MODULE_DIR="$PWD/build-winreport/module"

echo "--- pytest ---"
"$PY" -m pytest -q "$@"

if [ "${CI:-}" = "true" ]; then
  echo "--- real-USB rig (QEMU guest: kernel USB stack, udev, libusb, pyusb) ---"
  bash tools/usb-rig/run.sh
  echo "--- the wheel as a user gets it ---"
  bash tools/wheel_check.sh
  echo "--- fuzz targets (bounded) ---"
  bash fuzz/run.sh "${FUZZ_SECONDS:-30}"
  echo "--- sanitised suite ---"
  bash tools/sanitize.sh
  if [ -f bench/soak.py ]; then
    echo "--- soak (short) ---"
    "$PY" bench/soak.py --seconds "${SOAK_SECONDS:-60}"
  fi
fi
