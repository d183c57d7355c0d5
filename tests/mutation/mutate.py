#!/usr/bin/env python3
"""Mutation testing of our own: how many one-line faults do the tests catch?

  python3 tests/mutation/mutate.py [options] FILE-OR-GLOB...

Each mutant is one small change to one line of a bash, Python or C++ source
(an operator flipped, a condition negated, a statement or call deleted, an
integer moved by one, two arguments swapped, a string literal changed, an
early return added); comments, blank lines, here-documents and docstrings are
left alone, and a bash or Python mutant that does not parse is never run.
The picks are reproducible: --seed and --sample choose the same mutants from
the same sources every time.

Every mutant runs in a git worktree of its own (--worktree, default
build/mutation-worktree), kept between runs so that builds there stay
incremental. Before each mutant that worktree is reset to the caller's HEAD
plus the caller's uncommitted and untracked changes, so new cases count
before they are committed; the caller's checkout is only read. The mutated
file is put back after every mutant, whatever happens.

A mutant is "killed" when the test command fails, "survived" when it passes,
"timed out" past --timeout (the whole process group is stopped), and "not
built" when the build command fails. The score is (killed + timed out) /
(killed + survived + timed out); the exit code is 0 only when it reaches
--require. The report is a table of every mutant, followed by each
survivor's diff.
"""
import argparse
import difflib
import fnmatch
import glob
import hashlib
import json
import os
import re
import shlex
import statistics
import signal
import subprocess
import sys
import time

# ---- Languages ---------------------------------------------------------------------


def language(path):
    if path.endswith((".sh", ".in")) or path.endswith(".bash"):
        return "bash"
    if path.endswith(".py"):
        return "python"
    if path.endswith((".cpp", ".h", ".hpp", ".cc")):
        return "cpp"
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            first = f.readline()
    except OSError:
        return None
    if first.startswith("#!") and "python" in first:
        return "python"
    if first.startswith("#!") and ("bash" in first or first.rstrip().endswith("/sh")):
        return "bash"
    return None


def string_spans(code, lang):
    """(start, end) of each string literal on one line of code, quotes included,
    and where a comment starts (len(code) when there is none)."""
    spans = []
    i = 0
    n = len(code)
    while i < n:
        c = code[i]
        if lang == "cpp" and code.startswith("//", i):
            return spans, i
        if lang == "cpp" and code.startswith("/*", i):
            return spans, i
        if c == "#" and lang == "python":
            return spans, i
        if c == "#" and lang == "bash" and (i == 0 or code[i - 1] in " \t;|&("):
            return spans, i
        if c == "\\" and lang == "bash":
            i += 2
            continue
        digit_separator = lang == "cpp" and c == "'" and 0 < i < n - 1 and code[i - 1].isdigit() and \
            code[i + 1].isdigit()
        if c in "\"'" and not digit_separator:
            j = i + 1
            while j < n and code[j] != c:
                if code[j] == "\\" and not (lang == "bash" and c == "'"):
                    j += 1
                j += 1
            if j >= n:  # spans lines: not a literal we can change safely
                return spans, n
            # C++ prefixes: L"..", u8"..", R"(..)" (raw strings are left alone)
            start = i
            while lang == "cpp" and start > 0 and code[start - 1] in "Lu8":
                start -= 1
            if lang == "cpp" and code[start:i].endswith("R"):
                return spans, n
            spans.append((start, j + 1))
            i = j + 1
            continue
        i += 1
    return spans, n


def code_lines(text, lang):
    """Indices of the lines that hold code, with the code part of each (the
    line up to its comment): no blank or comment-only lines, here-documents,
    docstrings or block comments."""
    lines = text.split("\n")
    result = []
    heredoc_end = None
    in_block = False
    triple = None
    for index, line in enumerate(lines):
        stripped = line.strip()
        if heredoc_end is not None:
            if stripped == heredoc_end:
                heredoc_end = None
            continue
        if lang == "python" and triple:
            if triple in line:
                triple = None
            continue
        if lang == "cpp" and in_block:
            if "*/" in line:
                in_block = False
            continue
        if not stripped:
            continue
        if lang == "python":
            for quote in ('"""', "'''"):
                if quote in line and line.count(quote) % 2 == 1:
                    triple = quote
            if triple or stripped.startswith(('"""', "'''")) or stripped.startswith("#"):
                continue
        if lang == "cpp":
            if stripped.startswith("/*") and "*/" not in stripped:
                in_block = True
                continue
            if stripped.startswith(("//", "/*", "*", "#")):
                continue
        if lang == "bash":
            if stripped.startswith("#"):
                continue
            here = re.search(r"<<-?\s*(['\"]?)([A-Za-z_][A-Za-z0-9_]*)\1", line)
            if here and "<<<" not in line:
                heredoc_end = here.group(2)
        _, comment = string_spans(line, lang)
        code = line[:comment].rstrip()
        if code.strip():
            result.append((index, code))
    return lines, result


