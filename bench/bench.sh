#!/usr/bin/env bash
# Benchmark of the real service under Wine's service control manager: press-to-apply latency, stop time, idle cost and footprint, printed as one table.
# Env: VEXA_BUILD (default <repo>/build, or <repo>/build-x64 where 32-bit code cannot run; VEXA_TEST_BITS picks), VEXA_SOURCE (default <repo>), BENCH_PRESSES, BENCH_STOPS,
# BENCH_IDLE_SECONDS, BENCH_SEED.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export VEXA_SOURCE=${VEXA_SOURCE:-$(dirname "$here")}
. "$VEXA_SOURCE/scripts/choose-build.sh"
choose_build_tree "$VEXA_SOURCE" || exit 2
export VEXA_BUILD
BENCH_PRESSES=${BENCH_PRESSES:-120}
BENCH_STOPS=${BENCH_STOPS:-24}
BENCH_IDLE_SECONDS=${BENCH_IDLE_SECONDS:-60}
BENCH_SEED=${BENCH_SEED:-20261210}

readonly BENCH_VARIANT=2                 # separate "down" and "up" latches: both buttons, two steps a poll
readonly PRESS_GAP_MIN_MS=1300           # each press handled before the next one
readonly PRESS_GAP_MAX_MS=2000
readonly LAST_PRESS_SETTLE_MS=1500       # one poll period and a step
readonly IDLE_SETTLE_MS=1000
readonly STOP_DELAY_MIN_MS=100           # from RUNNING to the stop or the presses
readonly STOP_DELAY_MAX_MS=1500
readonly STOP_AFTER_PRESS_MAX_MS=900
readonly START_LINE_WAIT_S=10

if [ ! -f "$VEXA_BUILD/CMakeCache.txt" ]; then
  echo "bench: configure $VEXA_BUILD first (cmake -S <repo> -B $VEXA_BUILD with the mingw toolchain)" >&2
  exit 2
fi
cmake --build "$VEXA_BUILD" --target Vexaclkd svcprobe vexa_test_companions -j2 >/dev/null || {
  echo "bench: build failed in $VEXA_BUILD" >&2
  exit 2
}

. "$VEXA_SOURCE/tests/e2e/e2e-lib.sh"
e2e_init bench "$VEXA_BUILD/wine/bench"
RDIR="$E2E_WORK/records"
mkdir -p "$RDIR"
FIGURES="$here/bench_figures.py"

sleep_ms() { sleep "$(printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)))"; }
rand() { printf '%s\n' $(($1 + (RANDOM * 32768 + RANDOM) % ($2 - $1 + 1))); }
RANDOM=$BENCH_SEED
key() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" "$2" | head -n 1; }

# start_service: started, with the start frequency on the log (so it is polling).
start_service() {
  probe start "$SERVICE" >/dev/null
  wait_log_lines "$APP" 1 "$START_LINE_WAIT_S" || echo "bench: no start line on the log" >&2
}

APP=$(install_dir app)
board board "$BENCH_VARIANT"
board step 0.1
run_exe "$APP/Vexaclkd.exe" "$APP" -i
clock qpcfreq >"$RDIR/qpcfreq"
echo "bench: prefix $WINEPREFIX, records in $RDIR" >&2

# --- press-to-apply latency ------------------------------------------------------------

echo "bench: $BENCH_PRESSES presses, $PRESS_GAP_MIN_MS..$PRESS_GAP_MAX_MS ms apart" >&2
start_service
ops_from=$(($(board_value opCount) + 1))
calls_from=$(($(clock_value callCount) + 1))
board_launch random-presses "$BENCH_PRESSES" "$BENCH_SEED" $PRESS_GAP_MIN_MS $PRESS_GAP_MAX_MS >"$RDIR/presses"
sleep_ms $LAST_PRESS_SETTLE_MS
board ops "$ops_from" >"$RDIR/latency.ops"
clock calls "$calls_from" >"$RDIR/latency.calls"
python3 "$FIGURES" latency "$RDIR/latency.ops" "$RDIR/latency.calls" "$RDIR/qpcfreq" "$BENCH_VARIANT" >"$RDIR/latency" || {
  echo "bench: no latency figures from the records in $RDIR" >&2
  exit 1
}

