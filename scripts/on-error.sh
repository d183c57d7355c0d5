# shellcheck shell=bash
# Sourced first by every script we ship, after `set -euo pipefail`: a
# command that fails where the script gives no message of its own ends the
# script with one that names the script, the command, its status and its
# line, and says what to do, never with a bare exit status. A script may
# define ovik_error_hint, whose output (a line or none) is added to it.
#
# The message comes from the script's own shell only: a subshell or a
# command substitution that fails is named by the command that started it.

ovik_on_error() {
  local status="$1" command="$2" line="$3"
  [ "$BASHPID" = "$$" ] || return 0
  local script="${BASH_SOURCE[-1]##*/}" file="${BASH_SOURCE[1]:-${BASH_SOURCE[-1]}}"
  [ "${#command}" -le 200 ] || command="${command:0:200}..."
  {
    echo "$script: stopped: \`$command\` failed with status $status (line $line of $file)."
    if declare -F ovik_error_hint >/dev/null; then ovik_error_hint || true; fi
    echo "$script: what it printed above, if anything, says why; fix that and run $script again (with \`bash -x\` to see each step)."
  } >&2
}
set -o errtrace
trap 'ovik_on_error "$?" "$BASH_COMMAND" "$LINENO"' ERR
