#!/usr/bin/env bash
# Checks of the release command, scripts/release.sh, against a built tree:
#
# - the `release` target writes an unsigned release, named after the sample
#   client's version, whose checksum file holds and whose image, as Windows
#   reads it, shows the medium's root;
# - a second build folder (other time zone and umask) gives the same
#   setup.exe, zip and image, byte for byte; so does a copy of the sources
#   without git, dated by its files;
# - a client with Japanese names, names and paths at the limits, and
#   without library or icon ships, with warnings, every name intact in the
#   zip and in the image as Windows reads it;
# - the deciding functions of scripts/medium.py (names, limits, every
#   refusal of a client, the zip writer, the comparison with 7-Zip's
#   reading), each rule at its edge on both sides: tests/release/medium_test.py;
# - every date in the image's UDF tree and in the zip, as 7-Zip lists them,
#   is SOURCE_DATE_EPOCH; without git, the newest source file's time;
# - bad options give their message and write nothing; a client with a
#   problem of every kind is refused with every problem listed, by --check
#   and by the release; --check builds and writes nothing; an --out inside
#   the client is refused at any depth; a file dropped, added, truncated,
#   changed or turned into a folder in the image or in the zip after
#   mastering fails the read-back, naming it, and the release in place
#   stays as it was;
# - a release signed with a throw-away certificate verifies, a one-byte
#   change breaks the signature, and a failing signed run leaves the
#   release in place untouched; without a system CA store the release
#   says so and names --ca-file;
# - releases are named after the client's version (startClass.exe's, or
#   --version), side by side in one folder; the same release again is
#   "unchanged", another one of the same version is refused unless
#   --replace; a move into place that fails puts the previous release back;
# - what deps.sh decides, with package sources of every kind:
#   tests/release/deps_test.sh; what bare-run.sh does around the test run
#   it starts, on a tiny system of its own: tests/release/bare_test.sh;
#   what check-commands.sh takes for a program: tests/release/commands_test.sh;
# - the CI's own scripts (test.sh, analyse.sh, run.sh, screenshots.sh)
#   among stand-ins: tests/release/drivers_test.sh;
# - robustness: a command failing in a script is named; one run at a time in --out
#   (waiting, refusing after --wait, check-kit.sh too, two releases at once
#   for 6 rounds); a disk too small or filling up; a release killed with
#   SIGKILL and the run after it; a time-stamp server that never answers.
#
# It ends with the signed release of the sample client in BUILD/release,
# where the CD-ROM install test finds it.
set -euo pipefail
# Names beyond ASCII pass through bsdtar and 7-Zip, which need a UTF-8
# locale; a bare machine may have none set.
export LC_ALL=C.UTF-8
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# shellcheck source=scripts/on-error.sh
source "$root/scripts/on-error.sh"
build="$root/build/mingw"
repro="$root/build/release-repro"
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$(realpath -m "$2")"; shift 2 ;;
    --repro-dir) repro="$(realpath -m "$2")"; shift 2 ;;
    -h | --help)
      echo "usage: release_test.sh [--build-dir DIR (built, default build/mingw)] [--repro-dir DIR (second build folder)]"
      exit 0
      ;;
    *) echo "release_test.sh: unknown option: $1" >&2; exit 2 ;;
  esac
done

scratch="$(mktemp -d)"
# This run's own folder: the watch of a release run elsewhere leaves it be.
touch "$scratch/.ovik-test-scratch"
export OVIK_TEST_SCRATCH="$scratch"
chmod 755 "$scratch"
# Every release run here is watched (tests/release/watched.sh): whatever
# its outcome, no password, PIN or private key on a command line or left in
# a file, and --out left holding whole releases only; a broken promise
# fails the next check.
release=(bash "$root/tests/release/watched.sh" "$root/scripts/release.sh")
export OVIK_TEST_SECRETS="$scratch/secrets" OVIK_TEST_BROKEN="$scratch/broken"
printf '%s\n' "throw-away password" "not the password" "ovik-pin-4711" >"$OVIK_TEST_SECRETS"
timestamp_server=""
trap '[ -z "$timestamp_server" ] || kill "$timestamp_server" 2>/dev/null; rm -rf "$scratch"' EXIT
failed=0

# shellcheck source=tests/support/check.sh
source "$root/tests/support/check.sh"

# expect_refusal WHAT PATTERN RELEASE-ARGS...: the run fails, says PATTERN,
# and leaves no output folder; it blames a full disk only when PATTERN does.
expect_refusal() {
  local what="$1" pattern="$2"
  shift 2
  local out="$scratch/refused-out"
  local status=0
  "$@" --out "$out" --no-build --build-dir "$build" >"$scratch/log" 2>&1 || status=$?
  if [ "$status" -ne 0 ] && grep -q -- "$pattern" "$scratch/log" && [ ! -e "$out" ] &&
    { [[ $pattern == *space* ]] || ! grep -q "No space left" "$scratch/log"; }; then
    echo "ok    refused: $what"
  else
    echo "FAIL  refused: $what (exit $status, output folder $([ -e "$out" ] && echo left || echo absent)):"
    sed 's/^/      /' "$scratch/log"
    check_failed
  fi
  rm -rf "$out"
  promises_kept
}

# Milliseconds since START (from `date +%s%N`).
elapsed_ms() {
  echo "$((($(date +%s%N) - $1) / 1000000)) ms"
}

sample_client() {
  rm -rf "$1"
  cp -R "$build/sample-client" "$1"
}

# snapshot DIR [MINDEPTH]: every entry of DIR with its kind, size, time and
# mode, what "left as it was" compares; from MINDEPTH 1 without DIR's own
# time. A replaced release still being deleted in the background is no
# part of it.
snapshot() {
  (cd "$1" && find . -mindepth "${2:-0}" -path './.*.replaced.*' -prune -o -printf '%y %s %T@ %m %p\n' | sort)
}
unchanged() { # unchanged DIR SNAPSHOT-FILE [MINDEPTH]
  snapshot "$1" "${3:-0}" | cmp -s - "$2"
}

# dates_are ARCHIVE TYPE EPOCH: 7-Zip lists every entry of ARCHIVE (read as
# TYPE) with the time EPOCH, in UTC.
dates_are() {
  local want
  want="$(date -u -d "@$3" '+%Y-%m-%d %H:%M:%S')"
  TZ=UTC 7zz l -slt "-t$2" "$1" | sed -n '/^----------$/,$p' >"$scratch/listing"
  sed -n 's/^Modified = //p' "$scratch/listing" | sed 's/\.0*$//' >"$scratch/dates"
  if [ -s "$scratch/dates" ] && ! grep -vqx -- "$want" "$scratch/dates" &&
    [ "$(wc -l <"$scratch/dates")" -eq "$(grep -c '^Path = ' "$scratch/listing")" ]; then
    return 0
  fi
  echo "      want $want for each of $(grep -c '^Path = ' "$scratch/listing") entries of $1, 7-Zip lists:"
  sort "$scratch/dates" | uniq -c | sed 's/^/      /'
  return 1
}

# Root reads everything: what must meet an unreadable file runs as the
# unprivileged test user.
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  if ! id ovik-test >/dev/null 2>&1; then
    echo "FAIL  no user ovik-test to try an unreadable file as (scripts/test.sh makes it)"
    check_failed
  elif runuser -u ovik-test -- test -r "$root/scripts/release.sh"; then
    as_user=(runuser -u ovik-test --)
  else
    echo "skip  unreadable files: ovik-test cannot reach $root"
  fi
fi

# ---- The deciding functions, directly ------------------------------------------------

start=$(date +%s%N)
if "${as_user[@]}" /usr/bin/python3 "$root/tests/release/medium_test.py" >"$scratch/log" 2>&1; then
  echo "ok    medium.py's names, limits, refusals, zip and comparison ($(tail -n 1 "$scratch/log"), $(elapsed_ms "$start"))"
else
  echo "FAIL  medium.py's names, limits, refusals, zip and comparison:"
  sed 's/^/      /' "$scratch/log"
  check_failed
fi
check "the scripts' promises, each where it is decided (tests/release/promises_test.sh)" \
  bash -c 'bash "$0" --build-dir "$1" >"$2" 2>&1 || { grep -A 12 "^FAIL" "$2" | sed "s/^/      /"; exit 1; }' \
  "$root/tests/release/promises_test.sh" "$build" "$scratch/promises.log"
check "what deps.sh decides, with package sources of every kind (tests/release/deps_test.sh)" \
  bash -c 'bash "$0" >"$1" 2>&1 || { grep -A 12 "^FAIL" "$1" | sed "s/^/      /"; exit 1; }' \
  "$root/tests/release/deps_test.sh" "$scratch/deps.log"
check "what bare-run.sh does around the test run it starts (tests/release/bare_test.sh)" \
  bash -c 'bash "$0" >"$1" 2>&1 || { grep -A 12 "^FAIL" "$1" | sed "s/^/      /"; exit 1; }' \
  "$root/tests/release/bare_test.sh" "$scratch/bare.log"
grep "^skip  " "$scratch/bare.log" || true
check "what check-commands.sh takes for a program (tests/release/commands_test.sh)" \
  bash -c 'bash "$0" >"$1" 2>&1 || { grep -A 12 "^FAIL" "$1" | sed "s/^/      /"; exit 1; }' \
  "$root/tests/release/commands_test.sh" "$scratch/commands.log"
check "the CI's own scripts, among stand-ins (tests/release/drivers_test.sh)" \
  bash -c 'bash "$0" >"$1" 2>&1 || { grep -A 12 "^FAIL" "$1" | sed "s/^/      /"; exit 1; }' \
  "$root/tests/release/drivers_test.sh" "$scratch/drivers.log"

# ---- Unsigned, through the CMake target ----------------------------------------

# This run's releases, made afresh.
out="$build/release"
rm -rf "$out"
start=$(date +%s%N)
cmake --build "$build" --target release >"$scratch/log" 2>&1 || { cat "$scratch/log"; exit 1; }
echo "      release target: $(elapsed_ms "$start")"
# The sample client's startClass.exe names its releases.
sample_version="$(/usr/bin/python3 "$root/scripts/medium.py" version "$build/sample-client")"
name="ovik-medium-$sample_version"
sums="$name.SHA256SUMS"
installer_version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
check "the release is named after the sample client's version ($sample_version), and names the installer's" \
  grep -qx "  client version $sample_version (startClass.exe's ProductVersion); setup.exe is the installer $installer_version" \
  "$scratch/log"
