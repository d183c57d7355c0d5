#!/usr/bin/python3
"""Writes a large client folder of our own making for the release benchmark.

The folder holds the sample client's three files at their places
(startClass.exe, ovikClient/ScreenCapture.ax, ovikClient/ovikclient.ico)
and, by default, 26,000 more files in about 2,100 folders, 160 MiB in all:
many small text-like files, small and medium binaries, a few large
binaries that hardly compress. Names are Latin and Japanese, some long
(Latin up to 200 UTF-16 units, Japanese up to 127), and some paths run
deep: files installed under C:\\ovikProgram come up to 259 characters,
folders up to 248 (what CreateDirectoryW takes without long paths), and
many relative paths pass 240 bytes in UTF-16. Every name is one that
Windows holds: no < > : " / \\ | ? *, no ';', no control characters, no
trailing space or dot, no device names, no two names in one folder that
differ only in letter case.

The same options give the same names and bytes on every run (the tree is
drawn from a seeded generator and written in a fixed order).

usage: make-large-client.py --out DIR [--files N] [--megabytes N]
                            [--max-name N] [--seed N] [--sample DIR]
       make-large-client.py --describe DIR
"""

import argparse
import math
import os
import random
import re
import shutil
import sys

INSTALL_ROOT = "C:\\ovikProgram"
MAX_INSTALLED_FILE = 259  # MAX_PATH less the terminating null
MAX_INSTALLED_FOLDER = 248  # CreateDirectoryW without long paths: MAX_PATH - 12
LATIN_MAX = 200
JAPANESE_MAX = 127
JOLIET_PATH_BYTES = 240
# Folders outside the deep chains stay this short installed, so that most
# paths stay within a CD's Joliet limit, as in a real client.
SHALLOW = 75
NAME_BYTES = 255  # what ext4 and most Linux file systems hold of a name, in UTF-8
SAMPLE_FILES = ("startClass.exe", "ovikClient/ScreenCapture.ax", "ovikClient/ovikclient.ico")
DEVICE = re.compile(r"^(con|prn|aux|nul|com[0-9¹²³]|lpt[0-9¹²³]|conin\$|conout\$)$")

LATIN_WORDS = (
    "core util index lib types parser stream buffer crypto http client server config locale "
    "screen capture render image font icon theme plugin module helper common shared runtime "
    "native binding worker cache store model view control dialog setup update report export "
    "import sample data asset build dist src test docs legacy compat win32 x64 arm64 node esm "
    "cjs polyfill string array object promise event emitter path url query encode decode "
    "inflate deflate zlib archive manifest schema validate format print color style layout "
    "grid table cell row column chart graph axis legend tooltip menu toolbar status window "
    "frame canvas pixel bitmap vector matrix transform filter effect audio video codec"
).split()
JAPANESE_WORDS = (
    "設定 画面 説明書 資料 報告書 会議 議事録 顧客 一覧 見積書 請求書 売上 集計 年度 月次 週報 "
    "日報 社内 規程 手順 手順書 更新 履歴 バックアップ データ 画像 写真 動画 音声 テンプレート "
    "サンプル テスト 開発 検証 本番 環境 構成 管理 利用者 権限 申請 承認 経理 人事 総務 営業 "
    "企画 東京 大阪 名古屋 福岡 札幌 第一 第二 営業部 開発課 新規 最新版 確定版 下書き 控え 共有 "
    "個人 作業用 取扱説明書 よくある質問 お知らせ ようこそ はじめに つかいかた ｶﾀｶﾅ ﾌｧｲﾙ "
    "画面キャプチャ 録画 配信 受講者 講師 教材 第３章 付録 索引 令和５年度 全角１２３ 〜まとめ〜"
).split()
SEPARATORS = ("-", "_", ".", "", " ", "-", "_")
JAPANESE_SEPARATORS = ("", "_", "・", "", " ", "-")