# --- idle cost: the running service with no presses -------------------------------------

# service_pid: the Linux process of our Vexaclkd.exe in our prefix.
service_pid() {
  local exe pid
  exe=$(wine_path "$APP/Vexaclkd.exe")
  for pid in $(pgrep -f 'Vexaclkd\.exe'); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" || continue
    tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF "$exe" || continue
    printf '%s\n' "$pid"
    return 0
  done
  return 1
}

# cpu_ticks PID: user + system time in clock ticks (fields 14 and 15 of stat).
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }
# cpu_ns PID: time on a CPU in nanoseconds, summed over all threads (schedstat).
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {printf "%.0f\n", s}'; }
# switches PID KIND: voluntary or nonvoluntary context switches summed over all threads.
switches() { cat /proc/"$1"/task/*/status 2>/dev/null | awk -v k="$2_ctxt_switches:" '$1 == k {s += $2} END {print s + 0}'; }

echo "bench: idle for $BENCH_IDLE_SECONDS s" >&2
sleep_ms $IDLE_SETTLE_MS
pid=$(service_pid) || pid=""
if [ -n "$pid" ]; then
  ns0=$(cpu_ns "$pid"); ticks0=$(cpu_ticks "$pid"); vol0=$(switches "$pid" voluntary); invol0=$(switches "$pid" nonvoluntary)
  t0=${EPOCHREALTIME/./}
  sleep "$BENCH_IDLE_SECONDS"
  ns1=$(cpu_ns "$pid"); ticks1=$(cpu_ticks "$pid"); vol1=$(switches "$pid" voluntary); invol1=$(switches "$pid" nonvoluntary)
  t1=${EPOCHREALTIME/./}
  threads=$(ls "/proc/$pid/task" | wc -l)
  idle=$(awk -v dt=$((t1 - t0)) -v ticks=$((ticks1 - ticks0)) -v hz="$(getconf CLK_TCK)" -v ns=$((ns1 - ns0)) \
             -v vol=$((vol1 - vol0)) -v invol=$((invol1 - invol0)) -v th="$threads" 'BEGIN {
    s = dt / 1e6
    printf "cpu_ms_per_min=%.2f tick_ms_per_min=%.0f wakeups_per_s=%.2f involuntary_per_s=%.2f threads=%d seconds=%.1f",
      ns / 1e6 * 60 / s, ticks * 1000 / hz * 60 / s, vol / s, invol / s, th, s }')
else
  idle="cpu_ms_per_min=? tick_ms_per_min=? wakeups_per_s=? involuntary_per_s=? threads=? seconds=0"
  echo "bench: the service's process was not found" >&2
fi
probe stop "$SERVICE" >"$RDIR/idle.stop"

# --- stop time: stops at random moments of a poll, some during a step ----------------------

echo "bench: $BENCH_STOPS stops" >&2
: >"$RDIR/stops"
ops_from=$(($(board_value opCount) + 1))
calls_from=$(($(clock_value callCount) + 1))
for ((i = 0; i < BENCH_STOPS; i++)); do
  start_service
  sleep_ms "$(rand $STOP_DELAY_MIN_MS $STOP_DELAY_MAX_MS)"
  # A third stop on an idle poll, a third after one press, a third after both buttons.
  case $((i % 3)) in
    1) if [ "$(rand 0 1)" -eq 0 ]; then board press up; else board press down; fi ;;
    2) board press down; board press up ;;
  esac
  [ $((i % 3)) -eq 0 ] || sleep_ms "$(rand 0 $STOP_AFTER_PRESS_MAX_MS)"
  probe stop "$SERVICE" >>"$RDIR/stops"
done
board ops "$ops_from" >"$RDIR/stops.ops"
clock calls "$calls_from" >"$RDIR/stops.calls"
# The stop figures, and the count of stops that did not end 0/0 or STOPPED, come from the
# record only when it holds each stop's lines in the shape the figures expect.
python3 "$FIGURES" stops "$RDIR/stops" "$RDIR/stops.ops" "$RDIR/stops.calls" "$RDIR/qpcfreq" "$BENCH_STOPS" \
  >"$RDIR/stoptimes" || {
  echo "bench: no stop figures from the records in $RDIR" >&2
  exit 1
}

# --- footprint ----------------------------------------------------------------------------

exe_bytes=$(stat -c %s "$VEXA_BUILD/Vexaclkd.exe")
dlls=$(. "$VEXA_BUILD/vexa-build.env" && "${VEXA_BINUTILS_PREFIX}objdump" -p "$VEXA_BUILD/Vexaclkd.exe" | sed -n 's/.*DLL Name: *//p' | tr '\n' ' ')

run_exe "$APP/Vexaclkd.exe" "$APP" -d

# --- the table --------------------------------------------------------------------------------

L="$RDIR/latency"
S="$RDIR/stoptimes"
I="$RDIR/idle"
printf '%s\n' "$idle" >"$I"
ms4() { printf '%s / %s / %s / %s ms' "$(key "$1_min" "$2")" "$(key "$1_median" "$2")" \
  "$(key "$1_p99" "$2")" "$(key "$1_max" "$2")"; }
row() { printf '%-40s | %-44s | %s\n' "$1" "$2" "$3"; }

echo
echo "Vexaclkd benchmark: $(date -u '+%Y-%m-%d %H:%M UTC'), build $VEXA_BUILD, board variant $BENCH_VARIANT, Wine $(wine --version 2>/dev/null)"
row "figure" "measured (min / median / p99 / max)" "bound from poll 500 ms and pause 600 ms"
row "----------------------------------------" "--------------------------------------------" "------------------------------------------"
row "press-to-apply, n=$(key apply_n "$L")" "$(ms4 apply "$L")" "<= ~500 ms poll + clock call; median ~250 ms"
row "  press to latch acknowledged" "$(ms4 ack "$L")" "<= 500 ms (one poll period)"
row "  acknowledged to Hz applied" "$(ms4 clockcall "$L")" "one clock controller exchange"
row "  presses (down/up), unpaired" "$(key down "$L")/$(key up "$L"), $(key unpaired "$L") unpaired" "every press its own step"
row "stop to STOPPED, n=$(key stop_n "$S")" "$(ms4 stop "$S")" "<= ~1.7 s: 500 ms sleep + 2 x 600 ms steps + calls"
row "  stops landing in a step, n=$(key stopstep_n "$S")" "$(ms4 stopstep "$S")" "<= ~1.7 s"
row "  stops whose last poll stepped" "$(key stops_with_steps_after "$S") (two steps: $(key stops_with_two_steps_after "$S"))" "1 or 2 steps finish before STOPPED"
row "  stops not 0/0 or not STOPPED, n=$(key stops "$S")" "$(key stops_not_0_0 "$S") / $(key stops_not_stopped "$S")" "0 / 0"
row "idle CPU time, $(key seconds "$I") s window" "$(key cpu_ms_per_min "$I") ms per minute (stat ticks: $(key tick_ms_per_min "$I"))" "two short polls a second: near zero"
row "idle wake-ups (voluntary, all threads)" "$(key wakeups_per_s "$I") per s ($(key threads "$I") threads)" "2 per s (500 ms poll period)"
row "  involuntary switches" "$(key involuntary_per_s "$I") per s" "-"
row "executable size" "$exe_bytes bytes" "-"
row "imported DLLs" "$dlls" "Windows system DLLs only (static runtime)"