check "its checksum file holds" \
  bash -c "cd '$out' && sha256sum --quiet -c '$sums'"
check "... and lists exactly the zip, the image, setup.exe and the SBOM" \
  test "$(cut -c67- "$out/$sums" | sort)" = "$(printf '%s\n' "$name.cdx.json" "$name.iso" "$name.zip" "$name/Installer/setup.exe")"
check "the unsigned release says so" grep -q "setup.exe is NOT signed" "$scratch/log"
check "... and that its provenance is not signed" grep -q "^  provenance: $name.intoto.jsonl (.*), NOT signed" "$scratch/log"
summary_lists() { # summary_lists LOG OUT NAME: each output with its SHA-256 and size, and how to check them
  local file
  grep -qxF "release $3 in $2:" "$1" || return 1
  for file in "$3.zip" "$3.iso" "$3/Installer/setup.exe" "$3.cdx.json"; do
    grep -qxF "  $(sha256sum <"$2/$file" | cut -d' ' -f1)  $file ($(stat -c %s "$2/$file") bytes)" "$1" || return 1
  done
  grep -qxF "  checksums: $3.SHA256SUMS (cd $2 && sha256sum -c $3.SHA256SUMS)" "$1" &&
    grep -qxF "  read back: the image as Windows reads it (UDF) and the zip hold the medium folder exactly" "$1" &&
    grep -qxF "  medium folder: $3/ (the client plus Installer/setup.exe); image label $(7zz l -tudf "$2/$3.iso" |
      sed -n 's/^ *VolumeId: //p' | head -n 1)" "$1" &&
    grep -q "; setup.exe is the installer $(/usr/bin/python3 "$root/scripts/medium.py" product-version \
      "$2/$3/Installer/setup.exe")\$" "$1"
}
check "the summary lists each output with its SHA-256 and size, how to check them, the read-back, and the label and installer version as read from the outputs" \
  summary_lists "$scratch/log" "$out" "$name"
if commit_time="$(git -C "$root" log -1 --format=%ct 2>/dev/null)" && [ -n "$commit_time" ]; then
  check "unless SOURCE_DATE_EPOCH is set, the release is dated by the last commit" \
    dates_are "$out/$name.zip" zip "${SOURCE_DATE_EPOCH:-$commit_time}"
fi
bash "$root/scripts/windows-view.sh" "$out/$name.iso" "$scratch/view" >"$scratch/view-kind"
check "Windows reads the image's UDF tree" grep -qx UDF "$scratch/view-kind"
check "... which holds Installer/setup.exe and startClass.exe at its root" \
  test -f "$scratch/view/Installer/setup.exe" -a -f "$scratch/view/startClass.exe"
# A reader that sees only the plain ISO 9660 names finds one file, which
# says where the medium is.
check "the image's plain ISO 9660 tree holds only README.TXT, pointing at UDF" \
  bash -c "[ \"\$(7zz l -slt -tiso '$out/$name.iso' | sed -n 's/^Path = //p' | tail -n +2)\" = README.TXT ] &&
    7zz x -so -tiso '$out/$name.iso' README.TXT | grep -q 'in its UDF file system'"
check "the image has our label, the version's dots as _" \
  bash -c "7zz l -tudf '$out/$name.iso' | grep -qx '  VolumeId: OVIK_MEDIUM_${sample_version//./_}'"
rm -rf "$scratch/view"

# records_hold DIR NAME: the SBOM is valid against the official CycloneDX
# schema and lists exactly the files of the image as Windows reads it, with
# their SHA-256; the provenance's signature, when it has one, verifies with
# openssl over DSSE's encoding (the README's commands), and each subject's
# digest holds. Prints what does not, as "sbom: ..." or "provenance: ...".
records_hold() {
  local dir="$1" name="$2" work="$scratch/records" status=0
  rm -rf "$work"
  mkdir "$work"
  NODE_PATH="$build/sbom-tools/node_modules" node "$root/scripts/sbom/validate.js" "$dir/$name.cdx.json" \
    >"$work/valid" 2>&1 || { sed 's/^/sbom: /' "$work/valid"; status=1; }
  bash "$root/scripts/windows-view.sh" "$dir/$name.iso" "$work/view" >/dev/null
  (cd "$work/view" && find . -type f -printf '%P\0' | sort -z | xargs -0 sha256sum) >"$work/image"
  /usr/bin/python3 -c 'import json, sys
listed = [c for c in json.load(open(sys.argv[1]))["components"] if c["bom-ref"].startswith("medium:")]
for c in sorted(listed, key=lambda c: c["name"]):
    print(c["hashes"][0]["content"] + "  " + c["name"])' "$dir/$name.cdx.json" >"$work/listed"
  diff "$work/image" "$work/listed" >"$work/differ" || { sed 's/^/sbom: /' "$work/differ"; status=1; }
  local f="$dir/$name.intoto.jsonl"
  jq -j .payload "$f" | base64 -d >"$work/statement.json"
  if [ "$(jq '.signatures | length' "$f")" -gt 0 ]; then
    jq -r '.signatures[0].cert' "$f" >"$work/signer.pem"
    jq -r '.signatures[0].sig' "$f" | base64 -d >"$work/signature.bin"
    { printf 'DSSEv1 28 application/vnd.in-toto+json %s ' "$(stat -c %s "$work/statement.json")"
      cat "$work/statement.json"; } >"$work/pae.bin"
    openssl x509 -in "$work/signer.pem" -pubkey -noout >"$work/signer.pub"
    openssl dgst -sha256 -verify "$work/signer.pub" -signature "$work/signature.bin" "$work/pae.bin" \
      >"$work/verified" 2>&1 || { sed 's/^/provenance: /' "$work/verified"; status=1; }
  fi
  jq -r '.subject[] | "\(.digest.sha256)  \(.name)"' "$work/statement.json" >"$work/subjects"
  (cd "$dir" && sha256sum --quiet -c "$work/subjects") >"$work/held" 2>&1 ||
    { sed 's/^/provenance: /' "$work/held"; status=1; }
  return "$status"
}
check "the SBOM is valid CycloneDX and lists the image's files; the provenance's digests hold" \
  records_hold "$out" "$name"

# ---- Reproducible from another build folder --------------------------------------

start=$(date +%s%N)
(umask 077 && TZ=Asia/Tokyo "${release[@]}" --build-dir "$repro" --out "$scratch/repro") \
  >"$scratch/log" 2>&1 || { cat "$scratch/log"; exit 1; }
echo "      release from a second build folder: $(elapsed_ms "$start")"
for file in "$name/Installer/setup.exe" "$name.zip" "$name.iso" "$name.cdx.json" "$sums"; do
  check "$file is the same from $repro" cmp "$out/$file" "$scratch/repro/$file"
done
check "... its medium folder's files 0644 and folders 0755 though made with umask 077" \
  bash -c "[ -z \"\$(find '$scratch/repro/$name' \( -type f ! -perm 0644 \) -o \( -type d ! -perm 0755 \))\" ]"
check "... which the release configured without the test programs" \
  grep -qx "OVIK_BUILD_TESTS:BOOL=OFF" "$repro/CMakeCache.txt"

# ---- Without git: a copy of the sources dated by its files ----------------------------

# Files of different times: the newest one in a subfolder, an older one,
# and a newer one below build/, which is no source.
export_dir="$scratch/export"
mkdir -p "$export_dir/docs/old" "$export_dir/build" "$scratch/no-git"
cp -R "$root/CMakeLists.txt" "$root/scripts" "$export_dir/"
echo older >"$export_dir/docs/old/older.txt"
echo built >"$export_dir/build/built.txt"
find "$export_dir" -exec touch -h -d @1600000000 {} +
touch -d @1500000000 "$export_dir/docs/old/older.txt"
touch -d @1600000777 "$export_dir/scripts/deps.sh"
touch -d @1700000000 "$export_dir/build/built.txt"
printf '#!/bin/sh\nexit 127\n' >"$scratch/no-git/git" && chmod +x "$scratch/no-git/git"
env -u SOURCE_DATE_EPOCH -u PYTHONDONTWRITEBYTECODE PATH="$scratch/no-git:$PATH" bash "$export_dir/scripts/release.sh" \
  --no-build --build-dir "$build" --out "$scratch/export-out" >"$scratch/log" 2>&1 ||
  { cat "$scratch/log"; exit 1; }
check "without git the release is dated by its newest source file, outside build/" \
  dates_are "$scratch/export-out/$name.zip" zip 1600000777
check "... and its provenance says it knows no revision" \
  bash -c "jq -j .payload '$scratch/export-out/$name.intoto.jsonl' | base64 -d |
    jq -e '.predicate.buildDefinition.resolvedDependencies[0].annotations.revision == \"unknown (no git history)\"' >/dev/null"

# ---- Japanese names, names and paths at the limits, no library and no icon -------------

japanese="$scratch/日本語クライアント"
mkdir -p "$japanese/ドキュメント/空のフォルダー" "$japanese/Installer"
cp "$build/sample-client/startClass.exe" "$japanese/"
echo "説明" >"$japanese/ドキュメント/説明書.txt"
echo "説明" >"$japanese/説明書.txt"
# Several top-level Japanese folders, one a prefix of another, files
# between and after them.
mkdir -p "$japanese/アプリ/bin" "$japanese/資料" "$japanese/資料集"
echo tool >"$japanese/アプリ/bin/tool.dll"
echo "[設定]" >"$japanese/アプリ/設定.ini"
echo a >"$japanese/資料/a.txt"
echo b >"$japanese/資料集/b.txt"
echo "最後" >"$japanese/造.txt"
# 127 UTF-16 units beyond Latin-1, a UDF name's most (in Cyrillic, whose
# two UTF-8 bytes a letter keep it within Linux's 255 bytes), on a path of
# 268 bytes in UTF-16 (Joliet's paths end at 240); a Latin name that
# installs as 259 characters; a folder that installs as 248 with a file
# that reaches 259.
at_limit="$(printf 'ж%.0s' $(seq 123)).txt"
echo limit >"$japanese/ドキュメント/$at_limit"
latin="$(printf 'n%.0s' $(seq 240)).txt"
echo latin >"$japanese/$latin"
deep="$japanese/$(printf 'd%.0s' $(seq 100))/$(printf 'e%.0s' $(seq 132))"
mkdir -p "$deep"
echo deep >"$deep/$(printf 'f%.0s' $(seq 10))"
# A bundled runtime with its own SBOMs: an npm lock file and a CycloneDX
# file whose bom-refs are the same as the lock file's would give.
mkdir -p "$japanese/ランタイム"
cat >"$japanese/ランタイム/package-lock.json" <<'EOF2'
{"name": "runtime", "version": "3.0.0", "lockfileVersion": 3, "requires": true, "packages": {
  "": {"name": "runtime", "version": "3.0.0", "dependencies": {"is-number": "7.0.0"}},
  "node_modules/is-number": {"version": "7.0.0", "license": "MIT",
    "integrity": "sha512-41Cifkg6e8TylSpdtTpeLVMqvSBEVzTttHvERD741+pnZ8ANv0004MRL43QKPDlK9cGvNp6NZWZUBlbGXYxxng=="}}}
