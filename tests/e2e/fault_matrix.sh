#!/usr/bin/env bash
# End to end: one table of every fault and bad input the service meets, each run through install, start, press, stop, remove.
set -uo pipefail
. "$(dirname "$0")/e2e-lib.sh"
# FAULT_MATRIX_SHARD=K/N runs every Nth row from the Kth, as test fault_matrix_K, so
# that N parts of the table run beside each other, each in a prefix of its own.
IFS=/ read -r SHARD SHARDS <<<"${FAULT_MATRIX_SHARD:-1/1}"
if ! [[ $SHARD =~ ^[1-9][0-9]*$ && $SHARDS =~ ^[1-9][0-9]*$ ]] || [ "$SHARD" -gt "$SHARDS" ]; then
  echo "fault_matrix: FAULT_MATRIX_SHARD must be K/N with 1 <= K <= N, not '$FAULT_MATRIX_SHARD'" >&2
  exit 2
fi
if [ "$SHARDS" -eq 1 ]; then e2e_init fault_matrix; else e2e_init "fault_matrix_$SHARD"; fi

stepped='Current CPU Freq is 100.000\nNow Current CPU Freq is 100.100\n'
unknown='Current CPU Freq is 0.000\nPress ignored: CPU Freq unknown!!\n'
no_library='Load kpx.dll failure!!\n'
no_ports='Load kpx function failure!!\n'
no_board='Part Number Check Error!!\n'
stale='stale line\n'   # planted beside the executable before each row

# Setup words (evaluated after both simulators are reset to a variant-2 board
# and the default clock): tool commands, and these settings of the run:
#   KPX=full|none|without-ENTRY  the Kpx.dll copied beside the executable
#   INSTALLS=N                   "-i" runs (0: only "-d" runs)
#   START=yes|no                 sc start after installing
#   REMOVE=after|running         "-d" after the stop, or while running (then
#                                a second press)
#   BLOCK_LOG=yes                Satae.dat made a folder after installing
#   PATH_LENGTH=N                the executable's path, N characters long
# Console column: one letter per -i/-d run: I installed, i install error,
# D removed, d remove error.
#
# name | setup | log | state after stop | SERVICE_EXIT_CODE | Hz sent | console
rows=(
  "library missing|KPX=none|$no_library|1|1||ID"
  "hx_inp missing|KPX=without-hx_inp|$no_ports|1|2||ID"
  "hx_outp missing|KPX=without-hx_outp|$no_ports|1|2||ID"
  "MapMemEx missing|KPX=without-MapMemEx|$no_board|1|3||ID"
  "UnMapMemEx missing|KPX=without-UnMapMemEx|$no_board|1|3||ID"
  "SearchBDR missing|KPX=without-SearchBDR|$no_board|1|3||ID"
  "no board data record|board norecord|$no_board|1|3||ID"
  "record mapping refused|board mapfail on|$no_board|1|3||ID"
  "unknown part number|board part TQ37MR0X|$no_board|1|3||ID"
  "mis-cased part number|board part tq37mr0k|$no_board|1|3||ID"
  "part number cut by a NUL|board part-hex 545133374D523000|$no_board|1|3||ID"
  "clock controller unregistered|clock_registered no|$unknown|1|0||ID"
  "clock creation fails|clock create 0x80004005|$unknown|1|0||ID"
  "clock count fails (op 7)|clock fail 7 1|$unknown|1|0||ID"
  "clock mask fails (op 8)|clock fail 8 1|$unknown|1|0||ID"
  "clock descriptors fail (op 9)|clock fail 9 1|$unknown|1|0||ID"
  "clock read fails (op 10)|clock fail 10 1|$unknown|1|0||ID"
  "clock apply fails (op 11)|clock fail 11 1|$stepped|1|0|100100000|ID"
  "no clocks|clock count 0|$unknown|1|0||ID"
  "kind-1 clock only at index 35|clock count 40; clock mask 0xFFFFFFFF; clock kind 1 0; clock kind 35 1; clock hz 35 100000000|$unknown|1|0||ID"
  "no kind-1 clock|clock kind 1 2|$unknown|1|0||ID"
  "kind-1 clock masked out|clock mask 0x1|$unknown|1|0||ID"
  "clock reads 0 Hz|clock hz 1 0|$unknown|1|0||ID"
  "step beyond 4294967295 Hz|clock hz 1 4294900000|Current CPU Freq is 4294.900\nPress ignored: CPU Freq out of range!!\n|1|0||ID"
  "log folder unwritable|BLOCK_LOG=yes||1|0|100100000|ID"
  # Wine's service manager starts no image path of 260 characters or more:
  # with the log's path out of reach, only the console modes can be run.
  "path too long for the log (300)|PATH_LENGTH=300 START=no|$stale|1|0||ID"
  "path too long to install (1100)|PATH_LENGTH=1100|$stale|none|-||i"
  "install twice|INSTALLS=2|$stepped|1|0|100100000|IiD"
  "remove when absent|INSTALLS=0||none|-||d"
  "remove while running|REMOVE=running|Now Current CPU Freq is 100.200\n|none|-|100100000 100199999|ID"
)

readonly START_UP_S=15          # from the start request to the end of start-up
readonly PRESS_HANDLED_MS=10000  # a poll every 500 ms, a step's pause 600 ms
readonly STOP_S=15

