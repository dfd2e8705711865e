#!/usr/bin/env bash
# Soak test of the real service under Wine's service control manager: random presses, step sizes, stops, starts and clock faults on all five boards, then checked against a model of the service.
# Env: VEXA_BUILD (default <repo>/build, or <repo>/build-x64 where 32-bit code cannot run; VEXA_TEST_BITS picks), VEXA_SOURCE (default <repo>), SOAK_SEED, SOAK_SECONDS (time bound).
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export VEXA_SOURCE=${VEXA_SOURCE:-$(cd "$here/../.." && pwd)}
. "$VEXA_SOURCE/scripts/choose-build.sh"
choose_build_tree "$VEXA_SOURCE" || exit 2
export VEXA_BUILD
SOAK_SEED=${SOAK_SEED:-20261210}
SOAK_SECONDS=${SOAK_SECONDS:-540}

. "$VEXA_SOURCE/sim/board/board_table.sh"
VARIANTS=$(board_variants | tr '\n' ' ') || exit 2   # every variant of the board table
readonly VARIANTS
readonly VARIANT_COUNT=$(wc -w <<<"$VARIANTS")
readonly MIN_RUNS_PER_VARIANT=4                   # 20 stops and starts at least with five variants
readonly SECONDS_PER_RUN_TARGET=8                 # longer soaks make more, longer runs
readonly CYCLE_OVERHEAD_MS=900                    # a start, a stop and the record dumps
readonly RUN_MIN_MS=300
readonly PRESS_GAP_MIN_MS=150
readonly PRESS_GAP_MAX_MS=1500
readonly PRESS_TAIL_MS=1000                       # presses end this long before the phase
readonly ACTION_GAP_MIN_MS=150
readonly ACTION_GAP_MAX_MS=1200
readonly OTHER_BIT=0x80                           # lets a filtered-reapply board act on its latches
# Clock frequencies a start may find: plain, near the top and the bottom of the
# range the controller takes, and zero (unknown to the service).
readonly START_HZ_CHOICES=(100000000 100000000 2500000000 4294800000 700000 0)
readonly START_HZ_CHANGE_PERCENT=15
readonly DRAIN_TIMEOUT_MS=10000                   # two pending latches take two polls and two steps

if [ ! -f "$VEXA_BUILD/tests/bin/svcprobe.exe" ] || [ ! -f "$VEXA_BUILD/Vexaclkd.exe" ]; then
  echo "soak: build Vexaclkd, svcprobe and vexa_test_companions in $VEXA_BUILD first" >&2
  exit 2
fi

. "$VEXA_SOURCE/tests/e2e/e2e-lib.sh"
e2e_init soak "$VEXA_BUILD/wine/soak"
RDIR="$E2E_WORK/records"
mkdir -p "$RDIR"
: >"$RDIR/runs"
: >"$RDIR/faults"
clock qpcfreq >"$RDIR/qpcfreq"

qpc() { probe qpc; }
now_ms() { local t=${EPOCHREALTIME/./}; printf '%s\n' $((t / 1000)); }
sleep_ms() { sleep "$(printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)))"; }
# rand MIN MAX: a whole number in MIN..MAX from the seeded generator.
rand() { printf '%s\n' $(($1 + (RANDOM * 32768 + RANDOM) % ($2 - $1 + 1))); }
RANDOM=$SOAK_SEED

# --- outside faults: one at a time, its window recorded in QueryPerformanceCounter ticks

FAULT=""   # "fail OP CODE INDEX T_ON" or "unreg T_ON" while one is active

fault_start() {
  local t_on
  t_on=$(qpc)
  if [ "$(rand 0 9)" -lt 6 ]; then
    local op code index=4294967295
    op=$(rand 7 11)
    code=$(rand 1 65535)
    if [ "$op" -ge 9 ] && [ "$(rand 0 9)" -lt 3 ]; then
      index=$(rand 0 1)
      clock fail "$op" "$code" "$index" >/dev/null
    else
      clock fail "$op" "$code" >/dev/null
    fi
    FAULT="fail $op $code $index $t_on"
  else
    clock_registered no
    FAULT="unreg $t_on"
  fi
}