EOF2
cat >"$japanese/ランタイム/bom.json" <<'EOF2'
{"bomFormat": "CycloneDX", "specVersion": "1.5", "version": 1,
 "metadata": {"component": {"type": "application", "name": "their-engine", "version": "9.1", "bom-ref": "root"}},
 "components": [{"type": "library", "name": "their-codec", "version": "2.4", "bom-ref": "codec"}],
 "dependencies": [{"ref": "root", "dependsOn": ["codec"]}]}
EOF2
# Its --out shares the client folder's name as a prefix, and is not inside
# it. A day past the 12th, an odd second, made in another time zone.
jout="$japanese-release"
SOURCE_DATE_EPOCH=1616652429 TZ=Asia/Tokyo "${release[@]}" --client "$japanese" --out "$jout" \
  --no-build --build-dir "$build" >"$scratch/log" 2>&1 || { cat "$scratch/log"; exit 1; }
check "warns about the missing library" grep -q "warning: no ovikClient/ScreenCapture.ax" "$scratch/log"
check "warns about the missing icon" grep -q "warning: no ovikClient/ovikclient.ico" "$scratch/log"
bsdtar -tf "$jout/$name.zip" | sort >"$scratch/zip-names"
(cd "$jout/$name" && find . -mindepth 1 \( -type d -printf '%P/\n' -o -printf '%P\n' \) | sort) \
  >"$scratch/medium-names"
check "the zip holds the Japanese names and the empty folder" \
  grep -qx "ドキュメント/空のフォルダー/" "$scratch/zip-names"
check "... and every name of the medium, no other: top-level Japanese folders and the files after them" \
  diff "$scratch/medium-names" "$scratch/zip-names"
check "every entry of the zip, as 7-Zip lists it, is dated SOURCE_DATE_EPOCH (a 25th, UTC)" \
  dates_are "$jout/$name.zip" zip 1616652429
check "... and every entry of the image's UDF tree" dates_are "$jout/$name.iso" udf 1616652429
# General purpose flag bit 11: names in UTF-8. Windows reads unflagged
# names in the OEM code page.
zip_flag_set() { # bit 11 of the flags in the local header of entry $2 of zip $1
  local at flags
  at="$(grep -obUa -- "$2" "$1" | head -n 1 | cut -d: -f1)"
  [ -n "$at" ] || return 1
  flags="$(od -An -tu2 -j $((at - 24)) -N2 "$1" | tr -d ' ')"
  [ $((flags & 2048)) -ne 0 ]
}
check "the zip flags its UTF-8 names" zip_flag_set "$jout/$name.zip" "ドキュメント/説明書.txt"
bash "$root/scripts/windows-view.sh" "$jout/$name.iso" "$scratch/view" >/dev/null
check "the client's npm lock file and CycloneDX file are taken into the SBOM, the lock file's by cyclonedx-npm" \
  /usr/bin/python3 -c 'import json, sys
bom = json.load(open(sys.argv[1]))
by_name = {c["name"]: c for c in bom["components"]}
lock, own = by_name["ランタイム/package-lock.json"], by_name["ランタイム/bom.json"]
assert [c["purl"] for c in lock["components"]] == ["pkg:npm/runtime@3.0.0", "pkg:npm/is-number@7.0.0"], lock
assert [(c["name"], c["bom-ref"]) for c in own["components"]] == [
    ("their-engine", "ランタイム/bom.json#root"), ("their-codec", "ランタイム/bom.json#codec")], own
assert {"ref": "ランタイム/bom.json#root", "dependsOn": ["ランタイム/bom.json#codec"]} in bom["dependencies"]
assert "@cyclonedx/cyclonedx-npm" in [t["name"] for t in bom["metadata"]["tools"]["components"]]' \
  "$jout/$name.cdx.json"
check "... the summary naming both" grep -qx "    ランタイム/package-lock.json: an npm lock file, taken into the release's SBOM" \
  "$scratch/log"
check "... and it still reads back" records_hold "$jout" "$name"
check "setup.exe's static libraries are named, each with its Debian version and licences" \
  /usr/bin/python3 -c 'import json, sys
setup = [c for c in json.load(open(sys.argv[1]))["components"] if c["name"] == "Installer/setup.exe"][0]
assert [c["name"] for c in setup["components"]] == ["libstdc++", "libgcc", "libgcc_eh", "winpthreads",
    "mingw-w64 runtime (mingwex)", "mingw-w64 runtime (mingw32)", "mingw-w64 runtime (msvcrt)"], setup
assert all(c["version"] and c["licenses"] and c["purl"].startswith("pkg:deb/debian/") for c in setup["components"])' \
  "$jout/$name.cdx.json"
check "the image as Windows reads it holds every name, at the limits too" \
  diff -r "$jout/$name" "$scratch/view"
check "... the 127-unit name on a path past 240 bytes among them" \
  test -f "$scratch/view/ドキュメント/$at_limit"

# ---- The benchmark's large client, made small -------------------------------------------

# Same bytes from the same options; the limits it aims at reached and none
# passed; and the benchmark driver runs end to end on it.
make_client=(/usr/bin/python3 "$root/bench/make-large-client.py" --sample "$build/sample-client"
  --files 400 --megabytes 3)
"${make_client[@]}" --out "$scratch/large-a" >"$scratch/large-a.figures"
"${make_client[@]}" --out "$scratch/large-b" >/dev/null
check "the benchmark's client comes out the same twice" diff -r "$scratch/large-a" "$scratch/large-b"
for figure in "longest_latin_name 200" "longest_japanese_name 127" "longest_installed_file_path 259"; do
  check "... $figure" grep -qx "$figure" "$scratch/large-a.figures"
done
check "... refuses a folder that is not empty" \
  bash -c '! "$@" --out "$0" >/dev/null 2>&1' "$scratch/large-a" "${make_client[@]}"
check "... and releases" bash "$root/bench/release-bench.sh" --files 300 --megabytes 3 \
  --no-docs --build-dir "$build" --scratch "$scratch/bench"
rm -rf "$scratch/large-a" "$scratch/large-b"

# ---- Refusals -------------------------------------------------------------------------

expect_refusal "unknown option" "unknown option: --frobnicate" "${release[@]}" --frobnicate
expect_refusal "key without password file" "needs --password-file" \
  "${release[@]}" --sign-pkcs12 "$scratch/none.p12"
expect_refusal "missing client folder" "does not exist" "${release[@]}" --client "$scratch/absent"
mkdir "$scratch/empty"
expect_refusal "empty client folder" "is empty" "${release[@]}" --client "$scratch/empty"
sample_client "$scratch/bad"
rm "$scratch/bad/startClass.exe"
expect_refusal "no startClass.exe" "no startClass.exe at the top" "${release[@]}" --client "$scratch/bad"
sample_client "$scratch/bad"
mkdir "$scratch/bad/installer" && cp "$build/app/setup.exe" "$scratch/bad/installer/SETUP.EXE"
expect_refusal "client holding Installer/setup.exe" "already holds setup.exe" \
  "${release[@]}" --client "$scratch/bad"

# One client with a problem of each kind: --check and the release list them all.
sample_client "$scratch/bad"
past_limit="$(printf 'ж%.0s' $(seq 124)).txt"
for bad in "a:b.txt" "$past_limit" "CON.txt" "note." "README.TXT" \
  "$(printf 'n%.0s' $(seq 241)).txt"; do
  echo x >"$scratch/bad/$bad"
done
mkdir -p "$scratch/bad/$(printf 'd%.0s' $(seq 100))/$(printf 'e%.0s' $(seq 133))"
ln -s startClass.exe "$scratch/bad/link.exe"
problems=("holds one of" "128 UTF-16 units long; a CD's UDF names hold at most 127" "device name CON"
  "ends in a space or a dot" "differ only in letter case" "install as a path of 260 characters"
  "install as a folder path of 249 characters" "link.exe is a symbolic link: replace it with the file or folder it points to")
# --check builds nothing and writes nothing: not the build folder, not
# the release folder inside it, nothing in the client.
check_build="$scratch/check-build"
snapshot "$scratch/bad" >"$scratch/bad-before"
status=0
"${release[@]}" --check --client "$scratch/bad" --build-dir "$check_build" >"$scratch/check-log" 2>&1 ||
  status=$?
for problem in "${problems[@]}"; do
  check "--check lists: $problem" grep -q -- "$problem" "$scratch/check-log"
done
check "--check fails on that client with exit code 1" test "$status" -eq 1
check "... and writes nothing" test ! -e "$check_build"
check "... leaving the client as it was" unchanged "$scratch/bad" "$scratch/bad-before"
sample_client "$scratch/good"
snapshot "$scratch/good" >"$scratch/good-before"
status=0
"${release[@]}" --check --client "$scratch/good" --build-dir "$check_build" >"$scratch/log" 2>&1 || status=$?
check "--check passes the sample client with exit code 0" \
  bash -c "[ $status -eq 0 ] && grep -q 'can be shipped' '$scratch/log'"
check "... and writes nothing" test ! -e "$check_build"
check "... leaving the client as it was" unchanged "$scratch/good" "$scratch/good-before"
expect_refusal "--check with --out" "--check writes nothing: leave out --out" \
  "${release[@]}" --check --client "$scratch/good"