TOP_LEVEL = "(top level)"
BASH_FUNCTION = re.compile(r"^(\s*)(?:function\s+)?([A-Za-z_][\w:.-]*)\s*\(\)\s*\{?\s*$"
                           r"|^(\s*)function\s+([A-Za-z_][\w:.-]*)\s*\{?\s*$")
BASH_ONE_LINER = re.compile(r"^\s*(?:function\s+)?([A-Za-z_][\w:.-]*)\s*\(\)\s*\{.*\}\s*$")
PYTHON_DEF = re.compile(r"^(\s*)(?:async\s+)?(def|class)\s+([A-Za-z_]\w*)")
CPP_TYPE = re.compile(r"\b(namespace|class|struct|union|enum)\b|^extern\s")
CPP_TEST = re.compile(r"^TEST(_F|_P)?$")
CPP_CONTROL = re.compile(r"^(if|for|while|switch|catch)$")
CPP_NAME = re.compile(r"(~?[A-Za-z_][\w:]*~?[A-Za-z_0-9]*)\s*\(")


def functions_of(text, lang):
    """The function each line belongs to: a list with one name per line
    (bash functions, Python defs as Class.method or outer.inner, C++
    function bodies; TEST_F(Suite, Case) is Suite.Case), TOP_LEVEL for the
    code outside any; and the names in the order they are defined."""
    lines, coded = code_lines(text, lang)
    owner = [TOP_LEVEL] * len(lines)
    names = []
    if lang == "bash":
        current, end = None, None
        for index, line in enumerate(lines):
            m = BASH_FUNCTION.match(line) if current is None else None
            if m:
                current = m.group(2) or m.group(4)
                end = re.compile(rf"^{re.escape(m.group(1) or m.group(3) or '')}\}}")
                names.append(current)
            elif current is None and (m := BASH_ONE_LINER.match(line)):
                owner[index] = m.group(1)
                names.append(m.group(1))
            if current is not None:
                owner[index] = current
                if not m and end.match(line):
                    current = None
        return owner, names
    if lang == "python":
        stack = []  # (indent, qualified name, is def)
        code_at = dict(coded)
        for index, line in enumerate(lines):
            if index in code_at:
                depth = len(line) - len(line.lstrip())
                while stack and depth <= stack[-1][0]:
                    stack.pop()
                m = PYTHON_DEF.match(line)
                if m:
                    qualified = ".".join([s[1].split(".")[-1] for s in stack] + [m.group(3)]) if stack else m.group(3)
                    stack.append((len(m.group(1)), qualified, m.group(2) == "def"))
                    if m.group(2) == "def":
                        names.append(qualified)
            defs = [s for s in stack if s[2]]
            owner[index] = defs[-1][1] if defs else TOP_LEVEL
        return owner, names
    # C++: brace depth outside strings and comments; a block opened by text
    # that names a call and is no type, namespace or initialiser is a body.
    stack = []  # each open brace: a function name or None
    statement, started = "", 0
    code_at = dict(coded)
    for index, line in enumerate(lines):
        code = code_at.get(index, "")
        if not statement.strip():
            started = index
        spans, _ = string_spans(code, lang)
        inside = next((name for name in stack if name), None)
        for position, c in enumerate(code):
            if not outside(spans, position, position + 1):
                continue
            if c == "{":
                name = None
                head = statement.strip()
                if inside is None and not CPP_TYPE.search(head) and "=" not in head.split("(")[0]:
                    m = CPP_NAME.search(head)
                    if m:
                        name = m.group(1).split("::")[-1] if not CPP_TEST.match(m.group(1)) \
                            else ".".join(part.strip() for part in head[m.end():].split(")")[0].split(","))
                        if CPP_CONTROL.match(name):
                            name = None
                if name:
                    names.append(name)
                    inside = name
                    owner[started:index] = [name] * (index - started)
                stack.append(name)
                statement = ""
            elif c == "}":
                if stack:
                    stack.pop()
                inside = next((name for name in stack if name), None)
                statement = ""
            elif c == ";":
                statement = ""
            else:
                statement += c
        owner[index] = inside or TOP_LEVEL
    return owner, names


# ---- Mutation operators ------------------------------------------------------------

# (pattern, replacement) by language; a pattern matches outside string literals.
SWAPS = {
    "common": [("==", "!="), ("!=", "=="), ("<=", ">"), (">=", "<"), ("&&", "||"), ("||", "&&")],
    "bash": [("-eq", "-ne"), ("-ne", "-eq"), ("-lt", "-ge"), ("-ge", "-lt"), ("-gt", "-le"), ("-le", "-gt"),
             ("-z", "-n"), ("-n", "-z"), ("-f", "-e"), ("-d", "-f"), ("-s", "-e")],
    "python": [(" and ", " or "), (" or ", " and "), (" not in ", " in "), (" in ", " not in "),
               (" is not ", " is "), (" is None", " is not None"), ("not ", ""), (" < ", " <= "),
               (" > ", " >= "), ("True", "False"), ("False", "True"), ("+=", "-=")],
    "cpp": [(" < ", " <= "), (" > ", " >= "), ("true", "false"), ("false", "true"), ("!", ""), ("++", "--"),
            ("+ 1", "- 1"), ("- 1", "+ 1")],
}
WORDLIKE = re.compile(r"^[A-Za-z-]")


