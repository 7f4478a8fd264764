#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Drives Pin Manager on the current (private) display: waits for the certificate warning
# and the main dialog, saves a screenshot of each, answers the warning and presses Cancel.
# Usage: demo-screenshots.sh PROGRAM OUTPUT_FOLDER
set -euo pipefail
program=$1
out=$2
mkdir -p "$out"
log="$out/gtkzorvpin.stderr"

"$program" 2>"$log" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT

# Waits up to 20 s for a visible window of the program with exactly this title ("" for a
# message box, which has none). xdotool also lists the root window and windows without a
# name for any pattern, and GTK's tiny leader window: each candidate is checked.
root=$(($(xwininfo -root | sed -n 's/.*Window id: \(0x[0-9a-f]*\).*/\1/p')))
wait_window() {
  local title=$1 wid name size
  for _ in $(seq 1 100); do
    for wid in $(xdotool search --onlyvisible --pid "$pid" "" 2>/dev/null); do
      [ "$wid" = "$root" ] && continue
      name=$(xdotool getwindowname "$wid" 2>/dev/null) || continue
      size=$(xdotool getwindowgeometry "$wid" 2>/dev/null | sed -n 's/.*Geometry: //p')
      [ "$name" = "$title" ] && [ "$size" != "1x1" ] && { echo "$wid"; return 0; }
    done
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.2
  done
  return 1
}

if grep -q '^checkexpire=[1-9]' "$(dirname "$program")/gtkzorvpin.conf" 2>/dev/null; then
  if box=$(wait_window ""); then
    sleep 0.5
    import -window root "$out/certificate-warning.png"
    echo "Saved $out/certificate-warning.png"
    xdotool windowfocus --sync "$box" key Return
  fi
fi

if ! main=$(wait_window "Pin Manager"); then
  echo "Pin Manager's window did not appear; its standard error is in $log" >&2
  exit 1
fi
sleep 0.5
import -window root "$out/main-window.png"
echo "Saved $out/main-window.png"
xdotool windowfocus --sync "$main" key alt+c
status=0
wait "$pid" || status=$?
trap - EXIT
echo "Pin Manager ended with status $status; its standard error is in $log"
exit "$status"
