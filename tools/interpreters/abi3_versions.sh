#!/usr/bin/env bash
# One abi3 fdhost_can._native on several CPython versions. Builds the wheel with .venv's interpreter
# (3.12 or newer), checks what it holds and its tag, then runs the Bus and command-line tests
# (tests/can, tests/cli) on each other version given, against the wheel's own _native, without the
# extension module (version-specific, not built for them: tests/load_fdhost.py).
#
# Meant for a Debian root that has those versions' packages (tools/interpreters/sid_suite.sh runs it
# in sid after the suite, with 3.13 and 3.15 beside sid's python3); on its own, after
# tools/setup.sh: bash tools/interpreters/abi3_versions.sh 3.13 3.15
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/apt_install.sh
source tools/venv_env.sh
[ $# -gt 0 ] || { echo "usage: $0 VERSION..." >&2; exit 1; }

fail() {
  echo "abi3: $*" >&2
  exit 1
}

start=$SECONDS
built=$("$PY" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
tag=$("$PY" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
"$PY" -c 'import sys; assert sys.version_info >= (3, 12)' 2>/dev/null || fail ".venv's Python $built has no abi3 for nanobind (3.12 and newer)"
echo "--- abi3: the wheel, built with Python $built ---"
dist=$(mktemp -d "${TMPDIR:-/tmp}/fdhost-abi3.XXXXXX")
trap 'rm -rf "$dist"' EXIT
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
  "$PY" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w "$dist" .
wheel=$(ls "$dist"/fdhost-*.whl)
echo "    $(basename "$wheel") in $((SECONDS - start)) s"
# The extension module is built for this version alone, so the wheel is too; the package's _native
# is for every version from 3.12 on.
[[ $(basename "$wheel") == *-$tag-$tag-linux_* ]] || fail "wheel tag is not $tag-$tag: $(basename "$wheel")"
modules=$("$PY" -c 'import sys, zipfile; print("\n".join(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if n.endswith(".so")))' "$wheel")
echo "$modules" | sed 's/^/    /'
grep -qx "fdhost$("$PY" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')" <<<"$modules" \
  || fail "no version-specific fdhost module in the wheel"
grep -qx 'fdhost_can/_native.abi3.so' <<<"$modules" || fail "fdhost_can._native is not abi3 in the wheel"
# The module as the wheel has it, over the in-place build's (the same name).
"$PY" -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extract("fdhost_can/_native.abi3.so")' "$wheel"

# The run-time and test dependencies, as pyproject.toml lists them.
deps=$("$PY" -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb"))["project"]
print(" ".join(p["dependencies"] + p["optional-dependencies"]["test"]))')
for ver in "$@"; do
  step=$SECONDS
  need=()
  command -v "python$ver" >/dev/null || need+=("python$ver")
  "python$ver" -c 'import ensurepip' 2>/dev/null || need+=("python$ver-venv")
  apt_install "Python $ver for the abi3 module" "${need[@]}"
  env="build/abi3-venv-$ver"
  [ -x "$env/bin/python" ] || "python$ver" -m venv "$env"
  # shellcheck disable=SC2086  # one argument per requirement
  "$env/bin/python" -m pip install -q --disable-pip-version-check $deps
  echo "--- abi3: tests/can and tests/cli on $("$env/bin/python" -VV | head -1) ---"
  FDHOST_TESTS_WITHOUT_EXTENSION=1 "$env/bin/python" -m pytest -q -p no:cacheprovider tests/can tests/cli
  "$env/bin/python" -c 'import fdhost_can._native as n; print("    loaded", n.__file__)'
  echo "    Python $ver: $((SECONDS - step)) s"
done
echo "--- abi3: done in $((SECONDS - start)) s ---"