def outside(spans, start, end):
    return all(end <= s or start >= e for s, e in spans)


def operator_mutants(code, lang):
    spans, comment = string_spans(code, lang)
    found = []
    for old, new in SWAPS["common"] + SWAPS[lang]:
        for m in re.finditer(re.escape(old), code[:comment]):
            s, e = m.span()
            if not outside(spans, s, e):
                continue
            # Whole tokens only: -n not in --no-build, == not in ===, ! not in !=.
            before = code[s - 1] if s else " "
            after = code[e] if e < len(code) else " "
            if WORDLIKE.match(old) and (before.isalnum() or before in "-_" or after.isalnum() or after in "-_"):
                continue
            if old in ("!",) and (after == "=" or before == "!"):
                continue
            if old in ("==", "!=", "<=", ">=") and (before in "=!<>" or after in "=<>"):
                continue
            if old in ("&&", "||") and (before in "&|" or after in "&|"):
                continue
            if lang == "bash" and old.startswith("-") and code[:s].count("[") <= code[:s].count("]"):
                continue  # a test's operator only inside [ ] or [[ ]], not a command's option (head -n)
            if lang == "bash" and old in ("==", "!=", "<=", ">=") and "[[" not in code and "((" not in code \
                    and "$((" not in code:
                continue
            if lang == "bash" and old in ("<=", ">=") and "((" not in code:
                continue
            if old in ("True", "False", "true", "false") and (before.isalnum() or after.isalnum()):
                continue
            found.append(("operator", f"{old.strip()} -> {new.strip() or '(removed)'}", code[:s] + new + code[e:]))
    return found


def integer_mutants(code, lang):
    spans, comment = string_spans(code, lang)
    found = []
    for m in re.finditer(r"(?<![\w.$#-])(\d+)(?![\w.])", code[:comment]):
        s, e = m.span(1)
        if not outside(spans, s, e):
            continue
        if lang == "bash" and (code[:s].rstrip().endswith((">", "<", "&")) or code[e:e + 1] in ("<", ">")):
            continue  # a file descriptor: 2>&1, >&2, 2>/dev/null
        value = int(m.group(1))
        for moved in (value + 1, value - 1):
            if moved < 0:
                continue
            text = str(moved).zfill(len(m.group(1))) if m.group(1).startswith("0") else str(moved)
            found.append(("integer", f"{m.group(1)} -> {text}", code[:s] + text + code[e:]))
    return found


def string_mutants(code, lang):
    spans, _ = string_spans(code, lang)
    found = []
    for s, e in spans:
        literal = code[s:e]
        quote = literal[-1]
        body = literal[literal.index(quote) + 1:-1]
        if lang == "cpp" and (quote == "'" or code[:s].rstrip().endswith("#include")):
            continue
        if "$" in body and lang == "bash":
            # Drop one word of the literal text between expansions.
            words = [w for w in re.finditer(r"(?<![$\w{])[A-Za-z][A-Za-z'-]{2,}", body)
                     if not re.search(r"\$\{[^}]*$", body[:w.start()])]
            if not words:
                continue
            w = words[0]
            mutated = body[:w.start()] + body[w.end():]
        elif body:
            mutated = ""
        else:
            mutated = "mutant"
        new = literal[:literal.index(quote) + 1] + mutated + quote
        found.append(("string", f"{_short(literal)} -> {_short(new)}", code[:s] + new + code[e:]))
    return found


def _short(text, width=40):
    return text if len(text) <= width else text[:width - 3] + "..."


BASH_KEYWORD = re.compile(r"^(if|then|else|elif|fi|for|while|until|do|done|case|esac|function|in|\{|\}|;;|\)|local|"
                          r"readonly|declare|export|set|shift|source|\.|trap|return|exit|break|continue)\b")


def condition_mutants(code, lang):
    found = []
    indent = code[:len(code) - len(code.lstrip())]
    body = code.strip()
    if lang == "python":
        m = re.match(r"(if|elif|while) (.*):$", body)
        if m:
            found.append(("negate", f"{m.group(1)} not", f"{indent}{m.group(1)} not ({m.group(2)}):"))
    elif lang == "bash":
        m = re.match(r"(if|elif|while|until) (?!! )(.*)$", body)
        if m:
            found.append(("negate", f"{m.group(1)} !", f"{indent}{m.group(1)} ! {m.group(2)}"))
        elif body.startswith(("[ ", "[[ ")) and not body.endswith(("&&", "||", "\\", "|")):
            found.append(("negate", "! [", f"{indent}! {body}"))
    elif lang == "cpp":
        m = re.search(r"\b(if|while) \(", code)
        if m:
            start = m.end()
            depth, i = 1, start
            while i < len(code) and depth:
                depth += {"(": 1, ")": -1}.get(code[i], 0)
                i += 1
            if depth == 0:
                inner = code[start:i - 1]
                found.append(("negate", f"{m.group(1)} !", code[:start] + f"!({inner})" + code[i - 1:]))
    return found


