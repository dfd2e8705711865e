#!/usr/bin/env bash
# Runs the Wine tests against the 32-bit build inside an emulated x86-64 guest, for hosts
# that run 64-bit code only; exits with the guest's ctest exit code (1: a step failed).
# Extra arguments go to ctest. VEXA_GUEST_FORCE=1 uses the guest on any host;
# VEXA_GUEST_ACCEL=kvm|tcg picks the emulation (default: KVM when it boots the guest, else TCG).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
src=$(pwd -P)
me=test-32bit-in-guest

# Whole guest build (debootstrap and packages), in seconds.
readonly GUEST_BUILD_LIMIT_SECONDS=1500
# From starting the emulator to the guest's init running, in seconds: under software
# emulation (about 20 s when idle), and under KVM (a few seconds), past which this
# host's KVM is taken as unable to run the guest and software emulation takes over.
readonly TCG_BOOT_LIMIT_SECONDS=300
readonly KVM_BOOT_LIMIT_SECONDS=45
# From starting the emulator to the guest powering off, in seconds.
readonly RUN_LIMIT_SECONDS=${VEXA_GUEST_TIME_LIMIT_SECONDS:-3000}
# The guest's tree multiplies every time limit of the tests by this (ctest's, and the
# end-to-end tests' waits): under software emulation Wine runs up to about ten times
# slower than natively.
readonly GUEST_TIME_SCALE=10
# A test without a limit of its own (the unit tests), in seconds.
readonly GUEST_TEST_TIMEOUT_SECONDS=$((600 * GUEST_TIME_SCALE))
# Tests ctest runs at once in the guest, as natively.
readonly GUEST_CTEST_JOBS=${VEXA_GUEST_CTEST_JOBS:-3}
# VEXA_GUEST_PROFILE=1: the guest also records where its processor time goes, per
# program, into $tree/guest-profile.txt (scripts/guest/profile.py).
readonly GUEST_PROFILE=${VEXA_GUEST_PROFILE:-0}
# Free disk needed to build the guest (root tree and its image side by side), in GiB.
readonly GUEST_BUILD_FREE_GIB=6
# Free disk needed for one run (job disk with the Wine prefixes, root overlay), in GiB.
readonly RUN_FREE_GIB=3
# Size of the job disk, in GiB (sparse: only what the run writes takes room).
readonly JOB_DISK_GIB=8
readonly GUEST_MEMORY_MIB=4096
# With no new line from the guest for this long, a line says it is still at work, in seconds.
readonly QUIET_NOTICE_SECONDS=120
# Processors of the guest: one per host processor, at most four. The suite runs three
# tests at once; under software emulation each guest processor is a host thread, and
# more of them than the host has processors wait on each other.
host_cpus=$(nproc)
readonly GUEST_CPUS=${VEXA_GUEST_CPUS:-$((host_cpus < 4 ? host_cpus : 4))}
# One processor model for both emulations. Not -cpu max: with its extras, 32-bit code in
# a TCG guest faults at an iret; not -cpu host: KVM inside a virtual machine may refuse
# some of the host's model-specific registers.
readonly GUEST_CPU=qemu64,+ssse3,+sse4.1,+sse4.2,+popcnt
# The guest kernel's command line. norandmaps: every process maps its shared libraries
# at the same addresses. Software emulation keeps translated code per virtual address,
# so with the addresses randomized each new process (hundreds of Wine processes per
# run) translated Wine's and the C library's code anew and filled the translation
# cache about every 30 s; without, the suite took 372 s instead of 518 s. KVM runs
# code directly and is unaffected. The tests' own programs are the same either way.
readonly GUEST_KERNEL_ARGS="console=ttyS0 quiet panic=1 norandmaps"

fail() { echo "$me: $1 failed: $2" >&2; exit 1; }
say() { echo "==> $*"; }

if [ "${VEXA_GUEST_FORCE:-0}" != 1 ] && scripts/host-runs-32bit.sh; then
  echo "$me: this host runs 32-bit code: the native suite (./test.sh) already tests the 32-bit build."
  exit 0
fi
case "$src" in *[[:space:]]*) fail "setup" "the source path '$src' has white space; the guest's kernel command line cannot carry it" ;; esac

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# --- Packages: the cross toolchain, and the emulator and guest-building tools.
guest_tools=(qemu-system-x86 debootstrap e2fsprogs)
scripts/install-deps.sh "${guest_tools[@]}" || fail "packages" "scripts/install-deps.sh ${guest_tools[*]}"

# --- Emulation: KVM where this host offers it, else software emulation (TCG).
accel=${VEXA_GUEST_ACCEL:-}
accel_fallback=no
if [ -z "$accel" ]; then
  accel=tcg
  if [ -r /dev/kvm ] && [ -w /dev/kvm ] && echo quit | qemu-system-x86_64 -machine none -accel kvm \
      -nodefaults -display none -monitor stdio >/dev/null 2>&1; then
    # Some hosts (a virtual machine with nested KVM) open KVM but never boot a guest.
    accel=kvm accel_fallback=yes
  fi