fault_end() {
  [ -n "$FAULT" ] || return 0
  case "$FAULT" in
    fail*) clock fail none >/dev/null ;;
    unreg*) clock_registered yes ;;
  esac
  printf '%s %s\n' "$FAULT" "$(qpc)" >>"$RDIR/faults"
  FAULT=""
}

random_step_size() {
  if [ "$(rand 0 1)" -eq 0 ]; then board step 0.1; else board step 1; fi
}

# One random action while the service runs (or while it is between runs).
random_action() {
  local roll
  roll=$(rand 0 99)
  if [ "$roll" -lt 30 ]; then
    random_step_size
  elif [ "$roll" -lt 55 ]; then
    if [ -n "$FAULT" ]; then fault_end; else fault_start; fi
  elif [ "$roll" -lt 60 ] && [ "$BOARD_RULE" = filtered-reapply ]; then
    # Now and then a latch alone in its byte, which such a board leaves alone.
    if [ $(($(board get "$BOARD_DOWN_PORT") & OTHER_BIT)) -eq 0 ]; then
      board setbits "$BOARD_DOWN_PORT" $OTHER_BIT
    else
      board clearbits "$BOARD_DOWN_PORT" $OTHER_BIT
    fi
  fi
}

# --- one run: start at a random moment, act at random, stop at a random moment

RUN=0
RUN_BASE=""

# run_begin: the records' marks, the clock's frequency, then the start.
run_begin() {
  local ops_from calls_from start_hz
  RUN=$((RUN + 1))
  RUN_BASE="$RDIR/run-$RUN"
  if [ "$(rand 0 99)" -lt "$START_HZ_CHANGE_PERCENT" ]; then
    clock hz 1 "${START_HZ_CHOICES[$(rand 0 $((${#START_HZ_CHOICES[@]} - 1)))]}" >/dev/null
  fi
  start_hz=$(clock_value clock1 | cut -d, -f2)
  ops_from=$(($(board_value opCount) + 1))
  calls_from=$(($(clock_value callCount) + 1))
  printf '%s %s\n' "$ops_from" "$calls_from" >"$RUN_BASE.from"
  probe start "$SERVICE" >"$RUN_BASE.start"
  printf '%s %s %s\n' "$RUN" "$VARIANT" "$start_hz" >>"$RDIR/runs"
}

# run_end: the stop, then everything of the run, read once the service has
# stopped (a start resets the log).
run_end() {
  local ops_from calls_from
  read -r ops_from calls_from <"$RUN_BASE.from"
  probe stop "$SERVICE" >"$RUN_BASE.stop"
  board ops "$ops_from" >"$RUN_BASE.ops"
  clock calls "$calls_from" >"$RUN_BASE.calls"
  clock show >"$RUN_BASE.clock"
  cp "$APP/Satae.dat" "$RUN_BASE.log" 2>/dev/null || : >"$RUN_BASE.log"
}

one_run() {
  local run_ms=$1 end
  run_begin
  end=$(($(now_ms) + run_ms))
  while :; do
    local left=$((end - $(now_ms)))
    [ "$left" -gt 0 ] || break
    local gap
    gap=$(rand $ACTION_GAP_MIN_MS $ACTION_GAP_MAX_MS)
    [ "$gap" -lt "$left" ] || gap=$left
    sleep_ms "$gap"
    [ "$gap" -lt "$left" ] && random_action
  done
  run_end
}

# drain_run: the phase's last run lasts until no latch is pending, so that by
# the phase's end every press that set a latch has been handled.
drain_run() {
  # A filtered-reapply board acts on a latch alone in its byte only with another bit set.
  [ "$BOARD_RULE" != filtered-reapply ] || board setbits "$BOARD_DOWN_PORT" $OTHER_BIT
  run_begin
  board wait pending == 0 "$DRAIN_TIMEOUT_MS" || echo "soak: variant $VARIANT: latches still pending" >&2
  run_end
}