def deletion_mutants(code, lang, prev_code):
    indent = code[:len(code) - len(code.lstrip())]
    body = code.strip()
    continued = prev_code is not None and prev_code.rstrip().endswith(("\\", "|", "&&", "||", ",", "(", "{"))
    if lang == "bash":
        if continued or BASH_KEYWORD.match(body) or re.match(r"^[\w-]+\(\)", body) or "=" in body.split(" ")[0]:
            return []
        if body.endswith(("\\", "|", "&&", "||", "{", "(", ";;", ")", "do", "then")) or body.startswith(("*", "-")) or \
                re.search(r"<<-?\s*['\"]?[A-Za-z_]", body):
            return []
        return [("delete", "statement deleted", f"{indent}:")]
    if lang == "python":
        if prev_code is not None and (prev_code.rstrip().endswith(("\\", ",", "(", "[", "{")) or
                                      prev_code.count("(") > prev_code.count(")")):
            return []
        if re.match(r"^(def|class|if|elif|else|for|while|try|except|finally|with|return|import|from|@)\b", body):
            return []
        if body.endswith((":", "(", "[", "{", ",", "\\")) or body.count("(") != body.count(")") or \
                re.match(r"^[\w.\[\], ]+ *=[^=]", body):
            return []
        return [("delete", "statement deleted", f"{indent}pass")]
    if lang == "cpp":
        # A call on a line of its own: f(...); obj.f(...); obj->f(...);
        if continued or not body.endswith(");") or body.count("(") != body.count(")"):
            return []
        if re.match(r"^(return|if|while|for|switch|case|const|auto|static|using|typedef|template)\b", body):
            return []
        if not re.match(r"^[\w:.>\-]+\s*\(", body) or re.match(r"^\w+(::\w+)*\s+\w", body):
            return []
        return [("delete", "call deleted", f"{indent};")]
    return []


def argument_mutants(code, lang):
    spans, comment = string_spans(code, lang)
    found = []
    if lang == "bash":
        # Two quoted arguments side by side: cmp -s "$a" "$b".
        for (s1, e1), (s2, e2) in zip(spans, spans[1:]):
            if code[e1:s2] == " " and code[s1:e1] != code[s2:e2] and code[s1] == '"' and code[s2] == '"':
                found.append(("arguments", "swapped", code[:s1] + code[s2:e2] + " " + code[s1:e1] + code[e2:]))
                break
        return found
    # The first two top-level arguments of the first call with two or more.
    for m in re.finditer(r"\w\(", code[:comment]):
        if not outside(spans, m.start(), m.end()):
            continue
        start = m.end()
        depth, i, cuts = 1, start, []
        while i < comment and depth:
            if not outside(spans, i, i + 1):
                i += 1
                continue
            c = code[i]
            if c in "([{":
                depth += 1
            elif c in ")]}":
                depth -= 1
            elif c == "," and depth == 1:
                cuts.append(i)
            i += 1
        if depth or not cuts:
            continue
        end = i - 1
        bounds = [start] + [c + 1 for c in cuts] + [end]
        args = [code[bounds[k]:bounds[k + 1] - (1 if k + 1 < len(bounds) - 1 else 0)] for k in range(len(bounds) - 1)]
        first, second = args[0].strip(), args[1].strip()
        if first == second or not first or not second or "=" in first or "=" in second:
            continue
        rest = code[cuts[1]:end] if len(cuts) > 1 else ""
        found.append(("arguments", f"swapped {_short(first, 16)}, {_short(second, 16)}",
                      code[:start] + second + ", " + first + rest + code[end:]))
        break
    return found


def early_return_mutants(lines, index, code, lang, prev_code):
    indent = code[:len(code) - len(code.lstrip())]
    if prev_code is None:
        return []
    if lang == "python" and re.match(r"^\s*def .*\):\s*(->.*)?:?$", prev_code.rstrip()) and \
            len(indent) > len(prev_code) - len(prev_code.lstrip()):
        return [("return", "early return", f"{indent}return\n{code}")]
    if lang == "bash" and re.match(r"^\s*[\w-]+\(\)\s*\{\s*$", prev_code) and not code.strip().startswith("}"):
        return [("return", "early return 0", f"{indent}return 0\n{code}")]
    if lang == "cpp" and prev_code.rstrip().endswith("{") and re.match(
            r"^(static |inline )*[\w:<>]+[\s*&]+\w+\(.*\)( const)?( noexcept)?\s*\{$", prev_code.strip()) and \
            not prev_code.strip().startswith(("if", "for", "while", "switch", "return")):
        value = "return;" if re.match(r"^(static |inline )*void\b", prev_code.strip()) else "return {};"
        return [("return", "early return", f"{indent}{value}\n{code}")]
    return []