fi
case "$accel" in kvm | tcg) ;; *) fail "setup" "VEXA_GUEST_ACCEL must be kvm or tcg, not '$accel'" ;; esac

# --- Boot and run. A test run opens the root image copy-on-write (ROOT_SNAPSHOT=on):
# the kept guest never changes; only its one-time preparation writes to it. The run's
# folder ($run) holds the job disk (job.img); everything the guest says arrives in the
# console log.
ROOT_SNAPSHOT=on
# Where the console is kept once the run ends, for the messages of a failed run.
console_kept=build-guest/guest-console.log
qemu_pid=""
stop_qemu() {
  if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then kill "$qemu_pid" 2>/dev/null || true; fi
  if [ -n "$qemu_pid" ]; then wait "$qemu_pid" 2>/dev/null || true; fi
  qemu_pid=""
}

# boot_and_run ACCEL BOOT_LIMIT: runs the guest to its end. Returns 0 when it reported
# the tests' exit code (in exit_line), 3 when its init did not start within BOOT_LIMIT
# seconds or the emulator stopped before (the job disk is then untouched).
boot_and_run() {
  local accel=$1 boot_limit=$2 lines chunk shown=0
  local console=$run/console.log
  : >"$console"
  say "booting the guest ($accel, $GUEST_CPUS CPU(s), $GUEST_MEMORY_MIB MiB; limits: boot $boot_limit s, whole run $RUN_LIMIT_SECONDS s)"
  TMPDIR=$run qemu-system-x86_64 -accel "$accel" -cpu "$GUEST_CPU" -smp "$GUEST_CPUS" -m "$GUEST_MEMORY_MIB" \
    -nodefaults -display none -monitor none -no-reboot \
    -serial "file:$console" \
    -kernel "$guest/vmlinuz" -initrd "$guest/initrd.img" \
    -append "root=/dev/vda rw $GUEST_KERNEL_ARGS init=/sbin/vexa-guest-init vexa_mount=$src" \
    -drive "file=$guest/root.img,format=raw,if=virtio,snapshot=$ROOT_SNAPSHOT" \
    -drive "file=$run/job.img,format=raw,if=virtio" \
    </dev/null >"$run/qemu.log" 2>&1 &
  qemu_pid=$!
  boot_start=$SECONDS booted_at="" exit_line="" last_line_at=$SECONDS
  while :; do
    # Show the complete lines that arrived since last time, after the guest's init started.
    lines=$(wc -l <"$console")
    if [ "$lines" -gt "$shown" ]; then
      chunk=$(sed -n "$((shown + 1)),${lines}p" "$console" | tr -d '\r')
      shown=$lines last_line_at=$SECONDS
      if [ -z "$booted_at" ] && grep -q '^VEXA-GUEST: booted' <<<"$chunk"; then
        booted_at=$SECONDS
        say "guest: up after $((booted_at - boot_start)) s; running its job"
        chunk=$(sed -n '/^VEXA-GUEST: booted/,$p' <<<"$chunk" | tail -n +2)
      fi
      if [ -n "$booted_at" ] && [ -n "$chunk" ]; then
        # Up to the exit line: what the kernel says while powering off is not the tests'.
        sed -e '/^VEXA-GUEST-EXIT /,$d' -e 's/^/guest| /' <<<"$chunk" || true
      fi
      exit_line=$(grep -m1 '^VEXA-GUEST-EXIT [0-9]*$' <<<"$chunk" || true)
      [ -z "$exit_line" ] || break
    fi
    kill -0 "$qemu_pid" 2>/dev/null || break
    if [ -n "$booted_at" ] && [ $((SECONDS - last_line_at)) -ge "$QUIET_NOTICE_SECONDS" ]; then
      say "guest: still running ($((SECONDS - booted_at)) s since boot)"
      last_line_at=$SECONDS
    fi
    if [ -z "$booted_at" ] && [ $((SECONDS - boot_start)) -ge "$boot_limit" ]; then
      echo "$me: the guest did not start its init within $boot_limit s ($accel); the console's end:" >&2
      tr -d '\r' <"$console" | tail -n 20 >&2
      stop_qemu
      return 3
    fi
    if [ $((SECONDS - boot_start)) -ge "$RUN_LIMIT_SECONDS" ]; then
      fail "time limit" "the guest was still running after $RUN_LIMIT_SECONDS s (console: $console_kept)"
    fi
    sleep 1
  done
  finished_at=$SECONDS
  # The guest powers itself off after its last line; give the emulator a moment to exit.
  for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$qemu_pid" 2>/dev/null || break; sleep 1; done
  stop_qemu
  if [ -z "$booted_at" ]; then
    echo "$me: the emulator stopped before the guest's init ran ($accel). Emulator:" >&2
    cat "$run/qemu.log" >&2
    echo "Console's end:" >&2
    tr -d '\r' <"$console" | tail -n 20 >&2
    return 3
  fi
  [ -n "$exit_line" ] || fail "guest run" "the guest stopped before reporting the tests' outcome (console: $console_kept)"
}

