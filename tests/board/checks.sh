# The board tests' checks, sourced: `check WHAT COMMAND...` counts a failing command and says what
# failed; `finish MESSAGE` prints MESSAGE when nothing failed and exits 1 when something did.
failures=0

check() {
  local what=$1
  shift
  "$@" || { echo "FAIL: $what"; failures=$((failures + 1)); }
}

finish() {
  [ $failures -eq 0 ] && echo "$1"
  exit $((failures > 0))
}