def mutants_of(path, text, lines_wanted=None):
    """Every mutant of one file: dicts of file, line (1-based), kind, what,
    original and replacement."""
    lang = language(path)
    if lang is None:
        return []
    lines, coded = code_lines(text, lang)
    owner, _ = functions_of(text, lang)
    found = []
    prev_code = None
    for index, code in coded:
        if lines_wanted is None or index + 1 in lines_wanted:
            original = lines[index]
            tail = original[len(code):]
            candidates = (operator_mutants(code, lang) + condition_mutants(code, lang) +
                          integer_mutants(code, lang) + string_mutants(code, lang) +
                          argument_mutants(code, lang) + deletion_mutants(code, lang, prev_code) +
                          early_return_mutants(lines, index, code, lang, prev_code))
            seen = set()
            for kind, what, replacement in candidates:
                if replacement in seen or replacement == code:
                    continue
                seen.add(replacement)
                found.append({"file": path, "line": index + 1, "kind": kind, "what": what,
                              "original": original, "replacement": replacement + tail, "lang": lang,
                              "function": owner[index]})
        prev_code = code
    return found


def parses(mutant, text):
    """Whether the mutated file still parses (bash -n, compile()); C++ is left
    to the build."""
    mutated = apply(text, mutant)
    if mutant["lang"] == "python":
        try:
            compile(mutated, mutant["file"], "exec")
            return True
        except (SyntaxError, ValueError):
            return False
    if mutant["lang"] == "bash":
        result = subprocess.run(["bash", "-n"], input=mutated.encode(), capture_output=True)
        return result.returncode == 0
    return True


def apply(text, mutant):
    lines = text.split("\n")
    assert lines[mutant["line"] - 1] == mutant["original"], "the source changed under the mutant"
    lines[mutant["line"] - 1] = mutant["replacement"]
    return "\n".join(lines)


def mutant_id(mutant):
    return f"{mutant['file']}:{mutant['line']}:{mutant['kind']}:{mutant['replacement'].strip()}"


def pick(mutants, sample, seed):
    """SAMPLE mutants, the same for the same seed whatever the order: each
    mutant's rank is a hash of the seed and the mutant itself, so a change
    elsewhere (a mutant more or less in another file) leaves the other
    picks as they were."""
    def rank(m):
        return hashlib.sha256(f"{seed}\0{mutant_id(m)}".encode("utf-8", "surrogateescape")).hexdigest()

    chosen = sorted(mutants, key=rank)[:sample]
    return sorted(chosen, key=lambda m: (m["file"], m["line"], mutant_id(m)))


def pick_per_function(mutants, per_function, seed, sample=None):
    """PER_FUNCTION mutants of every function of every file (the top-level
    code counts as one), each function's picks ranked as pick() ranks them;
    then, while fewer than SAMPLE are chosen, the best-ranked of the rest."""
    groups = {}
    for m in mutants:
        groups.setdefault((m["file"], m.get("function", TOP_LEVEL)), []).append(m)
    chosen = []
    for group in groups.values():
        chosen += pick(group, per_function, seed)
    if sample and sample > len(chosen):
        taken = {mutant_id(m) for m in chosen}
        chosen += pick([m for m in mutants if mutant_id(m) not in taken], sample - len(chosen), seed)
    return sorted(chosen, key=lambda m: (m["file"], m["line"], mutant_id(m)))


# ---- The caller's checkout and the worktree ----------------------------------------


def git(repo, *args, check=True, **kwargs):
    return subprocess.run(["git", "-C", repo, *args], check=check, capture_output=True, **kwargs)


def changed_lines(repo, ref, path):
    """Lines of PATH (as it is in the checkout now) that differ from REF."""
    diff = git(repo, "diff", "-U0", ref, "--", path).stdout.decode("utf-8", "replace")
    wanted = set()
    for m in re.finditer(r"^@@ -\S+ \+(\d+)(?:,(\d+))? @@", diff, re.M):
        start, count = int(m.group(1)), int(m.group(2) or 1)
        wanted.update(range(start, start + count))
    if not wanted and not git(repo, "ls-files", "--error-unmatch", path, check=False).returncode == 0:
        return None  # untracked: every line is new
    return wanted


