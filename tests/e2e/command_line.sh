#!/usr/bin/env bash
# End to end: Vexaclkd.exe run from a console with each kind of argument: console bytes, exit code, service entry, log reset.
set -uo pipefail
. "$(dirname "$0")/e2e-lib.sh"
e2e_init command_line

dir=$(install_dir app)
cwd="$E2E_WORK/console"
mkdir -p "$cwd"
# A log in the working directory is not the executable's: no run may touch it.
crlf 'not ours\n' >"$cwd/Satae.dat"

installed='\n\nService Installed Sucessfully\n'
install_error='\n\nError Installing Service\n'
removed='\n\nService UnInstalled Sucessfully\n'
remove_error='\n\nError UnInstalling Service\n'

# In order, each row on the service entry the rows before it left:
# label | arguments (a bash word list) | console text | service state after
rows=(
  # Without the service manager, Wine's dispatcher gives up after about 10 s.
  "no argument|||none"
  "-I upper case|-I||none"
  "/i slash form|/i||none"
  "-x unknown|-x||none"
  "empty argument|\"\"||none"
  "-d when absent|-d|$remove_error|none"
  "-i with extra arguments|-i extra args|$installed|$SVC_STOPPED"
  "-i twice|-i|$install_error|$SVC_STOPPED"
  "-D upper case leaves the entry|-D||$SVC_STOPPED"
  "-d extra arguments ignored|-d -i|$removed|none"
  "-i after removal|-i|$installed|$SVC_STOPPED"
  "-d after install|-d|$removed|none"
)

for row in "${rows[@]}"; do
  IFS='|' read -r label words console state <<<"$row"
  eval "args=($words)"
  crlf 'stale line\n' >"$dir/Satae.dat"
  run_exe "$dir/Vexaclkd.exe" "$cwd" "${args[@]}"
  stdout=$(exact_bytes "$E2E_WORK/stdout")
  expect_eq "$label: console bytes" "$stdout" "$(crlf_exact "$console")"
  expect_eq "$label: exit code" "$RUN_RC" 0
  expect "$label: log beside the executable deleted" test ! -e "$dir/Satae.dat"
  expect_eq "$label: service entry" "$(svc_state)" "$state"
  printf '%-32s args=%-14s rc=%s entry=%-4s stdout=%q\n' "$label" "$words" "$RUN_RC" "$(svc_state)" "${stdout%|}"
done

expect_eq "working directory's file untouched" "$(exact_bytes "$cwd/Satae.dat")" "$(crlf_exact 'not ours\n')"

e2e_finish
