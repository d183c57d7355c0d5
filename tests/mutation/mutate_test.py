#!/usr/bin/env python3
"""mutate.py's mutants on small snippets of each language, its reproducible
picks, and a whole run on a throw-away repository that leaves the caller's
checkout as it was."""
import contextlib
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # no __pycache__ left in the checkout
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mutate  # noqa: E402


def read(path):
    with open(path, "rb") as f:
        return f.read()


def replacements(path, text):
    return {(m["line"], m["replacement"].strip()) for m in mutate.mutants_of(path, text)
            if mutate.parses(m, text)}


class MutantsTest(unittest.TestCase):
    def test_bash(self):
        text = """#!/usr/bin/env bash
# a comment: [ 1 -eq 1 ]
if [ "$#" -eq 1 ]; then
  echo "one argument" >&2   # said
fi

cat <<EOF
[ 2 -eq 2 ] in a here-document
EOF
exit 3
"""
        got = replacements("x.sh", text)
        lines = {line for line, _ in got}
        self.assertEqual(lines, {3, 4, 10}, got)
        for want in [(3, 'if [ "$#" -ne 1 ]; then'), (3, 'if ! [ "$#" -eq 1 ]; then'), (3, 'if [ "$#" -eq 2 ]; then'),
                     (4, ':   # said'), (4, 'echo "" >&2   # said'), (10, "exit 4"), (10, "exit 2")]:
            self.assertIn(want, got)
        # >&2 is a redirection, not a number; the comment stays.
        self.assertTrue(all(r.endswith("# said") for line, r in got if line == 4), got)

    def test_python(self):
        text = '''def f(a, b):
    """if a and b: a docstring"""
    if a and b:
        return g(a, b)
    return 0  # none
'''
        got = replacements("x.py", text)
        for want in [(3, "if a or b:"), (3, "if not (a and b):"), (4, "return g(b, a)"), (5, "return 1  # none")]:
            self.assertIn(want, got)
        self.assertFalse(any(line == 2 for line, _ in got), got)
        self.assertTrue(any(line == 3 and r.startswith("return\n") for line, r in got), got)

    def test_cpp(self):
        text = """// if (a == b) in a comment
/* a block
   if (a == b) */
bool Same(int a, int b) {
    if (a == b)
        Log(L"same", a);
    return a == b;
}
"""
        got = replacements("x.cpp", text)
        for want in [(5, "if (a != b)"), (5, "if (!(a == b))"), (6, "Log(L\"\", a);"), (6, ";"),
                     (6, "Log(a, L\"same\");"), (7, "return a != b;"), (5, "return {};\n    if (a == b)")]:
            self.assertIn(want, got)
        self.assertFalse(any(line < 4 for line, _ in got), got)

    def test_a_bash_mutant_that_does_not_parse_is_dropped(self):
        text = "f() {\n  x=1\n}\n"
        for m in mutate.mutants_of("x.sh", text):
            self.assertTrue(mutate.parses(m, text) or m["replacement"].strip() not in ("x=1",))
        self.assertFalse(mutate.parses({"lang": "bash", "file": "x.sh", "line": 1, "original": "f() {",
                                        "replacement": "f() {{"}, text))

    def test_picks_are_reproducible(self):
        text = "\n".join(f"[ $x -eq {n} ] && echo {n}" for n in range(40)) + "\n"
        everything = mutate.mutants_of("x.sh", text)
        first = [mutate.mutant_id(m) for m in mutate.pick(everything, 10, 7)]
        again = [mutate.mutant_id(m) for m in mutate.pick(list(reversed(everything)), 10, 7)]
        other = [mutate.mutant_id(m) for m in mutate.pick(everything, 10, 8)]
        self.assertEqual(first, again)
        self.assertNotEqual(first, other)
        self.assertEqual(len(set(first)), 10)
        # Mutants of another file join the pool: those picked from this one
        # were picked before too.
        more = mutate.mutants_of("y.sh", text.replace("echo", "printf"))
        self.assertLessEqual({i for i in map(mutate.mutant_id, mutate.pick(everything + more, 10, 7))
                              if i.startswith("x.sh")}, set(first))


