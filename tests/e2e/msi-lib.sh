# Shared steps of the package tests: msiexec runs, what the package leaves (product, files, entry), and packages built in the test the way the build makes the product's.
# Source it after e2e-lib.sh and e2e_init. Needs VEXA_MSI_ARCH (x86 or x64).

: "${VEXA_MSI_ARCH:?set VEXA_MSI_ARCH to the package architecture (x86 or x64)}"
readonly PACKAGE="$VEXA_BUILD/Vexaclkd.msi"
readonly VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$VEXA_BUILD/CMakeCache.txt")
readonly DESCRIPTION="Steps the CPU clock up or down when the board's tuning buttons are pressed, and logs each frequency."
readonly folder="$WINEPREFIX/drive_c/Program Files/Vexaclkd"
readonly image_path='"C:\Program Files\Vexaclkd\Vexaclkd.exe"'
readonly products_key='Software\Microsoft\Windows\CurrentVersion\Uninstall'   # under HKLM
readonly package_state='SOFTWARE\Vexaclkd\PackageState'   # under HKLM, while a package runs

# msi /i|/x PACKAGE [PROPERTY=VALUE...]: msiexec, silent, with a verbose log in
# the work folder; the exit code goes to MSI_RC.
msi_runs=0
msi() {
  local action=$1 package=$2
  shift 2
  msi_runs=$((msi_runs + 1))
  MSI_RC=0
  wine msiexec "$action" "$(wine_path "$package")" /qn /l*v "$(wine_path "$E2E_WORK/msiexec-$msi_runs.log")" "$@" \
    </dev/null >/dev/null 2>&1 || MSI_RC=$?
}

# The versions of every installed product named Vexaclkd.
installed_versions() {
  probe reg-query-tree "$products_key" 2>/dev/null | awk '
    /^HKEY/ { name = ""; version = "" }
    $1 == "DisplayName" { name = $3 }
    $1 == "DisplayVersion" { version = $3 }
    name == "Vexaclkd" && version != "" { print version; name = "" }' | sort | paste -sd' '
}
files() { ls -A "$folder" 2>/dev/null | paste -sd' '; }
same_file() { cmp -s "$1" "$2"; }
# No state of a package run left behind.
no_package_state() { ! probe reg-exists "$package_state"; }

# What "-i" puts in the entry, beyond the name.
# One request for all of them.
check_entry() {
  local found
  found=$(service_entry)
  expect_eq "$1: image path, quoted" "$(entry_value "$found" ImagePath)" "$image_path"
  expect_eq "$1: display name" "$(entry_value "$found" DisplayName)" "Vexa Tapclock service"
  expect_eq "$1: description" "$(entry_value "$found" Description)" "$DESCRIPTION"
  expect_eq "$1: own process, automatic start, normal errors, local system" \
    "$(entry_value "$found" Type) $(entry_value "$found" Start) $(entry_value "$found" ErrorControl) $(entry_value "$found" ObjectName)" \
    "0x10 0x2 0x1 LocalSystem"
}

# older_build DIR VERSION: a copy of the build's Vexaclkd.exe in DIR whose
# version resource says VERSION.0 (x.y.z), and whose bytes differ.
older_build() {
  mkdir -p "$1"
  cp "$VEXA_BUILD/Vexaclkd.exe" "$1/"
  python3 - "$1/Vexaclkd.exe" "$2" <<'PY'
import struct, sys
path, version = sys.argv[1], sys.argv[2]
major, minor, patch = (int(part) for part in version.split("."))
data = bytearray(open(path, "rb").read())
signature = struct.pack("<I", 0xFEEF04BD)  # VS_FIXEDFILEINFO
at = data.find(signature)
assert at >= 0 and data.find(signature, at + 1) < 0, "one fixed version record"
high, low = (major << 16) | minor, patch << 16
struct.pack_into("<IIII", data, at + 8, high, low, high, low)  # file and product version
open(path, "wb").write(data)
PY
  printf 'older build' >>"$1/Vexaclkd.exe"
}

# build_package WXS VERSION OUT DIR: a package of version VERSION around
# DIR/Vexaclkd.exe, built from WXS as the build builds the product's.
build_package() {
  sh "$VEXA_SOURCE/package/build-msi.sh" "$1" "$3" "$VEXA_MSI_ARCH" "$2" "$4/Vexaclkd.exe" >/dev/null 2>&1 &&
    test -f "$3"
}

# older_package DIR VERSION OUT: the product's package around DIR's build.
older_package() { build_package "$VEXA_SOURCE/package/Vexaclkd.wxs" "$2" "$3" "$1"; }
