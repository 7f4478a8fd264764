#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds Pin Manager and starts it from build/stage/ on the
# simulated demo card. With a display: the real window. Without one: on a private Xvfb,
# saving screenshots of the certificate warning and of the dialog, then ending it.
# PINMAN_GTK=2 or 3 names the toolkit to build on (unset: the build's own default).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
stage="$root/build/stage"
# shellcheck source=common.sh
. "$root/scripts/common.sh"

"$root/scripts/install-deps.sh"
configure "$root" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$root/build" -j"${PINMAN_JOBS:-2}"

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  echo "Starting $stage/gtkzorvpin on $DISPLAY (the demo card: PIN 1234, PUK 12345678)"
  exec "$stage/gtkzorvpin"
fi

shots="$root/build/screenshots"
mkdir -p "$shots"
echo "No display: running Pin Manager on a private Xvfb; screenshots go to $shots"
exec "$root/scripts/with-xvfb.sh" "$root/scripts/demo-screenshots.sh" "$stage/gtkzorvpin" "$shots"
