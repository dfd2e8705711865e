#!/usr/bin/env bash
# End to end: every policy of the administrative template, written as the policy engine writes it while the service runs, against a local value: in force at the next poll, beaten back by disabling or removing it, a bad value ignored.
set -uo pipefail
. "$(dirname "$0")/e2e-lib.sh"
e2e_init group_policy

params='SYSTEM\CurrentControlSet\Services\Vexaclkd\Parameters'   # under HKLM
policy_key='SOFTWARE\Policies\Vexaclkd'
e2e_on_cleanup probe reg-delete "$policy_key"

# The template's policies, one line each: name, key, value name, kind, what
# disabling writes (tests/tools/policy_template.py).
mapfile -t policies < <(python3 "$VEXA_SOURCE/tests/tools/policy_template.py" writes \
  "$VEXA_SOURCE/package/policy/Vexaclkd.admx")
expect "the template has policies" test "${#policies[@]}" -gt 0

step() { printf 'Now Current CPU Freq is %s\\n' "$1"; }
read_again() { printf 'Settings read again: MinFrequencyKHz %s MaxFrequencyKHz %s RestoreFrequency %s\\n' "$@"; }
from_policy() { printf 'Settings from policy: %s\\n' "$1"; }
refused='Press ignored: CPU Freq out of range!!\n'

# Each action names the lines it must add to the log, and waits for them, so
# that the next one starts from a known state; the whole log is compared at
# the end of each run.
want=''
lines=0
adds() {
  want+=$2
  lines=$((lines + $(printf '%b' "$2" | grep -c '')))
  expect "$1: logged" wait_log_lines "$dir" "$lines" 10
}
press() {
  case "$1" in u) board press up ;; d) board press down ;; esac
  adds "$name: press $1" "$2"
}
local_set() { probe reg-set "$params" "$1" dword "$2" >/dev/null; }
local_delete() { probe reg-delete-value "$params" "$1" >/dev/null; }
# The policy engine's writes: enabling writes the number entered (a decimal
# element) or the enabled value; disabling deletes the element's value or
# writes the disabled value.
policy_enable() { probe reg-set "$policy_key" "$value_name" dword "$1" >/dev/null; }
policy_disable() {
  if [ "$disabled" = delete ]; then
    probe reg-delete-value "$policy_key" "$value_name" >/dev/null
  else
    probe reg-set "$policy_key" "$value_name" dword "$disabled" >/dev/null
  fi
}
policy_bad() { probe reg-set "$policy_key" "$value_name" sz "$1" >/dev/null; }
policy_remove() { probe reg-delete "$policy_key" >/dev/null; }

# start: the service started anew, its log from the start line on.
start() {
  svc_start
  expect "$name: running" svc_wait "$SVC_RUNNING" 15
  want=''
  lines=0
  adds "$name: start" "$1"
}
stop_and_check() {
  svc_stop
  expect "$name: stopped" svc_wait "$SVC_STOPPED" 15
  expect_eq "$name: log" "$(exact_bytes "$dir/Satae.dat")" "$(crlf_exact "$want")"
}

dir=$(install_dir app)
board board 2
run_exe "$dir/Vexaclkd.exe" "$dir" -i
start_line='Current CPU Freq is 100.000\n'

# entered LOW HIGH VALUE: a number the policy editor accepts.
entered() { expect "$name: $3 within the template's range $1..$2" test "$1" -le "$3" -a "$3" -le "$2"; }

for row in "${policies[@]}"; do
  IFS=$'\t' read -r name key value_name kind disabled <<<"$row"
  expect_eq "$name: the service's policy key" "$key" "$policy_key"
  read -r kind_name low high <<<"$kind"
  clock reset
  board reset
  board board 2
  policy_remove
  probe reg-delete "$params" >/dev/null
  case "$value_name" in
    MinFrequencyKHz)
      entered "$low" "$high" 100000
      start "$start_line"
      local_set MinFrequencyKHz 99900
      adds "$name: local" "$(read_again 99900 0 0)"
      press d "$(step 99.900)"
      press d "$refused"
      policy_enable 100000
      adds "$name: enabled" "$(from_policy MinFrequencyKHz)$(read_again 100000 0 0)"
      press u "$(step 100.000)"
      press d "$refused"
      policy_disable
      adds "$name: disabled" "$(read_again 99900 0 0)"
      press d "$(step 99.900)"
      policy_bad 99950
      adds "$name: bad" "Setting ignored: MinFrequencyKHz is not a REG_DWORD!!\n$(read_again 99900 0 0)"
      press d "$refused"
      policy_enable 100000
      adds "$name: enabled again" "$(from_policy MinFrequencyKHz)$(read_again 100000 0 0)"
      policy_remove
      adds "$name: removed" "$(read_again 99900 0 0)"
      press u "$(step 100.000)"
      stop_and_check
      ;;
    MaxFrequencyKHz)
      entered "$low" "$high" 100000
      start "$start_line"
      local_set MaxFrequencyKHz 100100
      adds "$name: local" "$(read_again 0 100100 0)"
      press u "$(step 100.100)"
      press u "$refused"
      policy_enable 100000
      adds "$name: enabled" "$(from_policy MaxFrequencyKHz)$(read_again 0 100000 0)"
      press d "$(step 100.000)"
      press u "$refused"
      policy_disable
      adds "$name: disabled" "$(read_again 0 100100 0)"
      press u "$(step 100.100)"
      policy_bad 0x186a0
      adds "$name: bad" "Setting ignored: MaxFrequencyKHz is not a REG_DWORD!!\n$(read_again 0 100100 0)"
      press u "$refused"
      policy_enable 100000
      adds "$name: enabled again" "$(from_policy MaxFrequencyKHz)$(read_again 0 100000 0)"
      policy_remove
      adds "$name: removed" "$(read_again 0 100100 0)"
      press d "$(step 100.000)"
      stop_and_check
      ;;
    RestoreFrequency)
      expect_eq "$name: the switch" "$kind_name $low $high" "switch 1 0"
      # A frequency to restore: one press, remembered by the service.
      start "$start_line"
      press u "$(step 100.100)"
      local_set RestoreFrequency 0
      adds "$name: local off" "$(read_again 0 0 0)"
      policy_enable "$low"
      adds "$name: enabled" "$(from_policy RestoreFrequency)$(read_again 0 0 1)"
      stop_and_check
      clock reset
      # The settings are read before the start line, the restore is part of the start.
      start "$(from_policy RestoreFrequency)$start_line$(step 100.100)"
      local_set RestoreFrequency 1
      adds "$name: local on under the policy" "$(from_policy RestoreFrequency)$(read_again 0 0 1)"
      policy_disable
      adds "$name: disabled beats the local on" "$(from_policy RestoreFrequency)$(read_again 0 0 0)"
      policy_bad on
      adds "$name: bad" "Setting ignored: RestoreFrequency is not a REG_DWORD!!\n$(read_again 0 0 1)"
      policy_remove
      adds "$name: removed" "$(read_again 0 0 1)"
      stop_and_check
      clock reset
      start "$start_line$(step 100.100)"
      stop_and_check
      ;;
    *)
      expect "a scenario for the template's policy $name" false
      ;;
  esac
done

run_exe "$dir/Vexaclkd.exe" "$dir" -d
e2e_finish
