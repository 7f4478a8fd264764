#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Starts an installed Pin Manager on $DISPLAY through the given path, on a private copy of
# a new demo card, and checks that it found its companion files in <folder>, that its main
# window appears with <title>, and that Cancel (alt+<cancel key>) ends it with status 0.
# A certificate warning box (a window without a title) that comes first is answered.
# Usage: run-installed.sh <program> <folder> <title> <cancel key> <simcard-card program>
set -u
prog=$1
[[ "$prog" == /* ]] || prog="$PWD/$prog"
dir=$(cd "$2" && pwd -P)
title=$3
cancel=$4
make_card=$5
tmp=$(mktemp -d)
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
# shellcheck source=../support/checks.sh
. "$(dirname "$0")/../support/checks.sh"

# The simulated card writes its counters back: never into the installed folder.
"$make_card" make "$tmp/card" >/dev/null || {
  echo "FAIL: $make_card could not make a demo card"
  exit 1
}
export SIMCARD_STATE="$tmp/card/simcard.state"

# Started from elsewhere, so that nothing is found through the working directory.
(cd / && exec "$prog") 2>"$tmp/stderr" &
pid=$!

# Until the main window shows: answer each untitled box of the program once with Return.
main=""
answered=" "
deadline=$((SECONDS + 20))
while [ -z "$main" ] && [ $SECONDS -lt $deadline ] && kill -0 "$pid" 2>/dev/null; do
  for w in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
    name=$(xdotool getwindowname "$w" 2>/dev/null)
    if [ "$name" = "$title" ]; then
      main=$w
      break
    fi
    if [ -z "$name" ] && [[ "$answered" != *" $w "* ]]; then
      echo "answering the box $w before the main window"
      xdotool windowfocus --sync "$w" key Return
      answered="$answered$w "
    fi
  done
  sleep 0.2
done

if [ -z "$main" ]; then
  if kill -0 "$pid" 2>/dev/null; then
    fail "no main window titled '$title' within 20 s"
  else
    fail "the program ended before its main window titled '$title' appeared"
  fi
else
  # The same window, found by its title alone as a person's tool would.
  found=$(timeout 20 xdotool search --sync --onlyvisible --name "^${title}\$" | head -n 1)
  [ "$found" = "$main" ] || fail "searching by title found '$found', not $main"
  xdotool windowfocus --sync "$main" key "alt+$cancel"
fi

# The program should end by itself after Cancel.
for _ in $(seq 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  fail "still running 10 s after Cancel; stopped"
  kill "$pid"
fi
wait "$pid"
status=$?
pid=""
[ "$status" -eq 0 ] || fail "exit status $status, expected 0"

# Its companion files, found beside its real file and not beside the link.
for line in "Conf: $dir/gtkzorvpin.conf" "CHDIR to: '$dir'" "locale path: $dir/gtkzorvpin-lc" \
  "PKCS11-2: '$dir/libsimcard.so'"; do
  grep -qxF "$line" "$tmp/stderr" || fail "no line \"$line\" on standard error"
done
if [ "$failures" -ne 0 ]; then
  echo "--- standard error of $prog:"
  cat "$tmp/stderr"
fi
echo "$prog ($title): $failures failures"
[ "$failures" -eq 0 ]
