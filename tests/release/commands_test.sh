#!/usr/bin/env bash
# What scripts/check-commands.sh reads as a program and what it does not,
# on a copy of the scripts with probe files added: words of comments,
# here-documents, quotes, case patterns, `function` and `select` and the
# arguments after a `--` are no programs; a command substitution in quotes,
# an array run as a command, a wrapper's program after its `--`, and a
# Python subprocess call are; a program missing from the table or from the
# packages installed is named with its callers. Run by release_test.sh, and
# alone by the mutation runs.
set -euo pipefail
export LC_ALL=C.UTF-8
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
failed=0
# shellcheck source=tests/support/check.sh
source "$root/tests/support/check.sh"
test_scratch

tree="$scratch/commands-tree"
mkdir -p "$tree/.ci"
cp -r "$root/scripts" "$root/bench" "$tree/"
mkdir -p "$tree/tests/probe"
commands=(bash "$root/scripts/check-commands.sh" --root "$tree")
cat >"$tree/tests/probe/words.sh" <<'EOF'
# frobnicate, in a comment
cat <<'TEXT'
frobnicate, in a here-document
TEXT
echo 'frobnicate' "frobnicate; frobnicate" frobnicate
case "$1" in
  frobnicate | -x) ;;
esac
function frobnicate_now { ls -l -- frobnicate; }
select frobnicate in a b; do break; done
EOF
check "check-commands.sh takes no word of a comment, a here-document, quotes, a case pattern, \`function\`, \`select\` or after \`--\` for a program" \
  says 0 "programs that the scripts and tests start all come from installed packages" "${commands[@]}"
check "... saying so in one line" test "$(wc -l <"$scratch/said")" -eq 1
check "... and with --list, a line for each program: its package, where that comes from, its callers" \
  bash -c '"$@" --list >"$0" && grep -Eq "^git +git +installed +(.*,)?scripts/release.sh:[0-9]+" "$0" &&
    grep -Eq "^ls +coreutils +base +" "$0" && ! grep -q "frobnicate" "$0"' "$scratch/list" "${commands[@]}"
echo 'version="v$(date -u +%F | frobnicate)"' >>"$tree/tests/probe/words.sh"
check "... and names one that a quoted command substitution starts, missing from the table" \
  says 1 "\`frobnicate\` (called at tests/probe/words.sh:11) is not in scripts/commands.txt" "${commands[@]}"
printf '%s\n' 'tool=(frobnicate --now)' '"${tool[@]}" --later' >"$tree/tests/probe/words.sh"
check "... and one that an array run as a command starts" \
  says 1 "\`frobnicate\` (called at tests/probe/words.sh:2) is not in scripts/commands.txt" "${commands[@]}"
printf '%s\n' 'runuser -u nobody -- frobnicate --now' >"$tree/tests/probe/words.sh"
check "... and one that a wrapper starts after its \`--\`" \
  says 1 "\`frobnicate\` (called at tests/probe/words.sh:1) is not in scripts/commands.txt" "${commands[@]}"
rm "$tree/tests/probe/words.sh"
printf '%s\n' '' 'import subprocess' 'subprocess.run(' '    ["frobnicate", "--now"], check=True)' >"$tree/tests/probe/call.py"
check "... and one that a Python test starts through subprocess" \
  says 1 "\`frobnicate\` (called at tests/probe/call.py:3) is not in scripts/commands.txt" "${commands[@]}"
rm "$tree/tests/probe/call.py"
sed -i 's/^\(  softhsm2 .*\) git /\1 /' "$tree/scripts/deps.sh"
check "... and git, which the tests call, once scripts/deps.sh leaves it out" \
  says 1 "\`git\` (called at .*) comes from the package git, which scripts/deps.sh does not install" "${commands[@]}"

check "check-commands.sh --help exits 0 with its usage" \
  says 0 "^usage: bash scripts/check-commands.sh \[--list\]" bash "$root/scripts/check-commands.sh" --help


[ "$failed" -eq 0 ] && echo "check-commands.sh checks: all passed" || echo "check-commands.sh checks: FAILED"
exit "$failed"
