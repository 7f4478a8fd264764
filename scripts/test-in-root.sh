#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the README's two commands in a fresh Debian root, as on a new machine: the root holds
# only git, g++ and cmake before scripts/install-deps.sh runs in it. scripts/run.sh first
# (no display there: it saves its screenshots and ends the program), then scripts/test.sh.
#
# Usage (as root): scripts/test-in-root.sh [debian13|debian12|debian13-gtk3]  (default: debian13)
# PINMAN_BUILDS (see scripts/test.sh) names the builds that scripts/test.sh makes there.
# debian13-gtk3 is Debian 13 where GTK 2 is gone: the commands build on GTK 3 (PINMAN_GTK=3),
# and after them dpkg must list no GTK 2 and no libglade package in the root.
#
# The root is made with debootstrap from the Debian archive this machine's apt already uses
# (read from apt, never written here). The bare root is kept, as a tar file, in
# $PINMAN_ROOT_CACHE (default /var/cache/pin-manager-roots) and made anew when it is missing
# or when its package list or archive changes; every run unpacks a fresh copy, clones the
# checkout's committed HEAD into root's home folder (mode 0700, as a new user's is) and runs
# the commands there in private mount and PID namespaces, so that nothing started inside
# outlives the run and the machine's own mounts are never touched. Downloaded packages are
# kept between runs beside the root. Runs side by side take turns at the cache (a lock), so
# that two never write it at once. A test skipped inside the root fails the run, as do
# skips of GoogleTest other than those that every machine makes (listed below). The run's
# output, its CTest logs, the end-to-end tests' artifacts (screenshots, valgrind's logs) and
# the screenshots of scripts/run.sh are kept in build-root-<release>/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"

# What the root holds before install-deps.sh: a new machine's git, g++ and cmake.
base_packages=git,g++,cmake
# The only variables of this environment that reach the commands in the root, each when set
# (scripts/run.sh, scripts/test.sh and install-deps.sh read them).
passed_env=(CI PINMAN_BUILDS PINMAN_JOBS FUZZ_SECONDS PINMAN_GTK)
# Skips that every machine makes, whatever it has installed (SoftHSM2 counts no tries; the
# English catalogue leaves the interface file's texts as they are).
expected_skips='SoftHsm/Conformance\.(Pin|Puk)LocksOnItsLastTry|Translations\.InterfaceFileIsTranslated'
cache=${PINMAN_ROOT_CACHE:-/var/cache/pin-manager-roots}

# pick_release NAME: sets suite, the Debian suite of the root NAME, and absent, the dpkg
# patterns of packages that must not be installed in it after the run; a root that differs
# in more than its suite exports here what it sets for the commands (a name of passed_env),
# and the toolkit is always the root's. Fails for an unknown NAME.
pick_release() {
  unset PINMAN_GTK
  absent=()
  case $1 in
  debian13) suite=trixie ;;
  debian12) suite=bookworm ;;
  debian13-gtk3)
    suite=trixie
    export PINMAN_GTK=3
    absent=('libgtk2.0*' 'libglade*')
    ;;
  *) return 1 ;;
  esac
}

# At the end, also when stopped: the run in the root ends (its namespaces with it), then the
# folders go. The root has mounts while it is in use: a removal never goes past them.
removals=()
child=""
finish() {
  local dir
  set +e # every step, whatever the one before did
  if [ -n "$child" ]; then
    kill -KILL "$child" 2>/dev/null
    wait "$child" 2>/dev/null
  fi
  for dir in "${removals[@]}"; do
    rm -rf --one-file-system "$dir"
  done
}

# The cache's lock, held from lock_cache to unlock_cache (or the end of the script).
lock_cache() {
  mkdir -p "$cache"
  exec 9>"$cache/lock"
  flock -n 9 || {
    echo "== Waiting for another run to finish with $cache"
    flock 9
  }
}
unlock_cache() { exec 9>&-; }

# archive_uri LABEL: the archive (Debian) or its security updates (Debian-Security), as this
# machine's apt knows them.
archive_uri() {
  apt-get indextargets --format '$(LABEL) $(REPO_URI)' | awk -v label="$1" '$1 == label { print $2; exit }'
}