class FunctionsTest(unittest.TestCase):
    def owners(self, text, lang):
        owner, names = mutate.functions_of(text, lang)
        return {n + 1: name for n, name in enumerate(owner)}, names

    def test_each_language_names_the_function_of_each_line(self):
        bash = 'one() {\n  echo 1\n}\nquick() { echo 2; }\necho top\nfunction two {\n  if x; then\n    y\n  fi\n}\n'
        owner, names = self.owners(bash, "bash")
        self.assertEqual(names, ["one", "quick", "two"])
        self.assertEqual([owner[n] for n in (2, 4, 5, 8, 10)], ["one", "quick", mutate.TOP_LEVEL, "two", "two"])
        python = "class C:\n    def m(self):\n        def inner():\n            return 1\n        return inner\n\n" \
                 "    x = 2\nvalue = 3\n"
        owner, names = self.owners(python, "python")
        self.assertEqual(names, ["C.m", "C.m.inner"])
        self.assertEqual([owner[n] for n in (4, 5, 7, 8)], ["C.m.inner", "C.m", mutate.TOP_LEVEL, mutate.TOP_LEVEL])
        cpp = ("namespace {\nconst int kTable[] = {1, 2};\nbool Same(int a,\n          int b) {\n"
               "    auto f = [](int x) { return x; };\n    Log(L\"}\");\n"
               "    std::sort(v, [](int x) {\n        return x;\n    });\n"
               "    return f(a) == b;\n}\n}  // namespace\nTEST_F(Suite, Case) {\n    EXPECT_TRUE(Same(1, 1));\n"
               "}\nconst int kTwo = [] {\n    while (true) {\n        if (true) {\n            return 2;\n        }\n"
               "    }\n}();\nTEST_P(Other, Case) {\n}\n")
        owner, names = self.owners(cpp, "cpp")
        self.assertEqual(names, ["Same", "Suite.Case", "Other.Case"])
        self.assertEqual([owner[n] for n in (2, 3, 4, 5, 9, 14, 19)],
                         [mutate.TOP_LEVEL, "Same", "Same", "Same", "Same", "Suite.Case", mutate.TOP_LEVEL])

    def test_per_function_picks_reach_every_function_and_the_report_names_the_rest(self):
        text = "big() {\n" + "".join(f"  [ $x -eq {n} ] && echo {n}\n" for n in range(30)) + "}\n" \
               "small() {\n  [ $y -eq 1 ]\n}\nexit 3\n"
        everything = mutate.mutants_of("x.sh", text)
        chosen = mutate.pick_per_function(everything, 2, 5)
        self.assertEqual(sorted(m["function"] for m in chosen), [mutate.TOP_LEVEL] * 2 + ["big"] * 2 + ["small"] * 2)
        self.assertEqual([mutate.mutant_id(m) for m in chosen],
                         [mutate.mutant_id(m) for m in mutate.pick_per_function(everything[::-1], 2, 5)])
        self.assertEqual(len(mutate.pick_per_function(everything, 2, 5, sample=20)), 20)
        results = [dict(m, result="killed" if m["function"] == "big" else "survived", seconds=0) for m in chosen]
        tables = "\n".join(mutate.function_tables(results, {"x.sh": ["big", "small", "gone"]}, everything))
        self.assertIn("## Per file\n\n| file | killed | survived | timed out | not built | score |\n| --- |", tables)
        self.assertIn("## Per function\n\n| file | function | killed | survived | timed out | not built | score |"
                      "\n| --- | --- | --- | --- | --- | --- | --- |\n", tables)
        self.assertIn("| x.sh | big | 2 | 0 | 0 | 0 | 100 % |", tables)
        self.assertIn("| x.sh | small | 0 | 2 | 0 | 0 | 0 % |", tables)
        self.assertIn("| x.sh | 2 | 4 | 0 | 0 | 33 % |", tables)
        self.assertIn("## Functions without a mutant\n\n- x.sh: gone (no line of it gives a mutant)\n", tables)
        self.assertIn("| x.sh | 0 | 0 | 0 | 0 | - |", "\n".join(mutate.function_tables([], {"x.sh": []}, [])))
        self.assertIn("## Functions without a mutant\n\nnone\n", "\n".join(mutate.function_tables([], {}, [])))
        less = "\n".join(mutate.function_tables(results[2:], {"x.sh": ["big", "small"]}, everything))
        self.assertIn("(none picked)", less)


