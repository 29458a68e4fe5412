#!/usr/bin/env bash
# Builds the module and the virtual adapter (library and USB/IP server) with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the whole pytest suite against them (CPython with the
# sanitizer runtimes preloaded).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || bash tools/setup.sh
source tools/venv_env.sh
cmake -S . -B build-asan -G Ninja -DPython_EXECUTABLE="$PY" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFDHOST_SANITIZE=ON \
      -DFDHOST_BUILD_TESTS=ON -DFDHOST_MODULE_DIR="$PWD/build-asan/module" \
      -DFDHOST_NATIVE_DIR="$PWD/build-asan/native" >/dev/null
cmake --build build-asan --target fdhost vadapter fdhost-usbip fdh_can_tests fdh_adapter_tests
export FDHOST_MODULE_DIR="$PWD/build-asan/module"
[ -f build-asan/vadapter/libusb-1.0.so.0 ] && export FDHOST_VADAPTER_LIB="$PWD/build-asan/vadapter/libusb-1.0.so.0"
[ -f build-asan/vadapter/fdhost-usbip ] && export FDHOST_USBIP="$PWD/build-asan/vadapter/fdhost-usbip"
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
# The interpreter itself is not instrumented and keeps objects alive at exit: leaks are not ours to report.
# Reports go to files: pytest captures the test's stderr, and a halted process cannot show it.
report_dir="$PWD/build-asan/reports"
rm -rf "$report_dir" && mkdir -p "$report_dir"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:log_path=$report_dir/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$report_dir/ubsan"
export FDHOST_SANITIZED=1
rc=0
# The adapter core's own tests, instrumented, against the instrumented virtual adapter.
echo "--- sanitised core tests ---"
build-asan/tests/cpp/fdh_can_tests --gtest_brief=1 || rc=$?
FDHOST_VADAPTER_NAMESPACE="asan-$$" build-asan/tests/cpp/fdh_adapter_tests --gtest_brief=1 || rc=$?
"$PY" -m pytest -q -p no:cacheprovider --capture=sys "$@" || rc=$?
if compgen -G "$report_dir/*" >/dev/null; then
  echo "--- sanitizer reports ---"
  cat "$report_dir"/*
  exit 1
fi
exit $rc