# An --out inside the client, at its top or deeper, is refused before
# anything is made.
for inside in "$scratch/good" "$scratch/good/a/b/c"; do
  status=0
  "${release[@]}" --client "$scratch/good" --out "$inside" --no-build --build-dir "$build" \
    >"$scratch/log" 2>&1 || status=$?
  check "refused: --out ${inside#"$scratch/"}, inside the client" \
    bash -c "[ $status -eq 1 ] && grep -qF -- '--out $inside lies inside the client folder $scratch/good' '$scratch/log'"
  check "... and the client stays as it was" unchanged "$scratch/good" "$scratch/good-before"
done
expect_refusal "a problem of every kind, all listed" "(8 problems)" "${release[@]}" --client "$scratch/bad"

# A client's own empty Installer folder, in another letter case: the medium
# holds one Installer folder, with setup.exe.
mkdir "$scratch/good/installer"
"${release[@]}" --client "$scratch/good" --out "$scratch/good-out" --no-build --build-dir "$build" \
  >"$scratch/log" 2>&1 || cat "$scratch/log"
check "a client's empty installer folder becomes the medium's one Installer folder, with setup.exe" \
  test "$(7zz l -slt -tudf "$scratch/good-out/$name.iso" | sed -n 's/^Path = \([Ii]nstaller.*\)/\1/p' | sort |
    tr '\n' ' ')" = "Installer Installer/setup.exe "
rm -rf "$scratch/good-out" "$scratch/good/installer"
# Only the top's installer folder gives way to the medium's.
mkdir -p "$scratch/good/docs/installer"
"${release[@]}" --client "$scratch/good" --out "$scratch/good-out" --no-build --build-dir "$build" \
  >"$scratch/log" 2>&1 || cat "$scratch/log"
check "... and an empty installer folder deeper down stays where it is" \
  bash -c "7zz l -slt -tudf '$scratch/good-out/$name.iso' | grep -qx 'Path = docs/installer'"
rm -rf "$scratch/good-out" "$scratch/good/docs"

# Root reads everything: the unreadable file is tried as the test user.
sample_client "$scratch/bad"
chmod 000 "$scratch/bad/ovikClient/ScreenCapture.ax"
if [ "$(id -u)" -ne 0 ] || [ "${#as_user[@]}" -gt 0 ]; then
  expect_refusal "unreadable file" "cannot read $scratch/bad/ovikClient/ScreenCapture.ax" \
    "${as_user[@]}" "${release[@]}" --client "$scratch/bad"
fi

# ---- Signed, with a throw-away CA ---------------------------------------------------------

keys="$scratch/keys"
mkdir "$keys"
make_signer() { # make_signer NAME: NAME-ca.pem and NAME.p12 with the password in password
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$keys/$1-ca.key" -out "$keys/$1-ca.pem" \
    -days 2 -subj "/CN=OVIK throw-away CA $1" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout "$keys/$1.key" -out "$keys/$1.csr" \
    -subj "/CN=OVIK throw-away signer $1" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
    >"$keys/ext"
  openssl x509 -req -in "$keys/$1.csr" -CA "$keys/$1-ca.pem" -CAkey "$keys/$1-ca.key" \
    -set_serial 2 -days 2 -extfile "$keys/ext" -out "$keys/$1.pem" 2>/dev/null
  openssl pkcs12 -export -inkey "$keys/$1.key" -in "$keys/$1.pem" -certfile "$keys/$1-ca.pem" \
    -out "$keys/$1.p12" -passout file:"$keys/password"
}
printf 'throw-away password\n' >"$keys/password"
printf 'not the password\n' >"$keys/wrong-password"
echo "not a key" >"$keys/garbage.p12"
make_signer ours
make_signer theirs
signed=(--sign-pkcs12 "$keys/ours.p12" --password-file "$keys/password" --ca-file "$keys/ours-ca.pem")

expect_refusal "wrong password" "signing with .* failed" \
  "${release[@]}" --sign-pkcs12 "$keys/ours.p12" --password-file "$keys/wrong-password"
expect_refusal "not a PKCS#12 file" "signing with .* failed" \
  "${release[@]}" --sign-pkcs12 "$keys/garbage.p12" --password-file "$keys/password"
expect_refusal "unreadable key file" "cannot read $keys/absent.p12" \
  "${release[@]}" --sign-pkcs12 "$keys/absent.p12" --password-file "$keys/password"
expect_refusal "a certificate outside the system's CA store, naming --ca-file" \
  "does not chain to the system's CA store.*--ca-file" \
  "${release[@]}" --sign-pkcs12 "$keys/ours.p12" --password-file "$keys/password"
# A system without ca-certificates has no store at all: shown in a mount
# namespace of the release's own, where /etc/ssl/certs is empty; the
# machine's store is never touched.
if unshare -m true 2>/dev/null; then
  expect_refusal "no system CA store, saying so and naming --ca-file" "this system has no CA store.*--ca-file" \
    unshare -m bash -c 'mount -t tmpfs -o size=1m tmpfs /etc/ssl/certs && exec "$@"' without-ca-store \
    "${release[@]}" --sign-pkcs12 "$keys/ours.p12" --password-file "$keys/password"
else
  echo "skip  no system CA store: this user cannot make a mount namespace"
fi

# A check kit in the release folder (scripts/check-kit.sh) is no part of the
# release: a new release leaves it as it is and out of the checksum file.
mkdir -p "$out/check"
echo "a check kit" >"$out/check/README.txt"
start=$(date +%s%N)
"${release[@]}" "${signed[@]}" --replace --build-dir "$build" --no-build >"$scratch/log" 2>&1 ||
  { cat "$scratch/log"; exit 1; }
echo "      signed release: $(elapsed_ms "$start")"
check "a check kit in the release folder stays as it was" \
  bash -c "[ \"\$(cat '$out/check/README.txt')\" = 'a check kit' ]"
check "... and out of the checksum file" bash -c "! grep -q check/ '$out/$sums'"
rm -rf "$out/check"
exe="$out/$name/Installer/setup.exe"
osslsigncode verify -CAfile "$keys/ours-ca.pem" -in "$exe" >"$scratch/verify" 2>&1 || true
check "the signed setup.exe verifies against the throw-away CA" grep -q "^Succeeded" "$scratch/verify"
check "the signed release's checksum file holds" bash -c "cd '$out' && sha256sum --quiet -c '$sums'"
bash "$root/scripts/windows-view.sh" "$out/$name.iso" "$scratch/from-image" >/dev/null
check "the image as Windows reads it carries the signed setup.exe" \
  cmp "$exe" "$scratch/from-image/Installer/setup.exe"
check "... and is the medium folder" diff -r "$out/$name" "$scratch/from-image"
cp "$exe" "$scratch/changed.exe"
printf '\x55' | dd of="$scratch/changed.exe" bs=1 seek=4608 conv=notrunc 2>/dev/null
signed_records_hold() { # signed_records_hold DIR NAME CA: and signed by setup.exe's signer, from CA
  records_hold "$1" "$2" && [ "$(jq ".signatures | length" "$1/$2.intoto.jsonl")" -eq 1 ] &&
    openssl verify -CAfile "$3" "$scratch/records/signer.pem" >/dev/null &&
    osslsigncode extract-signature -pem -in "$1/$2/Installer/setup.exe" -out "$scratch/records/authenticode.pem" \
      >/dev/null &&
    openssl pkcs7 -in "$scratch/records/authenticode.pem" -print_certs | grep -qF "$(sed -n 2p "$scratch/records/signer.pem")"
}
check "the signed release's SBOM and provenance hold; the provenance is signed by setup.exe's signer" \
  signed_records_hold "$out" "$name" "$keys/ours-ca.pem"
# A byte of the medium changed in the image after the release: both
# records say so, the SBOM naming the file.
mkdir "$scratch/planted"
cp -R "$out/$name" "$out/$name.iso" "$out/$name.cdx.json" "$out/$name.intoto.jsonl" "$out/$name.zip" \
  "$out/$sums" "$scratch/planted/"
at="$(grep -obUa "OVIK throw-away signer ours" "$scratch/planted/$name.iso" | head -n 1 | cut -d: -f1)"
printf X | dd of="$scratch/planted/$name.iso" bs=1 seek="$at" conv=notrunc 2>/dev/null
records_hold "$scratch/planted" "$name" >"$scratch/planted.log" || true
check "a change to the medium after the release fails the SBOM's check, naming the file" \
  grep -q "^sbom: > .*  Installer/setup.exe" "$scratch/planted.log"
check "... and the provenance's digests" grep -q "^provenance: .*$name.iso: FAILED" "$scratch/planted.log"
check "a one-byte change breaks the signature" \
  bash -c "! osslsigncode verify -CAfile '$keys/ours-ca.pem' -in '$scratch/changed.exe' >/dev/null 2>&1"

# A signature from a CA the check does not trust: refused after signing,
# and the release already in OUT stays as it was.
sha256sum "$out/$sums" "$out/$name.zip" "$out/$name.iso" "$exe" >"$scratch/before"
status=0
"${release[@]}" --sign-pkcs12 "$keys/theirs.p12" --password-file "$keys/password" \
  --ca-file "$keys/ours-ca.pem" --build-dir "$build" --no-build >"$scratch/log" 2>&1 || status=$?
check "a signature that does not verify is refused" \
  bash -c "[ $status -ne 0 ] && grep -q 'does not verify' '$scratch/log'"
check "... and the release in place is untouched" sha256sum --quiet -c "$scratch/before"
check "... and nothing half-made is left" \
  bash -c "[ -z \"\$(find '$out' -maxdepth 1 -name '.*partial*')\" ]"

# An image changed after mastering: the read-back names the file, and the
# release in place stays as it was.
sample_client "$scratch/tampered"
echo "ovik read-back marker" >"$scratch/tampered/marker.txt"
status=0
OVIK_RELEASE_AFTER_MASTERING='at=$(grep -obUa "read-back marker" "$1" | cut -d: -f1)
  printf X | dd of="$1" bs=1 seek="$at" conv=notrunc 2>/dev/null' \
  "${release[@]}" --client "$scratch/tampered" --build-dir "$build" --no-build >"$scratch/log" 2>&1 ||
  status=$?
check "an image changed after mastering fails the read-back, naming the file" \
  bash -c "[ $status -ne 0 ] && grep -q 'other bytes in the archive: marker.txt' '$scratch/log'"
check "... and the release in place is untouched" sha256sum --quiet -c "$scratch/before"
echo "      read-back of the changed image:"
sed 's/^/      | /' "$scratch/log"

# ---- One release per client version, side by side ----------------------------------

