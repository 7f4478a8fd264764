#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages needed to build, run and test Pin Manager, on Debian 12 and
# Debian 13. Idempotent: says nothing and changes nothing when everything is present.
# PINMAN_GTK=3 (the build's toolkit, as scripts/run.sh and scripts/test.sh pass it to cmake)
# installs no GTK 2 package at all: the GTK 3 program carries its accessibility bridge, so
# neither GTK 2 nor its accessibility modules are needed (python3-pyatspi still brings
# libatk-adaptor, which holds GTK 2's bridge module but needs no GTK 2). Unset or 2: GTK 2
# and, beside it, GTK 3 for the second program the build lays out.
set -eu
packages=(
  build-essential cmake pkg-config git
  libgtk-3-dev adwaita-icon-theme libssl-dev libp11-kit-dev gettext
  libgtest-dev libbenchmark-dev
  xvfb xdotool x11-utils imagemagick fonts-dejavu-core locales
  dbus dbus-x11 at-spi2-core python3-pyatspi python3-xlib
  softhsm2 opensc p11-kit p11-kit-modules openssl gnutls-bin
  opencryptoki pcscd vsmartcard-vpcd opensc-pkcs11 util-linux iproute2
  clang libclang-rt-dev valgrind gdb debootstrap weston
  dpkg-dev desktop-file-utils lintian appstream librsvg2-common man-db diffoscope-minimal
)
case ${PINMAN_GTK:-2} in
2)
  # GTK 2 and the modules through which its programs reach the accessibility bus.
  packages+=(libgtk2.0-dev libatk-adaptor libgail-common)
  # libglade 2 is gone from Debian 13; there the program builds on its own libglade layer.
  . /etc/os-release
  case ${VERSION_ID:-} in
  12) packages+=(libglade2-dev) ;;
  esac
  ;;
3) ;;
*)
  echo "install-deps: PINMAN_GTK is 2 or 3, not '$PINMAN_GTK'" >&2
  exit 2
  ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "install-deps: installing ${missing[*]}"
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo_cmd apt-get update -qq
$sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
