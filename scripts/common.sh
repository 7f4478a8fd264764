# SPDX-License-Identifier: MIT
# Shell helpers that the scripts and the test fixtures share, sourced, never run by itself.

# usage FILE: prints FILE's usage, the comment block after its SPDX line, to standard error
# and ends with status 2.
usage() {
  awk '!/^#/ { exit } /^# SPDX-License-Identifier:/ { started = 1; next }
       started { sub(/^# ?/, ""); print }' "$1" >&2
  exit 2
}

# multiarch_libdir: prints this machine's multiarch library folder, /usr/lib/<triplet>
# (/usr/lib/x86_64-linux-gnu on amd64), as dpkg-architecture (package dpkg-dev) names it;
# fails with a message when it cannot be told.
multiarch_libdir() {
  local triplet
  triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null) && [ -n "$triplet" ] || {
    echo "cannot tell the multiarch library folder (dpkg-architecture, package dpkg-dev)" >&2
    return 1
  }
  echo "/usr/lib/$triplet"
}

# configure SOURCE BUILD [CMAKE OPTION...]: configures the build folder BUILD from the
# checkout SOURCE with the options, on the toolkit that PINMAN_GTK names (2 or 3; unset: the
# build's own default), cmake's output in BUILD/configure.log; fails showing that log.
configure() {
  local src=$1 build=$2
  shift 2
  mkdir -p "$build"
  cmake -S "$src" -B "$build" ${PINMAN_GTK:+"-DPINMAN_GTK=$PINMAN_GTK"} "$@" \
    >"$build/configure.log" 2>&1 || {
    cat "$build/configure.log"
    return 1
  }
}
