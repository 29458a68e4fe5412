#!/usr/bin/env bash
# Prepares this machine and builds. System pieces the build and the tests need are installed with
# apt-get only when a test for them fails; everything from PyPI goes into the project environment
# .venv, made from the first python3 on PATH that is 3.10 or newer, and that environment's
# interpreter builds the module and runs everything after.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/apt_install.sh

# The compiler first: the header tests below ask it.
command -v "${CXX:-c++}" >/dev/null || apt_install "C++ compiler" g++
missing=()
have_header libusb-1.0/libusb.h || missing+=(libusb-1.0-0-dev)  # the virtual adapter implements its API
have_header gtest/gtest.h || missing+=(libgtest-dev)             # C++ core tests
command -v lsusb >/dev/null || missing+=(usbutils)               # tests list the virtual adapter's devices
command -v log2asc >/dev/null || missing+=(can-utils)            # tests convert capture logs
apt_install "build and test tools" "${missing[@]}"

# True when interpreter $1 can build against itself: headers and the library the demonstration
# program embeds.
has_dev_files() {
  "$1" - <<'EOF'
import os, sys, sysconfig
v = sysconfig.get_config_var
headers = os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
library = any(os.path.exists(os.path.join(d or "", v("LDLIBRARY") or "")) for d in (v("LIBDIR"), v("LIBPL")))
sys.exit(not (sys.version_info >= (3, 10) and headers and library))
EOF
}

venv_ready() {
  [ -x .venv/bin/python ] && .venv/bin/python -m pip --version >/dev/null 2>&1 && has_dev_files .venv/bin/python
}

# Makes .venv from interpreter $1, with apt-get filling in what a distribution's own Python lacks
# (venv and ensurepip, headers, libpython); an interpreter apt-get does not own is skipped instead.
make_venv_from() {
  local py=$1 real ver owned="" log
  real=$(readlink -f "$("$py" -c 'import sys; print(sys.executable)')")
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  command -v dpkg >/dev/null && dpkg -S "$real" >/dev/null 2>&1 && owned=1
  local need=()
  has_dev_files "$py" || need+=("python$ver-dev")
  rm -rf .venv
  log=$(mktemp)
  if ! "$py" -m venv .venv >"$log" 2>&1; then
    rm -rf .venv
    need+=("python$ver-venv")
  fi
  if [ ${#need[@]} -gt 0 ]; then
    if [ -z "$owned" ]; then
      echo "skipping $py ($real): it lacks ${need[*]} and is not a distribution package:" >&2
      cat "$log" >&2
      rm -rf "$log" .venv
      return 1
    fi
    apt_install "Python $ver: venv with pip, headers and libpython" "${need[@]}"
    [ -d .venv ] || "$py" -m venv .venv
  fi
  rm -f "$log"
  echo "--- project environment .venv from $real (Python $ver) ---"
}

if ! venv_ready; then
  made=
  IFS=: read -ra path_dirs <<<"$PATH"
  for dir in "${path_dirs[@]}"; do
    py="${dir:-.}/python3"
    [ -x "$py" ] && "$py" -c 'import sys; sys.exit(sys.version_info < (3, 10))' 2>/dev/null || continue
    if make_venv_from "$py"; then made=1; break; fi
  done
  [ -n "$made" ] || { echo "no python3 3.10 or newer on PATH that can make a venv with pip and has headers" >&2; exit 1; }
fi
source tools/venv_env.sh
"$PY" -m pip install -q --disable-pip-version-check -r requirements-dev.txt

cmake -S . -B build -G Ninja -DFDHOST_BUILD_TESTS=ON -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build build
# Started from the environment's bin, the program's embedded interpreter finds .venv/pyvenv.cfg one
# level up and takes the environment's packages (pyusb), just as an installed fdhost-demo does.
ln -sfn ../../build/fdhost-demo .venv/bin/fdhost-demo
