#!/usr/bin/env bash
# Fuzz smoke run for CI (needs clang): builds the fuzz preset (libFuzzer with
# ASan and UBSan, build/fuzz) and runs each target in turn for about a
# minute, one process at a time, on a scratch copy of the committed corpus.
# Any finding (crash, sanitizer report, failed check, leak, timeout) fails
# the script; its input is kept under build/fuzz/findings/<target>/.
#
#   fuzz/smoke.sh               60 seconds per target
#   FUZZ_SECONDS=600 fuzz/smoke.sh
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

cmake --preset fuzz
cmake --build --preset fuzz

# Scratch space in memory where there is some: the targets write their input
# to a file on every run.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    work=$(mktemp -d /dev/shm/pdx_fuzz_smoke.XXXXXX)
else
    work=$(mktemp -d)
fi
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work

findings=build/fuzz/findings
status=0
passed=0
failed=0
for name in data_file matrix_file convert; do
    corpus=$work/corpus/$name
    artifacts=$work/artifacts/$name
    mkdir -p "$corpus" "$artifacts"
    cp fuzz/corpus/$name/* "$corpus/"
    log=$work/$name.log
    echo "=== fuzz_$name: ${seconds}s"
    if build/fuzz/fuzz/fuzz_$name -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1; then
        grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$log" || true
        grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true
        passed=$((passed + 1))
    else
        status=1
        failed=$((failed + 1))
        echo "fuzz_$name: FINDING" >&2
        tail -n 80 "$log" >&2
        mkdir -p "$findings/$name"
        cp "$artifacts"/* "$findings/$name/" 2>/dev/null || true
        cp "$log" "$findings/$name/"
        echo "input kept in $findings/$name/" >&2
    fi
done
echo "fuzz: $passed passed, $failed failed"
exit $status
