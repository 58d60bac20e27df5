#!/bin/sh
# Runs the Command Prompt script of README-Windows.txt's "Converting many
# files" as it is written there, under Wine's cmd, with the pdx_convert.exe
# under test on the PATH: in a folder of data files with one that is not a
# data file, every data file converts, the failed one is named and the
# script ends with status 1; without it, the script ends with status 0.
# Usage: many_files_cmd.sh WINE_RUN WINE_PREFIX PDX_CONVERT_EXE README EXAMPLE_DATA_FILE
set -u
wine_run=$1 prefix=$2 exe=$3 readme=$4 example=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "many_files_cmd: $*" >&2; exit 1; }

# The script: the indented lines from "@echo off" to "exit /b", saved with
# Windows line ends as Notepad would.
awk '/^    @echo off/ { on = 1 } on { printf "%s\r\n", substr($0, 5) } on && /^    exit \/b/ { exit }' \
    "$readme" >"$work/convert-all.cmd"
grep -q 'exit /b' "$work/convert-all.cmd" || fail "no Command Prompt script in $readme"

mkdir "$work/bin"
cp "$exe" "$work/bin/pdx_convert.exe"
WINEPATH="Z:$(echo "$work/bin" | tr / '\\')"
export WINEPATH
names="plain|with space|a&b) %x%|Pr$(printf '\303\274')fling"

for bad in notes ""; do
    dir=$work/run-$bad
    mkdir "$dir"
    cp "$work/convert-all.cmd" "$dir/"
    IFS='|'
    for name in $names; do cp "$example" "$dir/$name.dat"; done
    unset IFS
    [ -z "$bad" ] || echo "not a data file" >"$dir/$bad.dat"
    (cd "$dir" && "$wine_run" "$prefix" cmd /c convert-all.cmd >"$work/out" 2>"$work/err")
    status=$?
    if [ -n "$bad" ]; then
        [ "$status" -eq 1 ] || fail "status $status after a failed file, not 1"
        grep -q "^not converted: $bad.dat" "$work/err" || fail "the failed file went unnamed: $(cat "$work/err")"
        [ ! -e "$dir/$bad.bin" ] || fail "$bad.bin written"
    else
        [ "$status" -eq 0 ] || fail "status $status when every file converted: $(cat "$work/err")"
    fi
    [ ! -s "$work/out" ] || fail "the script wrote on the standard output: $(cat "$work/out")"
    IFS='|'
    for name in $names; do
        cmp -s "$dir/$name.bin" "$dir/plain.bin" || fail "$name.bin missing or different"
    done
    unset IFS
done
[ "$(od -A n -t u2 -N 4 "$work/run-/plain.bin" | tr -s ' ')" = " 64 48" ] || fail "plain.bin is no conversion"
echo "many_files_cmd: the Command Prompt script converted every data file and named the failed one"
