#!/usr/bin/env bash
# End to end: what "-i" puts in the service entry beyond CreateService (the description, the recovery actions), and no entry left when "-i" fails.
set -uo pipefail
. "$(dirname "$0")/e2e-lib.sh"
e2e_init service_entry

readonly DESCRIPTION="Steps the CPU clock up or down when the board's tuning buttons are pressed, and logs each frequency."
readonly DECOY=VexaDecoy
value() { entry_value "$(service_entry)" "$1"; }
# Through the serving svcprobe, not a launch of sc.exe.
remove_decoy() { probe remove "$DECOY" "$SVC_REMOVE_TIMEOUT_MS" >/dev/null 2>&1 || true; }
e2e_on_cleanup probe remove "$DECOY" "$SVC_REMOVE_TIMEOUT_MS"

dir=$(install_dir app)
run_exe "$dir/Vexaclkd.exe" "$dir" -i
expect_eq "-i: console text" "$(exact_bytes "$E2E_WORK/stdout")" "$(crlf_exact '\n\nService Installed Sucessfully\n')"
expect_eq "-i: description" "$(value Description)" "$DESCRIPTION"
# Wine accepts the failure actions and keeps none; the service never writes
# them into the registry itself, behind the service control manager's back.
# On Windows "sc qfailure Vexaclkd" shows them.
expect_eq "-i: no FailureActions value written by hand" "$(value FailureActions)" ""
expect_eq "-i: not started" "$(svc_state)" "$SVC_STOPPED"
run_exe "$dir/Vexaclkd.exe" "$dir" -d
expect "-d: entry gone, description with it" no_service_entry

# "-i" that cannot create the entry: another service already has the display
# name. Nothing of ours is left, and the texts and exit code are as ever.
wine sc create "$DECOY" binpath= 'C:\decoy.exe' displayname= "Vexa Tapclock service" </dev/null >/dev/null 2>&1
run_exe "$dir/Vexaclkd.exe" "$dir" -i
expect_eq "-i refused: console text" "$(exact_bytes "$E2E_WORK/stdout")" "$(crlf_exact '\n\nError Installing Service\n')"
expect_eq "-i refused: exit code" "$RUN_RC" 0
expect_eq "-i refused: no entry" "$(svc_state)" none
expect "-i refused: nothing in the registry" no_service_entry
remove_decoy
run_exe "$dir/Vexaclkd.exe" "$dir" -i
expect_eq "-i once the name is free" "$(value Description)" "$DESCRIPTION"
run_exe "$dir/Vexaclkd.exe" "$dir" -d

e2e_finish
