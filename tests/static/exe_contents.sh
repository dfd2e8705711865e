#!/usr/bin/env bash
# Checks Vexaclkd.exe from Linux: processor, imported DLLs (Windows' own only) and the embedded manifest.
# Usage: exe_contents.sh EXE BINUTILS_PREFIX MANIFEST_ARCH  (e.g. i686-w64-mingw32- x86)
set -uo pipefail
exe=$1 tools=$2 arch=$3
failed=0
fail() { printf 'FAIL %s\n' "$*"; failed=$((failed + 1)); }

# The DLLs a Windows installation always has; anything else would have to ship with us.
readonly SYSTEM_DLLS="ADVAPI32.dll KERNEL32.dll msvcrt.dll ole32.dll SHLWAPI.dll USER32.dll"

case "$arch" in
  x86) want_format=pei-i386 ;;
  amd64) want_format=pei-x86-64 ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
format=$("${tools}objdump" -f "$exe" | sed -n 's/.*file format //p')
[ "$format" = "$want_format" ] || fail "file format: $format, expected $want_format"

dlls=$("${tools}objdump" -p "$exe" | sed -n 's/.*DLL Name: *//p' | tr -d '\r')
[ -n "$dlls" ] || fail "no imported DLLs found"
for dll in $dlls; do
  case " $SYSTEM_DLLS " in
    *" $dll "*) ;;
    *) fail "imports $dll, which is not a Windows system DLL" ;;
  esac
done
printf 'imports: %s\n' "$(tr '\n' ' ' <<<"$dlls")"

# The manifest resource (type 24, RT_MANIFEST), from windres' listing of the
# exe's resources: one quoted line per manifest line, quotes doubled.
manifest=$("${tools}windres" -J coff -O rc -i "$exe" |
  awk '/RT_MANIFEST/ { inside = 1 } inside && /^END/ { inside = 0 } inside' |
  sed -n 's/^ *"\(.*\)"$/\1/p' | sed 's/""/"/g; s/\\n$//' | tr -d '\n')
expect_in_manifest() { grep -qF -- "$1" <<<"$manifest" || fail "manifest lacks $1"; }
expect_in_manifest 'requestedExecutionLevel level="requireAdministrator" uiAccess="false"'
expect_in_manifest "processorArchitecture=\"$arch\""
printf 'manifest: %s\n' "${manifest:-none}"

if [ "$failed" -eq 0 ]; then echo "exe_contents: all checks passed"; else echo "exe_contents: $failed failed"; fi
[ "$failed" -eq 0 ]
