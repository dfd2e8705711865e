#!/usr/bin/env bash
# End to end: where "-i" points the service entry, and where the service finds Kpx.dll and writes its log.
set -uo pipefail
. "$(dirname "$0")/e2e-lib.sh"
e2e_init install_paths

windows_dir="$WINEPREFIX/drive_c/windows"

image_path() { entry_value "$(service_entry)" ImagePath; }
quoted_path() { printf '"%s"' "$(wine_path "$1")"; }

# install_from LABEL EXE WORKDIR [HOW]: "-i" from WORKDIR, the executable named
# by its full path (or as HOW says, e.g. a relative one); checks success.
install_from() {
  local label=$1 exe=$2 workdir=$3 how=${4:-$2}
  run_exe "$how" "$workdir" -i
  expect_eq "$label: installed" "$(exact_bytes "$E2E_WORK/stdout")" "$(crlf_exact '\n\nService Installed Sucessfully\n')"
  expect_eq "$label: image path is the executable's own, quoted" "$(image_path)" "$(quoted_path "$exe")"
}

# remove_with LABEL EXE: "-d", and the entry is gone.
remove_with() {
  run_exe "$2" "$E2E_WORK" -d
  expect_eq "$1: removed" "$(exact_bytes "$E2E_WORK/stdout")" "$(crlf_exact '\n\nService UnInstalled Sucessfully\n')"
  expect_eq "$1: no entry left" "$(svc_state)" none
}

# runs_and_logs LABEL DIR: sc start really starts the installed executable: it
# reports running and logs the start frequency beside itself; then stops.
runs_and_logs() {
  local label=$1 dir=$2
  svc_start
  expect "$label: running" svc_wait "$SVC_RUNNING" 15
  expect "$label: start line logged" wait_log_lines "$dir" 1 10
  expect_eq "$label: log beside the executable" "$(exact_bytes "$dir/Satae.dat")" \
    "$(crlf_exact 'Current CPU Freq is 100.000\n')"
  svc_stop
  expect "$label: stopped" svc_wait "$SVC_STOPPED" 15
  expect_eq "$label: clean stop" "$(svc_fields WIN32_EXIT_CODE SERVICE_EXIT_CODE)" 0/0
}

board board 2

# From another working directory, the executable named by a relative path.
app=$(install_dir app)
elsewhere="$E2E_WORK/elsewhere"
mkdir -p "$elsewhere"
crlf 'not ours\n' >"$elsewhere/Satae.dat"
install_from "relative path" "$app/Vexaclkd.exe" "$elsewhere" ../app/Vexaclkd.exe
runs_and_logs "relative path" "$app"
expect_eq "relative path: working directory's log untouched" "$(exact_bytes "$elsewhere/Satae.dat")" \
  "$(crlf_exact 'not ours\n')"
expect "relative path: nothing logged in the service's working directory" test ! -e "$windows_dir/Satae.dat"
remove_with "relative path" "$app/Vexaclkd.exe"

# A folder with spaces, installed from yet another working directory.
spaced="$E2E_WORK/Program Files/Vexa Tap"
mkdir -p "$spaced"
cp "$app/Vexaclkd.exe" "$app/Kpx.dll" "$spaced/"
install_from "spaces" "$spaced/Vexaclkd.exe" "$elsewhere"
runs_and_logs "spaces" "$spaced"
remove_with "spaces" "$spaced/Vexaclkd.exe"

# Kpx.dll in C:\windows (the service's working directory, and on PATH) is
# not loaded; in the system folder it is.
bare=$(install_dir bare none)
# Planted in the prefix: the test's cleanup removes them even if it dies.
e2e_plant "$VEXA_BUILD/sim/board/Kpx.dll" "$windows_dir/Kpx.dll"
install_from "library in the working directory" "$bare/Vexaclkd.exe" "$windows_dir"
svc_start
expect "library in the working directory: stops by itself" svc_wait "$SVC_STOPPED" 15 start
expect_eq "library in the working directory: log" "$(exact_bytes "$bare/Satae.dat")" \
  "$(crlf_exact 'Load kpx.dll failure!!\n')"
expect_eq "library in the working directory: exit codes" \
  "$(svc_fields WIN32_EXIT_CODE SERVICE_EXIT_CODE)" 1066/1
rm -f "$windows_dir/Kpx.dll"
e2e_plant "$VEXA_BUILD/sim/board/Kpx.dll" "$windows_dir/system32/Kpx.dll"
runs_and_logs "library in the system folder" "$bare"
rm -f "$windows_dir/system32/Kpx.dll"
remove_with "library placement" "$bare/Vexaclkd.exe"

# The longest executable path Wine's service manager starts (259 characters)
# still has room for the log beside it.
deep=$(long_dir "$E2E_WORK/deep" $((259 - 13)))
cp "$app/Vexaclkd.exe" "$app/Kpx.dll" "$deep/"
install_from "259-character path" "$deep/Vexaclkd.exe" "$E2E_WORK"
runs_and_logs "259-character path" "$deep"
remove_with "259-character path" "$deep/Vexaclkd.exe"

# The install buffer holds 1024 bytes: the quoted path and its terminator.
fits=$(long_dir "$E2E_WORK/fits" $((1021 - 13)))
cp "$app/Vexaclkd.exe" "$fits/"
install_from "1021-character path" "$fits/Vexaclkd.exe" "$E2E_WORK"
remove_with "1021-character path" "$fits/Vexaclkd.exe"
for length in 1022 1100; do
  long=$(long_dir "$E2E_WORK/long$length" $((length - 13)))
  cp "$app/Vexaclkd.exe" "$long/"
  run_exe "$long/Vexaclkd.exe" "$E2E_WORK" -i
  expect_eq "$length-character path: install refused" "$(exact_bytes "$E2E_WORK/stdout")" \
    "$(crlf_exact '\n\nError Installing Service\n')"
  expect_eq "$length-character path: exit code" "$RUN_RC" 0
  expect_eq "$length-character path: no entry" "$(svc_state)" none
done

e2e_finish
