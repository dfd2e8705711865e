#!/usr/bin/env bash
# Installs both cross toolchains, Wine, cmake with its build tool, the package's build
# tools (wixl, msitools) and the test tools on Debian 12 when any is missing, and the
# packages named as arguments (the guest's tools, say).
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# wine32 is installed everywhere: it does no harm on a host that cannot run it. Ninja is
# the presets' generator: cmake installed without its recommendations brings no build tool.
for p in g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 cmake ninja-build googletest python3 wixl msitools "$@"; do
  have_pkg "$p" || need+=("$p")
done

[ ${#need[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
echo "Installing: ${need[*]}" >&2
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