# copy_debs FROM TO: the downloaded packages of FROM that TO lacks, as hard links where both
# lie on one file system.
copy_debs() {
  local deb
  for deb in "$1"/*.deb; do
    [ -e "$deb" ] && [ ! -e "$2/${deb##*/}" ] || continue
    ln "$deb" "$2/" 2>/dev/null || cp -p "$deb" "$2/"
  done
}

# make_bare_root: the cached root of $suite ($tarball), made with debootstrap when it is
# missing or its package list or archive changed. With the cache's lock held.
make_bare_root() {
  local mirror security key fresh
  mirror=$(archive_uri Debian)
  security=$(archive_uri Debian-Security)
  [ -n "$mirror" ] || {
    echo "test-in-root: this machine's apt names no Debian archive" >&2
    exit 1
  }
  [ -n "$security" ] || security=${mirror%/debian/}/debian-security/
  key="$suite $base_packages $mirror $security"
  [ ! -s "$tarball" ] || [ "$(cat "$cache/$suite.key" 2>/dev/null)" != "$key" ] || return 0

  echo "== Making a $suite root from $mirror with $base_packages"
  fresh=$(mktemp -d /var/tmp/pinman-debootstrap.XXXXXX)
  removals+=("$fresh")
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
  rm -rf --one-file-system "$fresh"
}

# make_root: a fresh root ($root) from the cached one, with the packages downloaded before
# and a clone of the committed checkout in root's home folder.
make_root() {
  lock_cache
  make_bare_root
  root=$(mktemp -d /var/tmp/pinman-root.XXXXXX)
  removals+=("$root")
  tar -C "$root" -xf "$tarball"
  mkdir -p "$archives"
  copy_debs "$archives" "$root/var/cache/apt/archives"
  unlock_cache
  chmod 755 "$root" # the root's own /, which every user in it must pass through
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  git clone -q --no-hardlinks "$src" "$root/root/pin-manager"
  chmod 700 "$root/root"
}

# enter_root: the two commands in the root, in private mount and PID namespaces (the
# `inside` command below); their output goes to $log and is shown as it comes. Sets status.
enter_root() {
  local show
  echo "== The test command in a fresh $release root: $root/root/pin-manager"
  status=0
  # A background child and `wait`, so that a stop is taken at once and ends the run inside.
  : >"$log"
  unshare --mount --pid --fork --kill-child --propagation private -- "$0" inside "$root" \
    >"$log" 2>&1 &
  child=$!
  tail -n +1 -f --pid="$child" "$log" &
  show=$!
  wait "$child" || status=$?
  child=""
  wait "$show" || true
}

