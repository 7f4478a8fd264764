#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a command on a private Xvfb display of its own and stops the server afterwards.
# The display number is chosen by Xvfb itself, so several runs never share one; a server
# that does not answer is replaced by a new one. -noreset: the server must not reset (and
# refuse connections for a moment) each time its last client leaves, between two programs.
set -u
dir=$(mktemp -d)
xpid=""
trap '[ -n "$xpid" ] && kill "$xpid" 2>/dev/null; [ -n "$xpid" ] && wait "$xpid" 2>/dev/null; rm -rf "$dir"' EXIT

start_server() {
  rm -f "$dir/fd"
  mkfifo "$dir/fd"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$dir/fd" >"$dir/xvfb.log" 2>&1 &
  xpid=$!
  num=""
  read -r -t 20 num <"$dir/fd" || return 1
  [ -n "$num" ] && DISPLAY=":$num" xdpyinfo >/dev/null 2>&1
}

for attempt in 1 2 3; do
  start_server && break
  kill "$xpid" 2>/dev/null
  wait "$xpid" 2>/dev/null
  xpid=""
  [ "$attempt" = 3 ] && { echo "with-xvfb: Xvfb did not start" >&2; cat "$dir/xvfb.log" >&2; exit 1; }
  sleep 1
done
export DISPLAY=":$num"
"$@"