class Worktree:
    """A git worktree of the caller's repository, reset to the caller's state."""

    def __init__(self, repo, path):
        self.repo = repo
        self.path = os.path.abspath(path)
        if os.path.realpath(self.path) == os.path.realpath(repo):
            raise SystemExit("mutate.py: --worktree must not be the checkout itself")

    def snapshot(self):
        """The caller's state, taken once: HEAD, its uncommitted changes and its
        untracked files; every mutant starts from it."""
        self.head = git(self.repo, "rev-parse", "HEAD").stdout.decode().strip()
        self.patch = git(self.repo, "diff", "--binary", "HEAD").stdout
        self.untracked = {}
        names = git(self.repo, "ls-files", "--others", "--exclude-standard", "-z").stdout.decode().split("\0")
        for rel in filter(None, names):
            source = os.path.join(self.repo, rel)
            if os.path.isfile(source):
                with open(source, "rb") as f:
                    self.untracked[rel] = (f.read(), os.stat(source).st_mode & 0o777)

    def prepare(self):
        """Resets the worktree to the snapshot."""
        if not os.path.exists(os.path.join(self.path, ".git")):
            git(self.repo, "worktree", "prune", check=False)
            git(self.repo, "worktree", "add", "--detach", "--force", self.path, self.head)
        git(self.path, "checkout", "--detach", "--force", "-q", self.head)
        git(self.path, "reset", "--hard", "-q", self.head)
        git(self.path, "clean", "-fdq")  # ignored files (the build) stay
        if self.patch.strip():
            applied = subprocess.run(["git", "-C", self.path, "apply", "--whitespace=nowarn", "-"],
                                     input=self.patch, capture_output=True)
            if applied.returncode:
                raise SystemExit("mutate.py: cannot apply the checkout's changes in the worktree:\n" +
                                 applied.stderr.decode())
        for rel, (data, mode) in self.untracked.items():
            target = os.path.join(self.path, rel)
            if os.path.isfile(target):
                with open(target, "rb") as g:
                    if g.read() == data:
                        continue  # unchanged: no rebuild
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as g:
                g.write(data)
            os.chmod(target, mode)


# ---- Running ----------------------------------------------------------------------


def run(command, cwd, timeout, log, env):
    """Runs COMMAND with bash in its own process group; its exit code, or None
    when it ran past TIMEOUT (the group is stopped)."""
    with open(log, "ab") as out:
        out.write(f"$ {command}\n".encode())
        out.flush()
        process = subprocess.Popen(["bash", "-c", command], cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, start_new_session=True, env=env)
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None
        finally:
            for sig in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(process.pid, sig)
                except ProcessLookupError:
                    break
                if sig == signal.SIGTERM:
                    try:
                        process.wait(timeout=5)
                    except subprocess.TimeoutExpired:
                        pass


def read_map(path):
    """GLOB COMMAND lines (# comments): the test command for the files GLOB matches."""
    entries = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                pattern, command = line.split(None, 1)
                entries.append((pattern, command))
    return entries


def test_for(path, entries, default):
    for pattern, command in entries:
        if fnmatch.fnmatch(path, pattern):
            return command
    return default


def expand(command, worktree, mutant=None):
    return command.replace("{worktree}", shlex.quote(worktree)).replace(
        "{file}", shlex.quote(mutant["file"]) if mutant else "")


def diff_of(mutant):
    return "".join(difflib.unified_diff([mutant["original"] + "\n"], [mutant["replacement"] + "\n"],
                                        f"a/{mutant['file']}", f"b/{mutant['file']}", n=0)).replace(
        "@@ -1 +1", f"@@ -{mutant['line']} +{mutant['line']}", 1)


RESULTS = ("killed", "survived", "timed out", "not built")


def score(results):
    counts = {r: sum(1 for m in results if m["result"] == r) for r in RESULTS}
    judged = counts["killed"] + counts["survived"] + counts["timed out"]
    percent = 100.0 * (counts["killed"] + counts["timed out"]) / judged if judged else 0.0
    return counts, percent


def function_tables(results, functions, pool):
    """The score per file and per function, and the functions no mutant
    reached: FUNCTIONS maps each file to the names it defines, POOL holds
    every mutant that could have been picked."""
    def row(group):
        counts, percent = score(group)
        judged = counts["killed"] + counts["survived"] + counts["timed out"]
        return (f"{counts['killed']} | {counts['survived']} | {counts['timed out']} | {counts['not built']} | "
                + (f"{percent:.0f} %" if judged else "-") + " |")

    out = ["## Per file", "", "| file | killed | survived | timed out | not built | score |",
           "| --- | --- | --- | --- | --- | --- |"]
    for file in functions:
        out.append(f"| {file} | " + row([m for m in results if m["file"] == file]))
    out += ["", "## Per function", "", "| file | function | killed | survived | timed out | not built | score |",
            "| --- | --- | --- | --- | --- | --- | --- |"]
    missed = []
    for file, names in functions.items():
        for name in [TOP_LEVEL] + [n for n in dict.fromkeys(names) if n != TOP_LEVEL]:
            group = [m for m in results if m["file"] == file and m.get("function", TOP_LEVEL) == name]
            if group:
                out.append(f"| {file} | {name} | " + row(group))
            elif any(m["file"] == file and m.get("function", TOP_LEVEL) == name for m in pool):
                missed.append(f"- {file}: {name} (none picked)")
            elif name != TOP_LEVEL:
                missed.append(f"- {file}: {name} (no line of it gives a mutant)")
    out += ["", "## Functions without a mutant", ""] + (missed or ["none"]) + [""]
    return out


