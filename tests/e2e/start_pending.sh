#!/usr/bin/env bash
# End to end: start-pending with advancing checkpoints while the service starts, running once polling begins, and a failing start-up never shown as running.
set -uo pipefail
. "$(dirname "$0")/e2e-lib.sh"
e2e_init start_pending

readonly LOAD_DELAY_MS=800     # each load of the simulated Kpx.dll: the first start-up step
readonly CLOCK_DELAY_MS=1500   # the first clock read: the last start-up step
readonly START_HINT_MS=10000   # the wait hint the service gives while start-pending
readonly ACCEPTS_NOTHING=0x0
# Stop 0x1, shutdown 0x4, paramchange 0x8, power events 0x40.
readonly ACCEPTS_WHEN_RUNNING=0x4D

# field OUTPUT KEY: one key=value of svcprobe's output.
field() { printf '%s\n' "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }
# Readings are STATE/checkpoint/wait hint/controls accepted, joined by ">".
readings_of() { field "$1" readings | tr '>' '\n'; }
pending_readings() { readings_of "$1" | grep '^START_PENDING/'; }
checkpoints() { pending_readings "$1" | cut -d/ -f2 | paste -sd' '; }

# ascending LIST: each checkpoint greater than the one before.
ascending() {
  local previous=0 checkpoint
  for checkpoint in $1; do
    [ "$checkpoint" -gt "$previous" ] || return 1
    previous=$checkpoint
  done
}

board board 2
dir=$(install_dir app)
run_exe "$dir/Vexaclkd.exe" "$dir" -i
expect_eq "installed" "$(svc_state)" "$SVC_STOPPED"

# A good start, slow at its first and its last step.
board loaddelay "$LOAD_DELAY_MS"
clock delay getsettings "$CLOCK_DELAY_MS"
out=$(probe start "$SERVICE")
expect_eq "good start: states" "$(field "$out" states)" "START_PENDING>RUNNING"
expect_eq "good start: while pending, no control accepted and the wait hint given" \
  "$(pending_readings "$out" | cut -d/ -f3,4 | sort -u)" "$START_HINT_MS/$ACCEPTS_NOTHING"
cps=$(checkpoints "$out")
expect "good start: checkpoints advance ($cps)" ascending "$cps"
expect_eq "good start: first and last checkpoint seen" "${cps%% *} ${cps##* }" "1 3"
expect_eq "good start: running accepts stop, shutdown, paramchange and power events" "$(readings_of "$out" | tail -n 1)" \
  "RUNNING/0/0/$ACCEPTS_WHEN_RUNNING"
expect_eq "good start: the start line is logged by the time it runs" "$(exact_bytes "$dir/Satae.dat")" \
  "$(crlf_exact 'Current CPU Freq is 100.000\n')"
expect_eq "good start: the delayed read was the one made" "$(clock_value delayOp)" 0
printf 'good start: %s\n' "$(field "$out" readings)"

board press up
expect "good start: polls" wait_log_lines "$dir" 2 10
out=$(probe stop "$SERVICE")
expect_eq "good start: stop" "$(field "$out" states)/$(field "$out" exit)" "STOP_PENDING>STOPPED/0/0"

# Start-up failures, each slowed by the library load so that start-pending is
# seen: stopped with the failure's code, never running.
# label | Kpx.dll | setup | service exit code | log
rows=(
  "library refuses to load|full|board loadfail on|1|Load kpx.dll failure!!\n"
  "hx_inp missing|without-hx_inp||2|Load kpx function failure!!\n"
  "hx_outp missing|without-hx_outp||2|Load kpx function failure!!\n"
  "unknown part number|full|board part TQ37MR0X|3|Part Number Check Error!!\n"
  "no board data record|full|board norecord|3|Part Number Check Error!!\n"
)
for row in "${rows[@]}"; do
  IFS='|' read -r label kpx setup code log <<<"$row"
  board reset
  board board 2
  board loaddelay "$LOAD_DELAY_MS"
  eval "$setup"
  case "$kpx" in
    full) cp "$VEXA_BUILD/sim/board/Kpx.dll" "$dir/" ;;
    *) cp "$VEXA_BUILD/sim/board/$kpx/Kpx.dll" "$dir/" ;;
  esac
  out=$(probe start "$SERVICE")
  expect_eq "$label: states" "$(field "$out" states)" "START_PENDING>STOPPED"
  expect_eq "$label: never running" "$(readings_of "$out" | grep -c RUNNING)" 0
  expect_eq "$label: while pending, no control accepted" \
    "$(pending_readings "$out" | cut -d/ -f3,4 | sort -u)" "$START_HINT_MS/$ACCEPTS_NOTHING"
  expect_eq "$label: exit codes" "$(field "$out" exit)" "1066/$code"
  expect_eq "$label: as the manager keeps them" "$(svc_fields WIN32_EXIT_CODE SERVICE_EXIT_CODE)" \
    "1066/$code"
  expect_eq "$label: log" "$(exact_bytes "$dir/Satae.dat")" "$(crlf_exact "$log")"
  expect_eq "$label: no board record left mapped" "$(board_value liveMaps)" 0
  printf '%-24s %s exit=%s\n' "$label" "$(field "$out" readings)" "$(field "$out" exit)"
done

# Without the library there is nothing to slow down: start-pending may be over
# before the first query, but running is never seen.
rm -f "$dir/Kpx.dll"
board reset
out=$(probe start "$SERVICE")
expect "library missing: stopped, maybe seen start-pending first" \
  grep -qxE '(START_PENDING>)?STOPPED' <<<"$(field "$out" states)"
expect_eq "library missing: never running" "$(readings_of "$out" | grep -c RUNNING)" 0
expect_eq "library missing: exit codes" "$(field "$out" exit)" "1066/1"

run_exe "$dir/Vexaclkd.exe" "$dir" -d
expect_eq "removed" "$(svc_state)" none

e2e_finish
