# SPDX-License-Identifier: MIT
# What the shell checks share, sourced: `fail MESSAGE` says a check failed and counts it in
# $failures; the script ends with status 0 only when $failures is 0.
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