def cost_lines(results):
    """What a mutant cost: the median seconds of build and test, for those
    killed (timed out included) and for the survivors."""
    lines = []
    for what, kinds in (("killed", ("killed", "timed out")), ("survivor", ("survived",))):
        seconds = [m["seconds"] for m in results if m["result"] in kinds]
        if seconds:
            lines.append(f"cost: median {statistics.median(seconds):.0f} s a {what} mutant ({len(seconds)}), "
                         f"{sum(seconds) / 60:.1f} min in all")
    return lines + [""] if lines else []


def report(results, args, total, functions=None, pool=()):
    counts, percent = score(results)
    out = [f"# Mutation run: seed {args.seed}, sample {args.sample or 'all'} of {total} mutants", "",
           f"command: {' '.join(shlex.quote(a) for a in sys.argv)}", "",
           "| # | file:line | mutation | result | seconds |", "| --- | --- | --- | --- | --- |"]
    for n, m in enumerate(results, 1):
        out.append(f"| {n} | {m['file']}:{m['line']} | {m['kind']}: {m['what'].replace('|', '¦')} | "
                   f"{m['result']} | {m['seconds']:.0f} |")
    out += ["", "| killed | survived | timed out | not built | score |", "| --- | --- | --- | --- | --- |",
            f"| {counts['killed']} | {counts['survived']} | {counts['timed out']} | {counts['not built']} | "
            f"{percent:.1f} % |", ""] + cost_lines(results)
    if functions:
        out += function_tables(results, functions, pool)
    survivors = [m for m in results if m["result"] == "survived"]
    if survivors:
        out.append("## Survivors")
        for m in survivors:
            out += ["", "```diff", diff_of(m).rstrip("\n"), "```"]
    return "\n".join(out) + "\n", percent


