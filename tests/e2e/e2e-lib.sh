# Shared steps of the end-to-end tests: the real Vexaclkd.exe under Wine's service
# control manager, in a private prefix with a persistent wineserver, with both
# simulators. Source it, then call e2e_init NAME; e2e_finish reports and exits.
# Needs VEXA_BUILD (the build tree) and VEXA_SOURCE (the source tree).

: "${VEXA_BUILD:?set VEXA_BUILD to the build tree}"
: "${VEXA_SOURCE:?set VEXA_SOURCE to the source tree}"
. "$VEXA_SOURCE/tools/wine-env.sh"
wine_select_build "$VEXA_BUILD" || exit 2

readonly SERVICE=Vexaclkd
readonly SVC_STOPPED=1 SVC_START_PENDING=2 SVC_STOP_PENDING=3 SVC_RUNNING=4
E2E_PASSED=0
E2E_FAILED=0

# e2e_init NAME [PREFIX]: fresh work folder, the prefix (default: the shared
# end-to-end one) with a persistent server, no service entry left from before,
# and the clock simulator registered from the work folder.
e2e_init() {
  E2E_NAME=$1
  E2E_WORK="$VEXA_BUILD/e2e/$E2E_NAME"
  rm -rf "$E2E_WORK"
  mkdir -p "$E2E_WORK/sim"
  wine_use_prefix "${2:-$VEXA_BUILD/wine/e2e}"
  trap e2e_cleanup EXIT
  wine_keep_server
  svc_remove_any
  cp "$VEXA_BUILD/tests/bin/clocksim.dll" "$VEXA_BUILD/tests/bin/clocktool.exe" \
     "$VEXA_BUILD/tests/bin/boardtool.exe" "$E2E_WORK/sim/"
  SIM_DLL="$E2E_WORK/sim/clocksim.dll"
  clock_registered yes
  clock reset
  board reset
}

e2e_cleanup() {
  svc_remove_any
  wine_stop_server
}

# Leaves no service entry behind, running or not.
svc_remove_any() {
  if [ "$(svc_state)" != none ]; then
    wine sc stop "$SERVICE" </dev/null >/dev/null 2>&1 || true
    svc_wait "$SVC_STOPPED" 15 || true
    wine sc delete "$SERVICE" </dev/null >/dev/null 2>&1 || true
  fi
}

clock() { wine "$E2E_WORK/sim/clocktool.exe" "$@" </dev/null | tr -d '\r'; }
board() { wine "$E2E_WORK/sim/boardtool.exe" "$@" </dev/null | tr -d '\r'; }

# clock_registered yes|no
clock_registered() {
  local verb=register
  [ "$1" = yes ] || verb=unregister
  clock "$verb" "$(wine_path "$SIM_DLL")" >/dev/null
}

# board_value KEY: one value of "boardtool show"; clock_value KEY likewise.
board_value() { board show | sed -n "s/^$1=//p"; }
clock_value() { clock show | sed -n "s/^$1=//p"; }

# install_dir NAME [KPX]: a folder with Vexaclkd.exe and, unless KPX is
# "none", a Kpx.dll (default the full simulator; "without-NAME" for one that
# lacks an entry point). Prints the folder.
install_dir() {
  local dir="$E2E_WORK/$1" kpx=${2:-full}
  mkdir -p "$dir"
  cp "$VEXA_BUILD/Vexaclkd.exe" "$dir/"
  case "$kpx" in
    none) ;;
    full) cp "$VEXA_BUILD/sim/board/Kpx.dll" "$dir/" ;;
    *) cp "$VEXA_BUILD/sim/board/$kpx/Kpx.dll" "$dir/" ;;
  esac
  printf '%s\n' "$dir"
}

# run_exe EXE WORKDIR [ARGS...]: runs the executable from WORKDIR; its
# stdout bytes go to $E2E_WORK/stdout, its exit code to RUN_RC.
run_exe() {
  local exe=$1 workdir=$2
  shift 2
  RUN_RC=0
  (cd "$workdir" && wine "$exe" "$@" </dev/null >"$E2E_WORK/stdout" 2>/dev/null) || RUN_RC=$?
}

# svc_state: the service's current state number, or "none" without an entry.
svc_state() {
  local state
  state=$(wine sc query "$SERVICE" </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/^ *STATE *: *\([0-9]*\).*/\1/p')
  printf '%s\n' "${state:-none}"
}

# svc_field NAME: a numeric field of "sc query", e.g. SERVICE_EXIT_CODE.
svc_field() {
  wine sc query "$SERVICE" </dev/null 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *: *\([0-9]*\).*/\1/p"
}

# svc_wait STATE SECONDS: true once the service is in STATE.
svc_wait() {
  local want=$1 deadline=$((SECONDS + $2))
  while [ "$(svc_state)" != "$want" ]; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

svc_start() { wine sc start "$SERVICE" </dev/null >/dev/null 2>&1; }
svc_stop() { wine sc stop "$SERVICE" </dev/null >/dev/null 2>&1; }

# log_bytes DIR: the activity log beside DIR's executable, as stored.
log_bytes() { cat "$1/Satae.dat" 2>/dev/null || true; }

# wait_log_lines DIR N SECONDS: true once the log holds at least N lines.
wait_log_lines() {
  local deadline=$((SECONDS + $3))
  while [ "$(log_bytes "$1" | grep -c '')" -lt "$2" ]; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# crlf TEXT: TEXT (with \n escapes) as Windows stores it, each line feed as CR LF.
crlf() { printf '%b' "$1" | sed 's/$/\r/'; }

# exact_bytes FILE: the file's bytes (nothing if it is missing) and a closing
# "|", so that $(...) keeps trailing line ends; crlf_exact TEXT is the twin
# for an expected text.
exact_bytes() { cat "$1" 2>/dev/null; printf '|'; }
crlf_exact() { crlf "$1"; printf '|'; }

# long_dir BASE LENGTH: creates and prints a folder under BASE whose path, as
# Windows programs see it (Z:...), is exactly LENGTH characters long.
long_dir() {
  local dir rest part
  dir=$(readlink -f "$1")
  rest=$(($2 - 2 - ${#dir}))
  while [ "$rest" -gt 0 ]; do
    part=$((rest - 1 > 200 ? 200 : rest - 1))
    [ $((rest - part - 1)) -ne 1 ] || part=$((part - 1))  # never leave a lone separator
    dir="$dir/$(printf "%${part}s" "" | tr ' ' L)"
    rest=$((rest - part - 1))
  done
  mkdir -p "$dir"
  printf '%s\n' "$dir"
}

# expect_eq LABEL ACTUAL EXPECTED
expect_eq() {
  if [ "$2" == "$3" ]; then
    E2E_PASSED=$((E2E_PASSED + 1))
  else
    E2E_FAILED=$((E2E_FAILED + 1))
    printf 'FAIL %s: %s\n  expected: %q\n  actual:   %q\n' "$E2E_NAME" "$1" "$3" "$2"
  fi
}

# expect LABEL COMMAND...: the command succeeds.
expect() {
  local label=$1
  shift
  if "$@"; then
    E2E_PASSED=$((E2E_PASSED + 1))
  else
    E2E_FAILED=$((E2E_FAILED + 1))
    printf 'FAIL %s: %s\n' "$E2E_NAME" "$label"
  fi
}

e2e_finish() {
  printf '%s: %d passed, %d failed\n' "$E2E_NAME" "$E2E_PASSED" "$E2E_FAILED"
  [ "$E2E_FAILED" -eq 0 ]
}