# kind: (share of the ordinary files, extensions, median bytes, spread, cap)
KINDS = {
    "text": (0.83, (".js", ".mjs", ".ts", ".json", ".md", ".txt", ".css", ".html", ".xml",
                    ".ini", ".csv", ".map", ".yml", ".d.ts", ".cjs"), 900, 1.2, 400_000),
    "small": (0.15, (".png", ".ico", ".gif", ".jpg", ".dat", ".bin", ".woff2", ".cur"),
              3_000, 1.0, 1_000_000),
    "binary": (0.02, (".dll", ".exe", ".node", ".wasm", ".pak", ".ax"), 40_000, 1.0, 8_000_000),
}
LARGE_EXTENSIONS = (".dll", ".dat", ".pak", ".bin", ".mp4", ".pdf", ".zip", ".exe")


def units(text):
    """Length in UTF-16 code units, as Windows counts it."""
    return len(text.encode("utf-16-le")) // 2


def installed_length(rel):
    """Characters of C:\\ovikProgram\\REL; REL is '' for the root itself."""
    return units(INSTALL_ROOT) + (units(rel) + 1 if rel else 0)


def acceptable(name):
    if not name or name[-1] in " ." or name[0] == " " or len(name.encode("utf-8")) > NAME_BYTES:
        return False
    if any(c in '<>:"/\\|?*;' or ord(c) < 32 or ord(c) == 127 for c in name):
        return False
    return not DEVICE.match(name.split(".")[0].rstrip(" ").lower())


class Folder:
    def __init__(self, rel, depth):
        self.rel = rel
        self.depth = depth
        self.used = set()  # names in it, lower case: files and folders share one namespace
        self.files = []  # (name, kind)

    def room(self):
        """UTF-16 units left for a file name in this folder."""
        return MAX_INSTALLED_FILE - installed_length(self.rel) - 1

    def child(self, name):
        return self.rel + "/" + name if self.rel else name


class Planner:
    def __init__(self, rng, max_name):
        self.rng = rng
        self.max_name = max_name

    def words(self, japanese, length):
        """Words joined to at least `length` UTF-16 units."""
        pool, seps = (JAPANESE_WORDS, JAPANESE_SEPARATORS) if japanese else (LATIN_WORDS, SEPARATORS)
        sep = self.rng.choice(seps)
        text = self.rng.choice(pool)
        while units(text) < length:
            word = self.rng.choice(pool)
            if not japanese and sep == "" and self.rng.random() < 0.8:
                word = word.capitalize()
            text += sep + word
        return text

    def name(self, japanese, length, ext=""):
        """A name of exactly `length` UTF-16 units (at least the extension and two more)."""
        length = max(length, units(ext) + 2)
        want = length - units(ext)
        room = NAME_BYTES - len(ext.encode("utf-8"))
        if japanese and 3 * want > room:
            # A Linux folder holds 255 bytes of UTF-8 a name, 85 Japanese
            # characters: a longer Japanese name carries Latin words too.
            kana = (room - want) // 2
            head = self.words(True, kana)[:kana].rstrip(" .-_・")
            stem = head + "_" + self.words(False, want - units(head) - 1)
            pad = "abcdefghijklmnopqrstuvwxyz0123456789"
        else:
            stem = self.words(japanese, want)
            pad = "あいうえおかきくけこ" if japanese else "abcdefghijklmnopqrstuvwxyz0123456789"
        while units(stem) > want:
            stem = stem[:-1]
        stem = stem.rstrip(" .-_・")
        while units(stem) < want:
            stem += self.rng.choice(pad)
        return stem + ext

    def typical_length(self, japanese):
        if japanese:
            return self.rng.randint(3, 18)
        return max(2, min(60, int(self.rng.lognormvariate(math.log(11), 0.5))))

    def place(self, folder, japanese, length, ext=""):
        """A new name in `folder`: `length` units if it fits the folder's room
        and the cap, shorter otherwise; None when the folder has no room."""
        limit = min(self.max_name, folder.room(), JAPANESE_MAX if japanese else LATIN_MAX)
        if limit < units(ext) + 2:
            return None
        length = min(length, limit)
        for attempt in range(60):
            # Short names run out of variety: later attempts carry a number.
            tail = "" if attempt < 10 else f"-{attempt}"
            name = self.name(japanese, length, tail + ext)
            if units(name) <= limit and acceptable(name) and name.lower() not in folder.used:
                folder.used.add(name.lower())
                return name
        return None


