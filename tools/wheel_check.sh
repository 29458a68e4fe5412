#!/usr/bin/env bash
# The wheel as a user gets it: builds it, installs it into a fresh virtual environment outside the
# repository and, from a directory outside it too (so that nothing of the checkout is importable),
# runs `fdhost-can list`, `fdhost-usbip --help`, the README's two-terminal example on a virtual bus
# (dump and send in two processes, dump's lines compared exactly) and the README's python-can example.
# The commands are the README's own: the install steps of "Installing the wheel" (with this run's
# directories) and the blocks marked <!-- wheel-check: NAME --> (tools/readme_block.py).
# Run by tools/test.sh under CI=true; on its own after tools/setup.sh: bash tools/wheel_check.sh
# [WHEEL] (a wheel built before, checked instead of building one).
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$PWD
source tools/venv_env.sh

# Every command gets this long; a hang fails the check instead of holding CI up.
LIMIT_S=${WHEEL_CHECK_TIMEOUT:-60}

work=$(mktemp -d "${TMPDIR:-/tmp}/fdhost-wheel-check.XXXXXX")
dump_pid=
cleanup() {
  [ -n "$dump_pid" ] && kill "$dump_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "wheel check: $*" >&2
  exit 1
}

block() { "$PY" "$REPO/tools/readme_block.py" "$REPO/README.md" "$1"; }

step_start=$SECONDS
step() {
  echo "--- wheel check: $* ($((SECONDS - step_start)) s so far) ---"
}

# The README's steps, with this run's directories: the environment first (from the interpreter
# behind .venv; setup.sh made sure it has venv support), then its pip builds the wheel in the
# repository and installs it.
"$PY" -m venv "$work/env"
mkdir "$work/dist"
if [ $# -gt 0 ]; then
  cp -- "$1" "$work/dist/"
else
  step "building the wheel"
  # Two compile jobs: the machine's cores are shared.
  CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
    "$work/env/bin/pip" wheel -q --disable-pip-version-check --no-deps -w "$work/dist" .
fi
wheels=("$work"/dist/fdhost-*.whl)
[ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || fail "expected one wheel in $work/dist, found: ${wheels[*]}"

step "installing $(basename "${wheels[0]}") into a fresh environment"
"$work/env/bin/pip" install -q --disable-pip-version-check "$work"/dist/fdhost-*.whl

# The user's shell: the environment's commands first, nothing of the checkout or of this run's
# other settings, a working directory of its own, and a namespace of virtual buses of its own so
# that parallel runs never meet on virtual:demo.
mkdir "$work/run"
cd "$work/run"
unset PYTHONPATH PYTHONHOME LD_LIBRARY_PATH FDHOST_VADAPTER FDHOST_VADAPTER_LIB FDHOST_USBIP FDHOST_MODULE_DIR VIRTUAL_ENV
export PATH="$work/env/bin:$PATH"
export FDHOST_VADAPTER_NAMESPACE="wheel-check-$$-$RANDOM"
run() { timeout -k 5 "$LIMIT_S" "$@"; }

where=$(run python -c 'import fdhost, fdhost_can; print(fdhost.__file__); print(fdhost_can.__file__)')
while read -r file; do
  [[ $file == "$work/env/"* ]] || fail "imported $file, not the installed wheel's"
done <<<"$where"

step "fdhost-can list"
out=$(run fdhost-can list) || fail "fdhost-can list failed"
echo "$out"
grep -qx "adapters:" <<<"$out" && grep -qx "virtual buses in use:" <<<"$out" || fail "unexpected list output"
# The virtual adapter library the wheel ships, made pyusb's libusb the way vadapter/README.md
# describes: list shows its adapter like a plugged-in one.
vadapter_dir=$(run python -c 'from fdhost_can import virtual; print(virtual.library_path().parent)')
[[ $vadapter_dir == "$work/env/"* ]] || fail "virtual adapter library at $vadapter_dir, not in the wheel"
out=$(LD_LIBRARY_PATH=$vadapter_dir run fdhost-can list) || fail "fdhost-can list on the virtual adapter failed"
echo "$out"
grep -q "^  14AA044B241402B10DDBDAFE448040BB  1:2 " <<<"$out" || fail "list does not show the virtual adapter"

step "fdhost-usbip --help"
# The USB/IP server ships as a program of its own beside the library; the console script starts it.
out=$(run fdhost-usbip --help) || fail "fdhost-usbip --help failed"
grep -q "^usage: fdhost-usbip" <<<"$out" || fail "fdhost-usbip --help printed no usage"
[[ $(run python -c 'from fdhost_can import usbip; print(usbip.program_path())') == "$work/env/"* ]] \
  || fail "fdhost-usbip is not the wheel's"

step "README two-terminal example"
commands=$(block two-terminals | sed "s/[[:space:]]\+#[[:space:]].*//")
expected=$(block two-terminals-output)
read -ra dump_cmd <<<"$(sed -n 1p <<<"$commands")"
read -ra send_cmd <<<"$(sed -n 2p <<<"$commands")"
[ "${dump_cmd[1]:-}" = dump ] && [ "${send_cmd[1]:-}" = send ] || fail "the example is not 'dump' then 'send': $commands"
channel=${dump_cmd[2]}
run "${dump_cmd[@]}" >dump.out 2>dump.err &
dump_pid=$!
# dump is listening once its adapter is on the bus: list shows the bus with one adapter then, and
# a virtual adapter captures from the moment it is plugged.
deadline=$((SECONDS + LIMIT_S))
until out=$(run fdhost-can list) && grep -qx "  $channel  1 adapter" <<<"$out"; do
  kill -0 "$dump_pid" 2>/dev/null || { cat dump.err >&2; fail "dump ended before it was listening"; }
  [ $SECONDS -lt $deadline ] || fail "dump did not start listening on $channel within $LIMIT_S s"
  sleep 0.1
done
run "${send_cmd[@]}" || fail "send failed (status $?)"
status=0
wait "$dump_pid" || status=$?
dump_pid=
cat dump.err >&2
[ $status -eq 0 ] || fail "dump ended with status $status"
diff <(printf '%s\n' "$expected") dump.out >&2 || fail "dump's lines differ from the README's (< expected, > shown)"
cat dump.out

step "README python-can example"
block python-can >example.py
run python example.py >example.out || fail "the python-can example failed (status $?)"
cat example.out
# Two messages received on the second Bus, in the order sent (timestamps differ from run to run).
mapfile -t lines <example.out
[ ${#lines[@]} -eq 2 ] \
  && [[ ${lines[0]} =~ ID:\ +123\ .*DL:\ +4\ .*de\ ad\ be\ ef ]] \
  && [[ ${lines[1]} =~ ID:\ +001abcde\ .*DL:\ +12\ .*00\ 01\ 02 ]] \
  || fail "the python-can example did not print the two frames"

echo "--- wheel check: passed in $((SECONDS - step_start)) s ---"