# boot_guest: boot_and_run with the chosen emulation, software emulation where KVM does
# not boot the guest; exit_line holds the job's exit line.
boot_guest() {
  local rc=0
  if [ "$accel" = kvm ]; then boot_and_run kvm "$KVM_BOOT_LIMIT_SECONDS" || rc=$?; else boot_and_run tcg "$TCG_BOOT_LIMIT_SECONDS" || rc=$?; fi
  if [ "$rc" -eq 3 ] && [ "$accel_fallback" = yes ]; then
    say "KVM did not boot the guest on this host: software emulation (TCG) instead"
    accel=tcg accel_fallback=no rc=0
    boot_and_run tcg "$TCG_BOOT_LIMIT_SECONDS" || rc=$?
  fi
  [ "$rc" -eq 0 ] || fail "boot" "the guest did not start ($accel)"
}

free_gib() { df -Pk "$1" | awk 'NR == 2 { print int($4 / 1048576) }'; }

# --- The guest: kept in the cache, named after what it contains.
cache=${XDG_CACHE_HOME:-$HOME/.cache}/vexaclkd
mkdir -p "$cache"
key=$(cat scripts/guest/packages scripts/guest/build.sh scripts/guest/init scripts/guest/prepare | sha256sum | cut -c1-16)
guest=$cache/guest-$key
guest_ready() { [ -f "$guest/root.img" ] && [ -f "$guest/vmlinuz" ] && [ -f "$guest/initrd.img" ]; }

exec 9>"$cache/guest.lock"
flock 9
if guest_ready; then
  say "guest: reusing $guest"
else
  # Only this process builds (it holds the lock): what is left of an interrupted
  # build, or a guest built from other guest scripts, goes.
  $SUDO rm -rf --one-file-system "$cache"/guest-*
  have=$(free_gib "$cache")
  [ "$have" -ge "$GUEST_BUILD_FREE_GIB" ] ||
    fail "disk space" "building the guest needs about $GUEST_BUILD_FREE_GIB GiB free in $cache, there are $have GiB"
  say "guest: building $guest (a few minutes, once)"
  build_start=$SECONDS
  partial=$guest.partial.$$
  rc=0
  $SUDO timeout "$GUEST_BUILD_LIMIT_SECONDS" scripts/guest/build.sh "$partial" || rc=$?
  if [ "$rc" -ne 0 ]; then
    if [ -d "$partial" ]; then cp "$partial/build.log" "$cache/build-failed.log" 2>/dev/null || true; fi
    $SUDO rm -rf --one-file-system "$partial"
    [ "$rc" -eq 124 ] && fail "guest build" "time limit of $GUEST_BUILD_LIMIT_SECONDS s reached (log: $cache/build-failed.log)"
    fail "guest build" "see above (log: $cache/build-failed.log)"
  fi
  [ -z "$SUDO" ] || $SUDO chown -R "$(id -u):$(id -g)" "$partial"
  # Ready only once complete: a rename, never a half-built guest under the kept name.
  mv -T "$partial" "$guest"
  say "guest: built in $((SECONDS - build_start)) s, $(du -sh "$guest" | cut -f1) on disk"
fi
# Once per kept guest: the Wine template booted into its root (a few minutes under
# emulation, where a copy of it takes seconds), by a run of scripts/guest/prepare.
if [ ! -f "$guest/prepared" ]; then
  say "guest: preparing its Wine template (once)"
  run=$(mktemp -d "$cache/prepare.XXXXXX")
  # Its console stays in the cache when the preparation fails.
  trap 'stop_qemu; cp "$run/console.log" "$cache/prepare-console.log" 2>/dev/null; rm -rf "$run"' EXIT
  mkdir -p "$run/tree/tools" "$run/tree/scripts/guest"
  cp tools/wine-env.sh "$run/tree/tools/"
  cp scripts/guest/prepare "$run/tree/scripts/guest/"
  echo 'bash scripts/guest/prepare' >"$run/tree/.guest-job"
  truncate -s 1G "$run/job.img"
  mkfs.ext4 -q -F -d "$run/tree" "$run/job.img" || fail "guest preparation" "mkfs.ext4"
  ROOT_SNAPSHOT=off console_kept=$cache/prepare-console.log
  boot_guest
  ROOT_SNAPSHOT=on console_kept=build-guest/guest-console.log
  [ "$exit_line" = "VEXA-GUEST-EXIT 0" ] || fail "guest preparation" "the guest's $exit_line (console: $cache/prepare-console.log)"
  stop_qemu
  rm -rf "$run"
  trap - EXIT
  : >"$guest/prepared"
