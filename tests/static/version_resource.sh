#!/usr/bin/env bash
# Checks Vexaclkd.exe's version resource from Linux: numbers and texts as Windows shows them in the file's details.
# Usage: version_resource.sh EXE BINUTILS_PREFIX PROJECT_VERSION  (e.g. i686-w64-mingw32- 1.0.0)
set -uo pipefail
exe=$1 tools=$2 version=$3
failed=0
fail() { printf 'FAIL %s\n' "$*"; failed=$((failed + 1)); }

IFS=. read -r major minor patch <<<"$version"
numbers="$major, $minor, $patch, 0"
text="$major.$minor.$patch.0"

# windres' listing of the exe's resources: the VERSIONINFO block.
info=$("${tools}windres" -J coff -O rc -i "$exe" | tr -d '\r' |
  awk '/VERSIONINFO/ { inside = 1 } inside { print } inside && /^END/ { exit }')
[ -n "$info" ] || fail "no version resource"
[ "$(grep -c VERSIONINFO <<<"$info")" -le 1 ] || fail "more than one version resource"

statement() { sed -n "s/^ *$1 //p" <<<"$info"; }
value() { sed -n "s/^ *VALUE \"$1\", \"\(.*\)\"\$/\1/p" <<<"$info"; }
expect() { [ "$2" = "$3" ] || fail "$1: '$2', expected '$3'"; }

expect FILEVERSION "$(statement FILEVERSION)" "$numbers"
expect PRODUCTVERSION "$(statement PRODUCTVERSION)" "$numbers"
expect FileVersion "$(value FileVersion)" "$text"
expect ProductVersion "$(value ProductVersion)" "$text"
expect ProductName "$(value ProductName)" "Vexaclkd"
expect FileDescription "$(value FileDescription)" "Vexa Tapclock service"
expect OriginalFilename "$(value OriginalFilename)" "Vexaclkd.exe"
expect InternalName "$(value InternalName)" "Vexaclkd"
# The texts' block names the language and code page that Translation lists.
expect "string block" "$(sed -n 's/^ *BLOCK "\([0-9A-Fa-f]\{8\}\)"$/\1/p' <<<"$info")" "040904B0"
expect Translation "$(sed -n 's/^ *VALUE "Translation", //p' <<<"$info")" "0x409, 1200"
printf 'version: %s (%s)\n' "$(value FileVersion)" "$(value FileDescription)"

if [ "$failed" -eq 0 ]; then echo "version_resource: all checks passed"; else echo "version_resource: $failed failed"; fi
[ "$failed" -eq 0 ]
