# Sourced by the shell test scripts. check WHAT COMMAND...: runs COMMAND and
# prints "ok    WHAT" or "FAIL  WHAT", setting `failed` to 1 on a failure.
# With OVIK_CHECKS_FAIL_FAST set (the mutation runs set it), the first
# failure ends the script with exit code 1.
check() {
  local what="$1"
  shift
  if "$@"; then
    echo "ok    $what"
  else
    echo "FAIL  $what"
    check_failed
  fi
  promises_kept
}
# promises_kept: with OVIK_TEST_BROKEN set, the file that
# tests/release/watched.sh names every broken promise in, each promise that
# a run broke since the last check fails as a case of its own.
promises_kept() {
  [ -n "${OVIK_TEST_BROKEN:-}" ] && [ -s "$OVIK_TEST_BROKEN" ] || return 0
  echo "FAIL  a run broke a promise that every run keeps:"
  sed 's/^/      /' "$OVIK_TEST_BROKEN"
  : >"$OVIK_TEST_BROKEN"
  check_failed
}
check_failed() {
  failed=1
  [ -z "${OVIK_CHECKS_FAIL_FAST:-}" ] || { echo "(OVIK_CHECKS_FAIL_FAST: stopping at the first failure)"; exit 1; }
}