versions="$scratch/versions"
to_versions() { # to_versions RELEASE-ARGS...: a release into $versions, its output in $scratch/log
  "${release[@]}" --no-build --build-dir "$build" --out "$versions" "$@" >"$scratch/log" 2>&1
}
# with_version DIR VERSION: the sample client, its startClass.exe saying
# VERSION (as long as the sample's own) in its version strings.
with_version() {
  sample_client "$1"
  /usr/bin/python3 - "$1/startClass.exe" "$sample_version" "$2" <<'EOF_PY'
import sys
path, old, new = sys.argv[1:]
old, new = (v.encode("utf-16-le") + b"\0\0" for v in (old, new))
data = open(path, "rb").read()
assert len(old) == len(new) and old in data, "the sample's version string is not there"
open(path, "wb").write(data.replace(old, new))
EOF_PY
}
# sums_hold VERSION: the version's checksum file verifies and lists exactly
# its zip, image, setup.exe and SBOM.
sums_hold() {
  local v="ovik-medium-$1"
  (cd "$versions" && sha256sum --quiet -c "$v.SHA256SUMS") &&
    [ "$(cut -c67- "$versions/$v.SHA256SUMS" | sort | tr '\n' ' ')" = "$v.cdx.json $v.iso $v.zip $v/Installer/setup.exe " ]
}
listing() { # every file below $versions with its inode, time and hash
  (cd "$versions" && find . -type f -exec stat -c '%i %Y %n' {} + -exec sha256sum {} + | sort)
}

# The release's output names, and OUT as it was before ($scratch/listing-before).
said() { grep -q -- "$1" "$scratch/log"; }
untouched() {
  cmp -s "$scratch/listing-before" <(listing) &&
    [ -z "$(find "$versions" -mindepth 1 -maxdepth 1 -name '.*')" ]
}
label_is() { 7zz l -tudf "$versions/ovik-medium-$1.iso" | grep -q "^ *VolumeId: $2$"; }

with_version "$scratch/client-2" 2.1.0
to_versions --client "$scratch/client-2" || { cat "$scratch/log"; exit 1; }
to_versions || { cat "$scratch/log"; exit 1; }
check "two versions side by side, each with a checksum file of its own that holds" \
  sums_hold 2.1.0
check "... ($sample_version too)" sums_hold "$sample_version"
check "... the image of 2.1.0 labelled with its version" label_is 2.1.0 OVIK_MEDIUM_2_1_0
to_versions --client "$scratch/client-2" --version 2.1.0-rc1 || { cat "$scratch/log"; exit 1; }
check "--version names the release over startClass.exe's version" \
  said "client version 2.1.0-rc1 (--version; startClass.exe says 2.1.0)"
check "... and its image's label" label_is 2.1.0-rc1 OVIK_MEDIUM_2_1_0_RC1
listing >"$scratch/listing-before"
status=0
to_versions --client "$scratch/client-2" || status=$?
check "the same release again is \"unchanged\"" said "ovik-medium-2.1.0 in .*: unchanged"
check "... exits 0" test "$status" -eq 0
check "... and touches nothing" untouched
echo "a later readme" >"$scratch/client-2/readme.txt"
status=0
to_versions --client "$scratch/client-2" || status=$?
check "another release of the same version is refused" test "$status" -eq 1
check "... naming how many files differ and how to replace it" \
  said "ovik-medium-2.1.0 already holds another release: 5 files differ; give --replace to replace it"
check "... the client's file among them" said "^  ovik-medium-2.1.0/readme.txt$"
check "... and no \"more\" line for 5 of them" bash -c "! grep -q '^  \.\.\. and' '$scratch/log'"
check "... saying it wrote nothing" said "^release.sh: nothing was written$"
check "... and writes nothing" untouched
# Past 10 files that differ, the first 10 are named and the rest counted.
for n in $(seq 12); do echo "extra $n" >"$scratch/client-2/extra-$n.txt"; done
status=0
to_versions --client "$scratch/client-2" || status=$?
check "with 17 files that differ, 10 are named and 7 counted" \
  bash -c "[ $status -eq 1 ] && [ \$(grep -c '^  ovik-medium-2.1.0' '$scratch/log') -eq 10 ] &&
    grep -qx '  ... and 7 more' '$scratch/log'"
rm "$scratch/client-2"/extra-*.txt

# --replace, with each move into place failing in turn (a `mv` first on
# PATH fails its Nth call; "N+" fails that call and every later one).
mkdir "$scratch/failing-mv"
cat >"$scratch/failing-mv/mv" <<'EOF_MV'
#!/bin/bash
count=$(($(cat "$OVIK_TEST_MV_COUNT" 2>/dev/null || echo 0) + 1))
echo "$count" >"$OVIK_TEST_MV_COUNT"
case "$OVIK_TEST_MV_FAIL" in
  "$count") exit 1 ;;
  *+) [ "$count" -lt "${OVIK_TEST_MV_FAIL%+}" ] || exit 1 ;;
esac
exec /bin/mv "$@"
EOF_MV
chmod +x "$scratch/failing-mv/mv"
back=1
for n in $(seq 12); do
  rm -f "$scratch/mv-count"
  status=0
  OVIK_TEST_MV_COUNT="$scratch/mv-count" OVIK_TEST_MV_FAIL=$n PATH="$scratch/failing-mv:$PATH" \
    to_versions --client "$scratch/client-2" --replace || status=$?
  if [ "$status" -eq 0 ] || ! grep -q "the release that was there is back as it was" "$scratch/log" ||
    ! untouched; then
    echo "      move $n failing:" && sed 's/^/      | /' "$scratch/log"
    back=0
  fi
done
check "a failed move into place (each of the 12 in turn) puts the previous release back" test "$back" -eq 1
rm -f "$scratch/mv-count"
status=0
OVIK_TEST_MV_COUNT="$scratch/mv-count" OVIK_TEST_MV_FAIL=7+ PATH="$scratch/failing-mv:$PATH" \
  to_versions --client "$scratch/client-2" --replace || status=$?
kept="$(sed -n 's/.*its files are in \(.*\); move them back into .*/\1/p' "$scratch/log")"
check "... and when it cannot: no checksum file, and the message names where the previous release is" \
  bash -c "[ $status -ne 0 ] && [ ! -e '$versions/ovik-medium-2.1.0.SHA256SUMS' ] && [ -n '$kept' ] &&
    cd '$kept' && sha256sum --quiet -c ovik-medium-2.1.0.SHA256SUMS"
rm -rf "$versions/ovik-medium-2.1.0"* "$(dirname "$kept")"
to_versions --client "$scratch/client-2" || { cat "$scratch/log"; exit 1; }
to_versions --client "$scratch/client-2" --version 2.1.0 || { cat "$scratch/log"; exit 1; }
check "the same version given with --version is the same release" said ": unchanged"
# A new output moved in and then not taken back out (the 8th move and
# every later one failing) is no release put back either.
rm -f "$scratch/mv-count"
status=0
OVIK_TEST_MV_COUNT="$scratch/mv-count" OVIK_TEST_MV_FAIL=8+ PATH="$scratch/failing-mv:$PATH" \
  to_versions --client "$scratch/client-2" --replace || status=$?
kept="$(sed -n 's/.*its files are in \(.*\); move them back into .*/\1/p' "$scratch/log")"
check "... nor when a new file moved in cannot be taken back: the message names where the previous release is" \
  bash -c "[ $status -ne 0 ] && [ -n '$kept' ] && cd '$kept' && sha256sum --quiet -c ovik-medium-2.1.0.SHA256SUMS"
rm -rf "$versions/ovik-medium-2.1.0"*
[ -z "$kept" ] || rm -rf "$(dirname "$kept")"
to_versions --client "$scratch/client-2" || { cat "$scratch/log"; exit 1; }
listing | grep " ./ovik-medium-$sample_version" >"$scratch/sample-before"
echo "a third readme" >"$scratch/client-2/readme.txt"
# A checksum file of the older, one-release-a-folder layout for 2.1.0.
(cd "$versions" && sha256sum ovik-medium-2.1.0.zip >SHA256SUMS)
to_versions --client "$scratch/client-2" --replace || { cat "$scratch/log"; exit 1; }
check "--replace replaces it" sums_hold 2.1.0
check "... and takes the older layout's SHA256SUMS that listed it along" test ! -e "$versions/SHA256SUMS"
check "... with the new client" \
  bash -c "[ \"\$(7zz x -so -tzip '$versions/ovik-medium-2.1.0.zip' readme.txt)\" = 'a third readme' ]"
check "... and leaves the other versions alone" \
  cmp -s "$scratch/sample-before" <(listing | grep " ./ovik-medium-$sample_version")

# Versions refused.
rm -rf "$scratch/no-version"
sample_client "$scratch/no-version"
x86_64-w64-mingw32-objcopy --remove-section .rsrc "$build/sample-client/startClass.exe" \
  "$scratch/no-version/startClass.exe"
expect_refusal "a client without a version" \
  "startClass.exe carries no version information: give --version X.Y.Z" \
  "${release[@]}" --client "$scratch/no-version"
"${release[@]}" --client "$scratch/no-version" --version 3.0.0-beta7withalongtail --out "$scratch/versioned" \
  --no-build --build-dir "$build" >"$scratch/log" 2>&1 || true
check "... which --version names" test -f "$scratch/versioned/ovik-medium-3.0.0-beta7withalongtail.SHA256SUMS"
check "... as the summary says" \
  grep -qx "  client version 3.0.0-beta7withalongtail (--version); setup.exe is the installer $installer_version" "$scratch/log"
# The label: capitals, "_" for "." and "-", cut at the 30 characters a label holds.
check "... labelling the image with its first 30 characters in capitals, _ for . and -" \
  bash -c "grep -q 'image label OVIK_MEDIUM_3_0_0_BETA7WITHALO\$' '$scratch/log' &&
    7zz l -tudf '$scratch/versioned/ovik-medium-3.0.0-beta7withalongtail.iso' | grep -qx '  VolumeId: OVIK_MEDIUM_3_0_0_BETA7WITHALO'"
"${release[@]}" --version 9.9 --out "$scratch/versioned" --no-build --build-dir "$build" >"$scratch/log" 2>&1 ||
  true
check "--version over startClass.exe's own version: the summary names both" \
  grep -qx "  client version 9.9 (--version; startClass.exe says $sample_version); setup.exe is the installer $installer_version" \
  "$scratch/log"