# --- one board variant: its own press stream, runs until the stream ends

soak_variant() {
  local phase_ms=$1 runs_target run_max run_ms left count gen seed runs=0 phase_end
  board_row "$VARIANT" || exit 2
  board reset
  board board "$VARIANT"
  [ "$BOARD_RULE" != filtered-reapply ] || board setbits "$BOARD_DOWN_PORT" $OTHER_BIT
  random_step_size
  runs_target=$((phase_ms / 1000 / SECONDS_PER_RUN_TARGET))
  [ "$runs_target" -gt "$MIN_RUNS_PER_VARIANT" ] || runs_target=$((MIN_RUNS_PER_VARIANT + 1))
  run_max=$((2 * (phase_ms / runs_target - CYCLE_OVERHEAD_MS) - RUN_MIN_MS))
  [ "$run_max" -gt $((RUN_MIN_MS + 200)) ] || run_max=$((RUN_MIN_MS + 200))
  count=$(((phase_ms - PRESS_TAIL_MS) * 2 / (PRESS_GAP_MIN_MS + PRESS_GAP_MAX_MS)))
  [ "$count" -gt 0 ] || count=1
  seed=$(((SOAK_SEED + VARIANT * 7919) % 4294967296))
  phase_end=$(($(now_ms) + phase_ms))
  # A process of its own: the served board tool stays free for the runs meanwhile.
  board_launch random-presses "$count" "$seed" $PRESS_GAP_MIN_MS $PRESS_GAP_MAX_MS >"$RDIR/phase-$VARIANT.presses" &
  gen=$!
  while kill -0 "$gen" 2>/dev/null || [ "$runs" -lt "$MIN_RUNS_PER_VARIANT" ] ||
        [ "$(now_ms)" -lt "$phase_end" ]; do
    # The last run of a phase ends with the phase, or soon after it.
    run_ms=$(rand $RUN_MIN_MS "$run_max")
    left=$((phase_end - $(now_ms)))
    [ "$run_ms" -le "$left" ] || run_ms=$left
    [ "$run_ms" -ge "$RUN_MIN_MS" ] || run_ms=$RUN_MIN_MS
    one_run "$run_ms"
    runs=$((runs + 1))
    # Between runs too: faults and step sizes change while the service is stopped.
    [ "$(rand 0 2)" -ne 0 ] || random_action
  done
  wait "$gen"
  drain_run
  runs=$((runs + 1))
  fault_end
  board show >"$RDIR/phase-$VARIANT.board"
  clock show >"$RDIR/phase-$VARIANT.clockshow"
  echo "soak: variant $VARIANT: $runs runs, $(grep -c '^press ' "$RDIR/phase-$VARIANT.presses") presses"
}

started=$(now_ms)
APP=$(install_dir app)
run_exe "$APP/Vexaclkd.exe" "$APP" -i
[ "$(svc_state)" = "$SVC_STOPPED" ] || echo "soak: the service did not install" >&2
for VARIANT in $VARIANTS; do
  soak_variant $((SOAK_SECONDS * 1000 / VARIANT_COUNT))
done
run_exe "$APP/Vexaclkd.exe" "$APP" -d
echo "soak: seed $SOAK_SEED, $RUN runs in $((($(now_ms) - started) / 1000)) s; records in $RDIR"
# How long the service took to start and to stop here, from svcprobe's records: what the
# end-to-end tests' bounds on a start and a stop are measured against (an emulated guest
# keeps no records, only this line).
for kind in start stop; do
  cat "$RDIR"/run-*."$kind" | sed -n "s/^${kind}_ms=\([0-9.]*\) .*/\1/p" | sort -n |
    awk -v kind="$kind" '{ v[NR] = $1 } END { if (NR) printf "soak: %s_ms over %d runs: median %s, 90th percentile %s, most %s\n", kind, NR, v[int((NR + 1) / 2)], v[int((NR * 9 + 9) / 10)], v[NR] }'
done
python3 "$here/soak_check.py" "$RDIR" $((MIN_RUNS_PER_VARIANT * VARIANT_COUNT))
