#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages needed to build, run and test Pin Manager, on Debian 12 and
# Debian 13. Idempotent: says nothing and changes nothing when everything is present.
set -eu
packages=(
  build-essential cmake pkg-config git
  libgtk2.0-dev libgtk-3-dev adwaita-icon-theme libssl-dev libp11-kit-dev gettext
  libgtest-dev libbenchmark-dev
  xvfb xdotool x11-utils imagemagick fonts-dejavu-core locales
  dbus dbus-x11 at-spi2-core libatk-adaptor libgail-common python3-pyatspi python3-xlib
  softhsm2 opensc p11-kit p11-kit-modules openssl gnutls-bin
  opencryptoki pcscd vsmartcard-vpcd opensc-pkcs11 util-linux iproute2
  clang libclang-rt-dev valgrind gdb debootstrap
  dpkg-dev desktop-file-utils lintian appstream librsvg2-common man-db diffoscope-minimal
)
# libglade 2 is gone from Debian 13; there the program builds on its own libglade layer.
. /etc/os-release
case ${VERSION_ID:-} in
12) packages+=(libglade2-dev) ;;
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
