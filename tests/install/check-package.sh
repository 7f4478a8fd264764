#!/usr/bin/env bash
# Builds the Debian package of the build with cpack into a temporary folder and checks its
# control data and contents. As root, it also installs the package with dpkg, starts
# /usr/bin/gtkzorvpin on a private display and removes the package again.
# Usage: check-package.sh <build folder> <source folder>
set -u
build=$1
src=$2
tmp=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" -eq 1 ]; then
    dpkg --purge pin-manager >"$tmp/remove.log" 2>&1 || cat "$tmp/remove.log"
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 || {
  cat "$tmp/cpack.log"
  echo "FAIL: cpack -G DEB failed"
  exit 1
}
deb=$(ls "$tmp"/pkg/pin-manager_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || {
  ls -la "$tmp/pkg"
  echo "FAIL: cpack made no pin-manager_*.deb"
  exit 1
}
echo "package: $(basename "$deb")"

dpkg-deb -I "$deb" >"$tmp/info.txt" || fail "dpkg-deb cannot read the package"
depends=$(sed -n 's/^ Depends: //p' "$tmp/info.txt")
echo "Depends: $depends"
# The libraries the program links, as dpkg-shlibdeps names their packages.
for dep in 'libgtk2\.0-0' libglade2-0 'libssl[0-9.]*' libc6 'libstdc\+\+6'; do
  grep -Eq "(^|, )${dep}( |,|$)" <<<"$depends" || fail "Depends lacks $dep"
done
grep -q '^ Package: pin-manager$' "$tmp/info.txt" || fail "the package is not named pin-manager"
grep -q '^ Maintainer: Pin Manager project$' "$tmp/info.txt" || fail "wrong maintainer"

dpkg-deb -c "$deb" >"$tmp/contents.txt" || fail "dpkg-deb cannot list the package"
for path in ./usr/lib/gtkzorvpin/gtkzorvpin ./usr/lib/gtkzorvpin/gtkzorvpin.glade \
  ./usr/lib/gtkzorvpin/gtkzorvpin.conf ./usr/lib/gtkzorvpin/libsimcard.so \
  ./usr/lib/gtkzorvpin/simcard.state ./usr/lib/gtkzorvpin/gtkzorvpin-lc/de/LC_MESSAGES/gtkzorvpin.mo \
  ./usr/share/applications/gtkzorvpin.desktop ./usr/share/icons/hicolor/scalable/apps/gtkzorvpin.svg; do
  grep -qE " ${path}\$" "$tmp/contents.txt" || fail "the package lacks $path"
done
grep -qE ' ./usr/bin/gtkzorvpin -> ../lib/gtkzorvpin/gtkzorvpin$' "$tmp/contents.txt" ||
  fail "the package lacks the link /usr/bin/gtkzorvpin -> ../lib/gtkzorvpin/gtkzorvpin"

if [ "$(id -u)" -ne 0 ]; then
  echo "not root: the package is not installed"
elif dpkg-query -W -f='${Status}' pin-manager 2>/dev/null | grep -q 'install ok installed'; then
  echo "pin-manager is installed on this machine already: left alone, not installed again"
else
  installed=1
  if dpkg -i "$deb" >"$tmp/dpkg.log" 2>&1; then
    env LANG=C.UTF-8 LANGUAGE= LC_ALL= LC_MESSAGES= "$src/scripts/with-xvfb.sh" \
      "$src/tests/install/run-installed.sh" /usr/bin/gtkzorvpin /usr/lib/gtkzorvpin \
      "Pin Manager" c || fail "the program installed by the package"
  else
    cat "$tmp/dpkg.log"
    fail "dpkg -i failed"
  fi
  if dpkg --purge pin-manager >"$tmp/remove.log" 2>&1; then
    installed=0
    [ ! -e /usr/bin/gtkzorvpin ] && [ ! -e /usr/lib/gtkzorvpin ] ||
      fail "dpkg --purge left /usr/bin/gtkzorvpin or /usr/lib/gtkzorvpin behind"
  else
    cat "$tmp/remove.log"
    fail "dpkg --purge failed"
  fi
fi

echo "package $(basename "$deb"): $failures failures"
[ "$failures" -eq 0 ]
