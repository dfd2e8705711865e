#!/usr/bin/env bash
# Builds Vexaclkd and runs it under Wine as a service on a simulated board: taps the board's buttons and shows what the clock and the log see.
set -uo pipefail

readonly ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly SERVICE=Vexaclkd
# The board variants, their part numbers and registers: the simulated board's table.
. "$ROOT/sim/board/board_table.sh"

# Timing, all named with their unit.
readonly RUNNING_TIMEOUT_S=20     # from "sc start" to RUNNING
readonly STOPPED_TIMEOUT_S=20     # from "sc stop" to STOPPED
readonly TAP_TIMEOUT_S=5          # a poll is every 500 ms, a step pauses 600 ms
readonly FIRST_LINE_TIMEOUT_S=10  # the start line of the log
readonly TAP_GAP_S=1.2            # pause between scripted taps, to be readable
readonly STATE_POLL_S=0.1

# board_list: "1 PART1   2 PART2 ..." from the board table.
board_list() { board_table_rows | awk '{ printf "%s%s %s", (NR > 1 ? "   " : ""), $1, $2 }'; }

usage() {
  cat <<EOF
Usage: ./run.sh [--board N] [--interactive] [--no-build] [--help]

Builds Vexaclkd (installing what is missing on Debian 12), then runs it as a
Windows service under Wine on a simulated board and clock:
installs it with "-i", starts it, taps the board's up/down buttons, shows each
frequency the clock receives and each line of its log (Satae.dat), then stops
it and removes it with "-d". Nothing is left running afterwards.

Options:
  --board N       board variant (default 2):
                    $(board_list)
  --interactive   tap the buttons yourself: u = up, d = down,
                  s = toggle the step size 0.1 / 1 MHz, q = quit
  --no-build      use the build tree as it is (no dependency check, no build)
  --help          this text

Environment:
  VEXA_TEST_BITS  32 or 64: which build to run. By default the 32-bit build
                  (preset "default", ./build) where this host runs 32-bit
                  code, else the 64-bit build of the same sources (preset
                  "x64", ./build-x64). Windows gets the 32-bit exe either way.
  VEXA_BUILD_DIR  build tree to use instead (configured and built with the
                  chosen toolchain unless --no-build is given)

Everything it makes stays under the build tree: a Wine prefix of its own
(<build>/wine/demo) and the demo install folder (<build>/demo).
EOF
}

# ---------------------------------------------------------------- display

if [ -t 1 ]; then
  BOLD=$'\e[1m' DIM=$'\e[2m' RED=$'\e[31m' GREEN=$'\e[32m' YELLOW=$'\e[33m' CYAN=$'\e[36m' RESET=$'\e[0m'
else
  BOLD='' DIM='' RED='' GREEN='' YELLOW='' CYAN='' RESET=''
fi
case "$(locale charmap 2>/dev/null)" in
  UTF-8) ARROW='→' ;;
  *) ARROW='->' ;;
esac

section() { printf '\n%s== %s ==%s\n' "$BOLD" "$1" "$RESET"; }
info() { printf '   %s\n' "$*"; }
die() {
  printf '\n%sError: %s%s\n' "$RED" "$*" "$RESET" >&2
  exit 1
}

# with_commas 100100000 -> 100,100,000
with_commas() { sed ':a;s/\([0-9]\)\([0-9]\{3\}\)\($\|,\)/\1,\2\3/;ta' <<<"$1"; }

# ---------------------------------------------------------------- options

BOARD=2
INTERACTIVE=no
BUILD=yes
while [ $# -gt 0 ]; do
  case "$1" in
    --board)
      [ $# -ge 2 ] || die "--board needs a variant number"
      BOARD=$2
      shift 2
      ;;
    --board=*)
      BOARD=${1#--board=}
      shift
      ;;
    --interactive) INTERACTIVE=yes; shift ;;
    --no-build) BUILD=no; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; die "unknown option: $1" ;;
  esac
done
VARIANTS=$(board_variants | tr '\n' ' ') || die "the board table sim/board/board_table.txt cannot be read"
case " $VARIANTS" in
  *" $BOARD "*) board_row "$BOARD" || die "the board table sim/board/board_table.txt cannot be read" ;;
  *) die "--board must be one of ${VARIANTS% }, not '$BOARD'" ;;
