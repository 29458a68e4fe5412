#!/usr/bin/env bash
# Installs clang with its sanitizer and libFuzzer runtimes when this machine cannot build a fuzz
# target yet. Only CI's fuzzing stage needs them; the plain test run does not install them.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/apt_install.sh

links_fuzzer() {
  local dir rc=0
  dir=$(mktemp -d)
  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$dir/t.cpp"
  clang++ -fsanitize=fuzzer,address,undefined "$dir/t.cpp" -o "$dir/t" >/dev/null 2>&1 || rc=1
  rm -rf "$dir"
  return $rc
}

command -v clang++ >/dev/null || apt_install "fuzz targets" clang
links_fuzzer && exit 0
major=$(clang++ -dumpversion | cut -d. -f1)
apt_install "clang's sanitizer and libFuzzer runtimes" "libclang-rt-$major-dev"
links_fuzzer || { echo "clang++ still cannot link a libFuzzer target" >&2; exit 1; }
