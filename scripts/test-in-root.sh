#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the README's two commands in a fresh Debian root, as on a new machine: the root holds
# only git, g++ and cmake before scripts/install-deps.sh runs in it. scripts/run.sh first
# (no display there: it saves its screenshots and ends the program), then scripts/test.sh.
#
# Usage (as root): scripts/test-in-root.sh [debian13|debian12]      (default: debian13)
# PINMAN_BUILDS (see scripts/test.sh) names the builds that scripts/test.sh makes there.
#
# The root is made with debootstrap from the Debian archive this machine's apt already uses
# (read from apt, never written here). The bare root is kept, as a tar file, in
# $PINMAN_ROOT_CACHE (default /var/cache/pin-manager-roots) and made anew when it is missing
# or when its package list or archive changes; every run unpacks a fresh copy, clones the
# checkout's committed HEAD into root's home folder (mode 0700, as a new user's is) and runs
# the commands there in private mount and PID namespaces, so that nothing started inside
# outlives the run and the machine's own mounts are never touched. Downloaded packages are
# kept between runs beside the root. A test skipped inside the root fails the run, as do
# skips of GoogleTest other than those that every machine makes (listed below). The run's
# output, its CTest logs and the screenshots are kept in build-root-<release>/.
set -euo pipefail

release=${1:-debian13}
case $release in
debian13) suite=trixie ;;
debian12) suite=bookworm ;;
__inside) ;;
*)
  sed -n '3,/^set -e/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//' >&2
  exit 2
  ;;
esac

# What the root holds before install-deps.sh: a new machine's git, g++ and cmake.
base_packages=git,g++,cmake
# Skips that every machine makes, whatever it has installed (SoftHSM2 counts no tries; the
# English catalogue leaves the interface file's texts as they are).
expected_skips='SoftHsm/Conformance\.(Pin|Puk)LocksOnItsLastTry|Translations\.InterfaceFileIsTranslated'

# Inside the new namespaces: mounts for the root, then the test command in it.
if [ "$release" = __inside ]; then
  root=$2 archives=$3
  mount -n --bind "$root" "$root" # nested `unshare --mount` needs / to be a mount point
  mount -n -t proc proc "$root/proc"
  mount -n --rbind /dev "$root/dev"
  mount -n --make-rslave "$root/dev"
  mount -n --rbind /sys "$root/sys"
  mount -n --make-rslave "$root/sys"
  mount -n -t tmpfs -o mode=755 tmpfs "$root/run"
  mount -n --bind "$archives" "$root/var/cache/apt/archives"
  exec chroot "$root" /usr/bin/env -i HOME=/root USER=root LOGNAME=root SHELL=/bin/bash \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    TERM=dumb CI="${CI:-}" PINMAN_JOBS="${PINMAN_JOBS:-2}" FUZZ_SECONDS="${FUZZ_SECONDS:-20}" \
    PINMAN_BUILDS="${PINMAN_BUILDS:-plain asan fuzz}" \
    /bin/bash -c 'cd /root/pin-manager && scripts/run.sh && scripts/test.sh'
fi

src=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || {
  echo "test-in-root: making and entering a root needs root" >&2
  exit 1
}
export DEBIAN_FRONTEND=noninteractive
for tool in debootstrap:debootstrap unshare:util-linux git:git; do
  command -v "${tool%%:*}" >/dev/null && continue
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${tool#*:}" >/dev/null
done

# The archive and its security updates, as this machine's apt knows them.
archive_uri() {
  apt-get indextargets --format '$(LABEL) $(REPO_URI)' | awk -v label="$1" '$1 == label { print $2; exit }'
}
mirror=$(archive_uri Debian)
security=$(archive_uri Debian-Security)
[ -n "$mirror" ] || {
  echo "test-in-root: this machine's apt names no Debian archive" >&2
  exit 1
}
[ -n "$security" ] || security=${mirror%/debian/}/debian-security/

cache=${PINMAN_ROOT_CACHE:-/var/cache/pin-manager-roots}
mkdir -p "$cache/$suite-archives"
tarball=$cache/$suite.tar
key="$suite $base_packages $mirror $security"
if [ ! -s "$tarball" ] || [ "$(cat "$cache/$suite.key" 2>/dev/null)" != "$key" ]; then
  echo "== Making a $release root ($suite from $mirror with $base_packages)"
  fresh=$(mktemp -d /var/tmp/pinman-debootstrap.XXXXXX)
  trap 'rm -rf "$fresh"' EXIT
  debootstrap --variant=minbase --include="$base_packages" "$suite" "$fresh" "$mirror" \
    >"$cache/$suite.debootstrap.log" 2>&1 || {
    tail -n 30 "$cache/$suite.debootstrap.log"
    echo "test-in-root: debootstrap failed" >&2
    exit 1
  }
  rm -f "$fresh"/etc/apt/sources.list
  cat >"$fresh/etc/apt/sources.list.d/debian.sources" <<EOF
Types: deb
URIs: $mirror
Suites: $suite $suite-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: $security
Suites: $suite-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  chroot "$fresh" apt-get clean
  tar -C "$fresh" -cf "$tarball.new" .
  mv "$tarball.new" "$tarball"
  echo "$key" >"$cache/$suite.key"
  rm -rf "$fresh"
  trap - EXIT
fi

root=$(mktemp -d /var/tmp/pinman-root.XXXXXX)
trap 'rm -rf --one-file-system "$root"' EXIT
tar -C "$root" -xf "$tarball"
chmod 755 "$root" # the root's own /, which every user in it must pass through
cp /etc/resolv.conf "$root/etc/resolv.conf"
git clone -q --no-hardlinks "$src" "$root/root/pin-manager"
chmod 700 "$root/root"
log=$root/root/test.log

echo "== The test command in a fresh $release root: $root/root/pin-manager"
status=0
unshare --mount --pid --fork --kill-child --propagation private -- "$0" __inside "$root" "$cache/$suite-archives" \
  2>&1 | tee "$log" || status=$?

# What the run leaves for a look afterwards: the screenshots of scripts/run.sh, the logs.
kept=$src/build-root-$release
rm -rf "$kept" && mkdir -p "$kept"
cp -a "$log" "$root"/root/pin-manager/build/screenshots "$kept/" 2>/dev/null || true
for build in "$root"/root/pin-manager/build*/; do
  cp "$build/Testing/Temporary/LastTest.log" "$kept/LastTest-$(basename "$build").log" 2>/dev/null || true
done
if [ ! -s "$kept/screenshots/main-window.png" ]; then
  echo "test-in-root: scripts/run.sh left no screenshot of the dialog"
  [ "$status" -ne 0 ] || status=1
fi

# Nothing may be skipped inside the root that runs elsewhere.
skipped=$(grep -E '\((Skipped|Not Run)\)' "$log" | grep -Ev "$expected_skips" | sort -u || true)
gtest_skips=$(cat "$root"/root/pin-manager/build*/Testing/Temporary/LastTest.log 2>/dev/null |
  grep -E '^\[  SKIPPED \] [A-Za-z]' | grep -Ev "$expected_skips" | sort -u || true)
if [ -n "$skipped$gtest_skips" ]; then
  echo "test-in-root: tests were skipped in the $release root:"
  printf '%s\n' "$skipped" "$gtest_skips"
  [ "$status" -ne 0 ] || status=1
fi
if [ "$status" -eq 0 ]; then
  echo "== $release root: all tests passed"
else
  echo "== $release root: FAILED (status $status)"
fi
exit "$status"