esac
if [ "$INTERACTIVE" = yes ] && ! [ -t 0 ]; then
  printf '%sNote: --interactive needs a terminal on stdin; running the scripted taps instead.%s\n' \
    "$YELLOW" "$RESET"
  INTERACTIVE=no
fi

# Part number and step register (its step bit set = 1 MHz steps) of the variant.
readonly PART=$BOARD_PART STEP_PORT=$BOARD_STEP_PORT STEP_BIT=$BOARD_STEP_BIT

# ---------------------------------------------------------------- build

cd "$ROOT" || exit 1
. "$ROOT/scripts/choose-build.sh"
choose_build || die "no build can run on this host"
printf '%s%s%s\n' "$BOLD" "${VEXA_BUILD_REASON/testing/running}" "$RESET"
if [ "$VEXA_BITS" = 32 ]; then TOOLCHAIN=mingw-i686.cmake DEFAULT_DIR=build; else TOOLCHAIN=mingw-x86_64.cmake DEFAULT_DIR=build-x64; fi
BUILD_DIR=${VEXA_BUILD_DIR:-$ROOT/$DEFAULT_DIR}
mkdir -p "$BUILD_DIR" || die "cannot create the build tree $BUILD_DIR"
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)

if [ "$BUILD" = yes ]; then
  section "Build"
  scripts/install-deps.sh || die "installing the build tools and Wine failed (scripts/install-deps.sh)"
  if [ -z "${VEXA_BUILD_DIR:-}" ]; then
    info "cmake --preset $VEXA_PRESET && cmake --build --preset $VEXA_PRESET"
    { configure_preset "$VEXA_PRESET" >/dev/null && cmake --build --preset "$VEXA_PRESET"; } ||
      die "the build failed (see the compiler output above)"
  else
    info "cmake -G Ninja -S . -B $BUILD_DIR && cmake --build $BUILD_DIR"
    { cmake -G Ninja -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$TOOLCHAIN" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null && cmake --build "$BUILD_DIR" -j2; } ||
      die "the build failed (see the compiler output above)"
  fi
fi

for f in Vexaclkd.exe sim/board/Kpx.dll tests/bin/clocksim.dll tests/bin/clocktool.exe tests/bin/boardtool.exe; do
  [ -f "$BUILD_DIR/$f" ] || die "$BUILD_DIR/$f is missing: build first (run without --no-build)"
done
. "$ROOT/tools/wine-env.sh"
wine_select_build "$BUILD_DIR" || die "$BUILD_DIR is not a configured build tree: run without --no-build"
[ -x "$WINELOADER" ] || die "$WINELOADER is not installed: run without --no-build (it installs it)"

# ---------------------------------------------------------------- Wine and the service

DEMO="$BUILD_DIR/demo"           # install folder, simulator copies, saved log
APP="$DEMO/install"
SIM="$DEMO/sim"
PREFIX="$BUILD_DIR/wine/demo"

# One run at a time per build tree: both would share one prefix and service.
mkdir -p "$DEMO" "$BUILD_DIR/wine"
exec 8>"$BUILD_DIR/wine/demo.run.lock"
flock -n 8 || die "another ./run.sh is using $BUILD_DIR; wait for it to finish"

# Every Wine command reads from /dev/null (in interactive mode the keys are
# ours) and does not inherit the run lock (the wineserver would keep it).
w() { wine "$@" </dev/null 8>&-; }
clock() { w "$SIM/clocktool.exe" "$@" 2>&1 | tr -d '\r'; }
board() { w "$SIM/boardtool.exe" "$@" 2>&1 | tr -d '\r'; }

# Service states as "sc query" numbers them.
STATE_NAMES=(NONE STOPPED START_PENDING STOP_PENDING RUNNING CONTINUE_PENDING PAUSE_PENDING PAUSED)

# svc_state: the state name, or NONE without a service entry.
svc_state() {
  local n
  n=$(w sc query "$SERVICE" 2>/dev/null | tr -d '\r' | sed -n 's/^ *STATE *: *\([0-9]*\).*/\1/p')
  printf '%s\n' "${STATE_NAMES[${n:-0}]:-UNKNOWN}"
}

# svc_field NAME: a number from "sc query", e.g. SERVICE_EXIT_CODE.
svc_field() {
  w sc query "$SERVICE" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *: *\([0-9]*\).*/\1/p"
}

# wait_state STATE SECONDS: prints each state seen on the way; true once in STATE.
wait_state() {
  local want=$1 deadline=$((SECONDS + $2)) last='' now
  while :; do
    now=$(svc_state)
    if [ "$now" != "$last" ]; then
      info "state: $now"
      last=$now
    fi
    [ "$now" = "$want" ] && return 0
    [ "$SECONDS" -lt "$deadline" ] || return 1
    # A service that fails at start-up goes straight back to STOPPED.
    [ "$want" = RUNNING ] && [ "$now" = STOPPED ] && [ "$SECONDS" -gt $((deadline - $2 + 2)) ] && return 1
    sleep "$STATE_POLL_S"
  done
}

# run_exe ARG: Vexaclkd.exe ARG from its own folder; shows its console text.
run_exe() {
  local out
  printf '   %s$ wine Vexaclkd.exe %s%s\n' "$DIM" "$1" "$RESET"
  out=$(cd "$APP" && w ./Vexaclkd.exe "$1" 2>/dev/null | tr -d '\r')
  LAST_OUTPUT=$out
  # The texts begin with two empty lines; show them as the console would.
  printf '%s\n' "$out" | sed "s/^/   ${CYAN}| /; s/\$/${RESET}/"
}

# remove_service_if_present: stop (when running) and delete any Vexaclkd entry.
remove_service_if_present() {
  local state
  state=$(svc_state)
  [ "$state" = NONE ] && return 0
  if [ "$state" != STOPPED ]; then
    w sc stop "$SERVICE" >/dev/null 2>&1
    local deadline=$((SECONDS + STOPPED_TIMEOUT_S))
    while [ "$(svc_state)" != STOPPED ] && [ "$SECONDS" -lt "$deadline" ]; do sleep "$STATE_POLL_S"; done
  fi
  w sc delete "$SERVICE" >/dev/null 2>&1
}

PREFIX_IN_USE=no
CLEANED=no
TERMINAL_SAVED=''

# On any exit: no service entry left (the service starts by itself whenever
# the prefix boots), and no process of our prefix left running.
cleanup() {
  [ "$CLEANED" = yes ] && return
  CLEANED=yes
  trap '' INT TERM HUP PIPE   # finish the clean-up whatever happens to the terminal
  [ -n "$TERMINAL_SAVED" ] && stty "$TERMINAL_SAVED" 2>/dev/null
  if [ "$PREFIX_IN_USE" = yes ]; then
    if [ "$(svc_state)" != NONE ]; then
      printf '\n%sCleaning up: stopping and removing the service.%s\n' "$YELLOW" "$RESET"
      remove_service_if_present
    fi
    wine_stop_server
  fi
}
trap cleanup EXIT
trap 'printf "\n%sInterrupted.%s\n" "$YELLOW" "$RESET"; exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
trap 'exec >/dev/null 2>&1; exit 141' PIPE

section "Wine prefix"
if [ ! -f "$PREFIX/system.reg" ]; then
  info "creating $PREFIX (first run only, about 10 s)"
fi
wine_use_prefix "$PREFIX" 8>&-
[ -f "$PREFIX/system.reg" ] || die "could not create the Wine prefix $PREFIX"
PREFIX_IN_USE=yes
# A persistent wineserver: services are killed when the server exits.
wine_keep_server 8>&-
info "WINEPREFIX=$PREFIX"
if [ "$(svc_state)" != NONE ]; then
  info "removing a Vexaclkd entry left from before"
  remove_service_if_present
fi

section "Simulated clock and board"
rm -rf "$SIM" "$APP"
mkdir -p "$SIM" "$APP"
cp "$BUILD_DIR/tests/bin/clocksim.dll" "$BUILD_DIR/tests/bin/clocktool.exe" \
   "$BUILD_DIR/tests/bin/boardtool.exe" "$SIM/" || die "cannot copy the simulators"
# The clock controller is a COM component: register the simulator in this prefix.
clock register "$(wine_path "$SIM/clocksim.dll")" >/dev/null || die "registering the clock simulator failed"
clock reset >/dev/null && board reset >/dev/null || die "resetting the simulators failed"
board board "$BOARD" >/dev/null || die "selecting board variant $BOARD failed"
START_HZ=$(clock show | sed -n 's/^clock1=[0-9]*,\([0-9]*\),.*/\1/p')
info "clock: $(with_commas "$START_HZ") Hz"
info "board: variant $BOARD, part number $PART"
if [ "$BOARD_RULE" = filtered-reapply ]; then
  # This variant acts on a latch only when another bit of its latch byte is set.
  board setbits "$BOARD_DOWN_PORT" 0x80 >/dev/null
  info "${YELLOW}variant $BOARD acts on a button latch only when another bit of its latch"
  info "byte is set too: set bit 7 of port $BOARD_DOWN_PORT (boardtool setbits $BOARD_DOWN_PORT 0x80)."
  info "Each of its steps first sends the clock the unchanged frequency, then the new one.${RESET}"
fi

section "Install"
cp "$BUILD_DIR/Vexaclkd.exe" "$BUILD_DIR/sim/board/Kpx.dll" "$APP/" || die "cannot fill $APP"
info "install folder: $APP (Vexaclkd.exe + Kpx.dll)"
run_exe -i
case "$LAST_OUTPUT" in
  *"Service Installed Sucessfully"*) ;;
  *) die "installing the service failed" ;;
