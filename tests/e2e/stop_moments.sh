#!/usr/bin/env bash
# End to end: stops landing at many moments of a poll while both buttons are pressed; no press is half handled.
set -uo pipefail
. "$(dirname "$0")/e2e-lib.sh"
e2e_init stop_moments

readonly RUNS=12
readonly LAST_STOP_DELAY_MS=1300   # stops spread from 0 to here after the presses begin
readonly STOP_LIMIT_MS=10000
readonly START_MHZ=100.000
readonly STEP_PAUSE_MS=600         # the service's pause after each press it handles
. "$VEXA_SOURCE/sim/board/board_table.sh"
board_row 2 || exit 1              # variant 2 of the board table: "up" has a latch port of its own
readonly STEP_REGISTER=$BOARD_STEP_PORT UP_LATCH_PORT=$BOARD_UP_PORT  # the step register: read first in every poll
# How late a Sleep may return on a busy machine: a stop this close to a poll's
# end is not taken as one that landed in the sleep after it.
readonly SLEEP_OVERSHOOT_MS=200
readonly DRAIN_TIMEOUT_MS=10000    # two latches: two polls and two steps

# ms_to_s MS: a sleep argument.
ms_to_s() { printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)); }

# stop_key KEY: a value of the last "svcprobe stop" line.
stop_key() {
  local line pattern="(^|.*[^[:alnum:]_])$1=([^ ]*)"
  while IFS= read -r line; do
    if [[ $line =~ $pattern ]]; then
      printf '%s\n' "${BASH_REMATCH[2]}"
      return
    fi
  done <<<"$STOP"
}

board board 2
dir=$(install_dir app)
run_exe "$dir/Vexaclkd.exe" "$dir" -i
expect_eq "installed" "$(svc_state)" "$SVC_STOPPED"
ticks_per_ms=$(($(board qpcfreq) / 1000))

# stop_phase FROM_OP FROM_CALL: where the worker was when the stop request got
# into the service, from the board's reads and acknowledgements and the clock's
# calls since, all stamped with QueryPerformanceCounter like svcprobe's stamps
# of the stop control (control_qpc), of its reply (replied_qpc: the control
# handler has cleared the run flag) and of STOPPED (stopped_qpc). Prints the
# phase, the polls begun after the reply, and the records made after STOPPED.
#   in a step: the flag was cleared during a step or its pause, so the poll in
#     progress ends the work: no poll after it;
#   in a sleep: the flag was cleared well inside a sleep: exactly the one poll
#     after that sleep;
#   at a boundary: too near a poll's start or end to tell: at most one poll.
stop_phase() {
  {
    board ops "$1" | awk -v step="$STEP_REGISTER" '
      $2 == "in" { print $6, (tolower($3) == tolower(step) ? "poll" : "read") }
      $2 == "out" { print $6, "ack" }'
    clock calls "$2" | awk '{ print $10, "call" }'
  } | sort -n | awk -v control="$(stop_key control_qpc)" -v replied="$(stop_key replied_qpc)" \
      -v stopped="$(stop_key stopped_qpc)" -v pause=$((STEP_PAUSE_MS * ticks_per_ms)) \
      -v overshoot=$((SLEEP_OVERSHOOT_MS * ticks_per_ms)) '
    $1 >= stopped { late++ }
    $2 == "poll" && $1 > replied { after++ }
    $2 == "poll" && $1 >= control && $1 <= replied { began_in_window = 1 }
    $1 < control {
      last = $1
      if ($2 == "poll" || $2 == "read") { stepping = 0; pause_until = 0 }
      if ($2 == "ack") stepping = 1
      if (stepping) pause_until = $1 + pause
    }
    END {
      busy_until = last > pause_until ? last : pause_until
      if (pause_until > 0 && replied < pause_until) phase = "in a step"
      else if (control > busy_until + overshoot && !began_in_window) phase = "in a sleep"
      else phase = "at a boundary"
      printf "%s|%d|%d\n", phase, after, late
    }'
}

