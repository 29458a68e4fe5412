#!/usr/bin/env bash
# The README's test command on Debian sid's newest CPython (python3 there), as on a fresh machine: a
# fresh copy of the cached bare sid root (tools/interpreters/debian_root.sh), a clean clone of HEAD,
# `bash tools/test.sh` with no CI=true. Extra arguments go to pytest. Then, in the same copy, the
# abi3 check (tools/interpreters/abi3_versions.sh) with sid's other CPython versions
# ($FDHOST_ABI3_VERSIONS, default "3.13 3.15"; empty: none). Prints how long each step took.
set -euo pipefail
source "$(dirname "$0")/debian_root.sh"

start=$SECONDS
debian_root sid >/dev/null
made=$SECONDS
status=0
in_debian_root sid sid-suite "python3 -VV && bash tools/test.sh $(printf '%q ' "$@")" || status=$?
suite=$SECONDS
echo "--- sid suite: root ready in $((made - start)) s, set-up, build and tests in $((suite - made)) s (status $status) ---"
versions="${FDHOST_ABI3_VERSIONS-3.13 3.15}"
if [ -n "$versions" ]; then
  in_debian_run sid sid-suite "bash tools/interpreters/abi3_versions.sh $versions" || status=$?
  echo "--- sid abi3 check: $((SECONDS - suite)) s (status $status) ---"
fi
exit $status