esac

section "Start"
printf '   %s$ wine sc start %s%s\n' "$DIM" "$SERVICE" "$RESET"
w sc start "$SERVICE" >/dev/null 2>&1
if ! wait_state RUNNING "$RUNNING_TIMEOUT_S"; then
  [ -s "$APP/Satae.dat" ] && info "log: $(tr -d '\r' <"$APP/Satae.dat")"
  if [ "$(svc_state)" = STOPPED ]; then
    # Start-up failures: service-specific code 1 = no Kpx.dll, 2 = an entry
    # point missing in it, 3 = board not recognised.
    die "the service stopped at start-up instead of running" \
      "(Win32 exit code $(svc_field WIN32_EXIT_CODE), service-specific exit code $(svc_field SERVICE_EXIT_CODE))"
  fi
  die "the service did not reach RUNNING in $RUNNING_TIMEOUT_S s"
fi

# ---------------------------------------------------------------- live display

LOG_SHOWN=0       # lines of Satae.dat shown so far
APPLIED_SHOWN=0   # frequencies the clock received, shown so far
LAST_HZ=$START_HZ # the last frequency the clock received
TAPS=0

log_line_count() { tr -d '\r' <"$APP/Satae.dat" 2>/dev/null | grep -c ''; }

# new_log_lines: the log lines after the LOG_SHOWN already shown.
new_log_lines() {
  tr -d '\r' <"$APP/Satae.dat" 2>/dev/null | tail -n +$((LOG_SHOWN + 1))
}

