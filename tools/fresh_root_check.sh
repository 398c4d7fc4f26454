#!/usr/bin/env bash
# Runs the README's two commands as a new user would: in a clean Debian root made with
# debootstrap, on a clone of this repository's committed HEAD in a folder named quelvane, as
# root. Prints how long each took. Not part of make test: it needs root, the network and
# 20 to 40 minutes.
#
# Usage: tools/fresh_root_check.sh DEBIAN_RELEASE [REPOSITORY]
#   DEBIAN_RELEASE  bookworm or trixie (or 12 or 13)
#   REPOSITORY      the git repository whose HEAD is cloned (default: the one holding this script)
# Environment: JOBS (build jobs, default 1), MIRROR (default: the first Debian archive this
#   machine's apt sources name),
#   KEEP_ROOT=1 to keep the root (unmounted) after the run, for a look at what failed.
set -euo pipefail

case "${1:-}" in
  12|bookworm) release=bookworm ;;
  13|trixie) release=trixie ;;
  *) echo "usage: $0 bookworm|trixie|12|13 [REPOSITORY]" >&2; exit 2 ;;
esac
repository=$(cd "${2:-$(dirname "$0")/..}" && git rev-parse --show-toplevel)
commit=$(git -C "$repository" rev-parse HEAD)
jobs=${JOBS:-1}
# The archive this machine already uses, from a one-line or a deb822 sources file.
apt_mirror() {
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
    sed -nE 's/^deb +(\[[^]]*\] +)?([^ ]+) .*/\2/p; s/^URIs: *([^ ]+).*/\1/p' | grep -v security | head -n 1 || true
}
mirror=${MIRROR:-$(apt_mirror)}
[ -n "$mirror" ] || { echo "$0: no Debian archive in this machine's apt sources; set MIRROR" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "$0: debootstrap, mount and chroot need root" >&2; exit 2; }

if ! command -v debootstrap >/dev/null; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
fi

root=$(mktemp -d "${TMPDIR:-/var/tmp}/fresh-root-$release.XXXXXX")
chmod 755 "$root"  # it becomes /, which every user must be able to enter
mounts=()
cleanup() {
  local status=$? i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount -R "${mounts[i]}" 2>/dev/null || umount -Rl "${mounts[i]}" || true
  done
  # Never delete through a mount that is still there: /dev and /sys belong to the host.
  if findmnt -rn -o TARGET | grep -q "^$root/"; then
    echo "cleanup: mounts remain under $root; left in place" >&2
  elif [ "${KEEP_ROOT:-0}" = 1 ]; then
    echo "root kept in $root"
  else
    rm -rf --one-file-system "$root"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

elapsed() { local s=$(( $(date +%s) - $1 )); printf '%dm%02ds' $((s / 60)) $((s % 60)); }

echo "== $release root in $root; cloning $repository at $commit"
start=$(date +%s)
debootstrap --variant=minbase "$release" "$root" "$mirror" >"$root.debootstrap.log" 2>&1 \
  || { tail -20 "$root.debootstrap.log"; rm -f "$root.debootstrap.log"; exit 1; }
rm -f "$root.debootstrap.log"
echo "debootstrap: $(elapsed "$start")"

mount -t proc proc "$root/proc"; mounts+=("$root/proc")
mount -t sysfs sysfs "$root/sys"; mounts+=("$root/sys")
mount --rbind /dev "$root/dev"; mount --make-rslave "$root/dev"; mounts+=("$root/dev")

# The machine's name servers and certificate authorities, so that apt and pip reach their
# registries from inside; the local authorities also survive ca-certificates being installed there.
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
mkdir -p "$root/etc/ssl/certs" "$root/usr/local/share/ca-certificates"
cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/"
if [ -d /usr/local/share/ca-certificates ]; then
  cp -rL /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
fi

git clone -q --no-hardlinks --no-checkout "$repository" "$root/root/quelvane"
git -C "$root/root/quelvane" checkout -q --detach "$commit"

# A clean environment, as a new login would have, plus the machine's certificate settings.
environment=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 TERM=dumb)
for name in SSL_CERT_FILE SSL_CERT_DIR PIP_CERT REQUESTS_CA_BUNDLE CURL_CA_BUNDLE; do
  if [ -n "${!name:-}" ]; then environment+=("$name=${!name}"); fi
done
in_root() { chroot "$root" /usr/bin/env -i "${environment[@]}" bash -c "$1"; }

# The README's commands assume make; everything else they install themselves.
in_root "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq make >/dev/null"

for target in demo test; do
  echo "== make $target"
  start=$(date +%s)
  if in_root "cd /root/quelvane && make $target JOBS=$jobs"; then
    echo "== make $target passed in $(elapsed "$start")"
  else
    echo "== make $target FAILED after $(elapsed "$start")"
    exit 1
  fi
done
echo "== $release: make demo and make test passed"
