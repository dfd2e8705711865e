#!/usr/bin/env bash
# End to end: the package keeps the service's settings and running state through an upgrade and a repair, and a failed upgrade or uninstall leaves the entry, its settings and its state as they were.
set -uo pipefail
. "$(dirname "$0")/e2e-lib.sh"
e2e_init msi_upgrade
. "$(dirname "$0")/msi-lib.sh"

readonly OLDER_VERSION=0.9.0
# A package newer than the product's with two more steps, which fail the
# installation when the property FAIL_FOR_TEST says so: "early" once the
# service is stopped and noted, on uninstall also its entry deleted (before
# the file is replaced or removed); "late" after every step that changes the
# service on install (its stop, the file, the entry, its start).
readonly FAILING_VERSION="${VERSION%.*}.$((${VERSION##*.} + 1))"
readonly params='SYSTEM\CurrentControlSet\Services\Vexaclkd\Parameters'   # under HKLM
if [ "$VEXA_MSI_ARCH" = x64 ]; then system_folder=System64Folder; else system_folder=SystemFolder; fi

older="$E2E_WORK/older"
older_build "$older" "$OLDER_VERSION"
expect "older package built" older_package "$older" "$OLDER_VERSION" "$E2E_WORK/older.msi"
sed -e "s|^    <InstallExecuteSequence>|\
    <CustomAction Id=\"SetTestShell\" Property=\"TEST_SHELL\" Value=\"[$system_folder]cmd.exe\"/>\n\
    <CustomAction Id=\"FailEarly\" Property=\"TEST_SHELL\" ExeCommand=\"/c exit 1\"\n\
                  Execute=\"deferred\" Impersonate=\"no\" Return=\"check\"/>\n\
    <CustomAction Id=\"FailLate\" Property=\"TEST_SHELL\" ExeCommand=\"/c exit 1\"\n\
                  Execute=\"deferred\" Impersonate=\"no\" Return=\"check\"/>\n&\n\
      <Custom Action=\"SetTestShell\" Sequence=\"1010\"/>\n\
      <Custom Action=\"FailEarly\" Sequence=\"1960\">FAIL_FOR_TEST=\"early\"</Custom>\n\
      <Custom Action=\"FailLate\" Sequence=\"5920\">FAIL_FOR_TEST=\"late\"</Custom>|" \
  "$VEXA_SOURCE/package/Vexaclkd.wxs" >"$E2E_WORK/failing.wxs"
expect "failing package built" build_package "$E2E_WORK/failing.wxs" "$FAILING_VERSION" "$E2E_WORK/failing.msi" \
  "$VEXA_BUILD"

# Leaves nothing installed, whatever the test got to, even if it is killed.
for package in "$PACKAGE" "$E2E_WORK/older.msi" "$E2E_WORK/failing.msi"; do
  e2e_on_cleanup wine msiexec /x "$(wine_path "$package")" /qn
done
e2e_on_cleanup rm -rf "$folder"
e2e_on_cleanup probe reg-delete "$package_state"

# The administrator's settings and the service's own values, as one line.
settings() {
  local name out=''
  for name in MinFrequencyKHz MaxFrequencyKHz RestoreFrequency LastFrequencyKHz LastFrequencyInUse; do
    out+="$name=$(probe reg-dword "$params" "$name") "
  done
  printf '%s\n' "${out% }"
}
running_settings() {
  printf 'MinFrequencyKHz=99800 MaxFrequencyKHz=100300 RestoreFrequency=1 LastFrequencyKHz=%s LastFrequencyInUse=1\n' "$1"
}

start='Current CPU Freq is 100.000\n'
refused='Press ignored: CPU Freq out of range!!\n'
step() { printf 'Now Current CPU Freq is %s\\n' "$1"; }

# press LINES up|down: one press, applied or refused once the log holds LINES lines.
press() {
  board press "$2" >/dev/null
  expect "$label: press $2 logged" wait_log_lines "$folder" "$1" 10
}

# fresh_log: the clock back at its default, as after a power cycle, so that
# each start shows its restore; no log left from before, so that the lines
# waited for are the next run's.
fresh_log() {
  clock reset
  rm -f "$folder/Satae.dat"
}

# restarted LABEL KHZ: the service runs (again), at its start restored the
# remembered KHZ onto a clock back at its default, and its settings are all there.
restarted() {
  label=$1
  expect "$label: running" svc_wait "$SVC_RUNNING" 15
  expect "$label: restore logged" wait_log_lines "$folder" 2 10
  expect_eq "$label: log" "$(exact_bytes "$folder/Satae.dat")" "$(crlf_exact "$start$(step "$2")")"
  expect_eq "$label: Hz sent" "$(clock_applied)" "${2/./}000"
  expect_eq "$label: settings kept" "$(settings)" "$(running_settings "${2/./}")"
  expect "$label: no package state left" no_package_state
  check_entry "$label"
}

