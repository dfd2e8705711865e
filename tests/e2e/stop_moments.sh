#!/usr/bin/env bash
# End to end: stops landing at many moments of a poll while both buttons are pressed; no press is half handled.
set -uo pipefail
. "$(dirname "$0")/e2e-lib.sh"
e2e_init stop_moments

readonly RUNS=12
readonly LAST_STOP_DELAY_MS=1300   # stops spread from 0 to here after the presses begin
readonly STOP_LIMIT_S=10
readonly START_MHZ=100.000
readonly STEP_PAUSE_MS=600         # the service's pause after each press it handles

# ms_to_s MS: a sleep argument.
ms_to_s() { printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)); }

board board 2
dir=$(install_dir app)
run_exe "$dir/Vexaclkd.exe" "$dir" -i
expect_eq "installed" "$(svc_state)" "$SVC_STOPPED"

# now_qpc: the monotonic clock in QueryPerformanceCounter units (Wine counts
# CLOCK_MONOTONIC in 100 ns units); 10 ms resolution is enough to tell the
# phase a stop landed in, which is only reported, never asserted.
now_qpc() {
  local uptime
  read -r uptime _ </proc/uptime
  printf '%s\n' $((${uptime/./} * 100000))
}

# stop_phase FROM_OP FROM_CALL STOP_QPC: where the worker was at the stop,
# from the board's reads and acknowledgements and the clock's applies since.
stop_phase() {
  {
    board ops "$1" | awk '$2 == "in" || $2 == "out" { print $6, $2 }'
    clock calls "$2" | awk '$2 == 11 { print $10, "apply" }'
  } | sort -n | awk -v stop="$3" -v pause="$((STEP_PAUSE_MS * 10000))" '
    $1 <= stop { last = $2; at = $1 }
    END {
      if (last == "") print "in the first sleep"
      else if (last == "out") print "between acknowledge and apply"
      else if (last == "apply" && stop - at < pause) print "in the pause after a step"
      else print "in a sleep"
    }'
}

logged=()        # every "Now Current CPU Freq" value, in order, over all runs
expected_start=$START_MHZ
ups_sent=0
downs_sent=0
declare -A phases
for ((run = 0; run < RUNS; run++)); do
  lead_ms=$((run * 97 % 500))          # where in the poll period the presses begin
  ups=$((2 + run % 4)) up_gap_ms=$((150 + 20 * (run % 5)))
  downs=$((1 + run % 3)) down_gap_ms=$((230 - 15 * (run % 4))) down_lag_ms=$((run * 263 % 900))
  delay_ms=$((LAST_STOP_DELAY_MS * run / (RUNS - 1)))
  ups_sent=$((ups_sent + ups))
  downs_sent=$((downs_sent + downs))

  svc_start
  expect "run $run: running" svc_wait "$SVC_RUNNING" 15
  expect "run $run: polling" wait_log_lines "$dir" 1 10
  from_op=$(($(board_value opCount) + 1))
  from_call=$(($(clock_value callCount) + 1))
  sleep "$(ms_to_s "$lead_ms")"
  board press up "$ups" "$up_gap_ms" >/dev/null &
  (sleep "$(ms_to_s "$down_lag_ms")" && board press down "$downs" "$down_gap_ms" >/dev/null) &
  sleep "$(ms_to_s "$delay_ms")"
  before=$(now_qpc)
  svc_stop
  stop_qpc=$(((before + $(now_qpc)) / 2))
  expect "run $run: stopped within $STOP_LIMIT_S s" svc_wait "$SVC_STOPPED" "$STOP_LIMIT_S"
  expect_eq "run $run: clean stop" "$(svc_field WIN32_EXIT_CODE)/$(svc_field SERVICE_EXIT_CODE)" 0/0
  wait

  # The start line reads back what the clock simulator holds, i.e. the last step applied.
  log=$(tr -d '\r' <"$dir/Satae.dat")
  expect_eq "run $run: start line" "$(head -n 1 <<<"$log")" "Current CPU Freq is $expected_start"
  steps=$(tail -n +2 <<<"$log")
  expect_eq "run $run: nothing but step lines after it" \
    "$(printf '%s' "$steps" | grep -c -v '^Now Current CPU Freq is [0-9]*\.[0-9][0-9][0-9]$')" 0
  values=($(sed -n 's/^Now Current CPU Freq is //p' <<<"$steps"))
  logged+=("${values[@]}")
  [ "${#values[@]}" -eq 0 ] || expected_start=${values[-1]}
  phase=$(stop_phase "$from_op" "$from_call" "$stop_qpc")
  phases[$phase]=$((${phases[$phase]-0} + 1))
  printf 'run %2d: up %dx%dms, down %dx%dms after %3dms, stop at %4dms %-30s -> %d steps, now %s\n' \
    "$run" "$ups" "$up_gap_ms" "$downs" "$down_gap_ms" "$down_lag_ms" "$delay_ms" "($phase)" \
    "${#values[@]}" "$expected_start"
done
for phase in "${!phases[@]}"; do printf 'stops %s: %d\n' "$phase" "${phases[$phase]}"; done

run_exe "$dir/Vexaclkd.exe" "$dir" -d
expect_eq "removed" "$(svc_state)" none

# Every press is either applied and logged, or still latched.
declare -A counter
while IFS='=' read -r name value; do counter[$name]=$value; done < <(board show)
printf 'board: %s\n' "$(board show | tr '\n' ' ')"
expect_eq "presses the board saw" "${counter[pressesUp]}/${counter[pressesDown]}" "$ups_sent/$downs_sent"
expect_eq "presses latched or merged" $((counter[latchesSet] + counter[pressesMerged])) $((ups_sent + downs_sent))
expect_eq "latches set = acknowledged + pending" "${counter[latchesSet]}" $((counter[latchesAcked] + counter[pending]))
expect "some presses were handled" test "${counter[latchesAcked]}" -gt 0

applied=($(clock applied))
expect_eq "step lines = acknowledged latches" "${#logged[@]}" "${counter[latchesAcked]}"
expect_eq "Hz sent = acknowledged latches" "${#applied[@]}" "${counter[latchesAcked]}"

# Each Hz sent matches its logged line, and moves the way its acknowledged button says.
acks=($(board ops | awk '$2 == "out" { print ($3 == "0x1823") ? "up" : "down" }'))
expect_eq "acknowledgements recorded" "${#acks[@]}" "${counter[latchesAcked]}"
previous_hz=100000000
for ((i = 0; i < ${#applied[@]}; i++)); do
  hz=${applied[i]}
  expect_eq "step $i: logged value" "${logged[i]-missing}" "$(awk -v hz="$hz" 'BEGIN { printf "%.3f", hz / 1e6 }')"
  delta=$((hz - previous_hz))
  direction=odd
  if [ "$delta" -ge 99999 ] && [ "$delta" -le 100001 ]; then direction=up; fi
  if [ "$delta" -ge -100001 ] && [ "$delta" -le -99999 ]; then direction=down; fi
  expect_eq "step $i: one fine step in the acknowledged direction ($previous_hz -> $hz)" "$direction" "${acks[i]-missing}"
  previous_hz=$hz
done
expect_eq "clock holds the last Hz sent" "$(clock show | sed -n 's/^clock1=1,\([0-9]*\),.*/\1/p')" "$previous_hz"

e2e_finish
