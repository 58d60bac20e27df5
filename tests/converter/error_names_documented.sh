#!/bin/sh
# Every error name the command can print is explained in README.md, in
# docs/README-Windows.txt and in the man page. The names are those the
# reader, the writer, the matrices and the output path return in their code
# (comment lines aside), less two the command never prints: ERR_INVALID_PARAM
# (a missing or inconsistent matrix, which it never passes) and
# ERR_CANT_CREATE_FILE (a name taken meanwhile, reported as "already exists").
# Usage: error_names_documented.sh SOURCE_DIR
set -u
cd "$1" || exit 1
names=$(grep -hv '^ *//' pdx/datafile/*.cpp pdx/matrix/*.cpp pdx/util/output_file*.cpp |
    grep -o 'ERR_[A-Z_]*' | sort -u | grep -vx -e ERR_INVALID_PARAM -e ERR_CANT_CREATE_FILE)
[ "$(echo "$names" | wc -l)" -ge 5 ] || { echo "error_names: too few names found: $names" >&2; exit 1; }
status=0
for doc in README.md docs/README-Windows.txt docs/pdx_convert.1; do
    for name in $names; do
        grep -q "$name" "$doc" || { echo "error_names: $doc does not explain $name" >&2; status=1; }
    done
done
exit $status
