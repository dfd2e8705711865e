#!/usr/bin/env bash
# End to end: install with -i, start, step the clock from the board's buttons, stop, remove with -d.
set -uo pipefail
. "$(dirname "$0")/e2e-lib.sh"
e2e_init service_lifecycle

dir=$(install_dir app)
board board 2
echo "stale line" >"$dir/Satae.dat"

run_exe "$dir/Vexaclkd.exe" "$dir" -i
expect_eq "-i console text" "$(cat "$E2E_WORK/stdout")" "$(crlf '\n\nService Installed Sucessfully\n')"
expect_eq "-i exit code" "$RUN_RC" 0
expect "-i resets the log" test ! -e "$dir/Satae.dat"

entry=$(service_entry)
value() { entry_value "$entry" "$1"; }
expect_eq "display name" "$(value DisplayName)" "Vexa Tapclock service"
expect_eq "own process" "$(value Type)" 0x10
expect_eq "automatic start" "$(value Start)" 0x2
expect_eq "normal error control" "$(value ErrorControl)" 0x1
expect_eq "local system account" "$(value ObjectName)" LocalSystem
expect_eq "quoted image path" "$(value ImagePath)" "\"$(wine_path "$dir/Vexaclkd.exe")\""
expect_eq "installed, not started" "$(svc_state)" "$SVC_STOPPED"

svc_start
expect "reaches running" svc_wait "$SVC_RUNNING" 15
expect "start frequency logged" wait_log_lines "$dir" 1 10
expect_eq "start line" "$(log_bytes "$dir")" "$(crlf 'Current CPU Freq is 100.000\n')"

# Two presses of "up", then one of "down" with the coarse step, each once
# the previous one is on the log.
board press up
wait_log_lines "$dir" 2 10
board press up
wait_log_lines "$dir" 3 10
board step 1
board press down
wait_log_lines "$dir" 4 10
expect_eq "step lines" "$(log_bytes "$dir")" \
  "$(crlf 'Current CPU Freq is 100.000\nNow Current CPU Freq is 100.100\nNow Current CPU Freq is 100.200\nNow Current CPU Freq is 99.200\n')"
expect_eq "Hz the clock received" "$(clock applied | tr '\n' ' ')" "100100000 100199999 99199999 "
expect_eq "every latch acknowledged" "$(board_values latchesAcked pending)" "3/0"

# The stop control is answered with stop-pending: the worker, not the control
# handler, reports stopped once its poll is done.
stop_reply=" $(probe send-stop "$SERVICE")"
expect_eq "stop answered with stop-pending" "$(sed -n 's/.* STATE=\([^ ]*\).*/\1/p' <<<"$stop_reply")" "$SVC_STOP_PENDING"
expect_eq "wait hint covers the longest poll" "$(sed -n 's/.* WAIT_HINT=\([^ ]*\).*/\1/p' <<<"$stop_reply")" 0x1388
expect "reaches stopped" svc_wait "$SVC_STOPPED" 15
expect_eq "stopped cleanly" "$(svc_fields WIN32_EXIT_CODE SERVICE_EXIT_CODE)" "0/0"
expect_eq "no clock controller instance left" "$(clock_value liveInstances)" 0

# A service start resets the log too.
svc_start
svc_wait "$SVC_RUNNING" 15
wait_log_lines "$dir" 1 10
expect_eq "log reset by the next start" "$(log_bytes "$dir")" "$(crlf 'Current CPU Freq is 99.200\n')"
svc_stop
svc_wait "$SVC_STOPPED" 15

run_exe "$dir/Vexaclkd.exe" "$dir" -d
expect_eq "-d console text" "$(cat "$E2E_WORK/stdout")" "$(crlf '\n\nService UnInstalled Sucessfully\n')"
expect_eq "-d exit code" "$RUN_RC" 0
expect_eq "entry gone" "$(svc_state)" none

e2e_finish
