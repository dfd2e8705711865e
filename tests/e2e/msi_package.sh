#!/usr/bin/env bash
# End to end: the MSI package under Wine's msiexec: install without Kpx.dll, the entry as "-i" makes it, a start with the simulators, upgrade of a stopped service, no downgrade, uninstall, a failed install rolled back.
set -uo pipefail
. "$(dirname "$0")/e2e-lib.sh"
e2e_init msi_package

. "$(dirname "$0")/msi-lib.sh"
readonly OLDER_VERSION=0.9.0
readonly DECOY=VexaDecoy

# An older package of the same family around a build marked as older, made
# the way the build makes the product's.
older="$E2E_WORK/older"
older_build "$older" "$OLDER_VERSION"
expect "older package built" older_package "$older" "$OLDER_VERSION" "$E2E_WORK/older.msi"

# Leaves nothing installed, whatever the test got to, even if it is killed.
e2e_on_cleanup wine msiexec /x "$(wine_path "$PACKAGE")" /qn
e2e_on_cleanup wine msiexec /x "$(wine_path "$E2E_WORK/older.msi")" /qn
e2e_on_cleanup probe remove "$DECOY" "$SVC_REMOVE_TIMEOUT_MS"
e2e_on_cleanup rm -rf "$folder"

# halt: the service stopped and its process ended. The package stops a
# running service itself and waits for its process (e2e_msi_upgrade shows
# that); here the service is stopped first, so that an upgrade or uninstall
# of a stopped service is seen to leave it stopped.
halt() { probe halt "$SERVICE" >/dev/null 2>&1; }

# start_running LABEL: Kpx.dll is in place; the service starts and logs.
start_running() {
  board reset
  board board 2
  svc_start
  expect "$1: running" svc_wait "$SVC_RUNNING" 15
  expect "$1: start line" wait_log_lines "$folder" 1 10
}

# Install on a machine without Kpx.dll: nothing fails, nothing is started.
msi /i "$PACKAGE"
expect_eq "install: exit code" "$MSI_RC" 0
expect_eq "install: files" "$(files)" "Vexaclkd.exe"
expect "install: the build's executable" same_file "$folder/Vexaclkd.exe" "$VEXA_BUILD/Vexaclkd.exe"
check_entry "install"
expect_eq "install: not started" "$(svc_fields STATE WIN32_EXIT_CODE)" "$SVC_STOPPED/1077"
expect_eq "install: one product" "$(installed_versions)" "$VERSION"

# Field by field what "-i" makes, run by hand on the installed executable.
by_package=$(service_entry)
run_exe "$folder/Vexaclkd.exe" "$E2E_WORK" -d
run_exe "$folder/Vexaclkd.exe" "$E2E_WORK" -i
expect_eq "install: the package's entry is the one -i makes" "$(service_entry)" "$by_package"

# As at the next boot, still without the library: it stops with code 1 and
# leaves its log, which the uninstall still removes with the folder.
svc_start
expect "no library: stops" svc_wait "$SVC_STOPPED" 15 start
expect_eq "no library: exit codes" "$(svc_fields WIN32_EXIT_CODE SERVICE_EXIT_CODE)" 1066/1
expect_eq "no library: log" "$(exact_bytes "$folder/Satae.dat")" "$(crlf_exact 'Load kpx.dll failure!!\n')"
expect "no library: process ended" halt
msi /x "$PACKAGE"
expect_eq "uninstall: exit code" "$MSI_RC" 0
expect "uninstall: no entry" no_service_entry
expect "uninstall: no folder" test ! -e "$folder"
expect_eq "uninstall: no product" "$(installed_versions)" ""

# Upgrade in place of an older version that ran with the board's library.
msi /i "$E2E_WORK/older.msi"
expect_eq "older: exit code" "$MSI_RC" 0
expect "older: its executable" same_file "$folder/Vexaclkd.exe" "$older/Vexaclkd.exe"
cp "$VEXA_BUILD/sim/board/Kpx.dll" "$folder/"
start_running "older"
board press up
expect "older: press applied" wait_log_lines "$folder" 2 10
expect "older: halted" halt
expect_eq "older: stopped cleanly, the press applied, none pending" \
  "$(svc_fields WIN32_EXIT_CODE SERVICE_EXIT_CODE) $(clock_applied) $(board_values latchesAcked pending)" \
  "0/0 100100000 1/0"
msi /i "$PACKAGE"
expect_eq "upgrade: exit code" "$MSI_RC" 0
expect_eq "upgrade: one product, the new version" "$(installed_versions)" "$VERSION"
expect "upgrade: the new executable" same_file "$folder/Vexaclkd.exe" "$VEXA_BUILD/Vexaclkd.exe"
expect_eq "upgrade: the board's library stays" "$(files)" "Kpx.dll Vexaclkd.exe"
check_entry "upgrade"
expect_eq "upgrade: not started" "$(svc_state)" "$SVC_STOPPED"
start_running "upgraded"
expect_eq "upgraded: log" "$(exact_bytes "$folder/Satae.dat")" "$(crlf_exact 'Current CPU Freq is 100.100\n')"
expect "upgraded: halted" halt

# No downgrade: the older package refuses and changes nothing.
before=$(service_entry)
msi /i "$E2E_WORK/older.msi"
expect "downgrade: refused" test "$MSI_RC" -ne 0
expect_eq "downgrade: product kept" "$(installed_versions)" "$VERSION"
expect "downgrade: executable kept" same_file "$folder/Vexaclkd.exe" "$VEXA_BUILD/Vexaclkd.exe"
expect_eq "downgrade: entry kept" "$(service_entry)" "$before"

# Uninstall leaves the board's library, which is not the package's, and
# everything else goes.
msi /x "$PACKAGE"
expect_eq "uninstall with the library: exit code" "$MSI_RC" 0
expect "uninstall with the library: no entry" no_service_entry
expect_eq "uninstall with the library: only the library left" "$(files)" "Kpx.dll"
expect_eq "uninstall with the library: no product" "$(installed_versions)" ""
rm -rf "$folder"

# An entry made by hand elsewhere is replaced by the package's own.
handmade=$(install_dir handmade)
run_exe "$handmade/Vexaclkd.exe" "$handmade" -i
msi /i "$PACKAGE"
expect_eq "over a hand-made entry: exit code" "$MSI_RC" 0
check_entry "over a hand-made entry"
msi /x "$PACKAGE"
expect "over a hand-made entry: no entry after uninstall" no_service_entry

# An install whose "-i" fails (another service holds the display name) fails
# as a whole and is rolled back. Windows Installer exits with 1603 here, Wine's
# msiexec with 1627.
wine sc create "$DECOY" binpath= 'C:\decoy.exe' displayname= "Vexa Tapclock service" </dev/null >/dev/null 2>&1
msi /i "$PACKAGE"
expect "failed install: exit code not 0 ($MSI_RC)" test "$MSI_RC" -ne 0
expect "failed install: no entry" no_service_entry
expect "failed install: no folder" test ! -e "$folder"
expect_eq "failed install: no product" "$(installed_versions)" ""
probe remove "$DECOY" "$SVC_REMOVE_TIMEOUT_MS" >/dev/null 2>&1

e2e_finish
