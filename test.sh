#!/usr/bin/env bash
# Builds the service, the simulators and the tests, then runs the whole suite under Wine,
# and the unit tests once more built with the undefined-behaviour sanitizer (trap mode).
# The 32-bit build is tested where this host runs 32-bit code, the 64-bit build of the
# same sources elsewhere (VEXA_TEST_BITS=32|64 forces one); the shipped 32-bit
# Vexaclkd.exe and its package are built, and the exe's contents checked, on every host.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

scripts/install-deps.sh
. scripts/choose-build.sh
choose_build
echo "$VEXA_BUILD_REASON"

cmake --preset default >/dev/null
if [ "$VEXA_BITS" = 32 ]; then
  cmake --build --preset default
  ctest --preset default "$@"
else
  cmake --build --preset default --target Vexaclkd Vexaclkd_msi
  ctest --preset default -L static "$@"
  cmake --preset x64 >/dev/null
  cmake --build --preset x64
  ctest --preset x64 "$@"
fi

cmake --preset "$VEXA_UBSAN_PRESET" >/dev/null
cmake --build --preset "$VEXA_UBSAN_PRESET"
ctest --preset "$VEXA_UBSAN_PRESET" -L unit "$@"
