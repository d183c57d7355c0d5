#!/usr/bin/env bash
# Checks of the release command, scripts/release.sh, against a built tree:
#
# - the `release` target writes an unsigned release whose SHA256SUMS holds
#   and whose image shows the medium's root;
# - a second build folder (other time zone and umask) gives the same
#   setup.exe, zip and image, byte for byte;
# - a client with Japanese names and without library or icon ships, with
#   warnings, the names intact in the zip and on the image;
# - bad options and bad client folders each give their message and write
#   nothing;
# - a release signed with a throw-away certificate verifies, a one-byte
#   change breaks the signature, and a failing signed run leaves the
#   release in place untouched.
#
# It ends with the signed release of the sample client in BUILD/release,
# where the CD-ROM install test finds it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
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

release=(bash "$root/scripts/release.sh")
name="ovik-medium-$(sed -n 's/^project([^)]*VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
scratch="$(mktemp -d)"
chmod 755 "$scratch"
trap 'rm -rf "$scratch"' EXIT
failed=0

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

# expect_refusal WHAT PATTERN RELEASE-ARGS...: the run fails, says PATTERN,
# and leaves no output folder.
expect_refusal() {
  local what="$1" pattern="$2"
  shift 2
  local out="$scratch/refused-out"
  local status=0
  "$@" --out "$out" --no-build --build-dir "$build" >"$scratch/log" 2>&1 || status=$?
  if [ "$status" -ne 0 ] && grep -q -- "$pattern" "$scratch/log" && [ ! -e "$out" ]; then
    echo "ok    refused: $what"
  else
    echo "FAIL  refused: $what (exit $status, output folder $([ -e "$out" ] && echo left || echo absent)):"
    sed 's/^/      /' "$scratch/log"
    failed=1
  fi
  rm -rf "$out"
}

# Milliseconds since START (from `date +%s%N`).
elapsed_ms() {
  echo "$((($(date +%s%N) - $1) / 1000000)) ms"
}

sample_client() {
  rm -rf "$1"
  cp -R "$build/sample-client" "$1"
}

# ---- Unsigned, through the CMake target ----------------------------------------

start=$(date +%s%N)
cmake --build "$build" --target release >"$scratch/log" 2>&1 || { cat "$scratch/log"; exit 1; }
echo "      release target: $(elapsed_ms "$start")"
out="$build/release"
check "SHA256SUMS of the unsigned release holds" \
  bash -c "cd '$out' && sha256sum --quiet -c SHA256SUMS"
check "the unsigned release says so" grep -q "NOT signed" "$scratch/log"
xorriso -no_rc -indev "$out/$name.iso" -rockridge off -find / -type f 2>/dev/null >"$scratch/joliet"
xorriso -no_rc -indev "$out/$name.iso" -pvd_info 2>/dev/null >"$scratch/pvd"
check "the image's Joliet root holds Installer/setup.exe" grep -qx "'/Installer/setup.exe'" "$scratch/joliet"
check "... and startClass.exe" grep -qx "'/startClass.exe'" "$scratch/joliet"
check "the image has our label" grep -q "^Volume Id *: OVIK_MEDIUM_" "$scratch/pvd"

# ---- Reproducible from another build folder --------------------------------------

start=$(date +%s%N)
(umask 077 && TZ=Asia/Tokyo "${release[@]}" --build-dir "$repro" --out "$scratch/repro") \
  >"$scratch/log" 2>&1 || { cat "$scratch/log"; exit 1; }
echo "      release from a second build folder: $(elapsed_ms "$start")"
for file in "$name/Installer/setup.exe" "$name.zip" "$name.iso" SHA256SUMS; do
  check "$file is the same from $repro" cmp "$out/$file" "$scratch/repro/$file"
done

# ---- A client with Japanese names, no library and no icon ---------------------------

japanese="$scratch/日本語クライアント"
mkdir -p "$japanese/ドキュメント/空のフォルダー" "$japanese/Installer"
cp "$build/sample-client/startClass.exe" "$japanese/"
echo "説明" >"$japanese/ドキュメント/説明書.txt"
"${release[@]}" --client "$japanese" --out "$scratch/japanese" --no-build --build-dir "$build" \
  >"$scratch/log" 2>&1 || { cat "$scratch/log"; exit 1; }
check "warns about the missing library" grep -q "warning: no ovikClient/ScreenCapture.ax" "$scratch/log"
check "warns about the missing icon" grep -q "warning: no ovikClient/ovikclient.ico" "$scratch/log"
bsdtar -tf "$scratch/japanese/$name.zip" >"$scratch/zip-names"
check "the zip holds the Japanese names and the empty folder" \
  grep -qx "ドキュメント/空のフォルダー/" "$scratch/zip-names"
