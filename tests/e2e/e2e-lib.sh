# Shared steps of the end-to-end tests: the real Vexaclkd.exe under Wine's service
# control manager, in a private prefix with a persistent wineserver, with both
# simulators. Source it, then call e2e_init NAME; e2e_finish reports and exits.
# Needs VEXA_BUILD (the build tree) and VEXA_SOURCE (the source tree).
#
# The test tools (svcprobe, boardtool, clocktool) each run as one serving process
# for the whole test: a check or a wait is a request to it, answered in a few
# milliseconds, where a Wine launch would take a tenth of a second or more.
# Waits happen inside the tool. Under ctest the Wine session belongs to a
# fixture (VEXA_SESSION_KEPT=1): a test leaves it running for the next one.

: "${VEXA_BUILD:?set VEXA_BUILD to the build tree}"
: "${VEXA_SOURCE:?set VEXA_SOURCE to the source tree}"
. "$VEXA_SOURCE/tools/wine-env.sh"
wine_select_build "$VEXA_BUILD" || exit 2

readonly SERVICE=Vexaclkd
readonly SVC_STOPPED=1 SVC_START_PENDING=2 SVC_STOP_PENDING=3 SVC_RUNNING=4
# Where Wine runs several times slower (an emulated guest), the build tree says
# so: the guards below (the tools' channel, the cleanup's removal) are this many
# times longer there.
readonly TIME_SCALE=${VEXA_TIME_SCALE:-1}
# The bounds that are checks (running, stopped, a line on the log within N s) are
# as written natively. Under emulation each kind is stretched by the slowdown
# measured there for it, not by TIME_SCALE: so that a check says as much of the
# shipped exe as natively. Measured by the soak (2-core host, no KVM, guest with
# two processors, beside the rest of the suite) against a native run:
#   start (start-up until running; also start-up failures, and the log's lines,
#   which wait for the clock controller's component to load): median 1436 ms,
#   most 1964 ms, against 246 ms and 328 ms natively: 6 times;
#   stop (the service's own poll and pause, then its status): median 332 ms,
#   most 1589 ms, against 452 ms and 1594 ms natively: no slower; 2 for noise.
if [ "$TIME_SCALE" -gt 1 ]; then
  readonly START_BOUND_SCALE=6 STOP_BOUND_SCALE=2
else
  readonly START_BOUND_SCALE=1 STOP_BOUND_SCALE=1
fi
# There svcprobe's status polls, each a call into the service control manager,
# are as many times further apart, so that they leave the processor to Wine.
export VEXA_POLL_SCALE=$TIME_SCALE
readonly SVC_REMOVE_TIMEOUT_MS=$((15000 * TIME_SCALE))   # a stop takes at most a poll and two steps
E2E_PASSED=0
E2E_FAILED=0
E2E_WORK=''
declare -A E2E_SERVER_PID=()

# e2e_work_dir NAME: the work folder of test NAME.
e2e_work_dir() { printf '%s\n' "$VEXA_BUILD/e2e/$1"; }

