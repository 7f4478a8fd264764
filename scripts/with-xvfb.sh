#!/usr/bin/env bash
# Runs a command on a private Xvfb display of its own and stops the server afterwards.
# The display number is chosen by Xvfb itself, so several runs never collide.
set -u
dir=$(mktemp -d)
trap 'kill "$xpid" 2>/dev/null; wait "$xpid" 2>/dev/null; rm -rf "$dir"' EXIT
mkfifo "$dir/fd"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/fd" >"$dir/xvfb.log" 2>&1 &
xpid=$!
read -r -t 20 num <"$dir/fd" || { echo "with-xvfb: Xvfb did not start" >&2; cat "$dir/xvfb.log" >&2; exit 1; }
export DISPLAY=":$num"
"$@"