# General purpose flag bit 11: names in UTF-8. Windows reads unflagged
# names in the OEM code page.
zip_flag_set() { # bit 11 of the flags in the local header of entry $2 of zip $1
  local at flags
  at="$(grep -obUa -- "$2" "$1" | head -n 1 | cut -d: -f1)"
  [ -n "$at" ] || return 1
  flags="$(od -An -tu2 -j $((at - 24)) -N2 "$1" | tr -d ' ')"
  [ $((flags & 2048)) -ne 0 ]
}
check "the zip flags its UTF-8 names" zip_flag_set "$scratch/japanese/$name.zip" "ドキュメント/説明書.txt"
xorriso -no_rc -indev "$scratch/japanese/$name.iso" -rockridge off -find / 2>/dev/null >"$scratch/joliet"
check "the image's Joliet tree holds the Japanese names" \
  grep -qx "'/ドキュメント/説明書.txt'" "$scratch/joliet"

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
long="$(printf 'あ%.0s' $(seq 61)).txt"
for bad in "a:b.txt|holds one of" "$long|65 UTF-16 units" "CON.txt|device name" \
  "note.|ends in a space or a dot" "README.TXT|differ only in letter case"; do
  sample_client "$scratch/bad"
  echo x >"$scratch/bad/${bad%%|*}"
  expect_refusal "name ${bad%%|*}" "${bad#*|}" "${release[@]}" --client "$scratch/bad"
done
sample_client "$scratch/bad"
ln -s startClass.exe "$scratch/bad/link.exe"
expect_refusal "symbolic link" "is a symbolic link" "${release[@]}" --client "$scratch/bad"

# Root reads everything: the unreadable file is tried as the test user.
sample_client "$scratch/bad"
chmod 000 "$scratch/bad/ovikClient/ScreenCapture.ax"
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  if ! id ovik-test >/dev/null 2>&1; then
    echo "FAIL  no user ovik-test to try an unreadable file as (scripts/test.sh makes it)"
    failed=1
  elif runuser -u ovik-test -- test -r "$root/scripts/release.sh"; then
    as_user=(runuser -u ovik-test --)
  else
    echo "skip  unreadable file: ovik-test cannot reach $root"
  fi
fi
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

# A check kit in the release folder (scripts/check-kit.sh) is no part of the
# release: a new release leaves it as it is and out of SHA256SUMS.
mkdir -p "$out/check"
echo "a check kit" >"$out/check/README.txt"
start=$(date +%s%N)
"${release[@]}" "${signed[@]}" --build-dir "$build" --no-build >"$scratch/log" 2>&1 ||
  { cat "$scratch/log"; exit 1; }
echo "      signed release: $(elapsed_ms "$start")"
check "a check kit in the release folder stays as it was" \
  bash -c "[ \"\$(cat '$out/check/README.txt')\" = 'a check kit' ]"
check "... and out of SHA256SUMS" bash -c "! grep -q check/ '$out/SHA256SUMS'"
rm -rf "$out/check"
exe="$out/$name/Installer/setup.exe"
osslsigncode verify -CAfile "$keys/ours-ca.pem" -in "$exe" >"$scratch/verify" 2>&1 || true
check "the signed setup.exe verifies against the throw-away CA" grep -q "^Succeeded" "$scratch/verify"
check "SHA256SUMS of the signed release holds" bash -c "cd '$out' && sha256sum --quiet -c SHA256SUMS"
xorriso -no_rc -osirrox on -indev "$out/$name.iso" -extract / "$scratch/from-image" >/dev/null 2>&1
check "the image carries the signed setup.exe" cmp "$exe" "$scratch/from-image/Installer/setup.exe"
check "the image's tree is the medium folder" diff -r "$out/$name" "$scratch/from-image"
cp "$exe" "$scratch/changed.exe"
printf '\x55' | dd of="$scratch/changed.exe" bs=1 seek=4608 conv=notrunc 2>/dev/null
check "a one-byte change breaks the signature" \
  bash -c "! osslsigncode verify -CAfile '$keys/ours-ca.pem' -in '$scratch/changed.exe' >/dev/null 2>&1"

# A signature from a CA the check does not trust: refused after signing,
# and the release already in OUT stays as it was.
sha256sum "$out/SHA256SUMS" "$out/$name.zip" "$out/$name.iso" "$exe" >"$scratch/before"
status=0
"${release[@]}" --sign-pkcs12 "$keys/theirs.p12" --password-file "$keys/password" \
  --ca-file "$keys/ours-ca.pem" --build-dir "$build" --no-build >"$scratch/log" 2>&1 || status=$?
check "a signature that does not verify is refused" \
  bash -c "[ $status -ne 0 ] && grep -q 'does not verify' '$scratch/log'"
check "... and the release in place is untouched" sha256sum --quiet -c "$scratch/before"
check "... and nothing half-made is left" \
  bash -c "[ -z \"\$(find '$out' -maxdepth 1 -name '.*partial*')\" ]"

echo "      osslsigncode verify of $exe:"
sed 's/^/      | /' "$scratch/verify"
[ "$failed" -eq 0 ] && echo "release tests: all passed" || echo "release tests: FAILED"
exit "$failed"
