#!/usr/bin/env bash
# End to end: a limit added, changed and removed while the service runs, each in force at the next poll without a restart; paramchange through the service control manager.
set -uo pipefail
. "$(dirname "$0")/e2e-lib.sh"
e2e_init live_settings

params='SYSTEM\CurrentControlSet\Services\Vexaclkd\Parameters'   # under HKLM
readonly PARAMCHANGE=6
readonly PAUSE=2
readonly NOT_ACCEPTED=1052   # ERROR_INVALID_SERVICE_CONTROL

step() { printf 'Now Current CPU Freq is %s\\n' "$1"; }
read_again() { printf 'Settings read again: MinFrequencyKHz %s MaxFrequencyKHz %s RestoreFrequency %s\\n' "$@"; }
refused='Press ignored: CPU Freq out of range!!\n'

# Each action is followed by the log line it must bring, so that the next one
# starts from a known state.
lines=0
logged() {
  lines=$((lines + 1))
  expect "$1: logged" wait_log_lines "$dir" "$lines" 10
}
press_up() {
  board press up
  logged "$1"
}
set_value() {
  probe reg-set "$params" "$1" dword "$2" >/dev/null
  logged "$1 $2 set"
}
delete_value() {
  probe reg-delete-value "$params" "$1" >/dev/null
  logged "$1 deleted"
}
# control CODE: what the service control manager answered.
control() { probe control "$SERVICE" "$1" | sed -n 's/^error=//p'; }

dir=$(install_dir app)
board board 2
run_exe "$dir/Vexaclkd.exe" "$dir" -i
svc_start
expect "running" svc_wait "$SVC_RUNNING" 15
logged "start"

press_up "no limit"
set_value MaxFrequencyKHz 100100     # the Parameters key exists since the start: its in-use mark
press_up "beyond the new maximum"
set_value MaxFrequencyKHz 100200
press_up "onto the changed maximum"
delete_value MaxFrequencyKHz
press_up "no limit again"

expect_eq "paramchange: taken" "$(control "$PARAMCHANGE")" 0
logged "paramchange"
expect_eq "a control the service does not accept: refused by the manager" "$(control "$PAUSE")" "$NOT_ACCEPTED"

svc_stop
expect "stopped" svc_wait "$SVC_STOPPED" 15
expect_eq "clean stop" "$(svc_fields WIN32_EXIT_CODE SERVICE_EXIT_CODE)" 0/0
expect_eq "log" "$(exact_bytes "$dir/Satae.dat")" "$(crlf_exact "Current CPU Freq is 100.000\n$(step 100.100)$(read_again 0 100100 0)$refused$(read_again 0 100200 0)$(step 100.200)$(read_again 0 0 0)$(step 100.300)$(read_again 0 0 0)")"
expect_eq "Hz sent" "$(clock_applied)" "100100000 100199999 100299999"
expect_eq "every press acknowledged" "$(board_values latchesAcked pending)" "4/0"

# Stopped, the service takes no control at all.
expect_eq "paramchange to a stopped service" "$(control "$PARAMCHANGE")" 1062

run_exe "$dir/Vexaclkd.exe" "$dir" -d
e2e_finish