# check_stop RUN FROM_OP FROM_CALL: the stop of run RUN, from $STOP.
check_stop() {
  local run=$1 phase after late
  expect "run $run: stopped" grep -q 'states=[A-Z_>]*STOPPED ' <<<"$STOP"
  expect "run $run: stopped within $STOP_LIMIT_MS ms" awk -v ms="$(stop_key stop_ms)" \
    -v limit="$STOP_LIMIT_MS" 'BEGIN { exit !(ms != "" && ms <= limit) }'
  expect_eq "run $run: clean stop" "$(stop_key exit)" 0/0
  IFS='|' read -r phase after late <<<"$(stop_phase "$2" "$3")"
  expect_eq "run $run: nothing recorded after STOPPED" "$late" 0
  case "$phase" in
    "in a step") expect_eq "run $run: no poll after a stop in a step" "$after" 0 ;;
    "in a sleep") expect_eq "run $run: one poll after a stop in a sleep" "$after" 1 ;;
    *) expect "run $run: at most one poll after the stop ($after)" test "$after" -le 1 ;;
  esac
  PHASE=$phase
  phases[$phase]=$((${phases[$phase]-0} + 1))
}

# check_log RUN: the run's log: the start line, then step lines only.
check_log() {
  local log steps values
  # The start line reads back what the clock simulator holds, i.e. the last step applied.
  log=$(tr -d '\r' <"$dir/Satae.dat")
  expect_eq "run $1: start line" "$(head -n 1 <<<"$log")" "Current CPU Freq is $expected_start"
  steps=$(tail -n +2 <<<"$log")
  expect_eq "run $1: nothing but step lines after it" \
    "$(printf '%s' "$steps" | grep -c -v '^Now Current CPU Freq is [0-9]*\.[0-9][0-9][0-9]$')" 0
  values=($(sed -n 's/^Now Current CPU Freq is //p' <<<"$steps"))
  logged+=("${values[@]}")
  [ "${#values[@]}" -eq 0 ] || expected_start=${values[-1]}
  RUN_STEPS=${#values[@]}
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
  # Presses from processes of their own, beside the served tools.
  board_launch press up "$ups" "$up_gap_ms" >/dev/null &
  (sleep "$(ms_to_s "$down_lag_ms")" && board_launch press down "$downs" "$down_gap_ms" >/dev/null) &
  sleep "$(ms_to_s "$delay_ms")"
  STOP=$(probe stop "$SERVICE")
  check_stop "$run" "$from_op" "$from_call"
  wait
  check_log "$run"
  printf 'run %2d: up %dx%dms, down %dx%dms after %3dms, stop at %4dms %-15s -> %d steps, now %s\n' \
    "$run" "$ups" "$up_gap_ms" "$downs" "$down_gap_ms" "$down_lag_ms" "$delay_ms" "($PHASE)" \
    "$RUN_STEPS" "$expected_start"
done
for phase in "${!phases[@]}"; do printf 'stops %s: %d\n' "$phase" "${phases[$phase]}"; done

# A last run takes what the stops left latched: no press may stay pending.
svc_start
expect "last run: running" svc_wait "$SVC_RUNNING" 15
expect "last run: polling" wait_log_lines "$dir" 1 10
expect "last run: every latch left by the stops handled" board wait pending == 0 "$DRAIN_TIMEOUT_MS"
STOP=$(probe stop "$SERVICE")
expect_eq "last run: clean stop" "$(stop_key exit)" 0/0
check_log last
printf 'last run: %d steps, now %s\n' "$RUN_STEPS" "$expected_start"

run_exe "$dir/Vexaclkd.exe" "$dir" -d
expect_eq "removed" "$(svc_state)" none

# Every acknowledged press applied and logged, in its direction; none left.
declare -A counter
while IFS='=' read -r name value; do counter[$name]=$value; done < <(board show)
printf 'board: %s\n' "$(board show | tr '\n' ' ')"
expect_eq "presses the board saw" "${counter[pressesUp]}/${counter[pressesDown]}" "$ups_sent/$downs_sent"
expect_eq "nothing pending at the end" "${counter[pending]}" 0
expect "some presses were handled" test "${counter[latchesAcked]}" -gt 0

applied=($(clock applied))
expect_eq "step lines = acknowledged latches" "${#logged[@]}" "${counter[latchesAcked]}"
expect_eq "Hz sent = acknowledged latches" "${#applied[@]}" "${counter[latchesAcked]}"

# Each Hz sent matches its logged line, and moves the way its acknowledged button says.
acks=($(board ops | awk -v up="$UP_LATCH_PORT" '$2 == "out" { print (tolower($3) == tolower(up)) ? "up" : "down" }'))
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
