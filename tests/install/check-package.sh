#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package of the build with cpack into a temporary folder and checks its
# name and dependencies against the toolkit the program links (pin-manager on GTK 2,
# pin-manager-gtk3 on GTK 3, each replacing the other), its control data and contents, with
# lintian (no error, no warning), appstreamcli and desktop-file-validate. As root, it then
# installs the package with apt-get (the GTK 3 one must need no GTK 2 or libglade package,
# however far down its dependencies) and, as an ordinary user made for the test, runs
# gtkzorvpin-demo through its window (tests/install/demo_as_user.py); the package's files
# must be unchanged afterwards (dpkg --verify), and an edit of the conffile must survive a
# second dpkg -i. Not root: the checks of the package alone run, and the test is skipped (77).
# Usage: check-package.sh <build folder> <source folder>
set -u
build=$1
src=$2
tmp=$(mktemp -d)
installed=0
user=""
# The package's name follows the toolkit the program links; so do its GTK dependency and the
# package it replaces.
if objdump -p "$build/stage/gtkzorvpin" | grep -q 'NEEDED *libgtk-3'; then
  package=pin-manager-gtk3 other=pin-manager gtk='libgtk-3-0(t64)?' not_gtk=libgtk2
else
  package=pin-manager other=pin-manager-gtk3 gtk='libgtk2\.0-0(t64)?' not_gtk=libgtk-3
