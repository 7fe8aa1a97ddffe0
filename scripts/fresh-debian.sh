#!/usr/bin/env bash
# Runs a command of the checkout in a minimal Debian root made for this run, as a new user's
# machine would: nothing installed but debootstrap's minbase, so a set-up step that is
# missing fails here although the developer's own machine passes.
#
#     scripts/fresh-debian.sh [--release 12|13] [COMMAND...]   # default: 12, scripts/test.sh
#
# The root holds a clone of the committed HEAD (commit first), at /src, and the release's
# apt sources as an installed Debian has them (the release, its updates and its security
# archive). The only thing added to it from the host is the host's certificate trust, which
# a machine that reaches Debian and npm through an intercepting proxy needs.
#
# Between runs only two things are kept, under build-fresh/cache/<codename>/: debootstrap's
# base (copied afresh into each root, never installed into) and apt's downloaded archives
# (the .deb files, bind-mounted at the root's /var/cache/apt/archives): a package is never
# installed before the run's own set-up installs it. Each root is removed on every way out.
# The command's output is shown and kept, with debootstrap's, in
# build-fresh/fresh-debian-<codename>.log (BRENHOLD_FRESH_LOG names another).
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
release=12
if [ "${1:-}" = --release ]; then
  release=${2:?usage: fresh-debian.sh [--release 12|13] [COMMAND...]}
  shift 2
fi
case "$release" in
  12) codename=bookworm ;;
  13) codename=trixie ;;
  *) echo "fresh-debian: no such release: $release (12 or 13)" >&2; exit 2 ;;
esac
[ $# -gt 0 ] || set -- scripts/test.sh
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
security_mirror=${DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
cache=$checkout/build-fresh/cache/$codename
mkdir -p "$cache/archives/partial"
log=${BRENHOLD_FRESH_LOG:-$checkout/build-fresh/fresh-debian-$codename.log}
: >"$log"
root=$(mktemp -d /tmp/fresh-debian-root.XXXXXX)
chmod 755 "$root"   # the root of a system: other users (apt's _apt) must reach in

# A removal that follows a live bind mount of /dev, /sys or the archives reaches the host:
# stop what still runs inside (Wine's server, Xvfb), unmount, and remove only when nothing
# is mounted below.
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  set +e
  local pid
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] && kill -9 "$pid" 2>/dev/null
  done
  local mount
  for mount in var/cache/apt/archives dev sys proc; do
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
# The base is made once per release and only ever copied: a finished base has debootstrap's
# mark, so an interrupted one is made again.
if [ ! -f "$cache/base/.complete" ]; then
  echo "fresh-debian: debootstrap --variant=minbase $codename (kept in $cache/base)"
  rm -rf --one-file-system "$cache/base"
  debootstrap --variant=minbase "$codename" "$cache/base" "$mirror" >>"$log" 2>&1 ||
    { tail -n 20 "$log"; exit 1; }
  touch "$cache/base/.complete"
fi
cp -a "$cache/base/." "$root/"
rm -f "$root/.complete"
echo "fresh-debian: Debian $release ($codename) root made in $((SECONDS - started)) s"

# The sources of an installed Debian: debootstrap writes only the release itself.
cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror $codename main
deb $mirror $codename-updates main
deb $security_mirror $codename-security main
EOF

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
mount --bind "$cache/archives" "$root/var/cache/apt/archives"

echo "fresh-debian: running '$*' in the Debian $release root (output in $log)"
status=0
chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  /bin/bash -c 'cd /src && "$@"' fresh-debian "$@" 2>&1 | tee -a "$log" || status=$?
echo "fresh-debian: '$*' on Debian $release ended with status $status after $((SECONDS - started)) s in all;" \
  "the root took $(du -sh --one-file-system "$root" | cut -f1) on disk" | tee -a "$log"
exit "$status"