# The older version runs with limits, restore on, and a remembered frequency.
msi /i "$E2E_WORK/older.msi"
expect_eq "older: exit code" "$MSI_RC" 0
cp "$VEXA_BUILD/sim/board/Kpx.dll" "$folder/"
probe reg-set "$params" MinFrequencyKHz dword 99800 >/dev/null
probe reg-set "$params" MaxFrequencyKHz dword 100300 >/dev/null
probe reg-set "$params" RestoreFrequency dword 1 >/dev/null
clock reset
board reset
board board 2 >/dev/null
svc_start
label=older
expect "older: running" svc_wait "$SVC_RUNNING" 15
expect "older: start logged" wait_log_lines "$folder" 2 10   # and "no remembered CPU Freq"
press 3 up
press 4 up
expect_eq "older: settings" "$(settings)" "$(running_settings 100200)"

# The upgrade: the package stops the service itself and waits for it, so that
# the file is replaced at once (no reboot asked for), and starts it again.
fresh_log
msi /i "$PACKAGE"
expect_eq "upgrade: exit code" "$MSI_RC" 0
expect_eq "upgrade: one product, the new version" "$(installed_versions)" "$VERSION"
expect "upgrade: the new executable" same_file "$folder/Vexaclkd.exe" "$VEXA_BUILD/Vexaclkd.exe"
restarted "upgrade" 100.200
# The limits hold: onto the maximum, then beyond it; a 1 MHz step below the minimum.
label=upgraded
press 3 up
press 4 up
board step 1 >/dev/null
press 5 down
expect_eq "upgraded: limits" "$(exact_bytes "$folder/Satae.dat")" \
  "$(crlf_exact "$start$(step 100.200)$(step 100.300)$refused$refused")"
expect_eq "upgraded: Hz sent" "$(clock_applied)" "100200000 100300000"
expect_eq "upgraded: remembered" "$(probe reg-dword "$params" LastFrequencyKHz)" 100300

# A repair keeps them too. (Wine's msiexec answers /f with 69 at once; this is
# the same reinstallation asked for by properties.)
fresh_log
board reset
board board 2 >/dev/null
msi /i "$PACKAGE" REINSTALL=ALL REINSTALLMODE=omus
expect_eq "repair: exit code" "$MSI_RC" 0
restarted "repair" 100.300

# An upgrade that fails after every change to the service (its stop, the
# file, the entry, its start): the entry and its settings as they were, the
# product the one before. Under Wine the rollback deletes the executable
# instead of putting the one before back, as Windows does, unless the
# service's process still held it at that moment: whether the service runs
# again here, and with it the in-use mark, depends on that.
msi /i "$E2E_WORK/failing.msi" FAIL_FOR_TEST=late
expect "failed upgrade: exit code not 0 ($MSI_RC)" test "$MSI_RC" -ne 0
expect_eq "failed upgrade: the product before only" "$(installed_versions)" "$VERSION"
expect_eq "failed upgrade: settings kept" "$(settings | sed 's/ LastFrequencyInUse=.*//')" \
  "MinFrequencyKHz=99800 MaxFrequencyKHz=100300 RestoreFrequency=1 LastFrequencyKHz=100300"
expect "failed upgrade: no package state left" no_package_state
check_entry "failed upgrade"
if [ -f "$folder/Vexaclkd.exe" ]; then left='left in place'; else left='deleted'; fi
echo "msi_upgrade: the failed upgrade's rollback $left the executable; service state $(svc_state)"

# The failing package installed without failing; the service started by the
# test, as the next boot would, in case it could not run after the failure.
fresh_log
msi /i "$E2E_WORK/failing.msi"
expect_eq "upgrade to the failing package: exit code" "$MSI_RC" 0
expect_eq "upgrade to the failing package: one product" "$(installed_versions)" "$FAILING_VERSION"
svc_start
restarted "upgrade to the failing package" 100.300

# An uninstall that fails once the entry (and Parameters with it) is deleted:
# the entry made again with its settings, the service running again.
fresh_log
msi /x "$E2E_WORK/failing.msi" FAIL_FOR_TEST=early
expect "failed uninstall: exit code not 0 ($MSI_RC)" test "$MSI_RC" -ne 0
expect_eq "failed uninstall: the product stays" "$(installed_versions)" "$FAILING_VERSION"
expect "failed uninstall: the executable stays" same_file "$folder/Vexaclkd.exe" "$VEXA_BUILD/Vexaclkd.exe"
restarted "failed uninstall" 100.300

# An uninstall that is not part of an upgrade removes the settings with the entry.
msi /x "$E2E_WORK/failing.msi"
expect_eq "uninstall: exit code" "$MSI_RC" 0
expect "uninstall: no entry" no_service_entry
expect_eq "uninstall: no settings" "$(settings)" \
  "MinFrequencyKHz=- MaxFrequencyKHz=- RestoreFrequency=- LastFrequencyKHz=- LastFrequencyInUse=-"
expect "uninstall: no package state left" no_package_state
expect_eq "uninstall: no product" "$(installed_versions)" ""
expect_eq "uninstall: only the board's library left" "$(files)" "Kpx.dll"

e2e_finish
