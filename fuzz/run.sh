#!/usr/bin/env bash
# Builds the fuzz targets with clang into build-fuzz/ and runs each for SECONDS (default 30).
# Prints executions and coverage per target; exits non-zero if any target crashed or failed a property.
# Usage: bash fuzz/run.sh [SECONDS]
set -uo pipefail

secs=${1:-30}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-fuzz
# cmake and ninja from the project environment (tools/setup.sh makes it); clang with libFuzzer is
# installed here when missing, as only fuzzing needs it.
cd "$root" || exit 2
[ -x .venv/bin/python ] || bash tools/setup.sh || exit 2
source tools/venv_env.sh
bash tools/fuzz_toolchain.sh || exit 2
targets=(fuzz_container fuzz_section fuzz_ack fuzz_records fuzz_command fuzz_usbip)

# The fuzz directory is its own CMake project over the protocol core, so a half-edited Python module
# elsewhere in the tree cannot break the fuzz build.
cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log"; exit 2; }
rm -f "$build.configure.log"
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" || exit 2

mkdir -p "$build/logs" "$build/artifacts"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
summary=()
for t in "${targets[@]}"; do
    # New inputs go to the scratch corpus (first directory); the committed seeds are only read.
    mkdir -p "$build/corpus/$t"
    echo "=== $t (${secs}s)"
    "$build/$t" -max_total_time="$secs" -print_final_stats=1 -timeout=10 \
        -artifact_prefix="$build/artifacts/$t-" \
        "$build/corpus/$t" "$root/fuzz/corpus/$t" >"$build/logs/$t.log" 2>&1
    rc=$?
    execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$build/logs/$t.log" | awk '{print $2}')
    last=$(grep -E '^#[0-9]+' "$build/logs/$t.log" | grep 'cov:' | tail -n 1)
    cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$last")
    corp=$(sed -n 's/.*corp: \([0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p' <<<"$last")
    line=$(printf '%-16s execs %-10s cov %-5s ft %-6s corpus %-12s' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}")
    if [ $rc -ne 0 ]; then
        failed+=("$t")
        line="$line FAILED (exit $rc, log $build/logs/$t.log)"
        grep -E 'property violated|ERROR:|runtime error|SUMMARY' "$build/logs/$t.log" | head -n 5
    fi
    echo "$line"
    summary+=("$line")
done

echo
echo "=== summary"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
    echo "crashed: ${failed[*]} (inputs under $build/artifacts/)"
    exit 1
fi