class RunTest(unittest.TestCase):
    def test_a_run_in_its_worktree_leaves_the_checkout_alone(self):
        repo = tempfile.mkdtemp(prefix="mutate-test-")
        self.addCleanup(shutil.rmtree, repo, ignore_errors=True)
        git = ["git", "-C", repo, "-c", "user.name=t", "-c", "user.email=t@t"]
        subprocess.run(["git", "init", "-q", repo], check=True)
        script = os.path.join(repo, "one.sh")
        with open(script, "w") as f:
            f.write('one() { [ "$1" -eq 1 ] && echo one; }\none "$1"\ntrue 0\nexit 0\n')
        subprocess.run(git + ["add", "one.sh"], check=True)
        subprocess.run(git + ["commit", "-qm", "one"], check=True)
        # An uncommitted test of the caller's counts in the worktree.
        with open(os.path.join(repo, "test.sh"), "w") as f:
            f.write('[ "$(bash one.sh 1)" = one ] && ! bash one.sh 2 | grep -q .\n')
        before = {name: read(os.path.join(repo, name)) for name in ("one.sh", "test.sh")}
        status = subprocess.run(git + ["status", "--porcelain"], capture_output=True).stdout
        worktree = repo + "-worktree"
        self.addCleanup(shutil.rmtree, worktree, ignore_errors=True)
        self.addCleanup(shutil.rmtree, worktree + ".logs", ignore_errors=True)
        report = repo + ".md"
        self.addCleanup(lambda: [os.remove(p) for p in (report, report + ".json") if os.path.exists(p)])
        cwd = os.getcwd()
        os.chdir(repo)
        try:
            with contextlib.redirect_stdout(io.StringIO()) as out:
                code = mutate.main(["one.sh", "--test", "bash test.sh", "--worktree", worktree, "--report", report,
                                    "--require", "100", "--per-function", "100"])
            # Resumed, only the survivor a new case aims at runs again.
            with contextlib.redirect_stdout(io.StringIO()) as resumed:
                mutate.main(["one.sh", "--test", "bash test.sh", "--worktree", worktree, "--per-function", "100",
                             "--no-baseline", "--resume", "--rerun", "one.sh:4"])
            with contextlib.redirect_stdout(io.StringIO()) as listed:
                mutate.main(["one.sh", "--list", "--sample", "2"])
        finally:
            os.chdir(cwd)
        self.assertEqual({n: read(os.path.join(repo, n)) for n in before}, before)
        self.assertEqual(subprocess.run(git + ["status", "--porcelain"], capture_output=True).stdout, status)
        with open(report) as f:
            text = f.read()
        self.assertIn("| killed | survived | timed out | not built | score |", text)
        # The test reads the output only: "exit 0" -> "exit 1" goes through.
        self.assertIn("## Survivors", text)
        self.assertIn("-exit 0\n+exit 1\n", text)
        self.assertIn("| one.sh | (top level) | ", text)
        self.assertIn("| one.sh | one | ", text)
        self.assertIn("running 2 (seed 1)\n-- one.sh:", listed.getvalue())
        self.assertIn("]\n--- a/one.sh", listed.getvalue())
        self.assertNotIn("## Per file", listed.getvalue())
        self.assertTrue(listed.getvalue().endswith(
            "## Functions without a mutant\n\n- one.sh: (top level) (none picked)\n\n"), listed.getvalue())
        self.assertEqual(code, 1, out.getvalue())
        progress = [line for line in resumed.getvalue().splitlines() if re.match(r"\[\d+/\d+\] ", line)]
        self.assertEqual(len(progress), out.getvalue().count("\n["), resumed.getvalue())
        for line in progress:
            self.assertEqual(" one.sh:4 " in line, "(from " not in line, line)
        # Every mutant was undone in the worktree too.
        self.assertEqual(read(os.path.join(worktree, "one.sh")), before["one.sh"])


if __name__ == "__main__":
    unittest.main()
