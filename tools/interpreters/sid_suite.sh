#!/usr/bin/env bash
# The README's test command on Debian sid's newest CPython (python3 there), as on a fresh machine: a
# fresh copy of the cached bare sid root (tools/interpreters/debian_root.sh), a clean clone of HEAD,
# `bash tools/test.sh` with no CI=true. Extra arguments go to pytest. Prints how long each step took.
set -euo pipefail
source "$(dirname "$0")/debian_root.sh"

start=$SECONDS
debian_root sid >/dev/null
made=$SECONDS
in_debian_root sid sid-suite "python3 -VV && bash tools/test.sh $(printf '%q ' "$@")"
echo "--- sid suite: root ready in $((made - start)) s, set-up, build and tests in $((SECONDS - made)) s ---"