fi
flock -u 9

have=$(free_gib "$cache")
[ "$have" -ge "$RUN_FREE_GIB" ] ||
  fail "disk space" "a guest run needs about $RUN_FREE_GIB GiB free in $cache, there are $have GiB"

# --- The 32-bit build, on the host: the default preset's configuration in a tree of its
# own, which differs from build/ only in its tests' time limits.
tree=build-guest
say "building the 32-bit tree ($tree/)"
. scripts/choose-build.sh
{ configure_preset default -B "$tree" -DVEXA_TEST_TIME_SCALE="$GUEST_TIME_SCALE" >/dev/null &&
  cmake --build "$tree" -j "$(nproc)"; } || fail "build" "the 32-bit build"

# --- The job disk: sources and build tree at the same absolute path as here, as CMake
# wrote it into the tree, without Wine prefixes and results of earlier runs.
run=$(mktemp -d "$cache/run.XXXXXX")
console=$run/console.log
# The guest's ctest log (every test's output) back where ctest keeps it on a host, read
# off the job disk without mounting it.
# fetch_from_job_disk PATH WHAT: PATH (relative to the sources) out of the job disk.
fetch_from_job_disk() {
  [ -f "$run/job.img" ] || return 0
  mkdir -p "$src/$(dirname "$1")"
  rm -f "$src/$1"
  debugfs -R "dump /$1 $src/$1" "$run/job.img" >/dev/null 2>&1 || true
  [ -s "$src/$1" ] && say "$2: $1"
}
fetch_test_log() {
  fetch_from_job_disk "$tree/Testing/Temporary/LastTest.log" "the guest's test log"
  [ "$GUEST_PROFILE" != 1 ] || fetch_from_job_disk "$tree/guest-profile.txt" "the guest's processor time per program"
}
cleanup() {
  stop_qemu
  [ -f "$console" ] && cp "$console" "$src/$tree/guest-console.log"
  fetch_test_log || true
  rm -rf "$run"
}
trap cleanup EXIT

say "job disk: $src with $tree/"
stage_start=$SECONDS
mkdir "$run/tree"
# The sources and the guest's tree, without the other trees, Wine prefixes, the tests'
# work folders and results of earlier runs.
{ tar -C "$src" --anchored --exclude=./.git --exclude=./build --exclude='./build-*' --exclude=./out \
    -cf - . | tar -C "$run/tree" -xf - &&
  tar -C "$src" --anchored --exclude="./$tree/wine" --exclude="./$tree/wine-win64" --exclude="./$tree/e2e" \
    --exclude="./$tree/Testing" \
    --exclude="./$tree/guest-console.log" --exclude="./$tree/guest-profile.txt" \
    -cf - "./$tree" | tar -C "$run/tree" -xf -; } ||
  fail "job disk" "copying the tree"
{
  echo "# Run inside the guest by its init, in $src."
  echo "# The tree's prefixes beside the template booted into the guest's root when it was"
  echo "# prepared, on one file system: each copy of it hard-links Wine's own files."
  printf 'ln -sfn /var/lib/vexaclkd/wine %q\n' "$src/$tree/wine"
  printf 'ln -sfn /var/lib/vexaclkd/wine-win64 %q\n' "$src/$tree/wine-win64"
  if [ "$GUEST_PROFILE" = 1 ]; then
    printf 'python3 scripts/guest/profile.py %q & profile=$!\n' "$src/$tree/guest-profile.txt"
  fi
  printf 'ctest --test-dir %q -LE static -j %s --output-on-failure --timeout %s' \
    "$src/$tree" "$GUEST_CTEST_JOBS" "$GUEST_TEST_TIMEOUT_SECONDS"
  printf ' %q' "$@"
  echo
  if [ "$GUEST_PROFILE" = 1 ]; then
    echo 'rc=$?; kill $profile; wait $profile; exit $rc'
  fi
} >"$run/tree/.guest-job"
truncate -s "${JOB_DISK_GIB}G" "$run/job.img"
mkfs.ext4 -q -F -L vexa-job -d "$run/tree" "$run/job.img" || fail "job disk" "mkfs.ext4"
rm -rf "$run/tree"
say "job disk: ready in $((SECONDS - stage_start)) s"

boot_guest
rc=${exit_line#VEXA-GUEST-EXIT }
say "guest ($accel): boot $((booted_at - boot_start)) s, tests $((finished_at - booted_at)) s, ctest exit code $rc"
exit "$rc"
