#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Start-up time of Pin Manager on the demo card against a minimal GTK 2 + libglade program
# showing a window of the same interface file: runs interleaved on a private Xvfb, prints
# the median of each and their ratio.
# Usage: bench/startup.sh BUILD_DIR [RUNS]
set -euo pipefail
build=$(realpath "$1")
runs=${2:-15}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$build/stage/." "$work/"
# The demo card without the certificate warning, which waits for the holder.
printf 'pkcs11=libsimcard.so\n' >"$work/gtkzorvpin.conf"
export SIMCARD_STATE="$work/simcard.state" LANG=C.UTF-8

measure() {
  "$root/scripts/with-xvfb.sh" bash -c '
    timer=$1 minimal=$2 work=$3 runs=$4
    for i in $(seq 1 "$runs"); do
      p=$("$timer" "Pin Manager" "$work/gtkzorvpin" 2>/dev/null)
      m=$("$timer" "Pin Manager" "$minimal" "$work/gtkzorvpin.glade" 2>/dev/null)
      echo "$p $m"
    done' _ "$build/bench/startup_timer" "$build/bench/minimal_glade" "$work" "$runs"
}

measure | /usr/bin/python3 -c '
import statistics, sys
rows = [tuple(map(float, l.split())) for l in sys.stdin if l.strip()]
p = statistics.median(r[0] for r in rows)
m = statistics.median(r[1] for r in rows)
print("runs: %d interleaved" % len(rows))
print("Pin Manager (exec to main window mapped): median %.1f ms" % p)
print("minimal GTK 2 + libglade program:          median %.1f ms" % m)
print("ratio: %.2f" % (p / m))
'
