#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a temporary prefix and checks the result: the one folder
# <prefix>/lib/gtkzorvpin with the program and its companion files, its configuration a link
# to the conffile, the demo folder, the relative link <prefix>/bin/gtkzorvpin, the manual
# pages, the menu entry and its icon; then starts the demo program on a private display, in
# English and in German.
# Usage: check-install.sh <build folder> <source folder> <language>...
set -u
build=$1
src=$2
shift 2
languages=("$@")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/prefix"
# shellcheck source=../support/checks.sh
. "$(dirname "$0")/../support/checks.sh"
# shellcheck source=../../scripts/common.sh
. "$(dirname "$0")/../../scripts/common.sh"

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 || {
  cat "$tmp/install.log"
  echo "FAIL: cmake --install failed"
  exit 1
}
lib="$prefix/lib/gtkzorvpin"
demo="$lib/demo"

for f in gtkzorvpin gtkzorvpin.glade simcard-card demo/gtkzorvpin demo/gtkzorvpin.conf \
  demo/libsimcard.so; do
  [ -s "$lib/$f" ] || fail "$lib/$f is missing"
done
# The configuration is a link to the conffile, which names OpenSC's module of this machine's
# architecture.
conffile="$prefix/etc/gtkzorvpin/gtkzorvpin.conf"
[ "$(readlink "$lib/gtkzorvpin.conf")" = "$conffile" ] ||
  fail "$lib/gtkzorvpin.conf is not a link to $conffile"
opensc_module=$(multiarch_libdir)/opensc-pkcs11.so || fail "no multiarch library folder"
grep -qxF "pkcs11=$opensc_module" "$conffile" || fail "$conffile does not name OpenSC's module $opensc_module"
# The demo program is the program itself, hard-linked, with the main folder's files.
[ "$lib/gtkzorvpin" -ef "$demo/gtkzorvpin" ] || fail "$demo/gtkzorvpin is not a hard link of the program"
[ "$demo/gtkzorvpin.glade" -ef "$lib/gtkzorvpin.glade" ] || fail "the demo does not reach the interface file"
[ -x "$prefix/bin/gtkzorvpin-demo" ] || fail "no command $prefix/bin/gtkzorvpin-demo"
for page in gtkzorvpin gtkzorvpin-demo clogcat; do
  man -l "$prefix/share/man/man1/$page.1.gz" >/dev/null 2>"$tmp/man.err" && [ ! -s "$tmp/man.err" ] ||
    fail "the manual page $page(1) does not format cleanly: $(cat "$tmp/man.err")"
done
[ ${#languages[@]} -gt 0 ] || fail "no languages given"
for lang in "${languages[@]}"; do
  [ -s "$lib/gtkzorvpin-lc/$lang/LC_MESSAGES/gtkzorvpin.mo" ] || fail "no $lang catalogue installed"
done
[ -x "$lib/gtkzorvpin" ] || fail "$lib/gtkzorvpin is not executable"
[ -L "$prefix/bin/gtkzorvpin" ] || fail "$prefix/bin/gtkzorvpin is not a symbolic link"
target=$(readlink "$prefix/bin/gtkzorvpin")
[ "$target" = "../lib/gtkzorvpin/gtkzorvpin" ] || fail "the link leads to '$target'"
# The installed program must not look for libraries in the build tree.
if readelf -d "$lib/gtkzorvpin" | grep -E 'RPATH|RUNPATH' | grep -qF "$build"; then
  fail "the installed program keeps the build tree in its library path"
fi
desktop="$prefix/share/applications/gtkzorvpin.desktop"
icon="$prefix/share/icons/hicolor/scalable/apps/gtkzorvpin.svg"
[ -s "$desktop" ] || fail "no menu entry $desktop"
[ -s "$icon" ] || fail "no icon $icon"
if command -v desktop-file-validate >/dev/null; then
  # Hints are advice; errors and warnings are faults.
  desktop-file-validate "$desktop" | grep -v ': hint: ' >"$tmp/validate.txt"
  if [ -s "$tmp/validate.txt" ]; then
    fail "desktop-file-validate finds fault with the menu entry:"
    cat "$tmp/validate.txt"
  fi
else
  echo "desktop-file-validate is not installed: the menu entry is not validated"
fi
grep -qx 'Exec=gtkzorvpin' "$desktop" || fail "the menu entry does not start gtkzorvpin"
if command -v xmllint >/dev/null; then
  xmllint --noout "$icon" || fail "the icon is not well-formed XML"
fi

# The demo card that gtkzorvpin-demo makes on its first run is its user's alone: a folder
# 0700, the state file 0600 (the program itself cannot start here, without a display).
env -u DISPLAY XDG_DATA_HOME="$tmp/data" "$prefix/bin/gtkzorvpin-demo" >/dev/null 2>&1
card="$tmp/data/gtkzorvpin-demo"
[ "$(stat -c %a "$card" 2>/dev/null)" = 700 ] && [ "$(stat -c %a "$card/simcard.state" 2>/dev/null)" = 600 ] ||
  fail "the demo card is not private to its user: $(stat -c '%a %n' "$card" "$card/simcard.state" 2>&1)"

# The demo program, from elsewhere; in English, then in German from the installed catalogue
# (under a real German locale, made for the tests by the build).
run="$src/tests/install/run-installed.sh"
with_xvfb="$src/scripts/with-xvfb.sh"
env LANG=C.UTF-8 LANGUAGE= LC_ALL= LC_MESSAGES= \
  "$with_xvfb" "$run" "$demo/gtkzorvpin" "$demo" "Pin Manager" c "$lib/simcard-card" ||
  fail "the program in English"
env LANG=de_DE.UTF-8 LOCPATH="$build/locales" LANGUAGE= LC_ALL= LC_MESSAGES= \
  "$with_xvfb" "$run" "$demo/gtkzorvpin" "$demo" "PIN-Verwaltung" a "$lib/simcard-card" ||
  fail "the program in German"

echo "install into $prefix: $failures failures"
[ "$failures" -eq 0 ]
