#!/usr/bin/env bash
# Builds the test guest into DIR: a Debian 12 root with Wine and ctest as a raw ext4 image
# (root.img), and its kernel (vmlinuz) and initrd (initrd.img). Run as root.
# Usage: build.sh DIR. DIR must not exist; the caller moves it into place once this succeeds.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

readonly SUITE=bookworm
# How often a long step shows its latest log line, in seconds.
readonly PROGRESS_INTERVAL_SECONDS=20
# Free room on the root image for what the guest writes outside its job disk (the Wine
# template booted once after the build, the tests' prefixes), in MiB.
readonly IMAGE_SPARE_MIB=4096

dest=${1:?usage: build.sh DIR}
mkdir "$dest"
root=$dest/root
log=$dest/build.log
: >"$log"

# The mirror the host's apt uses, so that the guest comes from where the host's packages do.
policy=$(apt-cache policy 2>/dev/null || true)
mirror=${VEXA_GUEST_MIRROR:-$(awk -v s="$SUITE/main" '$3 == s && $4 == "amd64" { print $2; exit }' <<<"$policy")}
mirror=${mirror:-http://deb.debian.org/debian}
security=$(awk -v s="$SUITE-security/main" '$3 == s && $4 == "amd64" { print $2; exit }' <<<"$policy")

unmount_chroot() {
  local m
  for m in dev/pts sys proc; do
    if mountpoint -q "$root/$m" 2>/dev/null; then umount -l "$root/$m" || true; fi
  done
}
trap unmount_chroot EXIT

# step NAME COMMAND...: runs COMMAND with its output in the build log, shows the log's
# latest line now and then, and on failure the log's end.
step() {
  local name=$1 start pid rc=0 waited=0
  shift
  start=$SECONDS
  echo "  guest build: $name ..."
  echo "=== $name" >>"$log"
  "$@" >>"$log" 2>&1 </dev/null &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    sleep 1
    waited=$((waited + 1))
    if [ $((waited % PROGRESS_INTERVAL_SECONDS)) -eq 0 ]; then
      echo "    ($((SECONDS - start)) s) $(tail -n 1 "$log" | cut -c1-100)"
    fi
  done
  wait "$pid" || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "  guest build: $name failed (exit $rc); the end of $log:" >&2
    tail -n 20 "$log" >&2
    return 1
  fi
  echo "  guest build: $name done in $((SECONDS - start)) s"
}

in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
  DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 "$@"; }

install_packages() {
  local packages
  packages=$(sed 's/#.*//' "$here/packages" | xargs)
  {
    echo "deb $mirror $SUITE main"
    echo "deb $mirror $SUITE-updates main"
    [ -z "$security" ] || echo "deb $security $SUITE-security main"
  } >"$root/etc/apt/sources.list"
  # The root becomes a disk image afterwards: dpkg need not sync each file it writes.
  echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/vexa-unsafe-io"
  # Nothing installed here may start a daemon in the build host's namespace.
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod 755 "$root/usr/sbin/policy-rc.d"
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount -t devpts devpts "$root/dev/pts"
  in_root dpkg --add-architecture i386
  in_root apt-get update
  # shellcheck disable=SC2086
  in_root apt-get install -y --no-install-recommends $packages
  in_root apt-get clean
  unmount_chroot
  rm -rf "$root"/var/lib/apt/lists/* "$root/usr/sbin/policy-rc.d" "$root/etc/dpkg/dpkg.cfg.d/vexa-unsafe-io"
}

finish_root() {
  install -m 755 "$here/init" "$root/sbin/vexa-guest-init"
  echo vexa-guest >"$root/etc/hostname"
  cp "$(ls "$root"/boot/vmlinuz-* | head -n 1)" "$dest/vmlinuz"
  cp "$(ls "$root"/boot/initrd.img-* | head -n 1)" "$dest/initrd.img"
}

make_image() {
  local mib
  mib=$(( $(du -sm "$root" | cut -f1) + IMAGE_SPARE_MIB ))
  truncate -s "${mib}M" "$dest/root.img"
  mkfs.ext4 -q -F -L vexa-guest -d "$root" "$dest/root.img"
  rm -rf --one-file-system "$root"
}

echo "  guest build: Debian $SUITE from $mirror${security:+ (security: $security)}; log: $log"
step "minimal Debian (debootstrap)" debootstrap --variant=minbase --arch=amd64 "$SUITE" "$root" "$mirror"
step "packages: $(sed 's/#.*//' "$here/packages" | xargs)" install_packages
step "init, kernel and initrd" finish_root
step "disk image" make_image
