#!/usr/bin/env bash
# Builds the service, the simulators and the tests, then runs the whole suite under Wine.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default "$@"