expect_refusal "a version that breaks the rule" \
  "--version 2.1.x is not a version: give digits separated by dots (one to four parts)" \
  "${release[@]}" --version 2.1.x
check "--check names the version it found" \
  bash -c '"$@" --check --client "$0" | grep -q "version 2.1.0 (from startClass.exe)\$"' "$scratch/client-2" "${release[@]}"

# ---- Signed with a key on a token, time-stamped; signed elsewhere -------------------

# A SoftHSM2 token of our own whose key is made on it (never extractable),
# with a certificate for that key from the throw-away CA.
hsm="$scratch/hsm"
mkdir -p "$hsm/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$hsm/tokens" \
  >"$hsm/softhsm2.conf"
export SOFTHSM2_CONF="$hsm/softhsm2.conf"
module=/usr/lib/softhsm/libsofthsm2.so
printf 'ovik-pin-4711\n' >"$hsm/pin"
printf '4711\n' >"$hsm/wrong-pin"
softhsm2-util --init-token --free --label ovik-release --pin ovik-pin-4711 --so-pin ovik-so-4711 >/dev/null
OVIK_TEST_PIN=ovik-pin-4711 pkcs11-tool --module "$module" --token-label ovik-release --login \
  --pin env:OVIK_TEST_PIN --keypairgen --key-type rsa:2048 --label signer --id 01 >/dev/null 2>&1
pkcs11-tool --module "$module" --token-label ovik-release --read-object --type pubkey --id 01 \
  -o "$hsm/signer.der" >/dev/null 2>&1
openssl pkey -pubin -inform DER -in "$hsm/signer.der" -out "$hsm/signer-public.pem"
# The request is signed by the CA's key; -force_pubkey puts the token's key
# into the certificate.
openssl req -new -key "$keys/ours-ca.key" -subj "/CN=OVIK token signer" -out "$hsm/signer.csr"
openssl x509 -req -in "$hsm/signer.csr" -force_pubkey "$hsm/signer-public.pem" -CA "$keys/ours-ca.pem" \
  -CAkey "$keys/ours-ca.key" -set_serial 3 -days 2 -extfile "$keys/ext" -out "$hsm/signer.pem" 2>/dev/null
cat "$hsm/signer.pem" "$keys/ours-ca.pem" >"$hsm/chain.pem"
token_key="pkcs11:token=ovik-release;object=signer;type=private"
token=(--sign-pkcs11 "$module" --key "$token_key" --cert "$hsm/chain.pem" --ca-file "$keys/ours-ca.pem")

# An RFC 3161 server of our own on 127.0.0.1, with a time-stamping
# certificate from the same CA; it stops by itself.
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping\n' \
  >"$hsm/tsa-ext"
openssl req -newkey rsa:2048 -nodes -keyout "$hsm/tsa.key" -subj "/CN=OVIK throw-away TSA" \
  -out "$hsm/tsa.csr" 2>/dev/null
openssl x509 -req -in "$hsm/tsa.csr" -CA "$keys/ours-ca.pem" -CAkey "$keys/ours-ca.key" -set_serial 4 \
  -days 2 -extfile "$hsm/tsa-ext" -out "$hsm/tsa.pem" 2>/dev/null
echo 01 >"$hsm/tsa-serial"
printf '%s\n' "[tsa]" "default_tsa = tsa_config" "[tsa_config]" "serial = $hsm/tsa-serial" \
  "signer_cert = $hsm/tsa.pem" "certs = $keys/ours-ca.pem" "signer_key = $hsm/tsa.key" \
  "signer_digest = sha256" "default_policy = 1.2.3.4.1" "digests = sha256, sha384, sha512" \
  "accuracy = secs:1" "ess_cert_id_alg = sha256" >"$hsm/tsa.cnf"
/usr/bin/python3 "$root/tests/release/timestamp_server.py" "$hsm/tsa.cnf" "$hsm/tsa-port" \
  --requests 4 --seconds 300 &
timestamp_server=$!
for _ in $(seq 50); do [ -s "$hsm/tsa-port" ] && break; sleep 0.1; done
tsa="http://127.0.0.1:$(cat "$hsm/tsa-port")/"
dead="http://127.0.0.1:1/"

# Every command line of osslsigncode that the release starts is recorded:
# the PIN is on none.
mkdir "$hsm/bin"
printf '#!/bin/sh\nprintf "%%s\\n" "$0 $*" >>"%s"\nexec /usr/bin/osslsigncode "$@"\n' "$hsm/argv" \
  >"$hsm/bin/osslsigncode"
chmod +x "$hsm/bin/osslsigncode"
start=$(date +%s%N)
PATH="$hsm/bin:$PATH" "${release[@]}" "${token[@]}" --pin-file "$hsm/pin" --timestamp-url "$dead" \
  --timestamp-url "$tsa" --out "$scratch/token" --no-build --build-dir "$build" >"$scratch/token.log" 2>&1 ||
  { cat "$scratch/token.log"; exit 1; }
echo "      token-signed, time-stamped release: $(elapsed_ms "$start")"
token_exe="$scratch/token/$name/Installer/setup.exe"
check "a release signed with the key on the token holds its $sums" \
  bash -c "cd '$scratch/token' && sha256sum --quiet -c '$sums'"
check "... its summary names the token, the signer and the time stamp's time" grep -q \
  "signed (Authenticode, SHA-256) with the key $token_key on the token .* by /CN=OVIK token signer; time-stamped at .* GMT by $tsa" \
  "$scratch/token.log"
check "... the dead time-stamp server was tried twice before the next" \
  bash -c "[ \$(grep -c -- '-ts $dead' '$hsm/argv') -eq 2 ] && grep -q -- '-ts $tsa' '$hsm/argv'"
check "... and the PIN was on no command line" bash -c "! grep -q 'pin-4711' '$hsm/argv'"
check "... its SBOM and provenance hold, the provenance signed on the token by setup.exe's signer" \
  signed_records_hold "$scratch/token" "$name" "$keys/ours-ca.pem"
# Its certificate ends in two days: as of two years later only the time
# stamp keeps the signature valid.
later=$(($(date +%s) + 2 * 365 * 86400))
osslsigncode verify -CAfile "$keys/ours-ca.pem" -TSA-CAfile "$keys/ours-ca.pem" -time "$later" \
  -in "$token_exe" >"$scratch/verify-later" 2>&1 || true
check "the time-stamped setup.exe verifies as of two years later" grep -q "^Succeeded" "$scratch/verify-later"
check "... and names the program as Windows' prompts show it" \
  grep -qx "[[:space:]]*Text description: OVIK client installer" "$scratch/verify-later"
check "... where the one without a time stamp does not" bash -c "! osslsigncode verify -CAfile \
  '$keys/ours-ca.pem' -time $later -in '$exe' >/dev/null 2>&1"

expect_refusal "wrong PIN, naming the PIN file" "sign.sh: the token refused the PIN in $hsm/wrong-pin: put the right PIN on its first line" \
  "${release[@]}" "${token[@]}" --pin-file "$hsm/wrong-pin"
expect_refusal "a PIN in the key's URI, where a command line would carry it" "carries a PIN: leave it out" \
  "${release[@]}" "${token[@]}" --key "$token_key;pin-value=ovik-pin-4711" --pin-file "$hsm/pin"
expect_refusal "a module that does not load" "sign.sh: the PKCS#11 module $scratch/none.so does not load: give the full path" \
  "${release[@]}" --sign-pkcs11 "$scratch/none.so" --key "$token_key" --cert "$hsm/chain.pem" --pin-file "$hsm/pin"
expect_refusal "a key that is not on the token" "sign.sh: no private key on the token at pkcs11:token=ovik-release;object=absent;type=private: check the URI" \
  "${release[@]}" --sign-pkcs11 "$module" --key "pkcs11:token=ovik-release;object=absent;type=private" \
  --cert "$hsm/chain.pem" --pin-file "$hsm/pin"
expect_refusal "a certificate that is not on the token" "sign.sh: no certificate on the token at pkcs11:token=ovik-release;object=absent;type=cert: check the URI" \
  "${release[@]}" --sign-pkcs11 "$module" --key "$token_key" --cert "pkcs11:token=ovik-release;object=absent;type=cert" \
  --pin-file "$hsm/pin"
expect_refusal "a certificate of another key" "sign.sh: the certificate in $keys/theirs.pem is not the one of the key $token_key: give" \
  "${release[@]}" --sign-pkcs11 "$module" --key "$token_key" --cert "$keys/theirs.pem" --pin-file "$hsm/pin"
expect_refusal "no time-stamp server answering" "no time-stamp server answered" \
  "${release[@]}" "${signed[@]}" --timestamp-url "$dead"

# Signed elsewhere and handed back: this build is shipped byte for byte;
# another file, or a signature that does not verify, is refused.
osslsigncode sign -pkcs12 "$keys/ours.p12" -readpass "$keys/password" -h sha256 -in "$build/app/setup.exe" \
  -out "$scratch/handed-back.exe" >/dev/null
"${release[@]}" --signed-setup "$scratch/handed-back.exe" --ca-file "$keys/ours-ca.pem" \
  --out "$scratch/elsewhere" --no-build --build-dir "$build" >"$scratch/log" 2>&1 || { cat "$scratch/log"; exit 1; }
check "a setup.exe signed elsewhere is shipped as it was handed back" \
  cmp "$scratch/handed-back.exe" "$scratch/elsewhere/$name/Installer/setup.exe"
check "... and listed in $sums" bash -c "cd '$scratch/elsewhere' && sha256sum --quiet -c '$sums'"
"${release[@]}" --signed-setup "$token_exe" --ca-file "$keys/ours-ca.pem" --timestamp-url "$dead" \
  --out "$scratch/elsewhere-stamped" --no-build --build-dir "$build" >"$scratch/log" 2>&1 || true
check "... one that came back time-stamped keeps its time stamp, no server asked" \
  cmp "$token_exe" "$scratch/elsewhere-stamped/$name/Installer/setup.exe"
cp "$build/app/setup.exe" "$scratch/other.exe"
printf '\x55' | dd of="$scratch/other.exe" bs=1 seek=4608 conv=notrunc 2>/dev/null
osslsigncode sign -pkcs12 "$keys/ours.p12" -readpass "$keys/password" -h sha256 -in "$scratch/other.exe" \
  -out "$scratch/other-signed.exe" >/dev/null
