#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks the result: the one folder
# <prefix>/lib/gtkzorvpin with the program and its companion files, the relative link
# <prefix>/bin/gtkzorvpin, the menu entry and its icon; then starts the program through the
# link on a private display, in English and in German.
# Usage: check-install.sh <build folder> <source folder>
set -u
build=$1
src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/prefix"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 || {
  cat "$tmp/install.log"
  echo "FAIL: cmake --install failed"
  exit 1
}
lib="$prefix/lib/gtkzorvpin"
card_sum=$(sha256sum <"$lib/simcard.state" 2>/dev/null)

for f in gtkzorvpin gtkzorvpin.glade gtkzorvpin.conf libsimcard.so simcard.state \
  certs/signing.der certs/authentication.der; do
  [ -s "$lib/$f" ] || fail "$lib/$f is missing"
done
for lang in de en es fr it; do
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

# Through the link, from elsewhere; in English, then in German from the installed catalogue.
run="$src/tests/install/run-installed.sh"
with_xvfb="$src/scripts/with-xvfb.sh"
env LANG=C.UTF-8 LANGUAGE= LC_ALL= LC_MESSAGES= \
  "$with_xvfb" "$run" "$prefix/bin/gtkzorvpin" "$lib" "Pin Manager" c || fail "the program in English"
env LANG=C.UTF-8 LANGUAGE=de LC_ALL= LC_MESSAGES= \
  "$with_xvfb" "$run" "$prefix/bin/gtkzorvpin" "$lib" "PIN-Verwaltung" a || fail "the program in German"

# The demo card of the install tree is left as it was installed.
[ "$(sha256sum <"$lib/simcard.state")" = "$card_sum" ] || fail "the installed demo card was changed"

echo "install into $prefix: $failures failures"
[ "$failures" -eq 0 ]
