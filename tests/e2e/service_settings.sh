#!/usr/bin/env bash
# End to end: the service's settings under its Parameters key: limits, the remembered frequency, its restore, and no restore after a run that ended without a stop.
set -uo pipefail
. "$(dirname "$0")/e2e-lib.sh"
e2e_init service_settings

params='SYSTEM\CurrentControlSet\Services\Vexaclkd\Parameters'   # under HKLM

# Values are read and written by the serving svcprobe, in the registry view the
# service reads, without a Wine launch of reg.exe each.
# dword NAME VALUE / text NAME TEXT: one value under Parameters.
dword() { probe reg-set "$params" "$1" dword "$2" >/dev/null; }
text() { probe reg-set "$params" "$1" sz "$2" >/dev/null; }
params_gone() { ! probe reg-exists "$params"; }
remove_params() { probe reg-delete "$params" >/dev/null; }

# param NAME: a REG_DWORD under Parameters in decimal, or "-" when missing.
param() { probe reg-dword "$params" "$1"; }

start='Current CPU Freq is 100.000\n'
refused='Press ignored: CPU Freq out of range!!\n'
step() { printf 'Now Current CPU Freq is %s\\n' "$1"; }

# presses WORD: one press per letter, each once the previous one is on the
# log: u/d the 0.1 MHz "up"/"down", U/D the same with the 1 MHz step.
# LINES_BEFORE is the number of log lines before the first press.
presses() {
  local word=$1 i letter
  for ((i = 0; i < ${#word}; i++)); do
    letter=${word:i:1}
    case "$letter" in u | d) board step 0.1 ;; *) board step 1 ;; esac
    case "$letter" in u | U) board press up ;; *) board press down ;; esac
    expect "$name: press $((i + 1)) logged" wait_log_lines "$dir" $((LINES_BEFORE + i + 1)) 10
  done
}

# The clock back at its default (100 MHz), a variant-2 board.
fresh_simulators() {
  clock reset
  board reset
  board board 2
}

dir=$(install_dir app)
fresh_simulators
run_exe "$dir/Vexaclkd.exe" "$dir" -i
expect_eq "installed" "$(svc_state)" "$SVC_STOPPED"
expect "no Parameters key before the first start" params_gone

# name | settings (commands) | presses | log | Hz the clock received | LastFrequencyKHz after the stop
rows=(
  "no Parameters key||uud|$start$(step 100.100)$(step 100.200)$(step 100.100)|100100000 100199999 100100000|100100"
  "only the service's own values|dword LastFrequencyKHz 100100; dword LastFrequencyInUse 0|uud|$start$(step 100.100)$(step 100.200)$(step 100.100)|100100000 100199999 100100000|100100"
  "maximum: onto it, then beyond|dword MaxFrequencyKHz 100200|uuu|$start$(step 100.100)$(step 100.200)$refused|100100000 100199999|100200"
  "minimum: onto it, then beyond|dword MinFrequencyKHz 99800|ddd|$start$(step 99.900)$(step 99.800)$refused|99900000 99800000|99800"
  "both, 1 MHz steps beyond them|dword MinFrequencyKHz 99800; dword MaxFrequencyKHz 100200|UuDd|$start$refused$(step 100.100)$refused$(step 100.000)|100100000 100000000|100000"
  "zero and wrong types ignored|dword MinFrequencyKHz 0; text MaxFrequencyKHz 100000; text RestoreFrequency 1; dword LastFrequencyKHz 100500|uu|Setting ignored: MinFrequencyKHz is 0!!\nSetting ignored: MaxFrequencyKHz is not a REG_DWORD!!\nSetting ignored: RestoreFrequency is not a REG_DWORD!!\n$start$(step 100.100)$(step 100.200)|100100000 100199999|100200"
  "inverted limits ignored|dword MinFrequencyKHz 100300; dword MaxFrequencyKHz 100100|uu|Settings ignored: MinFrequencyKHz above MaxFrequencyKHz!!\n$start$(step 100.100)$(step 100.200)|100100000 100199999|100200"
  "restore on|dword RestoreFrequency 1; dword LastFrequencyKHz 100500|u|$start$(step 100.500)$(step 100.600)|100500000 100600000|100600"
  "restore onto the maximum|dword RestoreFrequency 1; dword MaxFrequencyKHz 100500; dword LastFrequencyKHz 100500|u|$start$(step 100.500)$refused|100500000|100500"
  "restore off|dword RestoreFrequency 0; dword LastFrequencyKHz 100500|u|$start$(step 100.100)|100100000|100100"
  "restore outside the limits|dword RestoreFrequency 1; dword MaxFrequencyKHz 100400; dword LastFrequencyKHz 100500|u|${start}Restore skipped: remembered CPU Freq 100.500 outside the limits!!\n$(step 100.100)|100100000|100100"
  "restore beyond the clock's range|dword RestoreFrequency 1; dword LastFrequencyKHz 4294968|u|${start}Restore skipped: remembered CPU Freq 4294.968 out of the clock's range!!\n$(step 100.100)|100100000|100100"
  "restore, none remembered|dword RestoreFrequency 1|u|${start}Restore skipped: no remembered CPU Freq!!\n$(step 100.100)|100100000|100100"
  "restore, remembered value of the wrong type|dword RestoreFrequency 1; text LastFrequencyKHz 100500|u|${start}Restore skipped: LastFrequencyKHz is not a REG_DWORD!!\n$(step 100.100)|100100000|100100"
  # The controller reports an error for every new setting: the restore is
  # refused; the step is still taken and logged, but not remembered.
  "restore refused by the controller|dword RestoreFrequency 1; dword LastFrequencyKHz 100500; clock fail 11 5|u|${start}Restore skipped: clock controller did not take CPU Freq 100.500!!\n$(step 100.100)|100500000 100100000|100500"
)