expect_refusal "a file signed elsewhere that is not this build" "is not this build's setup.exe" \
  "${release[@]}" --signed-setup "$scratch/other-signed.exe" --ca-file "$keys/ours-ca.pem"
expect_refusal "this build signed elsewhere by a CA not trusted" "does not verify" \
  "${release[@]}" --signed-setup "$scratch/handed-back.exe" --ca-file "$keys/theirs-ca.pem"

echo "      token-signed release, time-stamped (the first server dead):"
sed 's/^/      | /' "$scratch/token.log"
echo "      osslsigncode verify -time $later (two years later) of $token_exe:"
sed 's/^/      | /' "$scratch/verify-later"

# Every kind of difference that a faulty writer could leave, in one archive
# at a time: after mastering, the hook writes that archive again from a
# copy of the medium with a file dropped, one added, one truncated (same
# first bytes), one byte changed and a file turned into a folder.
sample_client "$scratch/spoiled"
echo "dropped" >"$scratch/spoiled/dropped.txt"
echo "same first bytes, then more" >"$scratch/spoiled/truncated.txt"
echo "one byte changes" >"$scratch/spoiled/changed.txt"
echo "becomes a folder" >"$scratch/spoiled/folder.txt"
spoil='copy="$(dirname "$1")/spoiled-copy"
  cp -R "${1%.iso}" "$copy"
  rm "$copy/dropped.txt"
  echo added >"$copy/added.txt"
  truncate -s 10 "$copy/truncated.txt"
  printf X | dd of="$copy/changed.txt" bs=1 seek=4 conv=notrunc 2>/dev/null
  rm "$copy/folder.txt" && mkdir "$copy/folder.txt"
  '"/usr/bin/python3 '$root/scripts/medium.py' "
spoiled_release() { # spoiled_release WHAT MEDIUM-PY-ARGS: the hook remakes that archive
  local status=0 difference
  # The release folder's own time changes: the run works in a folder inside.
  snapshot "$out" 1 >"$scratch/out-before"
  OVIK_RELEASE_AFTER_MASTERING="$spoil$2" "${release[@]}" --client "$scratch/spoiled" \
    --build-dir "$build" --no-build >"$scratch/log" 2>&1 || status=$?
  check "$1 with every kind of difference fails the read-back" \
    bash -c "[ $status -eq 1 ] && grep -q 'the $1 does not hold the medium folder' '$scratch/log'"
  for difference in "missing from the archive: dropped.txt" "only in the archive: added.txt" \
    "other bytes in the archive: truncated.txt" "other bytes in the archive: changed.txt" \
    "a folder in the archive, not in the medium: folder.txt"; do
    check "... naming it: $difference" grep -qx "  $difference" "$scratch/log"
  done
  check "... writing nothing, the release in place as it was" unchanged "$out" "$scratch/out-before" 1
}
spoiled_release "CD image as Windows reads it (UDF)" 'master "$copy" "$1" SPOILED'
spoiled_release zip 'zip "$copy" "$2"'

# ==== Robustness: no silent exit, one run at a time, a full disk, leftovers, a silent server ====

robust="$scratch/robust"
mkdir -p "$robust/bin"
start=$(date +%s%N)
# wait_for FILE: FILE appears within 20 s.
wait_for() {
  local _
  for _ in $(seq 200); do [ -e "$1" ] && return 0; sleep 0.1; done
  echo "      $1 did not appear within 20 s"
  return 1
}
# whole_release DIR: DIR holds one release of the sample's version, its
# checksum file verifying and listing exactly its zip, image and setup.exe,
# and nothing else (a replaced release still being deleted aside).
whole_release() {
  (cd "$1" && sha256sum --quiet -c "$sums") &&
    [ "$(cut -c67- "$1/$sums" | sort | tr '\n' ' ')" = "$name.cdx.json $name.iso $name.zip $name/Installer/setup.exe " ] &&
    [ "$(cd "$1" && find . -mindepth 1 -maxdepth 1 ! -name '.*.replaced.*' | sort)" = \
      "$(printf './%s\n' "$name" "$name.iso" "$name.zip" "$name.cdx.json" "$name.intoto.jsonl" "$sums" | sort)" ]
}

# A command that fails inside a script, where it gives no message of its
# own, is named with its line: here `touch`, run by find, fails.
printf '#!/bin/sh\nexit 1\n' >"$robust/bin/touch"
chmod +x "$robust/bin/touch"
status=0
PATH="$robust/bin:$PATH" "${release[@]}" --no-build --build-dir "$build" --out "$robust/err-out" \
  >"$robust/log" 2>&1 || status=$?
line="$(sed -n 's/^release\.sh: stopped: `.*` failed with status 1 (line \([0-9]*\) of .*release\.sh)\.$/\1/p' "$robust/log")"
check "a command failing without a message of its own is named, with its status and line" \
  bash -c "[ $status -eq 1 ] && [ -n '$line' ] && sed -n '${line:-0}p' '$root/scripts/release.sh' | grep -q 'exec touch'"
check "... with what to do, and nothing is left" \
  bash -c "grep -q 'fix that and run release.sh again' '$robust/log' && [ ! -e '$robust/err-out' ]"
rm "$robust/bin/touch"

# A release holding --out (stopped before mastering until told to go on):
# another waits for it, naming it, or refuses after --wait; so does
# check-kit.sh; one that waits ends with a whole release once it may.
held="$robust/held"
OVIK_RELEASE_BEFORE_MASTERING="touch '$robust/holding'; while [ ! -e '$robust/go' ]; do sleep 0.1; done" \
  "${release[@]}" --no-build --build-dir "$build" --out "$held" >"$robust/holder.log" 2>&1 &
holder=$!
wait_for "$robust/holding" || true
# The run's own pid, as its lock file names it (the watch runs it as a child).
holder_pid="$(sed -n 's/^pid //p' "$held/.ovik-release.lock" 2>/dev/null)"
status=0
"${release[@]}" --no-build --build-dir "$build" --out "$held" --wait 1 >"$robust/log" 2>&1 || status=$?
check "a second release into that --out waits, naming the run that holds it" \
  grep -q "waiting for run $holder_pid on .* (since [0-9]\{4\}-[0-9][0-9]-[0-9][0-9] [0-9:]\{8\} UTC: bash .*release.sh --no-build .*--out $held) to finish in $held (up to 1 s" "$robust/log"
check "... and after --wait 1 is refused, naming it again" \
  bash -c "[ $status -eq 1 ] && grep -q 'still in use after 1 s, by run $holder_pid on ' '$robust/log'"
status=0
bash "$root/scripts/check-kit.sh" --no-build --build-dir "$build" --wait 0 "$held" >"$robust/log" 2>&1 || status=$?
check "check-kit.sh takes the same lock: refused, naming the release run" \
  bash -c "[ $status -eq 1 ] && grep -q 'still in use after 0 s, by run $holder_pid on ' '$robust/log'"
"${release[@]}" --no-build --build-dir "$build" --out "$held" --replace >"$robust/waiter.log" 2>&1 &
waiter=$!
for _ in $(seq 100); do grep -q "waiting for run $holder_pid" "$robust/waiter.log" && break; sleep 0.1; done
touch "$robust/go"
status=0
wait "$holder" || status=$?
wait "$waiter" || status=$?
check "... one that may wait goes on when the first has finished, both ending well" \
  bash -c "[ $status -eq 0 ] && grep -q 'is ours now' '$robust/waiter.log'"
check "... with one whole release in --out" whole_release "$held"
check "... and no lock left behind" test ! -e "$held/.ovik-release.lock"

# Two releases of one version at once, each of another client, with
# --replace into one --out: each round ends with one whole release, its
# medium folder one client's (and the zip the same client's), nothing nested.
sample_client "$robust/client-a"
sample_client "$robust/client-b"
echo "client b" >"$robust/client-b/readme.txt"
race="$robust/race"
rounds_ok=1
for round in 1 2 3 4 5 6; do
  race_args=(--no-build --build-dir "$build" --out "$race" --replace --client)
  "${release[@]}" "${race_args[@]}" "$robust/client-a" >"$robust/race-a.log" 2>&1 &
  race_a=$!
  "${release[@]}" "${race_args[@]}" "$robust/client-b" >"$robust/race-b.log" 2>&1 &
  race_b=$!
  status_a=0 status_b=0
  wait "$race_a" || status_a=$?
  wait "$race_b" || status_b=$?
  holds="none"
  for who in a b; do
    if diff -r -x Installer "$robust/client-$who" "$race/$name" >/dev/null 2>&1 &&
      [ "$(7zz x -so -tzip "$race/$name.zip" readme.txt 2>/dev/null)" = "$(cat "$robust/client-$who/readme.txt")" ]; then
      holds="$who"
    fi
  done
  order="a and b did not meet"
  grep -q "waiting for run $race_a" "$robust/race-b.log" && order="b waited for a"
  grep -q "waiting for run $race_b" "$robust/race-a.log" && order="a waited for b"
  if [ "$status_a" -eq 0 ] && [ "$status_b" -eq 0 ] && [ "$holds" != none ] && whole_release "$race" &&
    [ "$(ls -A "$race/$name")" = "$({ ls -A "$robust/client-$holds"; echo Installer; } | sort)" ]; then
    echo "      round $round: $order; $race holds client $holds's release, whole"
  else
    echo "      round $round: exit $status_a (a) and $status_b (b), $order; medium folder of client $holds:"
    ls -AR "$race" | sed 's/^/      | /'
    cat "$robust/race-a.log" "$robust/race-b.log" | sed 's/^/      | /'
    rounds_ok=0
  fi
done
check "two releases at once into one --out, 6 rounds: each time one whole release of one client" \
  test "$rounds_ok" -eq 1

# A release killed with SIGKILL (its whole process group, as a cancelled
# job is) leaves its folder; the next run removes it, saying whose and how
# large, and leaves a folder that a live run holds (here a deletion of a
# replaced release still going on) alone.
killed="$robust/killed"
# (Started from a subshell, so that this shell reports no killed job.)
shm_logs() { find /dev/shm -mindepth 1 -maxdepth 1 -name 'ovik-release.*' 2>/dev/null | sort; }
shm_logs >"$robust/logs-before"
victim="$(OVIK_RELEASE_AFTER_MASTERING="touch '$robust/mastered'; sleep 60" \
  setsid "${release[@]}" --no-build --build-dir "$build" --out "$killed" >/dev/null 2>&1 & echo $!)"