def expand_files(repo, patterns):
    files = []
    for pattern in patterns:
        matched = sorted(glob.glob(os.path.join(repo, pattern), recursive=True))
        if not matched:
            raise SystemExit(f"mutate.py: no file matches {pattern}")
        for path in matched:
            rel = os.path.relpath(path, repo)
            if os.path.isfile(path) and language(path) and rel not in files:
                files.append(rel)
    return files


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("files", nargs="+", help="files or globs (** allowed), relative to the repository")
    parser.add_argument("--test", help="test command, run by bash in the worktree; fails when a mutant is "
                        "caught ({worktree} and {file} are replaced)")
    parser.add_argument("--test-map", metavar="FILE", help="lines 'GLOB COMMAND': the test command for the "
                        "files GLOB matches, the first match wins; --test for the others")
    parser.add_argument("--setup", help="command run once in the worktree before anything else (a first build)")
    parser.add_argument("--build", help="build command, run before each test; its failure is 'not built'")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--sample", type=int, help="how many mutants to run (default: all)")
    parser.add_argument("--per-function", type=int, metavar="N", help="N mutants of every function of every "
                        "file, the top-level code counting as one function; --sample then tops the picks up")
    parser.add_argument("--changed-since", metavar="REF", help="only lines that differ from REF")
    parser.add_argument("--worktree", help="the worktree the mutants run in (default: build/mutation-worktree)")
    parser.add_argument("--timeout", type=float, default=600, help="seconds a mutant's build and test may take")
    parser.add_argument("--require", type=float, default=0, metavar="PERCENT",
                        help="exit 1 when fewer are killed (timed out counts as killed)")
    parser.add_argument("--report", metavar="FILE", help="also write the report here")
    parser.add_argument("--list", action="store_true", help="list the picked mutants with their diffs; run nothing")
    parser.add_argument("--no-baseline", action="store_true", help="skip the run of the tests without a mutant")
    parser.add_argument("--resume", action="store_true", help="take the verdicts of mutants already killed, "
                        "timed out or not built from WORKTREE.logs/results.jsonl (each run appends to it) instead "
                        "of running them again; survivors run again (sound while cases are only added)")
    parser.add_argument("--rerun", action="append", default=[], metavar="FILE:LINE",
                        help="with --resume, run again only the survivors on these lines (a new case aims at "
                        "them); the others keep their verdict")
    args = parser.parse_args(argv)

    repo = git(os.getcwd(), "rev-parse", "--show-toplevel").stdout.decode().strip()
    files = expand_files(repo, args.files)
    mutants = []
    functions = {}
    for rel in files:
        with open(os.path.join(repo, rel), encoding="utf-8", errors="surrogateescape") as f:
            text = f.read()
        functions[rel] = functions_of(text, language(rel))[1]
        wanted = changed_lines(repo, args.changed_since, rel) if args.changed_since else None
        if wanted is not None and not wanted:
            continue
        mutants += [m for m in mutants_of(rel, text, wanted) if parses(m, text)]
    if args.per_function:
        chosen = pick_per_function(mutants, args.per_function, args.seed, args.sample)
    else:
        chosen = pick(mutants, args.sample, args.seed)
    print(f"mutate.py: {len(mutants)} mutants in {len(files)} files; running {len(chosen)} (seed {args.seed})",
          flush=True)
    if args.list:
        for m in chosen:
            print(f"-- {mutant_id(m)[:100]} [{m['function']}]\n{diff_of(m)}", end="")
        missed = function_tables([dict(m, result="not built") for m in chosen], functions, mutants)
        print("\n".join(missed[missed.index("## Functions without a mutant"):]))
        return 0
    if not args.test and not args.test_map:
        parser.error("--test or --test-map is needed")
    entries = read_map(args.test_map) if args.test_map else []
    worktree = Worktree(repo, args.worktree or os.path.join(repo, "build", "mutation-worktree"))
    logs = worktree.path + ".logs"
    os.makedirs(logs, exist_ok=True)
    env = dict(os.environ, OVIK_MUTANT="1")

    def build_and_test(mutant, log):
        if args.build and run(expand(args.build, worktree.path, mutant), worktree.path, args.timeout, log,
                              env) != 0:
            return "not built"
        command = test_for(mutant["file"], entries, args.test)
        if command is None:
            raise SystemExit(f"mutate.py: no test command for {mutant['file']}")
        status = run(expand(command, worktree.path, mutant), worktree.path, args.timeout, log, env)
        return "timed out" if status is None else ("survived" if status == 0 else "killed")

    worktree.snapshot()
    worktree.prepare()
    if args.setup:
        log = os.path.join(logs, "setup.log")
        if run(expand(args.setup, worktree.path), worktree.path, None, log, env) != 0:
            raise SystemExit(f"mutate.py: the set-up command fails; see {log}")
    if not args.no_baseline:
        # The build, then each test command the picked mutants need, without a mutant.
        log = os.path.join(logs, "baseline.log")
        open(log, "wb").close()
        start = time.time()
        if args.build and run(expand(args.build, worktree.path), worktree.path, None, log, env) != 0:
            raise SystemExit(f"mutate.py: the build fails without a mutant; see {log}")
        firsts = {}
        for m in chosen:
            firsts.setdefault(test_for(m["file"], entries, args.test), m)
        for command, m in firsts.items():
            if command is None:
                raise SystemExit(f"mutate.py: no test command for {m['file']}")
            if run(expand(command, worktree.path, m), worktree.path, None, log, env) != 0:
                raise SystemExit(f"mutate.py: the tests fail without a mutant ({command}); see {log}")
        print(f"mutate.py: baseline passes ({time.time() - start:.0f} s)", flush=True)

    results = []
    journal = os.path.join(logs, "results.jsonl")
    done = {}
    if args.resume and os.path.exists(journal):
        with open(journal, encoding="utf-8") as f:
            for line in f:
                entry = json.loads(line)
                if entry["result"] == "survived" and (not args.rerun or
                                                      f"{entry['file']}:{entry['line']}" in args.rerun):
                    done.pop(mutant_id(entry), None)
                else:
                    done[mutant_id(entry)] = entry
    for n, mutant in enumerate(chosen, 1):
        if mutant_id(mutant) in done:
            mutant.update(result=done[mutant_id(mutant)]["result"], seconds=done[mutant_id(mutant)]["seconds"])
            results.append(mutant)
            print(f"[{n}/{len(chosen)}] {mutant['result']:9} {mutant['file']}:{mutant['line']} (from {journal})",
                  flush=True)
            continue
        worktree.prepare()
        path = os.path.join(worktree.path, mutant["file"])
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            text = f.read()
        log = os.path.join(logs, f"{n:03d}.log")
        with open(log, "w", encoding="utf-8") as f:
            f.write(diff_of(mutant))
        start = time.time()
        try:
            with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
                f.write(apply(text, mutant))
            mutant["result"] = build_and_test(mutant, log)
        finally:
            with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
                f.write(text)
        mutant["seconds"] = time.time() - start
        results.append(mutant)
        with open(journal, "a", encoding="utf-8") as f:
            f.write(json.dumps(mutant) + "\n")
        counts, percent = score(results)
        print(f"[{n}/{len(chosen)}] {mutant['result']:9} {mutant['file']}:{mutant['line']} {mutant['kind']}: "
              f"{mutant['what']} ({mutant['seconds']:.0f} s; {percent:.0f} % so far)", flush=True)
        if mutant["result"] == "survived":
            print(diff_of(mutant), end="", flush=True)
    text, percent = report(results, args, len(mutants), functions, mutants)
    print(text)
    if args.report:
        with open(args.report, "w", encoding="utf-8") as f:
            f.write(text)
        with open(args.report + ".json", "w", encoding="utf-8") as f:
            json.dump(results, f, indent=1)
    return 0 if percent >= args.require else 1


if __name__ == "__main__":
    sys.exit(main())
