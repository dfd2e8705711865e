#!/bin/sh
# Builds the Windows Installer package: wixl from the WiX source, then with msibuild what wixl cannot write (the key file's version, rollback and commit actions).
# Usage: build-msi.sh WXS OUT ARCH VERSION EXE, with EXE the Vexaclkd.exe to ship (VERSION is the product's, x.y.z).
set -eu
wxs=$(readlink -f "$1")
out=$(readlink -f "$(dirname "$2")")/$(basename "$2")
arch=$3 version=$4 exe=$5
tables=$(mktemp -d)
trap 'rm -rf "$tables"' EXIT

# wixl takes no absolute source path: it runs beside the executable.
(cd "$(dirname "$exe")" &&
  wixl --arch "$arch" -D Arch="$arch" -D ProductVersion="$version" -D ServiceExe="$(basename "$exe")" \
    -o "$tables/package.msi" "$wxs")

# The key file's version is the executable's own (x.y.z.0, as its version
# resource says): an upgrade replaces a versioned file only with a higher
# version, and never with an unversioned one.
queries="UPDATE \`File\` SET \`Version\` = '$version.0' WHERE \`File\` = 'VexaclkdExe'"

# wixl writes an executable stored in the Binary table only as a DLL entry
# (type 1): such an action runs the executable, with the entry's text as its
# command line (type 2). wixl writes each custom action as deferred: those
# named Rollback* run only when the installation rolls back, those named
# Commit* once it committed.
readonly SOURCE_MASK=63 DLL_IN_BINARY=1 EXE_IN_BINARY=2 IN_SCRIPT=1024 ROLLBACK=256 COMMIT=512
msiinfo export "$tables/package.msi" CustomAction >"$tables/actions"
while IFS="$(printf '\t')" read -r action type _; do
  case "$type" in '' | *[!0-9]*) continue ;; esac  # the table's header lines
  new=$type
  [ $((type & SOURCE_MASK)) -ne $DLL_IN_BINARY ] || new=$(((type & ~SOURCE_MASK) | EXE_IN_BINARY))
  case "$action" in
    Rollback*) new=$((new | ROLLBACK)) ;;
    Commit*) new=$((new | COMMIT)) ;;
  esac
  if [ $((new & (ROLLBACK | COMMIT))) -ne 0 ] && [ $((new & IN_SCRIPT)) -eq 0 ]; then
    echo "build-msi: $action is not deferred" >&2
    exit 1
  fi
  [ "$new" -eq "$type" ] || queries="$queries
UPDATE \`CustomAction\` SET \`Type\` = $new WHERE \`Action\` = '$action'"
done <"$tables/actions"

printf '%s\n' "$queries" | while IFS= read -r query; do msibuild "$tables/package.msi" -q "$query" || exit 1; done
# Moved in whole: a failed build leaves no package.
mv "$tables/package.msi" "$out"