for row in "${rows[@]}"; do
  IFS='|' read -r name setup word want_log want_hz want_last <<<"$row"
  fresh_simulators
  remove_params
  eval "$setup"
  want_lines=$(printf '%b' "$want_log" | grep -c '')
  LINES_BEFORE=$((want_lines - ${#word}))

  svc_start
  expect "$name: running" svc_wait "$SVC_RUNNING" 15
  expect "$name: start logged" wait_log_lines "$dir" "$LINES_BEFORE" 10
  presses "$word"
  svc_stop
  expect "$name: stopped" svc_wait "$SVC_STOPPED" 15
  expect_eq "$name: clean stop" "$(svc_fields WIN32_EXIT_CODE SERVICE_EXIT_CODE)" 0/0

  expect_eq "$name: log" "$(exact_bytes "$dir/Satae.dat")" "$(crlf_exact "$want_log")"
  hz=$(clock_applied)
  expect_eq "$name: Hz sent" "$hz" "$want_hz"
  expect_eq "$name: every press acknowledged" "$(board_values latchesAcked pending)" "${#word}/0"
  expect_eq "$name: remembered" "$(param LastFrequencyKHz)" "$want_last"
  expect_eq "$name: in-use mark cleared by the stop" "$(param LastFrequencyInUse)" 0
  printf '%-46s Hz=%-36s remembered=%s\n' "$name" "${hz:--}" "$(param LastFrequencyKHz)"
done

# The crash: a run at a remembered frequency ends without a stop, and the
# machine comes back with the controller at its default.
fresh_simulators
remove_params
dword RestoreFrequency 1
svc_start
expect "crash run: running" svc_wait "$SVC_RUNNING" 15
LINES_BEFORE=2
expect "crash run: start logged" wait_log_lines "$dir" "$LINES_BEFORE" 10
expect_eq "crash run: nothing to restore yet" "$(exact_bytes "$dir/Satae.dat")" \
  "$(crlf_exact "${start}Restore skipped: no remembered CPU Freq!!\n")"
name="crash run"
presses u
expect_eq "crash run: remembered" "$(param LastFrequencyKHz)" 100100
expect_eq "crash run: marked in use while running" "$(param LastFrequencyInUse)" 1
clock reset
# Every process of the prefix ends at once, the service without a stop; the
# next session start-up starts the service again, as a reboot would.
wine_stop_server
wine_keep_server
e2e_restart_tools
expect "after the crash: running again" svc_wait "$SVC_RUNNING" 15
expect "after the crash: start logged" wait_log_lines "$dir" 2 10
expect_eq "after the crash: not restored, and why" "$(exact_bytes "$dir/Satae.dat")" \
  "$(crlf_exact "${start}Restore skipped: last run did not end cleanly!!\n")"
expect_eq "after the crash: nothing applied" "$(clock_applied)" ""
expect_eq "after the crash: marked again for this run" "$(param LastFrequencyInUse)" 1
svc_stop
expect "after the crash: stopped" svc_wait "$SVC_STOPPED" 15
expect_eq "after the crash: mark cleared by the stop" "$(param LastFrequencyInUse)" 0

clock reset
svc_start
expect "next start: running" svc_wait "$SVC_RUNNING" 15
expect "next start: restore logged" wait_log_lines "$dir" 2 10
expect_eq "next start: restored" "$(exact_bytes "$dir/Satae.dat")" "$(crlf_exact "$start$(step 100.100)")"
expect_eq "next start: Hz sent" "$(clock_applied)" 100100000
svc_stop
expect "next start: stopped" svc_wait "$SVC_STOPPED" 15

run_exe "$dir/Vexaclkd.exe" "$dir" -d
expect_eq "removed" "$(svc_state)" none
expect "Parameters removed with the service" params_gone

e2e_finish
