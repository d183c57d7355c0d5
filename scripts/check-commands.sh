#!/usr/bin/env bash
# Checks that every program the scripts and tests call comes from a package
# that scripts/deps.sh installs, or from the bare Debian 12 system
# (debootstrap's minbase: the packages of priority "required", and apt).
# Runs first, before anything is installed, with what a bare system has.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/on-error.sh
source "$root/scripts/on-error.sh"

usage() {
  cat <<'EOF'
usage: bash scripts/check-commands.sh [--list] [--root DIR]

Reads the programs that the shell scripts (scripts/*.sh, scripts/*.in,
tests/**/*.sh, bench/*.sh, .ci/run) and the Python files (scripts/*.py,
tests/**/*.py, bench/*.py: their subprocess calls) start, and fails, naming
each, when a program
  - is not in scripts/commands.txt (a line "COMMAND PACKAGE" each), or
  - comes from a package that neither scripts/deps.sh installs
    (ovik_packages) nor scripts/base-packages.txt (the bare system) lists.
Shell builtins and the scripts' own functions are no programs.

  --list      print each program found with its package and first caller
  --root DIR  check the tree at DIR instead of this one
EOF
}

list=0
while [ "$#" -gt 0 ]; do
  case "$1" in
    --help | -h) usage; exit 0 ;;
    --list) list=1; shift ;;
    --root) root="${2:-}"; shift 2 || { echo "check-commands.sh: --root needs a folder" >&2; exit 2; } ;;
    *) echo "check-commands.sh: unknown argument \"$1\" (see --help)" >&2; exit 2 ;;
  esac
done
for file in scripts/commands.txt scripts/base-packages.txt scripts/deps.sh; do
  [ -r "$root/$file" ] || { echo "check-commands.sh: $root/$file is missing" >&2; exit 1; }
done

cd "$root"
shell_files=()
python_files=()
while IFS= read -r -d '' file; do
  case "$file" in
    *.py) python_files+=("$file") ;;
    *) shell_files+=("$file") ;;
  esac
done < <(find scripts tests bench -type f \( -name '*.sh' -o -name '*.py' -o -path 'scripts/*.in' \) \
  -not -path 'build/*' -print0 | sort -z)
[ ! -f .ci/run ] || shell_files+=(.ci/run)

# Shell: a small reader that drops comments, quoted text, here-documents,
# case patterns and array literals (an array's first word counts where the
# array is run as "${name[@]}"), reads $( ) and ` ` inside quotes too, and
# prints "C WORD FILE:LINE" for the first word of each simple command and
# "F NAME" for each function defined.
# shellcheck disable=SC2016 # the awk program is in single quotes on purpose
shell_reader='
function emit(w) { if (w ~ /\//) sub(/.*\//, "", w); print "C", w, FILENAME ":" wline }
function end_word(   w) {
  w = word; word = ""
  if (w == "") return
  if (skip > 0) { skip--; return }
  if (in_array) { if (apending) { apending = 0; if (!(aname in first_of) && w !~ /^Q/) first_of[aname] = w } ; return }
  if (in_pattern) { if (w == "esac") { in_pattern = 0; cases-- } ; return }
  if (!at_cmd) {
    if (w == "in" && expect_in) { expect_in = 0; in_pattern = 1 }
    else if (w == "--" && wrapped == 1) { at_cmd = 1; wrapped = 0 }
    return
  }
  # An array run as a command: its first word stands there.
  if (w ~ /^@/) { w = substr(w, 2); if (!(w in first_of)) { at_cmd = 0; return } ; w = first_of[w] }
  if (w ~ /^[A-Za-z_][A-Za-z0-9_]*(\[[^]]*\])?\+?=/) return
  if (keyword[w]) return
  # After a wrapper such as setsid or xargs: its options, then the program.
  if (wrapped == 2 && w ~ /^-[uskIPnLd]$/) { skip = 1; return }
  if (wrapped == 2 && (w ~ /^-/ || w ~ /^Q/ || w ~ /^[0-9.]+[smh]?$/)) return
  at_cmd = 0
  if (w == "case") { expect_in = 1; cases++; return }
  if (w == "esac" && cases > 0) { cases--; at_cmd = 1; return }
  if (w == "for" || w == "select" || w == "function") return
  if (w ~ /[$*?]/ || w ~ /^Q/ || w ~ /^[0-9.]+$/ || w ~ /^-/) return
  if (w ~ /\//) { if (w ~ /^\//) { sub(/.*\//, "", w); emit(w) } ; return }
  emit(w)
  if (w in wrapper) { wrapped = wrapper[w]; at_cmd = (wrapped == 2) }
}
function new_cmd() { end_word(); at_cmd = !in_array; wrapped = 0; skip = 0 }
function start_word() { if (word == "") wline = line }
# A command substitution: the text around it resumes as it was afterwards.
function push(back, depth) {
  sp++; smode[sp] = back; sdepth[sp] = depth
  saved_cmd[sp] = at_cmd; saved_word[sp] = word; saved_line[sp] = wline; saved_wrapped[sp] = wrapped
  word = ""; at_cmd = 1; wrapped = 0
}
function pop() {
  end_word(); mode = smode[sp]
  at_cmd = saved_cmd[sp]; word = saved_word[sp]; wline = saved_line[sp]; wrapped = saved_wrapped[sp]; sp--
}
BEGIN {
  split("if then else elif fi do done while until ! time { } [[ ]] [ exec command builtin nohup", k, " ")
  for (i in k) keyword[k[i]] = 1
  # The program comes after "--", or else is the first word that is no option.
  split("runuser unshare sudo chroot", k, " ")
  for (i in k) wrapper[k[i]] = 1
  split("xargs timeout xvfb-run env setsid nice stdbuf", k, " ")
  for (i in k) wrapper[k[i]] = 2
}
{ text = text $0 "\n" }
END {
  n = length(text); line = 1; sp = 0; mode = "code"; heredoc = ""; at_cmd = 1
  for (i = 1; i <= n; i++) {
    c = substr(text, i, 1); c2 = substr(text, i, 2)
    if (mode == "squote") { if (c == "\n") line++; else if (c == "\047") mode = "code"; continue }
    if (mode == "dquote") {
      if (c == "\n") { line++; continue }
      if (c == "\\") { i++; continue }
      if (c == "\"") { mode = smode[sp]; sp--; continue }
      if (c2 == "$(" && substr(text, i + 2, 1) != "(") { push("dquote", 0); mode = "code"; i++; continue }
      if (c == "`") { push("dquote", -1); mode = "code"; continue }
      continue
    }
    if (c == "\n") {
      line++; new_cmd()
      if (heredoc != "") {
        while (i < n) {
          j = index(substr(text, i + 1), "\n")
          if (j == 0) { i = n; break }
          t = substr(text, i + 1, j - 1); i += j; line++
          sub(/^\t+/, "", t)
          if (t == heredoc) break
        }
        heredoc = ""
      }
      continue
    }
    if (c == "#" && word == "") { j = index(substr(text, i), "\n"); i += j - 2; continue }
    if (c == "\\") {
      if (substr(text, i + 1, 1) == "\n") { end_word(); i++; line++; continue }
      start_word(); word = word substr(text, i + 1, 1); i++; continue
    }
    if (c == "\047") { start_word(); word = word "Q"; mode = "squote"; continue }
    if (c == "\"") {
      if (word == "" && match(substr(text, i + 1, 80), /^\$\{[A-Za-z_][A-Za-z0-9_]*\[@\]\}"/)) {
        wline = line; word = "@" substr(text, i + 3, RLENGTH - 7); i += RLENGTH; continue
      }
      start_word(); word = word "Q"; sp++; smode[sp] = "code"; mode = "dquote"; continue
    }
    if (c2 == "$(") {
      if (substr(text, i + 2, 1) == "(") { start_word(); word = word "Q"; j = index(substr(text, i), "))"); i += j; continue }
      start_word(); word = word "Q"; push("code", 0); i++; continue
    }
    if (c2 == "${" || (c == "$" && substr(text, i + 1, 1) ~ /[A-Za-z0-9_@#?*!$-]/)) {
      start_word(); word = word "Q$"
      if (c2 == "${") { depth = 0; for (; i <= n; i++) { c = substr(text, i, 1); if (c == "{") depth++; else if (c == "}" && --depth == 0) break } }
      else { i++; while (substr(text, i + 1, 1) ~ /[A-Za-z0-9_]/) i++ }
      continue
    }
    if (c == "`") {
      if (sp > 0 && sdepth[sp] == -1) { pop(); continue }
      start_word(); word = word "Q"; push("code", -1); continue
    }
    if (c == "(" && word ~ /^[A-Za-z_][A-Za-z0-9_]*\+?=$/) {
      aname = word; sub(/\+?=$/, "", aname)
      word = ""; in_array = 1; asp = sp; apending = 1; at_cmd = 0; continue
    }
    if (c == ")" && in_array && sp == asp) { end_word(); in_array = 0; at_cmd = 0; continue }
    if (c2 == "[[" && at_cmd && word == "") {
      j = index(substr(text, i), "]]"); if (j > 0) { i += j; at_cmd = 0; continue }
    }
    if (c == "{" && word == "" && match(substr(text, i, 80), /^\{[A-Za-z_][A-Za-z0-9_]*\}[<>]/)) {
      i += RLENGTH - 2; continue
    }
    if (c2 == "((") { j = index(substr(text, i), "))"); i += j; at_cmd = 0; continue }
    if (c == "(") {
      if (word != "" && substr(text, i + 1, 1) == ")") { print "F", word; word = ""; i++; at_cmd = 1; continue }
      if (in_pattern) continue
      if (sp > 0) sdepth[sp]++
      new_cmd(); continue
    }
    if (c == ")") {
      if (in_pattern) { word = ""; in_pattern = 0; at_cmd = 1; continue }
      if (sp > 0 && sdepth[sp] == 0) { pop(); continue }
      if (sp > 0) sdepth[sp]--
      new_cmd(); continue
    }
    if (in_pattern && c ~ /[ \t|]/) { end_word(); continue }
    if (c2 == "<<" && substr(text, i + 2, 1) != "<") {
      end_word()
      if (match(substr(text, i + 2, 80), /^-?[ \t]*[\047"]?[A-Za-z_][A-Za-z0-9_]*[\047"]?/)) {
        heredoc = substr(text, i + 2, RLENGTH); gsub(/[-\047" \t]/, "", heredoc); i += 1 + RLENGTH
      }
      continue
    }
    if (c2 == ";;") { end_word(); i++; if (substr(text, i + 1, 1) == "&") i++; if (cases > 0) in_pattern = 1; at_cmd = 1; continue }
    if (c ~ /[;|&]/) { if (c == "&" && substr(text, i - 1, 1) ~ /[<>]/) { word = word c; continue } ; new_cmd(); continue }
    if (c2 == "{}") { start_word(); word = word c2; i++; continue }
    if ((c == "{" || c == "}") && word == "") { new_cmd(); continue }
    if (c ~ /[ \t]/) { end_word(); continue }
    if (c ~ /[<>]/ && (word == "" || word ~ /^[0-9]+$/ || word ~ /^&$/)) {
      keep = at_cmd; word = ""
      while (substr(text, i + 1, 1) ~ /[<>&]/) i++
      if (substr(text, i + 1, 1) ~ /[0-9-]/ && substr(text, i, 1) == "&") { i++; at_cmd = keep; continue }
      # The next word is the target of the redirection.
      skip = 1; at_cmd = keep
      continue
    }
    start_word(); word = word c
  }
  end_word()
}'

# Python: the program each subprocess call starts, when it is written as
# a list whose first item is a plain string.
# shellcheck disable=SC2016 # the awk program is in single quotes on purpose
python_reader='
{ text = text $0 "\n" }
END {
  rest = text; offset = 0
  while (match(rest, /subprocess\.(run|call|check_call|check_output|Popen)\([ \t\n]*\[[ \t\n]*"[^"]+"/)) {
    call = substr(rest, RSTART, RLENGTH)
    before = substr(text, 1, offset + RSTART)
    line = gsub(/\n/, "", before) + 1
    sub(/^[^"]*"/, "", call); sub(/"$/, "", call)
    sub(/.*\//, "", call)
    print "C", call, FILENAME ":" line
    offset += RSTART + RLENGTH - 1
    rest = substr(rest, RSTART + RLENGTH)
  }
}'

found="$(
  for file in "${shell_files[@]}"; do awk "$shell_reader" "$file"; done
  for file in "${python_files[@]}"; do awk "$python_reader" "$file"; done
)"

# The packages the scripts install: deps.sh's ovik_packages, the other
# *_packages lists of scripts/ and bench/, and the packages named in their
# ovik_install_deps and install_packages calls.
installed="$(awk '
  /^[ \t]*[a-z_]*packages=\(/ { on = 1; sub(/^[^(]*\(/, "") }
  on { line = $0; sub(/#.*/, "", line); if (sub(/\).*/, "", line)) on = 0; print line; next }
  /^[ \t]*(ovik_install_deps|install_packages)[ \t]+[a-z0-9]/ {
    line = $0; sub(/#.*/, "", line); sub(/[;|&].*/, "", line)
    n = split(line, word, /[ \t]+/)
    for (i = 1; i <= n; i++) if (word[i] ~ /^[a-z0-9][a-z0-9.+-]+$/ && word[i] != "ovik_install_deps") print word[i]
  }' scripts/*.sh bench/*.sh | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)"
[ -n "$installed" ] || { echo "check-commands.sh: found no ovik_packages list in scripts/deps.sh" >&2; exit 1; }

# shellcheck disable=SC2016
report="$(printf '%s\n' "$found" | awk -v installed="$installed" '
  FILENAME ~ /base-packages/ { if ($0 !~ /^#/ && NF) base[$1] = 1; next }
  FILENAME ~ /commands.txt/ { if ($0 !~ /^#/ && NF >= 2) package[$1] = $2; next }
  $1 == "F" { function_name[$2] = 1; next }
  # Where each program is called: the first place in each of up to 3 files.
  $1 == "C" {
    file = $3; sub(/:[0-9]+$/, "", file)
    if (!($2 in caller)) { caller[$2] = $3; files[$2] = file; order[++count] = $2; callers[$2] = 1 }
    else if (index("," files[$2] ",", "," file ",") == 0 && ++callers[$2] <= 3) {
      caller[$2] = caller[$2] "," $3; files[$2] = files[$2] "," file
    }
  }
  END {
    n = split(installed, list, "\n"); for (i = 1; i <= n; i++) deps[list[i]] = 1
    split("alias bg bind break builtin caller cd command compgen complete continue declare dirs disown echo enable eval exec exit export false fc fg getopts hash help history jobs kill let local logout mapfile popd printf pushd pwd read readarray readonly return set shift shopt source suspend test times trap true type typeset ulimit umask unalias unset wait . : [", b, " ")
    for (i in b) builtin[b[i]] = 1
    for (i = 1; i <= count; i++) {
      c = order[i]
      if (builtin[c] || (c in function_name)) continue
      if (!(c in package)) {
        print "missing", c, caller[c]; continue
      }
      p = package[c]
      if (p in deps) where = "installed"; else if (p in base) where = "base"; else where = ""
      if (where == "") print "uninstalled", c, caller[c], p
      else print "ok", c, caller[c], p, where
    }
  }' scripts/base-packages.txt scripts/commands.txt /dev/stdin)"

if [ "$list" -eq 1 ]; then
  printf '%s\n' "$report" | awk '$1 == "ok" { printf "%-24s %-28s %-8s %s\n", $2, $4, $5, $3 }'
fi
status=0
while read -r verdict command caller package _; do
  case "$verdict" in
    missing)
      echo "check-commands.sh: \`$command\` (called at ${caller//,/, }) is not in scripts/commands.txt: add the line \"$command PACKAGE\" with the Debian package that has it, and that package to ovik_packages in scripts/deps.sh unless a bare Debian 12 has it" >&2
      status=1
      ;;
    uninstalled)
      echo "check-commands.sh: \`$command\` (called at ${caller//,/, }) comes from the package $package, which scripts/deps.sh does not install (nor any other script here) and a bare Debian 12 lacks: add $package to ovik_packages in scripts/deps.sh" >&2
      status=1
      ;;
  esac
done <<<"$report"
if [ "$status" -ne 0 ]; then
  exit 1
fi
echo "check-commands.sh: the $(grep -c '^ok ' <<<"$report") programs that the scripts and tests start all come from installed packages"
