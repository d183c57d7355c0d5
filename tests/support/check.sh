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
# test_scratch: $scratch, a folder of this run's own, removed when the script
# ends; marked, so that the watch of a release run elsewhere leaves it be.
test_scratch() {
  scratch="$(mktemp -d)"
  touch "$scratch/.ovik-test-scratch"
  export OVIK_TEST_SCRATCH="$scratch"
  trap 'rm -rf "$scratch"' EXIT
}
# says STATUS PATTERN COMMAND...: COMMAND exits STATUS and its output (kept
# in $scratch/said) has a line that the basic regular expression PATTERN
# matches.
says() {
  local want="$1" pattern="$2" status=0
  shift 2
  "$@" >"$scratch/said" 2>&1 || status=$?
  [ "$status" -eq "$want" ] && grep -q -- "$pattern" "$scratch/said" && return 0
  echo "      exit $status, wanted $want and \"$pattern\"; said:" && sed 's/^/      | /' "$scratch/said"
  return 1
}
