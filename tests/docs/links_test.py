#!/usr/bin/env python3
"""Every relative link in README.md and docs/*.md leads somewhere.

A link names a file or folder of the repository, and a named section
(`page.md#section`, or `#section` within the page) names a heading of that
page, by the anchor a Git forge makes of it: the heading's text in lower
case, without punctuation, spaces as hyphens, and -1, -2, ... after a
repeated one. Links inside code (fenced blocks and `spans`) are text, not
links. Web links are not followed.

    python3 tests/docs/links_test.py      # the pages' links, and this checker's own cases
"""
import os
import re
import sys
import tempfile
import unittest
from urllib.parse import unquote

ROOT = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

FENCE = re.compile(r"^\s*(```|~~~)")
HEADING = re.compile(r"^ {0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
CODE_SPAN = re.compile(r"(`+)(?:(?!\1).)+?\1")
INLINE_LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\[\]]*\])*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s.*)?$")
SCHEME = re.compile(r"^[a-zA-Z][a-zA-Z0-9+.-]*:")


def prose_lines(text):
    """(line number, line) of each line outside fenced code blocks."""
    fenced = False
    for number, line in enumerate(text.split("\n"), 1):
        if FENCE.match(line):
            fenced = not fenced
            continue
        if not fenced:
            yield number, line


def slug(heading):
    """The anchor a heading gets: its shown text, lower case, punctuation dropped."""
    shown = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link shows its text
    shown = shown.lower()
    kept = "".join(c for c in shown if c.isalnum() or c in " -_")
    return kept.replace(" ", "-")


def anchors(text):
    """Every section anchor of a page, repeated headings numbered."""
    seen = {}
    found = set()
    for _, line in prose_lines(text):
        match = HEADING.match(line)
        if not match:
            continue
        base = slug(match.group(2))
        count = seen.get(base, 0)
        seen[base] = count + 1
        found.add(base if count == 0 else f"{base}-{count}")
    return found


def links(text):
    """(line number, target) of each link outside code."""
    for number, line in prose_lines(text):
        line = CODE_SPAN.sub("", line)
        reference = REFERENCE.match(line)
        if reference:
            yield number, reference.group(1)
            continue
        for match in INLINE_LINK.finditer(line):
            yield number, match.group(1)


def check_page(root, page):
    """The problems of one page (a path relative to root), one line each."""
    path = os.path.join(root, page)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    problems = []
    for number, target in links(text):
        where = f"{page}:{number}"
        if not target:
            problems.append(f"{where}: a link without a target")
            continue
        if SCHEME.match(target):
            continue
        file_part, _, section = target.partition("#")
        if file_part:
            resolved = os.path.realpath(os.path.join(os.path.dirname(path), unquote(file_part)))
            if not (resolved == root or resolved.startswith(root + os.sep)):
                problems.append(f"{where}: {file_part} lies outside the repository")
                continue
            if not os.path.exists(resolved):
                problems.append(f"{where}: {file_part} does not exist")
                continue
        else:
            resolved = path
        if section and resolved.endswith(".md") and os.path.isfile(resolved):
            with open(resolved, encoding="utf-8") as f:
                if unquote(section) not in anchors(f.read()):
                    named = os.path.relpath(resolved, root)
                    problems.append(f"{where}: {named} has no section #{section}")
    return problems


def pages(root):
    found = ["README.md"] if os.path.isfile(os.path.join(root, "README.md")) else []
    docs = os.path.join(root, "docs")
    if os.path.isdir(docs):
        found += sorted(f"docs/{name}" for name in os.listdir(docs) if name.endswith(".md"))
    return found


def check(root):
    problems = []
    for page in pages(root):
        problems += check_page(root, page)
    return problems


class TheseDocs(unittest.TestCase):
    def test_every_link_and_section_exists(self):
        self.assertTrue(pages(ROOT))
        problems = check(ROOT)
        self.assertEqual(problems, [], "\n" + "\n".join(problems))


class Checker(unittest.TestCase):
    def setUp(self):
        self.root = os.path.realpath(tempfile.mkdtemp())
        os.mkdir(os.path.join(self.root, "docs"))

    def tearDown(self):
        for folder, subfolders, files in os.walk(self.root, topdown=False):
            for name in files:
                os.remove(os.path.join(folder, name))
            for name in subfolders:
                os.rmdir(os.path.join(folder, name))
        os.rmdir(self.root)

    def page(self, name, text):
        with open(os.path.join(self.root, name), "w", encoding="utf-8") as f:
            f.write(text)

    def test_links_to_pages_sections_and_files(self):
        self.page("docs/a.md", "# A\n\n## One run at a time in `--out`\n\n## Notes\n\n## Notes\n\n"
                  "## Known limits: Wine's `MAX_PATH`, [2.1](https://example.com/x)\n\n## 日本語の名前 (ja)\n")
        self.page("docs/x.txt", "not a page: no sections to find\n")
        self.page("README.md", "[a](docs/a.md#one-run-at-a-time-in---out) [b](docs/a.md#notes-1)\n"
                  "![c](docs/a.md) [d](docs/a.md#known-limits-wines-max_path-21) [e](#top)\n"
                  "[f](docs/a.md#日本語の名前-ja) [g](https://example.com/none#x) [x](docs/x.txt#L1)\n"
                  "```\n[in code](nowhere.md)\n```\n`[span](nowhere.md)`\n[h]: docs/\n\n# Top\n")
        self.assertEqual(check(self.root), [])

    def test_a_missing_file_or_section_is_named_with_its_line(self):
        self.page("docs/a.md", "# A\n\n## Notes\n\n[back](../README.md#nowhere)\n")
        self.page("README.md", "# R\n\nsee [a](docs/b.md) and [n](docs/a.md#notes-1),\n"
                  "[self](#r) [gone](#gone) [out](../outside.md)\n[ref]: docs/none/\n[empty]()\n")
        self.assertEqual(check(self.root), [
            "README.md:3: docs/b.md does not exist",
            "README.md:3: docs/a.md has no section #notes-1",
            "README.md:4: README.md has no section #gone",
            "README.md:4: ../outside.md lies outside the repository",
            "README.md:5: docs/none/ does not exist",
            "README.md:6: a link without a target",
            "docs/a.md:5: README.md has no section #nowhere",
        ])


if __name__ == "__main__":
    unittest.main(verbosity=1)
