#!/bin/sh
# Tries the packages in build/packages the way a user gets them: installs the
# .deb and converts the example with the pdx_convert and pdx on the PATH,
# unpacks the .tar.gz and the Windows zip into empty folders and converts the
# example with what they hold (the zip's programs under Wine; pdx.exe also
# expands *.dat and exports a file with a CJK name). Every conversion must
# give the same bytes. The licence travels in each package, and the zip
# speaks to Windows: its texts have Windows line ends and its program's
# manifest declares long paths. Needs root for dpkg; removes what it
# installed.
set -eu
cd "$(dirname "$0")/../.."
root=$PWD
packages=$root/build/packages
example=$root/examples/sample_64x48.dat
work=$(mktemp -d)
installed=
trap 'rm -rf "$work"; [ -z "$installed" ] || dpkg -r "$installed" >/dev/null' EXIT
fail() { echo "package smoke test: $*" >&2; exit 1; }
one() { # the one package that matches a pattern
    set -- $1
    [ $# -eq 1 ] && [ -f "$1" ] || fail "expected one package, found: $*"
    echo "$1"
}
deb=$(one "$packages/*.deb")
tgz=$(one "$packages/*.tar.gz")
zip=$(one "$packages/*-win64.zip")

# .deb: the licence as Debian's copyright file (read from the archive, since
# minimal systems may leave /usr/share/doc out when installing), the program
# on the PATH, the man page where man finds it.
name=$(dpkg-deb -f "$deb" Package)
dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/doc/$name/copyright" >"$work/copyright" ||
    fail "the .deb has no /usr/share/doc/$name/copyright"
grep -qx 'License: Expat' "$work/copyright" && grep -q 'Permission is hereby granted' "$work/copyright" ||
    fail "the copyright file does not carry the licence"
dpkg -i "$deb" >/dev/null
installed=$name
[ "$(command -v pdx_convert)" = /usr/bin/pdx_convert ] || fail "pdx_convert is not /usr/bin/pdx_convert"
pdx_convert -b "$example" "$work/deb-big.bin" 2>/dev/null
pdx_convert "$example" "$work/deb.bin" 2>/dev/null
man -w pdx_convert >/dev/null || fail "man -w pdx_convert finds no page"
[ "$(command -v pdx)" = /usr/bin/pdx ] || fail "pdx is not /usr/bin/pdx"
(cd "$work" && cp "$example" pdx.dat && pdx convert -q pdx.dat && pdx info --json pdx.dat >pdx.json)
cmp "$work/deb.bin" "$work/pdx.bin" || fail "pdx convert and pdx_convert differ"
grep -q '"reads":true' "$work/pdx.json" || fail "pdx info: $(cat "$work/pdx.json")"
man -w pdx >/dev/null || fail "man -w pdx finds no page"
dpkg -r "$name" >/dev/null
installed=
[ ! -e /usr/bin/pdx_convert ] && [ ! -e /usr/bin/pdx ] || fail "dpkg -r left a program"
cmp -s "$work/deb.bin" "$work/deb-big.bin" && fail "-b made no difference"
[ "$(od -A n -t u2 -N 4 "$work/deb.bin" | tr -s ' ')" = " 64 48" ] || fail "wrong dimensions"

# .tar.gz: the same tree as the .deb.
mkdir "$work/tgz"
tar -xzf "$tgz" -C "$work/tgz"
(cd "$work/tgz"/* && find . -type f | sort) >"$work/tgz.list"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $NF }' | sort >"$work/deb.list"
cmp -s "$work/tgz.list" "$work/deb.list" || fail "the .tar.gz and the .deb hold different files"
"$work/tgz"/*/usr/bin/pdx_convert "$example" "$work/tgz.bin" 2>/dev/null
cmp "$work/deb.bin" "$work/tgz.bin" || fail ".tar.gz program converts differently"

# Windows zip: the program, its documents and the example; only system DLLs.
mkdir "$work/zip"
(cd "$work/zip" && unzip -q "$zip")
(cd "$work/zip" && find . -type f | LC_ALL=C sort | tr '\n' ' ') >"$work/zip.list"
[ "$(cat "$work/zip.list")" = "./LICENSE.txt ./README-Windows.txt ./examples/sample_64x48.dat ./matlab/pdx_read_matrix.m ./matlab/pdx_write_matrix.m ./pdx.exe ./pdx_convert.exe " ] ||
    fail "unexpected zip contents: $(cat "$work/zip.list")"
for text in README-Windows.txt LICENSE.txt; do
    awk '!/\r$/ { bad = 1 } END { exit bad }' "$work/zip/$text" || fail "$text has lines without CR LF"
done
tr -d '\r' <"$work/zip/LICENSE.txt" | cmp -s - LICENSE || fail "LICENSE.txt is not the licence"
# The manifest (resource type 24, id 1) as windres lists it, in quoted
# pieces; Windows refuses to start a program whose manifest is not
# well-formed XML.
for exe in pdx_convert.exe pdx.exe; do
x86_64-w64-mingw32-windres -i "$work/zip/$exe" -O rc | awk '
    /^1 24 / { inside = 1; next }
    inside && /^END/ { exit }
    inside && /^ *"/ { sub(/^ *"/, ""); sub(/"$/, ""); gsub(/""/, "\""); gsub(/\\n/, "\n"); printf "%s", $0 }
' >"$work/manifest.xml"
/usr/bin/python3 - "$work/manifest.xml" <<'EOF' || fail "$exe's manifest does not declare long paths and Windows 10/11"
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
aware = root.find(".//{http://schemas.microsoft.com/SMI/2016/WindowsSettings}longPathAware")
os_ids = {e.get("Id") for e in root.iter("{urn:schemas-microsoft-com:compatibility.v1}supportedOS")}
sys.exit(not (aware is not None and aware.text == "true" and
              "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}" in os_ids))
EOF
dlls=$(x86_64-w64-mingw32-objdump -p "$work/zip/$exe" | awk '/DLL Name:/ { print $3 }' | sort | tr '\n' ' ')
[ "$dlls" = "KERNEL32.dll msvcrt.dll " ] || fail "$exe needs more than system DLLs: $dlls"
strings -el "$work/zip/$exe" | grep -qx ProductVersion || fail "$exe has no version resource"
done
(cd "$work/zip" && "$root/cmake/wine-run.sh" "$root/build/wine-packages" pdx_convert.exe -b \
    examples/sample_64x48.dat big.bin 2>/dev/null)
cmp "$work/deb-big.bin" "$work/zip/big.bin" || fail "the Windows program converts differently"
# pdx.exe expands the wildcard itself and takes a CJK name as typed.
cjk=$(printf '\344\270\244\344\270\252\345\255\227')
mkdir "$work/zip/many"
cp "$example" "$work/zip/many/a.dat"
cp "$example" "$work/zip/many/$cjk.dat"
(cd "$work/zip/many" && "$root/cmake/wine-run.sh" "$root/build/wine-packages" ../pdx.exe convert \
    -q '*.dat' 2>/dev/null && "$root/cmake/wine-run.sh" "$root/build/wine-packages" ../pdx.exe \
    export --to png "$cjk.dat" 2>/dev/null)
for f in a "$cjk"; do
    cmp "$work/deb.bin" "$work/zip/many/$f.bin" || fail "pdx.exe did not convert $f.dat"
done
[ "$(od -A n -t x1 -N 8 "$work/zip/many/$cjk.png" | tr -d ' ')" = 89504e470d0a1a0a ] ||
    fail "pdx.exe exported no PNG"
echo "package smoke test: .deb, .tar.gz and zip passed"