# inside ROOT, in the new namespaces: mounts for ROOT, then the two commands in it with
# nothing of this environment but passed_env.
inside() {
  local root=$1 name
  mount -n --bind "$root" "$root" # nested `unshare --mount` needs / to be a mount point
  mount -n -t proc proc "$root/proc"
  mount -n --rbind /dev "$root/dev"
  mount -n --make-rslave "$root/dev"
  mount -n --rbind /sys "$root/sys"
  mount -n --make-rslave "$root/sys"
  mount -n -t tmpfs -o mode=755 tmpfs "$root/run"
  local vars=(HOME=/root USER=root LOGNAME=root SHELL=/bin/bash LANG=C.UTF-8 TERM=dumb
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
  for name in "${passed_env[@]}"; do
    [ -z "${!name+set}" ] || vars+=("$name=${!name}")
  done
  exec chroot "$root" /usr/bin/env -i "${vars[@]}" \
    /bin/bash -c 'cd /root/pin-manager && scripts/run.sh && scripts/test.sh'
}

# keep_downloads: the packages that the run downloaded, into the cache for the next runs.
keep_downloads() {
  lock_cache
  copy_debs "$root/var/cache/apt/archives" "$archives"
  unlock_cache
}

# keep_logs: what the run leaves for a look afterwards, in $kept: its output, each build's
# CTest log and end-to-end artifacts, and the screenshots of scripts/run.sh; without the
# dialog's screenshot the run fails.
keep_logs() {
  local build name
  rm -rf "$kept" && mkdir -p "$kept"
  cp -a "$log" "$root"/root/pin-manager/build/screenshots "$kept/" 2>/dev/null || true
  for build in "$root"/root/pin-manager/build*/; do
    name=$(basename "$build")
    cp "$build/Testing/Temporary/LastTest.log" "$kept/LastTest-$name.log" 2>/dev/null || true
    [ ! -d "$build/e2e-artifacts" ] || cp -a "$build/e2e-artifacts" "$kept/e2e-artifacts-$name"
  done
  if [ ! -s "$kept/screenshots/main-window.png" ]; then
    echo "test-in-root: scripts/run.sh left no screenshot of the dialog"
    [ "$status" -ne 0 ] || status=1
  fi
}

# check_absent: none of the absent packages is in the root after the run: dpkg lists none
# but in the state "un" (a name it knows from another package's relations, never installed),
# and its log records no installation of one (which a purge would hide from the list).
check_absent() {
  local listed installed pattern _ action name
  [ ${#absent[@]} -gt 0 ] || return 0
  listed=$(COLUMNS=200 chroot "$root" dpkg -l "${absent[@]}" 2>/dev/null |
    grep -E '^[a-zA-Z][a-zA-Z ]{2} ' | grep -v '^un ' || true)
  installed=""
  while read -r _ _ action name _; do
    [ "$action" = install ] || continue
    for pattern in "${absent[@]}"; do
      # shellcheck disable=SC2053 # a dpkg pattern, matched as a glob
      [[ ${name%%:*} == $pattern ]] && installed+="$name "
    done
  done < <(cat "$root/var/log/dpkg.log" 2>/dev/null)
  if [ -n "$listed$installed" ]; then
    echo "test-in-root: packages that must not be in the $release root (${absent[*]}) are there:"
    [ -z "$listed" ] || echo "$listed"
    [ -z "$installed" ] || echo "installed during the run: $installed"
    [ "$status" -ne 0 ] || status=1
  else
    echo "== $release root: no ${absent[*]} installed"
  fi
}

# check_skips: nothing may be skipped inside the root that runs elsewhere.
check_skips() {
  local skipped gtest_skips
  skipped=$(grep -E '\((Skipped|Not Run)\)' "$log" | grep -Ev "$expected_skips" | sort -u || true)
  gtest_skips=$(cat "$root"/root/pin-manager/build*/Testing/Temporary/LastTest.log 2>/dev/null |
    grep -E '^\[  SKIPPED \] [A-Za-z]' | grep -Ev "$expected_skips" | sort -u || true)
  if [ -n "$skipped$gtest_skips" ]; then
    echo "test-in-root: tests were skipped in the $release root:"
    printf '%s\n' "$skipped" "$gtest_skips"
    [ "$status" -ne 0 ] || status=1
  fi
}

main() {
  release=${1:-debian13}
  pick_release "$release" || usage "$0"
  [ "$(id -u)" -eq 0 ] || {
    echo "test-in-root: making and entering a root needs root" >&2
    exit 1
  }
  export DEBIAN_FRONTEND=noninteractive
  local tool
  for tool in debootstrap:debootstrap unshare:util-linux flock:util-linux git:git; do
    command -v "${tool%%:*}" >/dev/null && continue
    apt-get update -qq && apt-get install -y -qq --no-install-recommends "${tool#*:}" >/dev/null
  done
  src=$(cd "$here/.." && pwd)
  tarball=$cache/$suite.tar
  archives=$cache/$suite-archives
  kept=$src/build-root-$release
  trap finish EXIT
  trap 'exit 143' TERM INT HUP

  make_root
  log=$root/root/test.log
  enter_root
  keep_downloads
  keep_logs
  check_skips
  check_absent
  if [ "$status" -eq 0 ]; then
    echo "== $release root: all tests passed"
  else
    echo "== $release root: FAILED (status $status)"
  fi
  exit "$status"
}

case ${1:-} in
inside) shift; inside "$@" ;;
*) main "$@" ;;
esac