wait_for "$robust/mastered" || true
# The run's own pid, as its lock file names it (the watch runs it as a child).
victim_run="$(sed -n 's/^pid //p' "$killed/.ovik-release.lock" 2>/dev/null)"
kill -9 -- "-$victim" || true
for _ in $(seq 50); do kill -0 -- "-$victim" 2>/dev/null || break; sleep 0.1; done
# Its logs (off --out's disk), a minute old by now for the next run.
comm -13 "$robust/logs-before" <(shm_logs) | while read -r logs; do
  ! flock -n "$logs" true || { touch -d '-2 min' "$logs" && echo "$logs"; }
done >"$robust/victim-logs"
live="$killed/.$name.replaced.4242.elsewhere.AbCdEf"
mkdir -p "$live"
bash -c 'exec 9<"$0"; flock -x 9; touch "$0.held"; exec sleep 60' "$live" 2>/dev/null &
live_holder=$!
wait_for "$live.held" || true
ls -A "$killed" >"$robust/left-by-kill" 2>&1 || true
status=0
"${release[@]}" --no-build --build-dir "$build" --out "$killed" >"$robust/log" 2>&1 || status=$?
check "a release killed with SIGKILL left its folder" grep -q "^\.$name\.partial\.$victim_run\." "$robust/left-by-kill"
check "... which the next run removes, naming it, its run and its size" grep -qE \
  "^release\.sh: removed \.$name\.partial\.$victim_run\.[^ ]+ \([0-9.]+[KM]\), left in $killed by run $victim_run on [^ ]+, which is no longer running$" \
  "$robust/log"
check "... leaving the folder a live run holds alone" test -d "$live"
check "... and releasing, whole" bash -c "[ $status -eq 0 ] && [ -z \"\$(find '$killed' -maxdepth 1 -name '.*partial*')\" ]"
check "... with nothing else beside it" whole_release "$killed"
if [ -d /dev/shm ]; then
  check "... and the killed run's logs in /dev/shm are gone too" \
    bash -c "[ -s '$robust/victim-logs' ] && ! xargs ls -d <'$robust/victim-logs' >/dev/null 2>&1"
fi
kill "$live_holder" 2>/dev/null || true
wait "$live_holder" 2>/dev/null || true
echo "      the run after a killed one:"
sed 's/^/      | /' "$robust/log" | head -n 3
# A dead run's folder that holds the release it was replacing is the only
# copy of that release: the next run leaves it, saying where it is.
stuck="$robust/stuck/.$name.partial.4243.elsewhere.XyZ123"
mkdir -p "$stuck/replaced/$name"
echo "the release being replaced" >"$stuck/replaced/$name/readme.txt"
echo "not a folder of ours" >"$robust/stuck/.$name.partial.4244.elsewhere.File01"
"${release[@]}" --no-build --build-dir "$build" --out "$robust/stuck" >"$robust/log" 2>&1 || true
check "... but leaves a dead run's folder that holds a replaced release, saying so" bash -c \
  "[ -s '$stuck/replaced/$name/readme.txt' ] && grep -q 'left .*XyZ123 .* as it is: run 4243 on elsewhere stopped while replacing a release' '$robust/log'"
check "... and a file of such a name, which no run of ours makes" \
  test -s "$robust/stuck/.$name.partial.4244.elsewhere.File01"
# A replaced release still being deleted in the background (slowly here:
# an `rm` first on PATH waits 3 s for a replaced release) holds its
# folder's lock: the run right after leaves it be.
mkdir -p "$robust/slow-rm"
printf '#!/bin/sh\ncase "$*" in *.replaced.*) sleep 3 ;; esac\nexec %s "$@"\n' "$(command -v rm)" \
  >"$robust/slow-rm/rm"
chmod +x "$robust/slow-rm/rm"
sample_client "$robust/other-client"
echo "another release" >>"$robust/other-client/readme.txt"
"${release[@]}" --no-build --build-dir "$build" --out "$robust/slow" >/dev/null 2>&1 || true
PATH="$robust/slow-rm:$PATH" "${release[@]}" --client "$robust/other-client" --replace --no-build \
  --build-dir "$build" --out "$robust/slow" >/dev/null 2>&1 || true
"${release[@]}" --client "$robust/other-client" --no-build --build-dir "$build" --out "$robust/slow" \
  >"$robust/log" 2>&1 || true
check "... and leaves a replaced release that is still being deleted alone" \
  bash -c "grep -q ': unchanged' '$robust/log' && ! grep -q 'removed .*replaced' '$robust/log'"

# A disk too small is refused at once, with the space needed and free; one
# that fills up mid-way (after the check: the hook fills it) says "No space
# left on device", leaving the previous release whole and nothing else.
# Both on a small tmpfs in a mount namespace of the release's own.
if [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
  disk="$robust/disk"
  mkdir "$disk"
  cat >"$robust/full-disk.sh" <<'EOF_DISK'
disk="$1" log="$2"
shift 2
mount -t tmpfs -o size=1m tmpfs "$disk"
status=0
"$@" --out "$disk" >"$log.refused" 2>&1 || status=$?
echo "$status $(ls -A "$disk" | wc -l)" >"$log.refused-status"
umount "$disk"
mount -t tmpfs -o size=4m tmpfs "$disk"
"$@" --out "$disk" >/dev/null 2>&1
(cd "$disk" && find . -mindepth 1 -printf '%y %s %T@ %p\n' | sort) >"$log.before"
status=0
OVIK_RELEASE_BEFORE_MASTERING='dd if=/dev/zero of="$(dirname "$1")/filler" bs=64k 2>/dev/null; true' \
  "$@" --out "$disk" --replace >"$log.full" 2>&1 || status=$?
echo "$status" >"$log.full-status"
(cd "$disk" && find . -mindepth 1 -printf '%y %s %T@ %p\n' | sort) >"$log.after"
(cd "$disk" && sha256sum --quiet -c ovik-medium-*.SHA256SUMS) && echo whole >>"$log.after-sums"
EOF_DISK
  unshare -m bash "$robust/full-disk.sh" "$disk" "$robust/disk" "${release[@]}" --no-build --build-dir "$build" ||
    echo "      the full-disk script failed"
  check "a disk too small is refused at once, with the space needed and free, writing nothing" bash -c \
    "[ \"\$(cat '$robust/disk.refused-status')\" = '1 0' ] &&
    grep -q 'not enough space in $disk: the release needs about [0-9.]*MiB .* and the disk holding $disk has [0-9.]*[KM]iB free' '$robust/disk.refused'"
  check "a disk that fills up mid-way says \"No space left on device\", with the need and what is free" bash -c \
    "[ \"\$(cat '$robust/disk.full-status')\" = 1 ] &&
    grep -q 'failed: No space left on device in $disk: the release needs about [0-9.]*MiB, and [0-9.]*[KMG]*i*B is free now' '$robust/disk.full'"
  check "... leaving the previous release whole, and nothing else" bash -c \
    "cmp -s '$robust/disk.before' '$robust/disk.after' && grep -qx whole '$robust/disk.after-sums'"
  echo "      the release on a disk too small, then on one that fills up:"
  sed 's/^/      | /' "$robust/disk.refused"
  grep '^release.sh' "$robust/disk.full" | sed 's/^/      | /'
else
  echo "skip  a full disk: this user cannot make a mount namespace"
fi

# A time-stamp server that takes the connection and never answers: the
# release ends within the stated limit, 2 tries x 2 s here, naming it.
/usr/bin/python3 "$root/tests/release/timestamp_server.py" none "$robust/silent-port" --never-answer --seconds 40 &
silent_server=$!
wait_for "$robust/silent-port" || true
silent="http://127.0.0.1:$(cat "$robust/silent-port")/"
took=$(date +%s)
status=0
timeout 100 "${release[@]}" "${signed[@]}" --timestamp-url "$silent" --timestamp-timeout 2 --no-build \
  --build-dir "$build" --out "$robust/silent-out" >"$robust/log" 2>&1 || status=$?
took=$(($(date +%s) - took))
kill "$silent_server" 2>/dev/null || true
check "a time-stamp server that never answers ends the release in $took s (2 x 2 s of time stamp), naming it" \
  bash -c "[ $status -eq 1 ] && [ $took -lt 25 ] && grep -qx 'sign.sh: no answer within 2 s (--timestamp-timeout) from: $silent' '$robust/log'"
check "... leaving no osslsigncode running and nothing written" \
  bash -c "! pgrep -f 'osslsigncode add -t[s] $silent' >/dev/null && [ ! -e '$robust/silent-out' ]"

# Killed with SIGKILL while signing (waiting for a time stamp that never
# comes): the password is left in no file, in the temporary folder,
# /dev/shm, the build tree or --out.
/usr/bin/python3 "$root/tests/release/timestamp_server.py" none "$robust/mute-port" --never-answer --seconds 60 &
mute_server=$!
wait_for "$robust/mute-port" || true
mute="http://127.0.0.1:$(cat "$robust/mute-port")/"
touch "$robust/before-kill"
group="$(
  setsid "${release[@]}" "${signed[@]}" --timestamp-url "$mute" --timestamp-timeout 50 --no-build \
    --build-dir "$build" --out "$robust/killed-signing" >/dev/null 2>&1 &
  echo $!
)"
for _ in $(seq 300); do pgrep -f "osslsigncode add -t[s] $mute" >/dev/null && break; sleep 0.1; done
pgrep -f "osslsigncode add -t[s] $mute" >/dev/null && waited=yes || waited=no
kill -KILL -- "-$group" 2>/dev/null || true
kill "$mute_server" 2>/dev/null || true
sleep 0.5
bash "$root/tests/release/watched.sh" --scan "$robust/before-kill" "${TMPDIR:-/tmp}" /dev/shm "$build" \
  "$robust/killed-signing" >"$robust/holding"
check "a release killed while signing (it was: $waited) leaves the password in no file" \
  bash -c "[ $waited = yes ] && [ ! -s '$robust/holding' ] || { sed 's/^/      left in: /' '$robust/holding'; false; }"
rm -rf "$robust/killed-signing"
echo "      robustness checks: $(elapsed_ms "$start")"

echo "      osslsigncode verify of $exe:"
sed 's/^/      | /' "$scratch/verify"
promises_kept
[ "$failed" -eq 0 ] && echo "release tests: all passed" || echo "release tests: FAILED"
exit "$failed"
