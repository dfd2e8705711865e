#!/usr/bin/env bash
# Builds the service, the simulators and the tests, then runs the whole suite under Wine,
# and the unit tests once more built with the undefined-behaviour sanitizer (trap mode).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

scripts/install-deps.sh

cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default "$@"

cmake --preset ubsan >/dev/null
cmake --build --preset ubsan
ctest --preset ubsan -L unit "$@"
