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

configure_preset default >/dev/null
if [ "$VEXA_BITS" = 32 ]; then
  cmake --build --preset default
else
  cmake --build --preset default --target Vexaclkd Vexaclkd_msi
  configure_preset x64 >/dev/null
  cmake --build --preset x64
fi
configure_preset "$VEXA_UBSAN_PRESET" >/dev/null
cmake --build --preset "$VEXA_UBSAN_PRESET"

# The sanitizer build's unit tests share nothing with the main suite (their own
# build tree and prefix): they run beside it, and their report follows its own.
ubsan_log=$([ "$VEXA_BITS" = 32 ] && echo build-ubsan || echo build-x64-ubsan)/unit-tests.log
ctest --preset "$VEXA_UBSAN_PRESET" -L unit "$@" >"$ubsan_log" 2>&1 &
ubsan=$!

failed=0
if [ "$VEXA_BITS" = 32 ]; then
  ctest --preset default "$@" || failed=1
else
  ctest --preset default -L static "$@" || failed=1
  ctest --preset x64 "$@" || failed=1
fi
wait "$ubsan" || failed=1
echo "== unit tests, undefined-behaviour sanitizer build ($VEXA_UBSAN_PRESET) =="
cat "$ubsan_log"
exit "$failed"
