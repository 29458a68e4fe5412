#!/usr/bin/env bash
# The real-USB rig: runs a pytest selection (default tests/rig) inside a QEMU guest running Debian's
# own kernel, where the virtual adapters reach the real kernel USB stack (vhci-hcd, usbfs, udev),
# Debian's libusb-1.0 and pyusb through fdhost-usbip on the guest's loopback. The project's build and
# .venv are used as they are on the host (build first: tools/setup.sh).
#   tools/usb-rig/run.sh [PYTEST ARGS...]
# Prints the guest's pytest output and exits with its status (124: the guest hung and was stopped).
# Everything generated lives in build/usb-rig/ (kernel, initramfs, python-can's test suite, out/).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cd "$root"
work=$root/build/usb-rig
[ -x .venv/bin/python ] || { echo "usb-rig: no .venv here; run tools/setup.sh first" >&2; exit 2; }
export PY=$root/.venv/bin/python
[ -x build/vadapter/fdhost-usbip ] || { echo "usb-rig: build/vadapter/fdhost-usbip is not built; run tools/setup.sh" >&2; exit 2; }
started=$(date +%s)
bash "$here/setup.sh" "$work"
out=$work/out
rm -rf "$out" && mkdir -p "$out"
[ $# -gt 0 ] || set -- tests/rig
printf '%s\n' -q -rs -o timeout=300 "$@" >"$out/args"
# The guest cannot write beside the sources: compiled modules and pytest's rewritten test modules
# are made here first, so the guest's interpreters read them instead of compiling on every start.
"$PY" -m compileall -q -j 2 fdhost_can tests >/dev/null || true
"$PY" -m pytest -p no:cacheprovider --collect-only -q "$@" >/dev/null || true
booted=$(date +%s)
echo "--- usb-rig: guest running ${*} (set-up $((booted - started)) s) ---"
rc=0
RIG_ENV="RIG_ROOT=$root RIG_OUT=$out ${RIG_ENV:-}" \
  bash "$here/run_guest.sh" "$work" "$here/guest.sh" "repo:$root:ro" "out:$out" || rc=$?
cat "$out/pytest.log" 2>/dev/null || echo "usb-rig: the guest wrote no pytest output; its log:" >&2
[ -s "$out/pytest.log" ] || cat "$out/guest.log" "$work/console.log" >&2 2>/dev/null || true
echo "--- usb-rig: guest exit $rc after $(( $(date +%s) - booted )) s (logs in $out) ---"
exit "$rc"
