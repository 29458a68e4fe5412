#!/usr/bin/env bash
# The python-can Bus and the command line on a free-threaded CPython with the GIL disabled.
#
# No Debian binary package ships a free-threaded interpreter, so one is built from Debian's source
# package of CPython: the upstream tree it carries, configured with --disable-gil (Debian's own
# patches are left out: they fit the interpreter to Debian's packaging, pip disabled in favour of
# python3-venv among them, not to an install of its own). The newest source the mirror serves is
# taken, python3.14 first ($FDHOST_FT_PACKAGES: the source packages to try, in order). The build is
# installed under $FDHOST_INTERP_CACHE/free-threaded/ and kept there with a venv for the tests; only
# the first run builds (about how long: see README, "Other interpreters").
#
# Then fdhost_can._native and the virtual adapter library are built against it (build-free-threaded/,
# the module beside the package's files as for the in-place build) and tests/can and tests/cli run
# with the GIL disabled: the free-threaded build's default, kept as long as every module imported
# declares it runs without it (tests/conftest.py checks after every test). PYTHON_GIL is unset for
# them: PYTHON_GIL=0 would keep the GIL off whatever is imported and hide a module that needs it.
# Extra arguments go to pytest; --interpreter-only stops once the interpreter is built.
set -euo pipefail
source "$(dirname "$0")/debian_root.sh"
cd "$REPO_ROOT"

FT="$FDHOST_INTERP_CACHE/free-threaded"
SUITES="${FDHOST_FT_SUITES:-sid experimental trixie-backports trixie}"
PACKAGES="${FDHOST_FT_PACKAGES:-python3.14 python3.15 python3.13}"
mkdir -p "$FT"

# apt-get on a sources list of its own (deb-src lines only), leaving this system's apt set-up alone.
APT_DIR="$FT/apt"
APT_OPTS=(-o Dir::Etc::SourceList="$APT_DIR/sources.list" -o Dir::Etc::SourceParts=/nonexistent
          -o Dir::State::Lists="$APT_DIR/lists" -o Dir::Cache="$APT_DIR/cache" -o Dir::State::status=/dev/null
          -o Acquire::Check-Valid-Until=false)

# Downloads the newest source package of $PACKAGES the mirror serves into $FT/download/PKG_VERSION;
# prints that directory.
fetch_source() {
  mkdir -p "$APT_DIR/lists/partial" "$APT_DIR/cache/archives/partial"
  for s in $SUITES; do echo "deb-src $DEBIAN_MIRROR $s main"; done >"$APT_DIR/sources.list"
  apt-get "${APT_OPTS[@]}" -qq update >&2
  local pkg ver dir
  for pkg in $PACKAGES; do
    for ver in $(apt-cache "${APT_OPTS[@]}" showsrc "$pkg" 2>/dev/null | sed -n 's/^Version: //p' | sort -rV | uniq); do
      dir="$FT/download/${pkg}_$ver"
      [ -f "$dir/.complete" ] && { echo "$dir"; return; }
      rm -rf "$dir" && mkdir -p "$dir"
      if (cd "$dir" && apt-get "${APT_OPTS[@]}" -qq source --download-only "$pkg=$ver" >/dev/null 2>&1); then
        touch "$dir/.complete"
        echo "$dir"
        return
      fi
      echo "    $pkg $ver: not served by $DEBIAN_MIRROR" >&2
      rm -rf "$dir"
    done
  done
  echo "none of $PACKAGES has a source package on $DEBIAN_MIRROR ($SUITES)" >&2
  return 1
}

# What building CPython needs here: pip needs ssl and zlib, ctypes libffi; bz2 and lzma for archives.
install_build_deps() {
  local need=() p
  command -v dpkg-source >/dev/null || need+=(dpkg-dev)
  command -v "${CC:-cc}" >/dev/null || need+=(gcc)
  command -v make >/dev/null || need+=(make)
  command -v pkg-config >/dev/null || need+=(pkg-config)
  for p in libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libzstd-dev; do
    dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
  done
  apt_install "building a free-threaded CPython" "${need[@]}"
}

# Builds and installs the interpreter of source download $1 into $FT/PKG_VERSION (once); prints the
# interpreter's path.
build_interpreter() {
  local download=$1 name prefix tree build start
  name=$(basename "$download")
  prefix="$FT/$name"
  if [ -f "$prefix/.built" ]; then
    echo "--- free-threaded CPython: $name, kept in $prefix ($(cat "$prefix/.built")) ---" >&2
  else
    install_build_deps >&2
    tree="$FT/tree-$name" build="$FT/build-$name"
    rm -rf "$tree" "$build" "$prefix"
    # The upstream tree of the source package (--skip-patches: without Debian's packaging patches).
    dpkg-source --skip-patches -x "$download"/*.dsc "$tree" >/dev/null 2>&1
    mkdir -p "$build"
    echo "--- building $name with --disable-gil into $prefix (2 jobs, niced) ---" >&2
    start=$SECONDS
    (cd "$build" && "$tree/configure" --disable-gil --prefix="$prefix" >configure.log 2>&1 &&
       nice -n 10 make -j2 >make.log 2>&1 && make install >install.log 2>&1) \
      || { echo "building $name failed: logs in $build" >&2; return 1; }
    echo "built in $((SECONDS - start)) s on $(nproc) cores, $(date -u +%F)" >"$prefix/.built"
    echo "    $(cat "$prefix/.built")" >&2
    rm -rf "$tree" "$build"
  fi
  ls "$prefix"/bin/python3.*t | head -1
}

download=$(fetch_source)
python=$(build_interpreter "$download")
"$python" -c 'import sys, sysconfig; assert sysconfig.get_config_var("Py_GIL_DISABLED"), sys.version; print(sys.version)'
[ "${1:-}" = --interpreter-only ] && exit 0

# The tests' venv, kept beside the interpreter; made again when requirements-dev.txt changes.
venv="$FT/venv-$(basename "$download")"
# Not mypy and hypothesis: these tests use neither, and hypothesis has no free-threaded wheel (its
# source build needs Rust and crates.io).
requirements() { grep -vE '^(mypy|hypothesis)' requirements-dev.txt; }
wanted=$(requirements | sha256sum | cut -c1-16)
if [ "$(cat "$venv/.requirements" 2>/dev/null)" != "$wanted" ]; then
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r <(requirements)
  echo "$wanted" >"$venv/.requirements"
fi
PY="$venv/bin/python"

echo "--- fdhost_can._native and the virtual adapter for $("$PY" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))') ---"
PATH="$venv/bin:$PATH" cmake -S . -B build-free-threaded -G Ninja -DPython_EXECUTABLE="$PY" -DFDHOST_BUILD_STUBS=OFF >/dev/null
PATH="$venv/bin:$PATH" cmake --build build-free-threaded --target _native vadapter
export FDHOST_VADAPTER_LIB="$REPO_ROOT/build-free-threaded/vadapter/libusb-1.0.so.0"

unset PYTHON_GIL
# Importing a module that does not declare it runs without the GIL would turn the GIL on here.
"$PY" -c 'import sys, can, fdhost_can._native, fdhost_can.bus, fdhost_can.cli
print("    GIL enabled after importing the Bus, the command line and _native:", sys._is_gil_enabled())
sys.exit(sys._is_gil_enabled())'
echo "--- tests/can and tests/cli with the GIL disabled ---"
FDHOST_TESTS_WITHOUT_EXTENSION=1 "$PY" -m pytest -q -p no:cacheprovider tests/can tests/cli "$@"