# e2e_init NAME [PREFIX]: fresh work folder, the prefix (default: the one ctest
# gives in VEXA_E2E_PREFIX, else the shared end-to-end one) with a persistent
# server, the tools serving, nothing left from before (service entry, what any
# test noted with e2e_on_cleanup), and the clock simulator registered from the
# work folder.
e2e_init() {
  E2E_NAME=$1
  E2E_WORK=$(e2e_work_dir "$E2E_NAME")
  # First of all: killed before its own cleanup, this run must not leave the
  # mark of an earlier run, which would spare it its cleanup test.
  rm -f "$E2E_WORK/cleaned"
  wine_use_prefix "${2:-${VEXA_E2E_PREFIX:-$VEXA_BUILD/wine/e2e}}"
  # What any killed test left in this prefix, whenever its own cleanup runs.
  e2e_remove_leftovers "$VEXA_BUILD"/e2e/*
  rm -rf "$E2E_WORK"
  mkdir -p "$E2E_WORK/sim" "$E2E_WORK/servers"
  printf '%s\n' "$WINEPREFIX" >"$E2E_WORK/prefix"
  trap e2e_cleanup EXIT
  wine_keep_server
  cp "$VEXA_BUILD/tests/bin/clocksim.dll" "$VEXA_BUILD/tests/bin/clocktool.exe" \
     "$VEXA_BUILD/tests/bin/boardtool.exe" "$VEXA_BUILD/tests/bin/svcprobe.exe" "$E2E_WORK/sim/"
  tool_server_start svcprobe
  tool_server_start boardtool
  tool_server_start clocktool
  tool_servers_check
  svc_remove_any
  SIM_DLL="$E2E_WORK/sim/clocksim.dll"
  SIM_DLL_WINDOWS=$(wine_path "$SIM_DLL")
  clock_registered yes
  clock reset
  board reset
}

# e2e_cleanup: the test's own cleanup, on its exit. Once it has removed the
# leftovers and the service entry, it marks the work folder "cleaned": the
# cleanup test after it then launches nothing (it still does all of it for a
# test that was killed).
e2e_cleanup() {
  e2e_remove_leftovers "$E2E_WORK"
  svc_remove_any && [ ! -f "$E2E_WORK/leftovers" ] && : >"$E2E_WORK/cleaned"
  tool_servers_stop
  [ -n "${VEXA_SESSION_KEPT:-}" ] || wine_stop_server
}

# e2e_on_cleanup COMMAND [ARGS...]: a command the test's cleanup runs, for what
# the test makes outside its work folder (a file in the prefix, another
# service, an installed package); run even when the test was killed, by its
# cleanup test or by the next test in the prefix. It must do no harm when
# there is nothing to undo.
e2e_on_cleanup() {
  printf '%q ' "$@" >>"$E2E_WORK/leftovers"
  printf '\n' >>"$E2E_WORK/leftovers"
}

# e2e_plant FILE DEST: copies FILE to DEST outside the work folder (into the
# prefix's Windows folders, say), to be removed by the test's cleanup.
e2e_plant() {
  e2e_on_cleanup rm -f "$2"
  cp "$1" "$2"
}

# e2e_remove_leftovers WORKDIR...: runs, once, the cleanup commands that the
# tests of those work folders noted in this prefix (a test of another prefix
# may be running).
e2e_remove_leftovers() {
  local dir command
  for dir in "$@"; do
    [ -f "$dir/leftovers" ] && [ "$(cat "$dir/prefix" 2>/dev/null)" = "$WINEPREFIX" ] || continue
    while IFS= read -r command; do eval "$command" </dev/null >/dev/null 2>&1; done <"$dir/leftovers"
    rm -f "$dir/leftovers"
  done
}

# The service's entry under HKLM, as svcprobe's reg-query prints it (in reg
# query's layout, one value a line); exit code 1 when there is none. A request
# to the serving tool, not a launch of reg.exe.
readonly SERVICE_KEY="System\\CurrentControlSet\\Services\\$SERVICE"
service_entry() { probe reg-query "$SERVICE_KEY" 2>/dev/null; }
no_service_entry() { ! probe reg-exists "$SERVICE_KEY"; }
# entry_value ENTRY NAME: one value of an entry as service_entry printed it.
entry_value() {
  local line pattern="^ *$2 *REG_[A-Z_]* *(.*)$"
  while IFS= read -r line; do
    [[ $line =~ $pattern ]] && printf '%s\n' "${BASH_REMATCH[1]}"
  done <<<"$1"
}

# Leaves no service entry behind, running or not.
svc_remove_any() { tool_run svcprobe remove "$SERVICE" "$SVC_REMOVE_TIMEOUT_MS" >/dev/null; }

# --- the tools, serving ------------------------------------------------------

# Each serving tool reads requests from a FIFO and writes replies to another.
# The tool holds both FIFOs open read-write, so that it never sees their end
# and never writes to a FIFO nobody reads. This shell opens them only for one
# request at a time, within the request's own redirections: no Wine process
# that the test starts (another tool, the service, a new wineserver) ever
# inherits a descriptor of a tool's channel.
#
# A request is "ID<TAB>WORD<TAB>...", the id this shell's own; the tool answers
# "@@< ID" as it reads it, then the output, then "@@ ID CODE". A reply is taken
# by its id, never by its position. A request is written once and never sent
# again: a tool that does not take it or answer it in time is a fault of the
# test run, reported with what /proc shows of the tool and its FIFOs, and the
# test fails (e2e_finish). The limits below are guards against a hang, not
# waits: a request waits at most 30 s by itself (svcprobe's start and stop).
readonly TOOL_TAKEN_TIMEOUT_S=$((10 * TIME_SCALE))
readonly TOOL_REPLY_TIMEOUT_S=$((60 * TIME_SCALE))
# How often a wait for a reply looks whether the tool still runs.
readonly TOOL_ALIVE_CHECK_S=1
# How long a request waits for its turn to be sent (another job of this test
# sending one to the same tool), in seconds; then it is not sent (code 255).
readonly TOOL_TURN_WAIT_S=0.05
E2E_REQUEST_COUNT=0

# tool_server_start TOOL: TOOL.exe from the work folder serving requests that
# come through two FIFOs; its error output goes to a file that each request
# passes on. A third FIFO holds the turn to send a request: one byte, which a
# sender reads before it writes its request and writes back once it has the
# reply. The tool's process holds that FIFO open too, so that the byte stays
# while no request is going on (a FIFO nobody holds drops what it holds).
tool_server_start() {
  local tool=$1 dir="$E2E_WORK/servers"
  mkfifo "$dir/$tool.in" "$dir/$tool.out" "$dir/$tool.turn"
  : >"$dir/$tool.err"
  # Not a job of this shell, so that a test's plain "wait" never waits for it;
  # exec: its id is the Wine process's own, which the cleanup ends by that id.
  # The FIFOs are opened before the fork, in a subshell this shell waits for:
  # when the first request goes out, the tool already holds them. (Opened by
  # the tool's own process after the fork, they could still be closed then; a
  # request written to a FIFO that nobody else holds is thrown away with it.)
  # The tool's own redirections name its standard input: without one, bash
  # gives a background command /dev/null.
  (
    exec 3<>"$dir/$tool.in" 4<>"$dir/$tool.out" 5<>"$dir/$tool.turn"
    printf t >&5
    (exec "$WINELOADER" "$E2E_WORK/sim/$tool.exe" serve 0<&3 1<&4 3<&- 4<&- 2>>"$dir/$tool.err") &
    echo $! >"$dir/$tool.pid"
  )
  E2E_SERVER_PID[$tool]=$(<"$dir/$tool.pid")
}

# tool_servers_check: each tool answers a request that touches nothing, then
# a first request that reaches what its later ones use (the service control
# manager, the simulators' state).
tool_servers_check() {
  local tool
  for tool in svcprobe boardtool clocktool; do tool_serve "$tool" ping >/dev/null; done
  tool_serve svcprobe query "$SERVICE" >/dev/null
  tool_serve boardtool show >/dev/null
  tool_serve clocktool show >/dev/null
}

# e2e_restart_tools: the tools serving again, after a test ended every process
# of its prefix (wine_stop_server) and began a new session.
e2e_restart_tools() {
  tool_servers_stop
  rm -f "$E2E_WORK"/servers/*.in "$E2E_WORK"/servers/*.out "$E2E_WORK"/servers/*.turn "$E2E_WORK"/servers/*.failed
  tool_server_start svcprobe
  tool_server_start boardtool
  tool_server_start clocktool
  tool_servers_check
}

tool_servers_stop() {
  local tool
  for tool in "${!E2E_SERVER_PID[@]}"; do kill "${E2E_SERVER_PID[$tool]}" 2>/dev/null; done
  E2E_SERVER_PID=()
}

# tool_serve TOOL ARGS...: ARGS run by TOOL's serving process; its output in
# E2E_REPLY (nothing printed), its error output passed on, its exit code. 255
# when the request was not sent: no tool serving (not started, or ended after
# a fault), or the tool busy with a request of another job of this test (a
# background press, say). 254 when it was sent and the tool did not take it or
# answer it in time: a fault, reported, never sent again. Bash builtins only:
# under emulation each process a request started cost about as much as the
# request itself.
tool_serve() {
  local tool=$1 dir="$E2E_WORK/servers"
  shift
  E2E_REPLY=''
  local pid=${E2E_SERVER_PID[$tool]:-}
  [ -n "$pid" ] && [ ! -e "$dir/$tool.failed" ] && kill -0 "$pid" 2>/dev/null || return 255
  E2E_REQUEST_COUNT=$((E2E_REQUEST_COUNT + 1))
  # Unique among this test's shells: a background job counts on from its copy.
  local id="$BASHPID.$E2E_REQUEST_COUNT" code turn request ifs=$IFS
  IFS=$'\t'
  request="$id$IFS$*"
  IFS=$ifs
  {
    IFS= read -r -N 1 -t "$TOOL_TURN_WAIT_S" -u 7 turn || return 255
    # The reply FIFO is open before the request goes out; neither open blocks.
    printf '%s\n' "$request" 1<>"$dir/$tool.in"
    tool_reply "$tool" "$pid" "$id" "$*"
    code=$?
    printf '%s' "$turn" >&7
  } 7<>"$dir/$tool.turn" 8<>"$dir/$tool.out"
  if [ -s "$dir/$tool.err" ]; then
    cat "$dir/$tool.err" >&2
    : >"$dir/$tool.err"
  fi
  return "$code"
}

# tool_reply TOOL PID ID REQUEST: the output of reply ID, read from fd 8, in
# E2E_REPLY; returns its exit code, or reports the fault and returns 254.
tool_reply() {
  local tool=$1 pid=$2 id=$3 request=$4 line='' part taken='' limit=$TOOL_TAKEN_TIMEOUT_S
  local start=$SECONDS
  E2E_REPLY=''
  while :; do
    if IFS= read -r -t "$TOOL_ALIVE_CHECK_S" -u 8 part; then
      line+=$part
      case $line in
        "@@< $id") taken=$SECONDS; limit=$TOOL_REPLY_TIMEOUT_S ;;
        "@@ $id "*) return "${line##* }" ;;
        *) if [ -n "$taken" ]; then
             E2E_REPLY+=$line$'\n'
           else
             tool_fault "$tool" "$pid" "$request" "an unexpected line before the request was taken: $line"
             return 254
           fi ;;
      esac
      line=''
      continue
    fi
    # A timed-out read keeps what it read of a line: the rest follows.
    line+=$part
    if ! kill -0 "$pid" 2>/dev/null; then
      tool_fault "$tool" "$pid" "$request" "the tool ended $((SECONDS - start)) s after the request was sent"
      return 254
    fi
    if [ $((SECONDS - ${taken:-$start})) -ge "$limit" ]; then
      if [ -n "$taken" ]; then
        tool_fault "$tool" "$pid" "$request" "taken, but not answered within $limit s"
      else
        tool_fault "$tool" "$pid" "$request" "not taken within $limit s"
      fi
      return 254
    fi
  done
}

# tool_fault TOOL PID REQUEST WHAT: reports a request the tool did not take or
# answer, with what /proc shows; the test fails, and the tool serves no more.
tool_fault() {
  local tool=$1 pid=$2 dir="$E2E_WORK/servers" report
  report=$(
    printf 'e2e: %s (pid %s), request "%s": %s\n' "$tool" "$pid" "$3" "$4"
    python3 "$VEXA_SOURCE/tests/e2e/channel_report.py" "$pid" "$dir/$tool.in" "$dir/$tool.out" 2>&1
  )
  printf '%s\n' "$report" >&2
  printf '%s\n' "$report" >>"$E2E_WORK/channel-faults"
  : >"$dir/$tool.failed"
  kill -KILL "$pid" 2>/dev/null
}

# tool_run TOOL ARGS...: served when it can be, else a launch of its own; a
# request that a tool took and did not answer is not run again. A test's
# launches in place of a request are listed in its work folder ("launched").
tool_run() {
  tool_ask "$@"
  local code=$?
  # Printed only once the whole reply is out of the FIFO: a reader that stops
  # early (a "| head", say) cannot leave the rest of it for the next request.
  printf '%s' "$E2E_REPLY"
  return "$code"
}

# tool_ask TOOL ARGS...: tool_run with the output in E2E_REPLY, not printed,
# for the helpers below that read a value out of it without a process more.
tool_ask() {
  local tool=$1 code
  shift
  tool_serve "$tool" "$@"
  code=$?
  [ "$code" -eq 255 ] || return "$code"
  [ -z "${E2E_WORK:-}" ] || printf '%s %s\n' "$tool" "$*" >>"$E2E_WORK/launched"
  # The x keeps the output's last line ends, which $(...) drops.
  E2E_REPLY=$(tool_launch "$tool" "$@"; code=$?; printf x; exit "$code")
  code=$?
  E2E_REPLY=${E2E_REPLY%x}
  return "$code"
}

# tool_launch TOOL ARGS...: always a process of its own, e.g. for presses that
# run in the background beside other requests.
tool_launch() {
  local tool=$1 exe="$E2E_WORK/sim/$1.exe"
  shift
  [ -f "$exe" ] || exe="$VEXA_BUILD/tests/bin/$tool.exe"  # before e2e_init, or without it
  wine "$exe" "$@" </dev/null | tr -d '\r'
}

# clock, board, probe ARGS...: clocktool, boardtool or svcprobe with ARGS, their
# output without carriage returns. (This library itself calls tool_run, so
# that a script's own probe does not change it.)
clock() { tool_run clocktool "$@"; }
board() { tool_run boardtool "$@"; }
probe() { tool_run svcprobe "$@"; }
board_launch() { tool_launch boardtool "$@"; }
clock_launch() { tool_launch clocktool "$@"; }

# clock_registered yes|no
clock_registered() {
  local verb=register
  [ "$1" = yes ] || verb=unregister
  clock "$verb" "$SIM_DLL_WINDOWS" >/dev/null
}

# clock_applied: the frequencies the clock was given, in Hz, on one line.
clock_applied() {
  local code hz
  tool_ask clocktool applied
  code=$?
  hz=${E2E_REPLY%$'\n'}
  printf '%s\n' "${hz//$'\n'/ }"
  return "$code"
}

# board_value KEY: one value of "boardtool show"; clock_value KEY likewise.
board_value() { tool_ask boardtool show; reply_values "$1"; }
clock_value() { tool_ask clocktool show; reply_values "$1"; }

# board_values KEY...: several values of one "boardtool show", joined by "/";
# clock_values KEY... likewise.
board_values() { tool_ask boardtool show; reply_values "$@"; }
clock_values() { tool_ask clocktool show; reply_values "$@"; }

# reply_values KEY...: the values of KEY=VALUE lines of E2E_REPLY, joined by
# "/" (the last line of a key counts; a missing key gives an empty value).
reply_values() {
  local line key out='' separator=''
  local -A value=()
  while IFS= read -r line; do
    [[ $line == ?*=* ]] && value[${line%%=*}]=${line#*=}
  done <<<"$E2E_REPLY"
  for key in "$@"; do
    out+="$separator${value[$key]:-}"
    separator=/
  done
  printf '%s\n' "$out"
}

# ms_of SECONDS: whole or decimal seconds in milliseconds.
ms_of() {
  local whole=${1%%.*} fraction=000
  [ "$1" = "$whole" ] || fraction=${1#*.}000
  printf '%d\n' $((${whole:-0} * 1000 + 10#${fraction:0:3}))
}

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

# --- the service -------------------------------------------------------------

# svc_state: the service's current state number, or "none" without an entry.
svc_state() { svc_fields STATE; }

# svc_field NAME: a field of "sc query", e.g. SERVICE_EXIT_CODE (CHECKPOINT
# and WAIT_HINT in hex, as sc shows them).
svc_field() { svc_fields "$1"; }

# svc_fields NAME...: several fields of one query, joined by "/", e.g.
# "svc_fields WIN32_EXIT_CODE SERVICE_EXIT_CODE" gives 0/0. The query is one
# line, the fields named as "sc query" names them (STATE=4 TYPE=16
# WIN32_EXIT_CODE=0 SERVICE_EXIT_CODE=0 CHECKPOINT=0x0 WAIT_HINT=0x0), or
# STATE=none without an entry.
svc_fields() {
  local line name value out='' separator=''
  tool_ask svcprobe query "$SERVICE"
  line=" $E2E_REPLY"
  for name in "$@"; do
    value=''
    [[ $line =~ \ $name=([^ ]*) ]] && value=${BASH_REMATCH[1]}
    out+="$separator$value"
    separator=/
  done
  printf '%s\n' "$out"
}

# svc_wait STATE SECONDS [start|stop]: true once the service is in STATE (a
# number, "none" for no entry, or several joined by commas) within SECONDS,
# stretched under emulation as a start (when STATE includes running, or when
# told) or as a stop.
svc_wait() {
  local kind=${3:-stop} scale
  case ",$1," in *",$SVC_RUNNING,"*) kind=start ;; esac
  scale=$STOP_BOUND_SCALE
  [ "$kind" = stop ] || scale=$START_BOUND_SCALE
  tool_run svcprobe wait "$SERVICE" "$1" "$(($(ms_of "$2") * scale))" >/dev/null
}

# svc_start, svc_stop: the start or the stop control, without waiting.
svc_start() { tool_run svcprobe send-start "$SERVICE" >/dev/null 2>&1; }
svc_stop() { tool_run svcprobe send-stop "$SERVICE" >/dev/null 2>&1; }

# --- the activity log ----------------------------------------------------------

# log_bytes DIR: the activity log beside DIR's executable, as stored.
log_bytes() { cat "$1/Satae.dat" 2>/dev/null || true; }

# wait_log_lines DIR N SECONDS: true once the log holds at least N lines.
wait_log_lines() { tool_run svcprobe wait-log "$(wine_path "$1")\\Satae.dat" "$2" "$(($(ms_of "$3") * START_BOUND_SCALE))" 2>/dev/null; }

# crlf TEXT: TEXT (with \n escapes) as Windows stores it, each line feed as CR LF.
# In the shell: these run thousands of times a run, and each program started
# costs about 15 ms of processor time under emulation.
crlf() {
  local text
  printf -v text '%b' "$1"
  [ -n "$text" ] || return 0
  text=${text//$'\n'/$'\r\n'}
  [[ $text == *$'\n' ]] || text+=$'\r'  # an unfinished last line too
  printf '%s' "$text"
}

# exact_bytes FILE: the file's bytes (nothing if it is missing) and a closing
# "|", so that $(...) keeps trailing line ends; crlf_exact TEXT is the twin
# for an expected text.
exact_bytes() {
  local bytes=''
  { IFS= read -r -d '' bytes <"$1"; } 2>/dev/null
  printf '%s|' "$bytes"
}
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

# --- checks ------------------------------------------------------------------

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
  if [ -s "$E2E_WORK/channel-faults" ]; then
    E2E_FAILED=$((E2E_FAILED + 1))
    printf 'FAIL %s: a test tool did not take or answer a request\n' "$E2E_NAME"
    sed 's/^/  /' "$E2E_WORK/channel-faults"
  fi
  printf '%s: %d passed, %d failed\n' "$E2E_NAME" "$E2E_PASSED" "$E2E_FAILED"
  [ "$E2E_FAILED" -eq 0 ]
}
