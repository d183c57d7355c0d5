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
}
check_failed() {
  failed=1
  [ -z "${OVIK_CHECKS_FAIL_FAST:-}" ] || { echo "(OVIK_CHECKS_FAIL_FAST: stopping at the first failure)"; exit 1; }
}
