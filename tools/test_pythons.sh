#!/usr/bin/env bash
# make test-pythons: `make test` on the Pythons this machine lacks (3.14 and 3.15),
# inside a root of Debian's development suite, which carries them. The root is made
# with debootstrap under build/ the first time and kept for the next run; the
# worktree is bind-mounted into it at /velarix, and each version gets its venv and
# build folders inside the root (/opt/velarix), so none of them mixes with the
# machine's own. Needs root (debootstrap, mount, chroot).
#
# Environment: PYROOT (the root's folder, default build/pyroot), ROOT_PYTHONS
# (default "3.14 3.15"), ROOT_TARGET (the make target run there, default test;
# bench for the benchmarks), PYTEST_ARGS (passed on to make test).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
root=$(realpath -m "${PYROOT:-build/pyroot}")
pythons=${ROOT_PYTHONS:-3.14 3.15}
target=${ROOT_TARGET:-test}
suite=sid
mirror=http://deb.debian.org/debian
# iproute2: the LSL tests' network namespaces (`ip`); the rest is what builds and
# tests velarix. The Makefile's system-tools installs Graphviz, Chromium and
# Mosquitto inside the root as it does on the machine.
packages=g++,make,ca-certificates,iproute2
for version in $pythons; do
  packages+=",python$version-dev,python$version-venv"
done

if [ "$(id -u)" != 0 ]; then
  echo "error: make test-pythons makes and enters a chroot: run it as root" >&2
  exit 1
fi

# Everything mounted below `dir`, deepest first.
mounts_under() {
  awk -v dir="$1" '$2 == dir || index($2, dir "/") == 1 { print $2 }' /proc/mounts | sort -r
}

unmount_all() {
  local point
  for point in $(mounts_under "$root"); do
    umount "$point" 2>/dev/null || umount -l "$point"
  done
}

# A root left half-made (or still mounted) by a run that was stopped is never
# deleted while something is mounted in it: that would reach the machine's /dev.
remove_root() {
  unmount_all
  if [ -n "$(mounts_under "$1")" ]; then
    echo "error: $1 still has mounts; not deleting it" >&2
    exit 1
  fi
  rm -rf --one-file-system "$1"
}

make_root() {
  if ! command -v debootstrap >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
  fi
  local fresh="$root.new"
  [ -e "$fresh" ] && remove_root "$fresh"
  mkdir -p "$(dirname "$root")"
  echo "making the $suite root in $root (debootstrap: $packages)"
  debootstrap --variant=minbase --include="$packages" "$suite" "$fresh" "$mirror" >"$fresh.log" 2>&1 \
    || { tail -n 20 "$fresh.log" >&2; exit 1; }
  # The suite's index is a snapshot whose Release file has expired.
  echo 'Acquire::Check-Valid-Until "false";' >"$fresh/etc/apt/apt.conf.d/99velarix"
  mkdir -p "$fresh/velarix"
  mv "$fresh.log" "$fresh/debootstrap.log"
  mv "$fresh" "$root"
}

if [ ! -d "$root/velarix" ]; then
  [ -e "$root" ] && remove_root "$root"
  make_root
fi

# The machine's certificates (a proxy's own among them) and name servers.
cert=${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}
[ -f "$cert" ] && install -D -m 644 "$cert" "$root/etc/ssl/certs/ca-certificates.crt"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"

# A version the root lacks (ROOT_PYTHONS=3.13 compares like with like) comes from
# the suite too.
for version in $pythons; do
  if [ ! -x "$root/usr/bin/python$version" ]; then
    chroot "$root" apt-get update -qq
    chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "python$version-dev" "python$version-venv"
  fi
done

trap unmount_all EXIT
# /dev/shm for the shared-memory rings, /dev/pts for the terminal tests' ptys,
# /proc for the process tests (a bind of /dev alone leaves its submounts behind).
mount --bind /proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/shm "$root/dev/shm"
mount --bind /dev/pts "$root/dev/pts"
mount --bind "$repo" "$root/velarix"

status=0
for version in $pythons; do
  echo "=== make $target on Python $version (in $root)"
  place=/opt/velarix/$version
  # A clean environment: the machine's own Python settings mean nothing in there.
  if ! chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 ${TERM:+TERM=$TERM} ${CI:+CI=$CI} \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      make -C /velarix "$target" PYTHON=/usr/bin/python$version \
      VENV=$place/venv BUILD=$place/wheel DOCS_BUILD=$place/docs PYTEST_ARGS="${PYTEST_ARGS:-}"; then
    echo "=== Python $version: make $target failed" >&2
    status=1
  fi
done
exit $status