def plan(args, rng):
    """The tree: folders (in creation order) and their files, nothing written yet."""
    planner = Planner(rng, args.max_name)
    root = Folder("", 0)
    root.used.update({"startclass.exe", "ovikclient", "installer"})
    client = Folder("ovikClient", 1)
    client.used.update({"screencapture.ax", "ovikclient.ico"})
    folders = [root, client]
    folder_target = max(2, round(args.files * 2100 / 26000))

    # Deep chains first: each runs from a shallow folder to one whose
    # installed path ends close under the folder limit.
    chains = max(1, folder_target // 150)
    chain_ends = []
    tops = []
    for _ in range(min(8, max(1, folder_target // 40))):
        japanese = rng.random() < 0.3
        name = planner.place(root, japanese, planner.typical_length(japanese))
        top = Folder(name, 1)
        folders.append(top)
        tops.append(top)
    for _ in range(chains):
        parent = rng.choice(tops)
        goal = rng.randint(215, MAX_INSTALLED_FOLDER)
        while len(folders) < folder_target:
            left = goal - installed_length(parent.rel) - 1
            if left < 3:
                break
            japanese = rng.random() < 0.3
            want = rng.randint(8, 45)
            if left - want < 10:
                want = left
            name = planner.place(parent, japanese, min(want, left))
            if name is None:
                break
            parent = Folder(parent.child(name), parent.depth + 1)
            folders.append(parent)
        chain_ends.append(parent)

    # The rest grows where folders already are, most of it a few levels down.
    while len(folders) < folder_target:
        parent = rng.choice(folders)
        if parent.depth >= 7 or installed_length(parent.rel) > SHALLOW or rng.random() < parent.depth * 0.08:
            parent = rng.choice(folders[: max(3, len(folders) // 3)])
            if installed_length(parent.rel) > SHALLOW:
                continue
        japanese = rng.random() < 0.25
        length = planner.typical_length(japanese)
        if rng.random() < 0.005:
            length = rng.randint(30, 70)
        name = planner.place(parent, japanese, length)
        if name is not None and installed_length(parent.child(name)) <= MAX_INSTALLED_FOLDER:
            folders.append(Folder(parent.child(name), parent.depth + 1))

    def add_file(folder, japanese, length, kind, ext=None):
        ext = ext if ext is not None else rng.choice(KINDS[kind][1])
        name = planner.place(folder, japanese, length, ext)
        if name is not None:
            folder.files.append((name, kind))
        return name is not None

    # Names at the limits that matter to a CD and to Windows, each in the
    # shallowest folder that has room for it, and files ending exactly at
    # the installed-path limit at the ends of the chains.
    budget = args.files - large_count(args)
    limits = [(False, n) for n in (64, 65, 103, 104, 127, 128, LATIN_MAX)]
    limits += [(True, n) for n in (64, 65, 103, 104, JAPANESE_MAX)]
    shallow = sorted(folders, key=lambda f: installed_length(f.rel))
    for japanese, length in limits:
        if length <= args.max_name and budget > 0:
            for folder in shallow:
                if folder.room() >= length and add_file(folder, japanese, length, "text", ".txt"):
                    budget -= 1
                    break
    for index, end in enumerate(chain_ends):
        for slack in (0, 1, rng.randint(2, 12)):
            if budget > 0 and end.room() - slack >= 8:
                if add_file(end, index % 3 == 0, end.room() - slack, "text"):
                    budget -= 1

    # The ordinary files, spread unevenly over the folders.
    # Deep folders hold fewer files, as in a real client.
    weights = [rng.paretovariate(1.2) * (0.15 if units(f.rel) > 100 else 1) for f in folders]
    shares = [(kind, traits[0]) for kind, traits in KINDS.items()]
    while budget > 0:
        folder = rng.choices(folders, weights)[0]
        pick = rng.random()
        kind = "text" if pick < shares[0][1] else "small" if pick < shares[0][1] + shares[1][1] else "binary"
        japanese = rng.random() < 0.22
        length = planner.typical_length(japanese)
        if rng.random() < 0.01:
            length = rng.randint(40, JAPANESE_MAX if japanese else LATIN_MAX)
        if add_file(folder, japanese, length, kind):
            budget -= 1
    return folders


def large_count(args):
    return max(1, round(args.files / 1000))


def sizes(args, rng, folders):
    """Byte counts for every planned file, filling up to --megabytes with a
    few large binaries."""
    plan_sizes = {}
    total = 0
    for folder in folders:
        for name, kind in folder.files:
            _, _, median, spread, cap = KINDS[kind]
            size = max(16, min(cap, int(rng.lognormvariate(math.log(median), spread))))
            plan_sizes[folder.child(name)] = size
            total += size
    # The large binaries take what the others leave, and at least 30 %.
    target = args.megabytes * 1024 * 1024
    if total > target * 0.7:
        scale = target * 0.7 / total
        for rel in plan_sizes:
            plan_sizes[rel] = max(16, int(plan_sizes[rel] * scale))
    left = target - sum(plan_sizes.values())
    weights = [rng.paretovariate(1.5) for _ in range(large_count(args))]
    homes = [f for f in folders if f.depth <= 3 and f.room() >= 40]
    planner = Planner(rng, args.max_name)
    large = []
    for weight in weights:
        folder = rng.choice(homes)
        name = None
        while name is None:
            name = planner.place(folder, rng.random() < 0.25, rng.randint(6, 24), rng.choice(LARGE_EXTENSIONS))
        folder.files.append((name, "large"))
        large.append(folder.child(name))
        plan_sizes[folder.child(name)] = int(left * weight / sum(weights))
    # Whatever rounding left goes to the first one.
    plan_sizes[large[0]] += target - sum(plan_sizes.values())
    return plan_sizes


def text_pool(rng):
    """A few MB of text-like bytes: code-ish Latin lines and Japanese prose."""
    lines = []
    for _ in range(40_000):
        if rng.random() < 0.2:
            lines.append("".join(rng.choice(JAPANESE_WORDS) for _ in range(rng.randint(3, 12))) + "。")
        else:
            words = [rng.choice(LATIN_WORDS) for _ in range(rng.randint(2, 9))]
            lines.append("  " * rng.randint(0, 4) + rng.choice(("const ", "return ", "// ", "", "export ")) +
                         "_".join(words[:2]) + " = " + ".".join(words[2:]) + ";")
    return "\n".join(lines).encode("utf-8")


def content(rng, kind, size, rel, pool):
    header = ("// " + rel + "\n").encode("utf-8")
    if kind == "text":
        start = rng.randrange(len(pool) - size) if size < len(pool) else 0
        body = (header + pool[start:start + size])[:size]
        return body + b"\n" * (size - len(body))
    if kind == "binary":
        # Code-like: random blocks between zeroed and repeated ones.
        blocks = []
        length = 0
        while length < size:
            pick = rng.random()
            block = rng.randbytes(4096) if pick < 0.5 else bytes(4096) if pick < 0.8 else rng.randbytes(64) * 64
            blocks.append(block)
            length += len(block)
        return (header + b"".join(blocks))[:size]
    return (header + rng.randbytes(max(0, size - len(header))))[:size]


def write_tree(args, rng, folders, plan_sizes):
    out = args.out
    for rel in SAMPLE_FILES:
        source = os.path.join(args.sample, rel)
        os.makedirs(os.path.dirname(os.path.join(out, rel)) or out, exist_ok=True)
        shutil.copyfile(source, os.path.join(out, rel))
    pool = text_pool(rng)
    for folder in folders:
        os.makedirs(os.path.join(out, folder.rel), exist_ok=True)
        for name, kind in folder.files:
            rel = folder.child(name)
            with open(os.path.join(out, rel), "wb") as stream:
                stream.write(content(rng, kind, plan_sizes[rel], rel, pool))


def describe(top):
    """Figures of a client folder, one `key value` a line."""
    files = folders = total = 0
    longest = {"latin": (0, ""), "japanese": (0, "")}
    deepest_file = (0, "")
    deepest_folder = (0, "")
    over = {64: 0, 103: 0}
    joliet_long = 0
    for path, dirs, names in os.walk(top):
        rel_dir = os.path.relpath(path, top)
        rel_dir = "" if rel_dir == "." else rel_dir
        for name in dirs + names:
            rel = os.path.join(rel_dir, name)
            length = units(name)
            script = "latin" if all(ord(c) < 0x3000 for c in name) else "japanese"
            longest[script] = max(longest[script], (length, rel))
            for limit in over:
                over[limit] += length > limit
            if 2 * units(rel) > JOLIET_PATH_BYTES:
                joliet_long += 1
            if name in dirs:
                folders += 1
                deepest_folder = max(deepest_folder, (installed_length(rel), rel))
            else:
                files += 1
                total += os.lstat(os.path.join(path, name)).st_size
                deepest_file = max(deepest_file, (installed_length(rel), rel))
    print(f"files {files}")
    print(f"folders {folders}")
    print(f"bytes {total}")
    print(f"longest_latin_name {longest['latin'][0]}")
    print(f"longest_japanese_name {longest['japanese'][0]}")
    print(f"names_over_64 {over[64]}")
    print(f"names_over_103 {over[103]}")
    print(f"longest_installed_file_path {deepest_file[0]}")
    print(f"longest_installed_folder_path {deepest_folder[0]}")
    print(f"paths_over_joliet_240_bytes {joliet_long}")


def main():
    parser = argparse.ArgumentParser(
        description="Write a large, deterministic client folder for the release benchmark.",
        epilog="With --describe DIR, print the figures of an existing client folder instead.")
    parser.add_argument("--out", help="the folder to write (must be missing or empty)")
    parser.add_argument("--files", type=int, default=26_000, help="files besides the sample's three (default 26000)")
    parser.add_argument("--megabytes", type=int, default=160, help="total size in MiB (default 160)")
    parser.add_argument("--max-name", type=int, default=255,
                        help="cap on a name's length in UTF-16 units (default 255; 64 for a release that holds no more)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the generator (default 1)")
    parser.add_argument("--sample", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build",
                                                         "mingw", "sample-client"),
                        help="a built sample client folder (default build/mingw/sample-client)")
    parser.add_argument("--describe", metavar="DIR", help="print the figures of DIR and write nothing")
    args = parser.parse_args()

    if args.describe:
        if not os.path.isdir(args.describe):
            parser.error(f"--describe {args.describe} is not a folder")
        describe(args.describe)
        return 0
    if not args.out:
        parser.error("--out DIR is required")
    if args.files < 20:
        parser.error("--files needs at least 20")
    if args.megabytes < 1:
        parser.error("--megabytes needs at least 1")
    if args.max_name < 16:
        parser.error("--max-name needs at least 16")
    if os.path.exists(args.out) and (not os.path.isdir(args.out) or os.listdir(args.out)):
        parser.error(f"--out {args.out} exists and is not an empty folder; nothing was written")
    missing = [rel for rel in SAMPLE_FILES if not os.path.isfile(os.path.join(args.sample, rel))]
    if missing:
        parser.error(f"the sample client {args.sample} lacks {', '.join(missing)} "
                     "(build it: cmake --build --preset mingw --target sample_client)")

    rng = random.Random(args.seed)
    folders = plan(args, rng)
    plan_sizes = sizes(args, rng, folders)
    write_tree(args, rng, folders, plan_sizes)
    describe(args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
