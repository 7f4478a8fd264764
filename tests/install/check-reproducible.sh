#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package twice from the commit checked out in <source folder>: from two
# clones in folders of other names and lengths, the second made at least a second after the
# first, each with the product alone (no tests, no benchmarks, no second stage) on the given
# toolkit (2 or 3), built and packaged by cpack without SOURCE_DATE_EPOCH, which the build
# then takes from the commit. The two packages must be the same byte for byte, and every
# file in them must carry the commit's time; when they differ, diffoscope names the
# difference.
# Usage: check-reproducible.sh <source folder> <C compiler> <C++ compiler> <GTK version>
# (PINMAN_JOBS: parallel jobs of each build, default 2)
set -u
src=$1
cc=$2
cxx=$3
gtk=$4
jobs=${PINMAN_JOBS:-2}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# shellcheck source=../support/checks.sh
. "$(dirname "$0")/../support/checks.sh"

commit=$(git -C "$src" rev-parse HEAD) && epoch=$(git -C "$src" log -1 --format=%ct) || {
  echo "FAIL: $src is no git checkout"
  exit 1
}

# package FOLDER: clones the commit into FOLDER, builds the product there and packages it
# into FOLDER/pkg; on failure shows the end of FOLDER.log.
package() {
  local dir=$1
  mkdir -p "$(dirname "$dir")"
  {
    git clone -q --no-hardlinks "$src" "$dir" && git -C "$dir" checkout -q --detach "$commit" &&
      env -u SOURCE_DATE_EPOCH cmake -S "$dir" -B "$dir/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DPINMAN_TESTS=OFF -DPINMAN_BENCH=OFF \
        -DPINMAN_EXTRA_STAGES=OFF -DPINMAN_GTK="$gtk" &&
      cmake --build "$dir/build" -j"$jobs" &&
      (cd "$dir/build" && env -u SOURCE_DATE_EPOCH cpack -G DEB -B "$dir/pkg")
  } >"$dir.log" 2>&1 || {
    tail -n 40 "$dir.log"
    echo "FAIL: the package of $dir could not be built"
    exit 1
  }
}

# times_are_the_commits WHAT: every entry of the tar archive on standard input (WHAT) has the
# commit's time.
times_are_the_commits() {
  python3 -c '
import sys, tarfile
epoch = int(sys.argv[1])
for entry in tarfile.open(fileobj=sys.stdin.buffer, mode="r|"):
    if entry.mtime != epoch:
        print("%s has the time %d, not %d" % (entry.name, entry.mtime, epoch))
' "$epoch" >"$tmp/times.txt" || fail "cannot read the $1 archive"
  [ ! -s "$tmp/times.txt" ] || fail "the $1 archive does not carry the commit's time: $(head -n 5 "$tmp/times.txt")"
}

start=$SECONDS
first_made=$(date +%s)
package "$tmp/first/src"
# A second or more later, in a folder of another name and length.
while [ "$(date +%s)" -le "$first_made" ]; do sleep 0.1; done
package "$tmp/the-second-checkout/pin-manager"
echo "two packages of $commit built in $((SECONDS - start)) s"

first=$(echo "$tmp"/first/src/pkg/*.deb)
second=$(echo "$tmp"/the-second-checkout/pin-manager/pkg/*.deb)
[ -f "$first" ] && [ -f "$second" ] || {
  echo "FAIL: cpack made no one package each: $first, $second"
  exit 1
}
if cmp -s "$first" "$second"; then
  echo "the same package twice: $(basename "$first"), $(sha256sum <"$first" | cut -c1-16)..."
else
  fail "the two packages differ; diffoscope says:"
  diffoscope --text - "$first" "$second" 2>&1 | head -n 300
fi
times_are_the_commits data < <(dpkg-deb --fsys-tarfile "$first")
times_are_the_commits control < <(dpkg-deb --ctrl-tarfile "$first")

echo "reproducible package: $failures failures"
[ "$failures" -eq 0 ]