# start_up_ends: start-up has ended within START_UP_S: running and reading the
# buttons, or stopped with a reason. Both waits happen inside the serving tools.
start_up_ends() {
  svc_wait "$SVC_RUNNING,$SVC_STOPPED" "$START_UP_S" || return 1
  case "$(svc_fields STATE SERVICE_EXIT_CODE)" in
    "$SVC_RUNNING"/*) board wait-op in "$((START_UP_S * 1000 * START_BOUND_SCALE))" >/dev/null 2>&1 ;;
    "$SVC_STOPPED"/0) return 1 ;;  # stopped without a reason: it never started
    *) return 0 ;;
  esac
}
presses_acknowledged() { board wait latchesAcked '>=' "$1" "$PRESS_HANDLED_MS"; }

# console_run LETTERS ARG: runs the executable with ARG, appends the letter for
# its console text to CONSOLE.
console_run() {
  run_exe "$dir/Vexaclkd.exe" "$E2E_WORK" "$2"
  local text letter='?'
  text=$(exact_bytes "$E2E_WORK/stdout")
  case "$text" in
    "$(crlf_exact '\n\nService Installed Sucessfully\n')") letter=I ;;
    "$(crlf_exact '\n\nError Installing Service\n')") letter=i ;;
    "$(crlf_exact '\n\nService UnInstalled Sucessfully\n')") letter=D ;;
    "$(crlf_exact '\n\nError UnInstalling Service\n')") letter=d ;;
  esac
  CONSOLE+=$letter
  expect_eq "$1: exit code of $2" "$RUN_RC" 0
}

run_row() {
  local name=$1 setup=$2 want_log=$3 want_state=$4 want_code=$5 want_hz=$6 want_console=$7
  local KPX=full INSTALLS=1 START=yes REMOVE=after BLOCK_LOG=no PATH_LENGTH='' CONSOLE=''
  local i state code started=no presses=1
  clock reset
  clock_registered yes
  board reset
  board board 2
  eval "$setup"

  dir="$E2E_WORK/row$row_number"
  [ -z "$PATH_LENGTH" ] || dir=$(long_dir "$dir" $((PATH_LENGTH - 13)))  # 13: "\Vexaclkd.exe"
  install_dir "${dir#"$work_real"/}" "$KPX" >/dev/null
  crlf "$stale" >"$dir/Satae.dat"

  for ((i = 0; i < INSTALLS; i++)); do console_run "$name" -i; done
  [ "$INSTALLS" -gt 0 ] || console_run "$name" -d
  if [ "$BLOCK_LOG" = yes ]; then
    rm -f "$dir/Satae.dat"
    mkdir "$dir/Satae.dat"
  fi

  if [ "$START" = yes ] && [ "$(svc_state)" != none ]; then
    svc_start
    expect "$name: start-up ends" start_up_ends
    [ "$(svc_state)" != "$SVC_RUNNING" ] || started=yes
    board press up
    if [ "$started" = yes ]; then
      expect "$name: press handled" presses_acknowledged 1
      if [ "$REMOVE" = running ]; then
        # "-d" resets the log too; a second press shows the service still works.
        expect "$name: step logged before removal" wait_log_lines "$dir" 2 10
        console_run "$name" -d
        expect_eq "$name: still running once removed" "$(svc_state)" "$SVC_RUNNING"
        board press up
        presses=2
        expect "$name: press handled once removed" presses_acknowledged 2
      fi
      svc_stop
      expect "$name: stops" svc_wait "$SVC_STOPPED,none" "$STOP_S"
    fi
    expect_eq "$name: presses acknowledged/pending" "$(board_values latchesAcked pending)" \
      "$([ "$started" = yes ] && echo "$presses/0" || echo 0/1)"
  fi

  local log hz win32
  log=$(exact_bytes "$dir/Satae.dat")
  IFS=/ read -r state win32 code <<<"$(svc_fields STATE WIN32_EXIT_CODE SERVICE_EXIT_CODE)"
  if [ "$state" != none ]; then
    # 1077: the service manager's code for a service never started.
    expect_eq "$name: Win32 exit code" "$win32" \
      "$([ "$code" = 0 ] && echo "$([ "$START" = yes ] && echo 0 || echo 1077)" || echo 1066)"
  else
    code=-
  fi
  hz=$(clock_applied)
  expect_eq "$name: log" "$log" "$(crlf_exact "$want_log")"
  expect_eq "$name: state" "$state" "$want_state"
  expect_eq "$name: service exit code" "$code" "$want_code"
  expect_eq "$name: Hz sent" "$hz" "$want_hz"
  expect_eq "$name: no board record left mapped" "$(board_values liveMaps badUnmaps)" 0/0
  expect_eq "$name: no clock controller left" "$(clock_value liveInstances)" 0
  if [ "$BLOCK_LOG" = yes ]; then
    expect_eq "$name: nothing written into the log's place" "$(ls -A "$dir/Satae.dat")" ""
  fi

  [ "$REMOVE" != after ] || [ "$state" = none ] || console_run "$name" -d
  expect_eq "$name: console texts" "$CONSOLE" "$want_console"
  expect_eq "$name: no entry left" "$(svc_state)" none
  printf '%-34s log=%-75s state=%-4s code=%-2s hz=%-19s console=%s\n' \
    "$name" "$(printf '%q' "${log%|}")" "$state" "$code" "${hz:--}" "$CONSOLE"
}

work_real=$(readlink -f "$E2E_WORK")
row_number=0
for row in "${rows[@]}"; do
  row_number=$((row_number + 1))
  [ $(((row_number - 1) % SHARDS)) -eq $((SHARD - 1)) ] || continue
  IFS='|' read -r -a fields <<<"$row"
  run_row "${fields[@]}" "" "" ""   # empty trailing columns are dropped by read
done

e2e_finish
