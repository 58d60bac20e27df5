#!/bin/sh
# Runs each POSIX shell example of README.md's "Converting many files" as it
# is written there, in a folder of data files (one of them not a data file),
# with the pdx_convert under test first on the PATH.
# Usage: many_files.sh PDX_CONVERT README EXAMPLE_DATA_FILE
set -u
exe=$1 readme=$2 example=$3
PATH=$(cd "$(dirname "$exe")" && pwd):$PATH
export PATH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "many_files: $*" >&2; exit 1; }

# The ```sh blocks of the section, one file each.
awk -v dir="$work" '
    /^## / { in_section = ($0 == "## Converting many files") }
    in_section && /^```sh$/ { n++; in_block = 1; next }
    in_block && /^```$/ { in_block = 0; next }
    in_block { print > (dir "/example" n ".sh") }
' "$readme"
set -- "$work"/example*.sh
[ $# -eq 2 ] && [ -f "$1" ] || fail "expected two sh examples in the section, found $#"

for script in "$@"; do
    dir=$work/run
    rm -rf "$dir" && mkdir "$dir"
    for name in plain "with space" "Pr$(printf '\303\274')fling"; do
        cp "$example" "$dir/$name.dat"
    done
    echo "not a data file" >"$dir/notes.dat"
    (cd "$dir" && sh "$script" >"$work/out" 2>"$work/err")
    status=$?
    [ ! -s "$work/out" ] || fail "$script wrote on the standard output"
    [ "$status" -ne 0 ] || fail "$script: ended with status 0 after a failure"
    grep -q notes.dat "$work/err" || fail "$script: the failed file went unnamed"
    [ ! -e "$dir/notes.bin" ] || fail "$script: notes.bin written"
    for name in plain "with space" "Pr$(printf '\303\274')fling"; do
        "$exe" "$example" "$work/expected.bin" 2>/dev/null || fail "reference conversion failed"
        cmp -s "$dir/$name.bin" "$work/expected.bin" || fail "$script: $name.bin missing or wrong"
        rm -f "$work/expected.bin"
    done
done
echo "many_files: both examples converted every data file"
