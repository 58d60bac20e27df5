#!/usr/bin/env bash
# Line and branch coverage of the data library and the export writers (pdx/)
# from the whole test suite: runs the coverage workflow (clang source-based
# coverage, build/coverage), merges the profiles that every test process
# wrote, the converter runs started by the command tests included, and
# prints the per-file report.
#
#   tools/coverage.sh           build, test, report
#   tools/coverage.sh --check   the same, then fail when the library's total
#                               falls below 95% of lines or 90% of branches
#
# Line-by-line listings afterwards:
#   llvm-cov-14 show -instr-profile=build/coverage/coverage.profdata \
#       -show-branches=count $(cat build/coverage/objects.txt) pdx/datafile/data_file.cpp
set -euo pipefail
cd "$(dirname "$0")/.."

check=0
if [ "${1:-}" = "--check" ]; then
    check=1
elif [ $# -gt 0 ]; then
    echo "usage: tools/coverage.sh [--check]" >&2
    exit 2
fi

llvm_version=${LLVM_VERSION:-14}
profdata=llvm-profdata-$llvm_version
cov=llvm-cov-$llvm_version
build=build/coverage

# Two build jobs unless the caller says otherwise: the machines are small.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

# Profiles from an earlier run would be merged into this one.
rm -rf "$build/profiles"
cmake --workflow --preset coverage

# --failure-mode=all: a test that runs the command under a small file-size
# limit cuts that run's own profile short; the others still merge.
"$profdata" merge -sparse --failure-mode=all "$build"/profiles/*.profraw -o "$build/coverage.profdata"

# Every instrumented program in the build: the test programs, the converter
# and the corpus replayers (not CMake's probes or the installed copy). Each
# program's own main() differs from the others', which llvm-cov reports as
# "functions have mismatched data"; the library's functions are the same
# code in every program.
objects=()
while IFS= read -r exe; do
    if grep -q __llvm_covmap "$exe" 2>/dev/null; then
        objects+=(-object "$exe")
    fi
done < <(find "$build" \( -name CMakeFiles -o -name googletest -o -name install-test \) -prune \
    -o -type f -perm -u+x -print | sort)
if [ ${#objects[@]} -eq 0 ]; then
    echo "no instrumented programs under $build" >&2
    exit 1
fi
# The first program is llvm-cov's positional one, the rest follow -object.
objects=("${objects[@]:1}")
printf '%s ' "${objects[@]}" > "$build/objects.txt"

# Every unit: util, matrix, datafile and export.
sources=(pdx/*/*.h pdx/*/*.cpp)
"$cov" report -instr-profile="$build/coverage.profdata" -show-branch-summary \
    "${objects[@]}" "${sources[@]}" | tee "$build/report.txt"

if [ $check -eq 1 ]; then
    # TOTAL line: regions, missed, cover, functions, missed, cover, lines,
    # missed, cover, branches, missed, cover.
    read -r lines branches < <(awk '/^TOTAL/ { print $10, $13 }' "$build/report.txt" | tr -d '%')
    echo "library: lines ${lines}%, branches ${branches}%"
    awk -v l="$lines" -v b="$branches" 'BEGIN { exit !(l >= 95 && b >= 90) }' || {
        echo "coverage below 95% of lines or 90% of branches" >&2
        exit 1
    }
fi