# wait_log_growth SECONDS: true once the log holds more lines than shown.
wait_log_growth() {
  local deadline=$((SECONDS + $1))
  while [ "$(log_line_count)" -le "$LOG_SHOWN" ]; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep "$STATE_POLL_S"
  done
}

# show_activity PREFIX: one line with the Hz the clock received since last
# time and the new log lines.
show_activity() {
  local lead=$1 applied lines hz received='' line first=yes
  applied=$(clock applied | tail -n +$((APPLIED_SHOWN + 1)))
  lines=$(new_log_lines)
  APPLIED_SHOWN=$((APPLIED_SHOWN + $(grep -c . <<<"$applied")))
  LOG_SHOWN=$((LOG_SHOWN + $(grep -c '' <<<"$lines")))
  for hz in $applied; do
    received+="${received:+, then }${GREEN}$(with_commas "$hz") Hz${RESET}"
    [ "$hz" = "$LAST_HZ" ] && received+=" (unchanged)"
    LAST_HZ=$hz
  done
  [ -n "$received" ] || received="${DIM}nothing${RESET}"
  while IFS= read -r line; do
    if [ "$first" = yes ]; then
      printf '%s %s clock received %s %s log: %s%s%s\n' "$lead" "$ARROW" "$received" "$ARROW" "$BOLD" "$line" "$RESET"
      first=no
    else
      printf '%*s %s log: %s%s%s\n' "$(visible_width "$lead")" '' "$ARROW" "$BOLD" "$line" "$RESET"
    fi
  done <<<"$lines"
}

# visible_width TEXT: its length without colour codes.
visible_width() {
  local plain
  plain=$(sed 's/\x1b\[[0-9;]*m//g' <<<"$1")
  printf '%s\n' "${#plain}"
}

