#!/usr/bin/env bash
# ctest fixtures of the end-to-end tests: a prefix's Wine session begun and ended once for its group, and one test's leftovers removed even when it died.
# Usage: e2e-fixture.sh begin PREFIX | end PREFIX | cleanup NAME PREFIX. Needs VEXA_BUILD and VEXA_SOURCE.
set -uo pipefail
. "$(dirname "$0")/e2e-lib.sh"

# remove_service: no entry left, running or not (a leftover automatic-start
# service would start with every session).
remove_service() {
  local result
  result=$(tool_run svcprobe remove "$SERVICE" "$SVC_REMOVE_TIMEOUT_MS") || { echo "e2e-fixture: $result" >&2; return 1; }
  [ "$result" = "removed=none" ] || echo "e2e-fixture: removed a service entry a test left ($result)"
}

case "${1:-}" in
  begin)
    fresh=yes
    [ ! -f "$2/system.reg" ] || fresh=no
    wine_use_prefix "$2"
    # A killed earlier run may have left its session, its service and more; a
    # prefix copied just now holds no service (a Wine launch saved per group).
    wine_session_begin
    e2e_remove_leftovers "$VEXA_BUILD"/e2e/*
    [ "$fresh" = yes ] || remove_service
    ;;
  end)
    # No removal of a service entry here: each test's cleanup removed its own,
    # and the next begin removes any that a killed run left.
    wine_use_prefix "$2"
    wine_stop_server
    ;;
  cleanup)
    wine_use_prefix "$3"
    work=$(e2e_work_dir "$2")
    # The test's own cleanup ran to its end: nothing is left (a Wine launch saved).
    [ -f "$work/cleaned" ] && exit 0
    e2e_remove_leftovers "$work"
    remove_service
    ;;
  *)
    echo "usage: e2e-fixture.sh begin PREFIX | end PREFIX | cleanup NAME PREFIX" >&2
    exit 2
    ;;
esac