fi
cleanup() {
  [ -n "$user" ] && userdel -r "$user" >/dev/null 2>&1
  if [ "$installed" -eq 1 ]; then
    dpkg --purge "$package" >"$tmp/remove.log" 2>&1 || cat "$tmp/remove.log"
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
# shellcheck source=../support/checks.sh
. "$(dirname "$0")/../support/checks.sh"

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 || {
  cat "$tmp/cpack.log"
  echo "FAIL: cpack -G DEB failed"
  exit 1
}
# The version names the release it is built for; the file name holds the package's name,
# version and architecture, so that every toolkit's and release's package has its own.
. /etc/os-release
version=1.0.0~deb${VERSION_ID}u1
deb=$tmp/pkg/${package}_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || {
  ls -la "$tmp/pkg"
  echo "FAIL: cpack made no $(basename "$deb")"
  exit 1
}
echo "package: $(basename "$deb")"

dpkg-deb -I "$deb" >"$tmp/info.txt" || fail "dpkg-deb cannot read the package"
grep -qx " Package: $package" "$tmp/info.txt" || fail "the package is not named $package"
grep -qxF " Version: $version" "$tmp/info.txt" ||
  fail "the version does not name Debian $VERSION_ID: $(grep '^ Version:' "$tmp/info.txt")"
# The other toolkit's package installs the same files.
for field in Conflicts Replaces; do
  grep -qx " $field: $other" "$tmp/info.txt" || fail "$field is not $other: $(grep "^ $field:" "$tmp/info.txt")"
done
if [ "$package" = pin-manager-gtk3 ]; then
  grep -qx " Provides: pin-manager" "$tmp/info.txt" || fail "the GTK 3 package does not provide pin-manager"
fi
depends=$(sed -n 's/^ Depends: //p' "$tmp/info.txt")
echo "Depends: $depends"
# The libraries the program links, as dpkg-shlibdeps names their packages (Debian 13's
# carry "t64"): the toolkit it is built on, GTK 2 or GTK 3, and not the other; libglade only
# where the program is built on it, not on its own layer.
for dep in "$gtk" 'libssl[0-9.]*(t64)?' libc6 'libstdc\+\+6'; do
  grep -Eq "(^|, )${dep}( |,|$)" <<<"$depends" || fail "Depends lacks $dep"
done
grep -q "$not_gtk" <<<"$depends" && fail "the program is built on the other GTK, yet the package depends on $not_gtk"
if objdump -p "$build/stage/gtkzorvpin" | grep -q 'NEEDED *libglade-2'; then
  grep -Eq '(^|, )libglade2-0( |,|$)' <<<"$depends" || fail "Depends lacks libglade2-0"
elif grep -q libglade <<<"$depends"; then
  fail "the program does not link libglade, yet the package depends on it"
fi
grep -Eq '^ Maintainer: Pin Manager developers <[^ >]+@[^ >]+>$' "$tmp/info.txt" || fail "wrong maintainer"
grep -Eq '^ Recommends: opensc-pkcs11, pcscd$' "$tmp/info.txt" || fail "Recommends is not opensc-pkcs11, pcscd"
# Installed-Size as dpkg counts it, from the package alone: each regular file its size in KiB
# rounded up, each folder and link one (never what a link leads to on the build machine).
size=$(dpkg-deb -c "$deb" | awk '$6 != "./" { n += substr($1, 1, 1) == "-" ? int(($3 + 1023) / 1024) : 1 } END { print n }')
grep -qx " Installed-Size: $size" "$tmp/info.txt" ||
  fail "Installed-Size is not $size KiB, the package's own: $(grep '^ Installed-Size:' "$tmp/info.txt")"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles >"$tmp/conffiles" 2>/dev/null
grep -qx /etc/gtkzorvpin/gtkzorvpin.conf "$tmp/conffiles" || fail "/etc/gtkzorvpin/gtkzorvpin.conf is no conffile"
if dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -Eq '^\./(postinst|postrm|triggers)$'; then
  fail "the package has maintainer scripts or triggers (ldconfig for the private module?)"
fi

# lintian: no error and no warning (its overrides ship in the package, with their reasons).
lintian --fail-on error,warning "$deb" >"$tmp/lintian.txt" 2>&1 || {
  fail "lintian finds fault with the package:"
  cat "$tmp/lintian.txt"
}
mkdir -p "$tmp/root"
dpkg-deb -x "$deb" "$tmp/root"
appstreamcli validate --no-net "$tmp/root/usr/share/metainfo/org.example.pinmanager.metainfo.xml" >"$tmp/as.txt" 2>&1 || {
  fail "appstreamcli refuses the metainfo:"
  cat "$tmp/as.txt"
}
desktop-file-validate "$tmp/root/usr/share/applications/gtkzorvpin.desktop" >"$tmp/dfv.txt" 2>&1
if [ -s "$tmp/dfv.txt" ]; then
  fail "desktop-file-validate finds fault with the menu entry:"
  cat "$tmp/dfv.txt"
fi

dpkg-deb -c "$deb" >"$tmp/contents.txt" || fail "dpkg-deb cannot list the package"
for path in ./usr/lib/gtkzorvpin/gtkzorvpin ./usr/lib/gtkzorvpin/gtkzorvpin.glade \
  ./usr/lib/gtkzorvpin/demo/libsimcard.so ./usr/lib/gtkzorvpin/simcard-card ./usr/bin/clogcat \
  ./usr/lib/gtkzorvpin/demo/gtkzorvpin ./usr/lib/gtkzorvpin/gtkzorvpin-lc/de/LC_MESSAGES/gtkzorvpin.mo \
  ./usr/share/man/man1/clogcat.1.gz ./usr/share/doc/$package/copyright \
  ./usr/share/doc/$package/examples/opensc-pin-manager.conf.example ./usr/share/lintian/overrides/$package \
  ./usr/share/applications/gtkzorvpin.desktop ./usr/share/icons/hicolor/scalable/apps/gtkzorvpin.svg; do
  grep -qE " ${path}\$" "$tmp/contents.txt" || fail "the package lacks $path"
done
grep -qE ' ./usr/bin/gtkzorvpin -> ../lib/gtkzorvpin/gtkzorvpin$' "$tmp/contents.txt" ||
  fail "the package lacks the link /usr/bin/gtkzorvpin -> ../lib/gtkzorvpin/gtkzorvpin"
grep -qE ' ./usr/lib/gtkzorvpin/gtkzorvpin.conf -> /etc/gtkzorvpin/gtkzorvpin.conf$' "$tmp/contents.txt" ||
  fail "the configuration is not a link to the conffile"

if [ "$(id -u)" -ne 0 ]; then
  echo "package $(basename "$deb"): $failures failures"
  [ "$failures" -eq 0 ] || exit 1
  echo "SKIP: not root, so the package is not installed and run"
  exit 77
elif dpkg-query -W -f='${Status}' pin-manager pin-manager-gtk3 2>/dev/null | grep -q 'install ok installed'; then
  fail "pin-manager or pin-manager-gtk3 is installed on this machine already: left alone, not installed again"
else
  installed=1
  # As a holder installs it: apt must find every dependency in this release.
  if DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb" >"$tmp/dpkg.log" 2>&1; then
    # The GTK 3 package needs no GTK 2 and no libglade, however far down its dependencies.
    if [ "$package" = pin-manager-gtk3 ]; then
      apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
        --no-enhances "$package" >"$tmp/closure.txt" 2>&1 || fail "apt-cache cannot list what $package needs"
      needed=$(grep -Eo '(^|: )<?(libgtk2\.0|libglade)[^ >]*' "$tmp/closure.txt" | sed -E 's/^(: )?<?//' | sort -u)
      [ -z "$needed" ] || fail "$package needs GTK 2 or libglade through its dependencies: $needed"
      grep -q '^ *Depends: libc6' "$tmp/closure.txt" || fail "apt-cache lists no dependency of $package"
    fi
    # An ordinary user, made for the test, tries the demo card through the window.
    user="pmdemo$$"
    useradd --create-home --home-dir "$tmp/home" --shell /bin/sh "$user" || fail "useradd $user failed"
    chmod 755 "$tmp"
    # The user runs copies of the test's scripts: the checkout may lie in a home folder
    # closed to others.
    share=$tmp/share
    mkdir -p "$share/tests" && cp -a "$src/scripts" "$share/" && cp -a "$src/tests/support" "$src/tests/install" "$share/tests/"
    runuser -u "$user" -- env -i HOME="$tmp/home" PATH=/usr/bin:/bin LANG=C.UTF-8 \
      PYTHONPATH="$share/tests/support" PYTHONDONTWRITEBYTECODE=1 PINMAN_SIMCARD_CARD=/usr/lib/gtkzorvpin/simcard-card \
      "$share/scripts/with-xvfb.sh" \
      dbus-run-session -- /usr/bin/python3 "$share/tests/install/demo_as_user.py" ||
      fail "gtkzorvpin-demo as the user $user"
    [ -s "$tmp/home/.local/share/gtkzorvpin-demo/simcard.state" ] ||
      fail "no demo card in the user's data folder"
    dpkg --verify "$package" >"$tmp/verify.txt" 2>&1
    [ -s "$tmp/verify.txt" ] && fail "the package's files changed: $(cat "$tmp/verify.txt")"

    # A local edit of the conffile survives installing the package again.
    edited=pkcs11=/usr/local/lib/pkcs11/edited-by-the-test.so
    sed -i "s|^pkcs11=.*|$edited|" /etc/gtkzorvpin/gtkzorvpin.conf
    dpkg -i --force-confold "$deb" >"$tmp/dpkg2.log" 2>&1 || { cat "$tmp/dpkg2.log"; fail "the second dpkg -i failed"; }
    grep -qxF "$edited" /etc/gtkzorvpin/gtkzorvpin.conf ||
      fail "the edit of /etc/gtkzorvpin/gtkzorvpin.conf was lost by dpkg -i"
  else
    cat "$tmp/dpkg.log"
    fail "apt-get install of the package failed"
  fi
  if dpkg --purge "$package" >"$tmp/remove.log" 2>&1; then
    installed=0
    [ ! -e /usr/bin/gtkzorvpin ] && [ ! -e /usr/lib/gtkzorvpin ] && [ ! -e /etc/gtkzorvpin ] ||
      fail "dpkg --purge left /usr/bin/gtkzorvpin, /usr/lib/gtkzorvpin or /etc/gtkzorvpin behind"
  else
    cat "$tmp/remove.log"
    fail "dpkg --purge failed"
  fi
fi

echo "package $(basename "$deb"): $failures failures"
[ "$failures" -eq 0 ]
