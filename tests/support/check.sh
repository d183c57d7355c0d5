# Sourced by the shell test scripts. check WHAT COMMAND...: runs COMMAND and
# prints "ok    WHAT" or "FAIL  WHAT", setting `failed` to 1 on a failure.
check() {
  local what="$1"
  shift
  if "$@"; then
    echo "ok    $what"
  else
    echo "FAIL  $what"
    failed=1
  fi
}
