#!/usr/bin/env bash
# Runs a command of the checkout in a minimal Debian 12 root made for this run, as a new
# user's machine would: nothing installed but debootstrap's minbase, so a set-up step that
# is missing fails here although the developer's own machine passes.
#
#     scripts/fresh-debian.sh [COMMAND...]      # default: scripts/test.sh (as root)
#
# The root holds a clone of the committed HEAD (commit first), at /src. The only thing
# added to it from the host is the host's certificate trust, which a machine that reaches
# Debian and npm through an intercepting proxy needs. The root is removed on every way out.
# The command's output is shown and kept, with debootstrap's, in build-fresh/fresh-debian.log.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
[ $# -gt 0 ] || set -- scripts/test.sh
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
mkdir -p build-fresh
log=$checkout/build-fresh/fresh-debian.log
: >"$log"
root=$(mktemp -d /tmp/fresh-debian-root.XXXXXX)
chmod 755 "$root"   # the root of a system: other users (apt's _apt) must reach in

# A removal that follows a live bind mount of /dev or /sys reaches the host: stop what still
# runs inside (Wine's server, Xvfb), unmount, and remove only when nothing is mounted below.
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  set +e
  local pid
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] && kill -9 "$pid" 2>/dev/null
  done
  local mount
  for mount in dev sys proc; do
    umount -R "$root/$mount" 2>/dev/null || umount -Rl "$root/$mount" 2>/dev/null || true
  done
  if grep -q " $root/" /proc/mounts; then
    echo "fresh-debian: still mounted below $root; not removed" >&2
    status=1
  else
    rm -rf --one-file-system "$root"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

command -v debootstrap >/dev/null || {
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
}
started=$SECONDS
echo "fresh-debian: debootstrap --variant=minbase bookworm $root"
debootstrap --variant=minbase bookworm "$root" "$mirror" >>"$log" 2>&1 ||
  { tail -n 20 "$log"; exit 1; }
echo "fresh-debian: root made in $((SECONDS - started)) s"

# The host's trust: its bundle, its local authorities (kept when ca-certificates installs
# and rebuilds the bundle) and npm's cafile setting.
mkdir -p "$root/etc/ssl/certs" "$root/usr/local/share/ca-certificates"
[ -f /etc/ssl/certs/ca-certificates.crt ] && cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/"
cp -r /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/" 2>/dev/null || true
[ -f /etc/npmrc ] && cp /etc/npmrc "$root/etc/npmrc"

git clone -q --no-hardlinks "$checkout" "$root/src"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"

echo "fresh-debian: running '$*' in the root (output in $log)"
status=0
chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  /bin/bash -c 'cd /src && "$@"' fresh-debian "$@" 2>&1 | tee -a "$log" || status=$?
echo "fresh-debian: '$*' ended with status $status after $((SECONDS - started)) s in all;" \
  "the root took $(du -sh --one-file-system "$root" | cut -f1) on disk" | tee -a "$log"
exit "$status"
