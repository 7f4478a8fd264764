#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Start-up time of Pin Manager on the demo card against a minimal program of the same toolkit
# showing a window of the same interface file: the GTK 2 program against GTK 2 + libglade (or
# the layer, where it is the loader), and the GTK 3 program, where the build makes one,
# against GTK 3's GtkBuilder on the file as the layer converts it. Runs interleaved on a private
# Xvfb; prints the median of each and their ratio.
# Usage: bench/startup.sh BUILD_DIR [RUNS]
set -euo pipefail
build=$(realpath "$1")
runs=${2:-15}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LANG=C.UTF-8

# compare NAME STAGE MINIMAL ARGUMENT YARDSTICK: the program of STAGE against MINIMAL ARGUMENT.
compare() {
  local name=$1 stage=$2 minimal=$3 argument=$4 yardstick=$5 dir=$work/$1
  mkdir -p "$dir"
  cp -r "$stage/." "$dir/"
  rm -rf "$dir/simcard.state" "$dir/certs"
  "$build/simcard/simcard-card" make "$dir"
  # The demo card without the certificate warning, which waits for the holder.
  printf 'pkcs11=libsimcard.so\n' >"$dir/gtkzorvpin.conf"
  SIMCARD_STATE="$dir/simcard.state" "$root/scripts/with-xvfb.sh" bash -c '
    timer=$1 program=$2 minimal=$3 argument=$4 runs=$5
    for i in $(seq 1 "$runs"); do
      p=$("$timer" "Pin Manager" "$program" 2>/dev/null)
      m=$("$timer" "Pin Manager" "$minimal" "$argument" 2>/dev/null)
      echo "$p $m"
    done' _ "$build/bench/startup_timer" "$dir/gtkzorvpin" "$minimal" "$argument" "$runs" |
    /usr/bin/python3 -c '
import statistics, sys
name, yardstick = sys.argv[1:3]
rows = [tuple(map(float, l.split())) for l in sys.stdin if l.strip()]
p = statistics.median(r[0] for r in rows)
m = statistics.median(r[1] for r in rows)
print("%s, %d runs interleaved" % (name, len(rows)))
print("  Pin Manager (exec to main window mapped): median %.1f ms" % p)
print("  %-40s median %.1f ms" % (yardstick + ":", m))
print("  ratio: %.2f" % (p / m))
' "$name" "$yardstick"
}

if grep -q 'libgtk-3\.so' "$build/stage/gtkzorvpin"; then
  gtk3_stage=$build/stage
else
  compare "GTK 2" "$build/stage" "$build/bench/minimal_glade" "$build/stage/gtkzorvpin.glade" \
    "minimal GTK 2 program, same loader"
  gtk3_stage=$build/stage-gtk3
fi
if [ -x "$gtk3_stage/gtkzorvpin" ]; then
  compare "GTK 3" "$gtk3_stage" "$build/bench/minimal_builder_gtk3" \
    "$root/tests/gladelayer/gtkzorvpin.gtk3.ui" "minimal GTK 3 program, GtkBuilder"
fi
