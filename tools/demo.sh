#!/usr/bin/env bash
# Builds everything and runs the demonstration against the virtual adapter for a few seconds,
# then interrupts it with a real SIGINT, as Ctrl-C would.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
SECONDS_TO_RUN="${1:-3}"
echo "--- fdhost-demo against the virtual adapter (SIGINT after ${SECONDS_TO_RUN} s) ---"
# On a terminal the interpreter's line buffering keeps the threads' lines whole; into a pipe or a log,
# unbuffered output keeps stdout and stderr in the order they happen.
[ -t 1 ] || export PYTHONUNBUFFERED=1
LD_LIBRARY_PATH="$PWD/build/vadapter${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  timeout -s INT "$SECONDS_TO_RUN" .venv/bin/fdhost-demo || rc=$?
rc=${rc:-0}
# timeout reports 124 when it had to send the signal; the demonstration itself ended normally.
if [ "$rc" -ne 0 ] && [ "$rc" -ne 124 ]; then exit "$rc"; fi