STEP=0.1   # MHz per tap, as the board's step register says

# tap up|down: presses the button and shows what followed.
tap() {
  TAPS=$((TAPS + 1))
  local lead
  lead=$(printf '   %s[%2d]%s tap %-4s (%3s MHz)' "$DIM" "$TAPS" "$RESET" "$1" "$STEP")
  board press "$1" >/dev/null
  if wait_log_growth "$TAP_TIMEOUT_S"; then
    show_activity "$lead"
  else
    printf '%s %s %sno reaction within %s s (service: %s)%s\n' "$lead" "$ARROW" "$RED" "$TAP_TIMEOUT_S" "$(svc_state)" "$RESET"
  fi
}

# set_step 0.1|1: bit 6 of the step register selects 1 MHz steps.
set_step() {
  STEP=$1
  board step "$1" >/dev/null
  info "${YELLOW}step size now $1 MHz${RESET} ${DIM}(bit $STEP_BIT of port $STEP_PORT $(
    [ "$1" = 1 ] && echo set || echo cleared), now $(board get "$STEP_PORT"))${RESET}"
}

# At start the service reads the clock and logs it, without setting it.
if wait_log_growth "$FIRST_LINE_TIMEOUT_S"; then
  info "read from the clock at start $ARROW log: $BOLD$(new_log_lines)$RESET"
  LOG_SHOWN=$(log_line_count)
else
  info "${RED}no start line in the log within $FIRST_LINE_TIMEOUT_S s${RESET}"
fi

scripted_taps() {
  local t
  section "Tapping the board's buttons"
  for t in up up up down step:1 up down down step:0.1 down up; do
    case "$t" in
      step:*) set_step "${t#step:}" ;;
      *) tap "$t" ;;
    esac
    sleep "$TAP_GAP_S"
  done
}

interactive_taps() {
  local key
  section "Your turn: u = up, d = down, s = step size 0.1/1 MHz, q = quit"
  TERMINAL_SAVED=$(stty -g)
  stty -echo -icanon
  while IFS= read -rsn1 key; do
    case "$key" in
      u | U) tap up ;;
      d | D) tap down ;;
      s | S) if [ "$STEP" = 1 ]; then set_step 0.1; else set_step 1; fi ;;
      q | Q) break ;;
      *) info "${DIM}keys: u = up, d = down, s = step size, q = quit${RESET}" ;;
    esac
    if [ "$(svc_state)" != RUNNING ]; then
      info "${RED}the service is no longer running${RESET}"
      break
    fi
  done
  stty "$TERMINAL_SAVED"
  TERMINAL_SAVED=''
}

if [ "$INTERACTIVE" = yes ]; then interactive_taps; else scripted_taps; fi

# ---------------------------------------------------------------- stop and remove

section "Stop"
printf '   %s$ wine sc stop %s%s\n' "$DIM" "$SERVICE" "$RESET"
w sc stop "$SERVICE" >/dev/null 2>&1
wait_state STOPPED "$STOPPED_TIMEOUT_S" || die "the service did not reach STOPPED in $STOPPED_TIMEOUT_S s"
info "exit codes: Win32 $(svc_field WIN32_EXIT_CODE), service-specific $(svc_field SERVICE_EXIT_CODE)"
# Every start of Vexaclkd.exe, "-d" included, begins a new log: keep this one.
cp "$APP/Satae.dat" "$DEMO/Satae.final.dat" 2>/dev/null

section "Remove"
run_exe -d
case "$LAST_OUTPUT" in
  *"Service UnInstalled Sucessfully"*) ;;
  *) die "removing the service failed" ;;
esac
info "service entry: $(svc_state | sed 's/^NONE$/gone/')"

section "Final log (Satae.dat as the service left it, saved as $DEMO/Satae.final.dat)"
tr -d '\r' <"$DEMO/Satae.final.dat" | sed "s/^/   ${CYAN}| /; s/\$/${RESET}/"

wine_stop_server
PREFIX_IN_USE=no
printf '\n%s%d taps; the service is removed and the Wine prefix shut down.%s\n' "$GREEN" "$TAPS" "$RESET"
printf '%sThe clock gets trunc(MHz x 1,000,000) Hz, so sums of 0.1 MHz steps may land 1 Hz under.%s\n' "$DIM" "$RESET"
