#!/usr/bin/env bash
# What the --help of release.sh, sign.sh, check-kit.sh and windows-view.sh
# promises, each promise checked where it is decided, without a whole
# release: the options each refuses and with what, the exit codes, how a
# file of secrets is read, which forms of key URI are refused, the summary
# line of sign.sh, the time-stamp servers' order, and the kit that
# check-kit.sh writes. Run by release_test.sh; needs BUILD/app/setup.exe.
set -euo pipefail
export LC_ALL=C.UTF-8
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$root/build/mingw"
[ "${1:-}" != --build-dir ] || build="$(realpath -m "$2")"
failed=0
# shellcheck source=tests/support/check.sh
source "$root/tests/support/check.sh"
test_scratch

# ---- on-error.sh: no silent exit ------------------------------------------------------------

# A command that fails with no message of its own, in a script and in a
# function of it, a subshell's failure named by the command that ran it.
printf '%s\n' '#!/usr/bin/env bash' 'set -euo pipefail' "source '$root/scripts/on-error.sh'" \
  'ovik_error_hint() { echo "hint: look here"; }' 'quiet() { false; }' '[ -z "${1:-}" ] || (exit 3)' 'quiet' \
  >"$scratch/quiet.sh"
check "on-error.sh names the failing command, its status, line and file, the hint, and what to do" \
  says 1 "^quiet.sh: stopped: \`false\` failed with status 1 (line 5 of $scratch/quiet.sh)\.$" bash "$scratch/quiet.sh"
check "... with the script's hint" grep -qx "hint: look here" "$scratch/said"
check "... and what to do" grep -qx "quiet.sh: what it printed above, if anything, says why; fix that and run quiet.sh again (with \`bash -x\` to see each step)." "$scratch/said"
check "... once, for a subshell by the command that ran it" \
  bash -c '! bash "$0" sub >"$1" 2>&1 && [ "$(grep -c stopped "$1")" -eq 1 ] &&
    grep -qx "quiet.sh: stopped: \`( exit 3 )\` failed with status 3 (line 6 of .*)\." "$1"' "$scratch/quiet.sh" "$scratch/sub"
long="$(printf 'x%.0s' $(seq 250))"
printf '%s\n' '#!/usr/bin/env bash' 'set -euo pipefail' "source '$root/scripts/on-error.sh'" "false $long" \
  >"$scratch/long.sh"
check "... a long command by its first 200 characters" \
  says 1 "^long.sh: stopped: \`false ${long:0:194}\.\.\.\` failed with status 1 (line 4 of " bash "$scratch/long.sh"

# ---- release.sh: options refused before anything is made ---------------------------------

release=(bash "$root/scripts/release.sh" --no-build --build-dir "$scratch/no-build")
echo x >"$scratch/file"
token=(--sign-pkcs11 "$scratch/file" --key "pkcs11:token=t;object=k" --cert "$scratch/file" --pin-file "$scratch/file")
while IFS='|' read -r what pattern args; do
  read -ra args <<<"$args"
  check "release.sh refuses $what, exit 2 and the way to --help" \
    says 2 "release.sh: $pattern" "${release[@]}" "${args[@]//@/$scratch/file}"
  check "... pointing at --help" grep -q "^try: bash scripts/release.sh --help$" "$scratch/said"
done <<'EOF'
an option without its value|--version needs a value|--version
an unknown option|unknown option: --sign|--sign @
--sign-pkcs12 without --password-file|--sign-pkcs12 needs --password-file|--sign-pkcs12 @
--sign-pkcs11 without --pin-file|--sign-pkcs11 needs --key URI, --cert CERT and --pin-file|--sign-pkcs11 @ --key pkcs11:a --cert @
--sign-pkcs11 without --key|--sign-pkcs11 needs --key URI|--sign-pkcs11 @ --cert @ --pin-file @
--sign-pkcs11 without --cert|--sign-pkcs11 needs --key URI|--sign-pkcs11 @ --key pkcs11:a --pin-file @
two ways of signing|give one of --sign-pkcs12, --sign-pkcs11 and --signed-setup|--sign-pkcs12 @ --password-file @ --signed-setup @
--ca-file without signing|--ca-file applies only with --sign-pkcs12|--ca-file @
--timestamp-url without signing|--timestamp-url applies only with --sign-pkcs12|--timestamp-url http://127.0.0.1:1/
--pin-file without --sign-pkcs11|--key, --cert and --pin-file go with --sign-pkcs11|--pin-file @
--cert without --sign-pkcs11|--key, --cert and --pin-file go with --sign-pkcs11|--cert @ --signed-setup @
--password-file without --sign-pkcs12|--password-file goes with --sign-pkcs12|--password-file @
a key that is no pkcs11: URI|--key token=t is not a pkcs11: URI|--sign-pkcs11 @ --key token=t --cert @ --pin-file @
a PIN in the key's URI (pin-value)|pkcs11:token=t;pin-value=<left out> carries a PIN: leave it out of the URI|--sign-pkcs11 @ --key pkcs11:token=t;pin-value=1 --cert @ --pin-file @
a PIN in the key's URI (?pin-source)|pkcs11:token=t?pin-source=file:x carries a PIN: leave it out of the URI|--sign-pkcs11 @ --key pkcs11:token=t?pin-source=file:x --cert @ --pin-file @
a PIN in the certificate's URI|pkcs11:object=c;pin-value=<left out> carries a PIN|--sign-pkcs11 @ --key pkcs11:token=t --cert pkcs11:object=c;pin-value=1 --pin-file @
--check without --client|--check needs --client DIR|--check
--check with a way of signing|--check writes nothing: leave out --out and the signing options|--check --client @ --signed-setup @
--check with --out|--check writes nothing: leave out --out|--check --client @ --out @
--check with --replace|--check writes nothing: leave out --replace|--check --client @ --replace
EOF
check "release.sh refuses an empty value, exit 2" says 2 "release.sh: --client needs a value" "${release[@]}" --client ""
for given in --sign-pkcs12:--password-file --password-file:--sign-pkcs12 --pin-file: --signed-setup: --ca-file:--signed-setup; do
  first="${given%%:*}" second="${given#*:}"
  args=("$first" "$scratch/absent")
  [ -z "$second" ] || args+=("$second" "$scratch/file")
  [ "$first" != --pin-file ] || args=("${token[@]:0:6}" --pin-file "$scratch/absent")
  check "release.sh refuses an unreadable $first file, exit 1" \
    says 1 "release.sh: cannot read $scratch/absent" "${release[@]}" "${args[@]}"
done
check "... and a folder given as a file" \
  says 1 "release.sh: cannot read $scratch" "${release[@]}" --signed-setup "$scratch"
check "release.sh refuses an unreadable --cert PEM file" \
  says 1 "cannot read $scratch/absent" "${release[@]}" "${token[@]:0:4}" --cert "$scratch/absent" --pin-file "$scratch/file"
mkdir "$scratch/client" && echo x >"$scratch/client/startClass.exe"
check "... and a --version outside the rule, before building" \
  says 1 "--version 1.2.3.4.5 is not a version" "${release[@]}" --client "$scratch/client" --version 1.2.3.4.5
check "... and an --out that is a file" \
  says 1 "release.sh: --out $scratch/file is not a folder" "${release[@]}" --out "$scratch/file" \
  --client "$scratch/client" --version 1.0.0
check "none of these made the build or release folder" test ! -e "$scratch/no-build"
# Without --no-build it builds setup.exe first, in a new build folder
# configured without the test programs: seen through a cmake that records
# how it is asked and fails the build.
mkdir "$scratch/fake-cmake"
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s"\ncase "$1" in --build) exit 1 ;; esac\n' "$scratch/cmake-argv" \
  >"$scratch/fake-cmake/cmake"
chmod +x "$scratch/fake-cmake/cmake"
check "release.sh without --no-build builds setup.exe, naming the build folder when that fails" \
  says 1 "release.sh: building setup.exe in $scratch/new-build failed (run: cmake --build $scratch/new-build --target installer)" \
  env PATH="$scratch/fake-cmake:$PATH" bash "$root/scripts/release.sh" --client "$scratch/client" --version 1.0.0 \
  --build-dir "$scratch/new-build" --out "$scratch/never"
check "... after configuring the new folder without the test programs" \
  grep -q -- "-B $scratch/new-build .*-DOVIK_BUILD_TESTS=OFF" "$scratch/cmake-argv"
check "... and building the installer and the sample client there" \
  grep -qx -- "--build $scratch/new-build -j2 --target installer sample_client" "$scratch/cmake-argv"
check "... leaving no --out folder" test ! -e "$scratch/never"
# A date the image cannot carry (ISO 9660 counts years from 1900 in a
# byte) fails the mastering: its log and the reason are shown.
check "release.sh names a failed mastering after its log, writing nothing" \
  says 1 "release.sh: writing the CD image failed" env SOURCE_DATE_EPOCH=6000000000 "${release[@]}" \
  --build-dir "$build" --client "$scratch/client" --version 1.0.0 --out "$scratch/never"
check "... after the mastering's own output" grep -q "^struct.error" "$scratch/said"
check "... and no --out folder" test ! -e "$scratch/never"
# A zip that the read-back finds 25 differences in: the first 20 are
# shown, and all are counted.
check "a failed read-back names the first 20 differences and counts them all" \
  says 1 "release.sh: the zip differs from the medium folder (differences: 25); nothing was written" \
  env OVIK_RELEASE_AFTER_MASTERING='/usr/bin/python3 -c "import sys, zipfile
with zipfile.ZipFile(sys.argv[1], \"a\") as z:
    for n in range(25): z.writestr(f\"extra-{n:02}.txt\", \"x\")" "$2"' \
  "${release[@]}" --build-dir "$build" --client "$scratch/client" --version 1.0.0 --out "$scratch/never"
check "... 20 of them" test "$(grep -c '^  only in the archive: extra-' "$scratch/said")" -eq 20
check "release.sh --help lists every option and exits 0" \
  says 0 "--timestamp-url URL" bash "$root/scripts/release.sh" --help
check "... and names the three ways of signing" grep -q "Without --sign-pkcs12, --sign-pkcs11 or --signed-setup" "$scratch/said"

# ---- sign.sh: its options, the files of secrets, the summary ---------------------------

# Each run of sign.sh is watched (tests/release/watched.sh): no password
# on a command line or left in a file, whatever the outcome.
sign=(bash "$root/tests/release/watched.sh" "$root/scripts/sign.sh")
export OVIK_TEST_SECRETS="$scratch/secrets" OVIK_TEST_BROKEN="$scratch/broken"
printf '%s\n' "first-line-7310" "second-line-7310" >"$OVIK_TEST_SECRETS"
in="$build/app/setup.exe"
while IFS='|' read -r what pattern args; do
  read -ra args <<<"$args"
  check "sign.sh refuses $what, exit 2" \
    says 2 "sign.sh: $pattern" "${sign[@]}" "${args[@]//@/$scratch/file}"
  check "... pointing at --help" grep -q "^try: bash scripts/sign.sh --help$" "$scratch/said"
done <<EOF
no --out|--in and --out are needed|--in @ --signed @
no --in|--in and --out are needed|--out $scratch/out.exe --signed @
no way of signing|give one way of signing: --pkcs12, --pkcs11 or --signed|--in @ --out $scratch/out.exe
two ways of signing|give one way of signing|--in @ --out $scratch/out.exe --signed @ --pkcs12 @ --password-file @
--pkcs12 without --password-file|--pkcs12 needs --password-file|--in @ --out $scratch/out.exe --pkcs12 @
--password-file without --pkcs12|--password-file goes with --pkcs12|--in @ --out $scratch/out.exe --signed @ --password-file @
--pkcs11 without --cert|--pkcs11 needs --key URI, --cert CERT and --pin-file FILE|--in @ --out $scratch/out.exe --pkcs11 @ --key pkcs11:a --pin-file @
a key that is no pkcs11: URI|--key a is not a pkcs11: URI|--in @ --out $scratch/out.exe --pkcs11 @ --key a --cert @ --pin-file @
a PIN in the key's URI|pkcs11:a?pin-value=<left out> carries a PIN|--in @ --out $scratch/out.exe --pkcs11 @ --key pkcs11:a?pin-value=1 --cert @ --pin-file @
a PIN in the certificate's URI|pkcs11:c;pin-source=x carries a PIN|--in @ --out $scratch/out.exe --pkcs11 @ --key pkcs11:a --cert pkcs11:c;pin-source=x --pin-file @
--key without --pkcs11|--key, --cert and --pin-file go with --pkcs11|--in @ --out $scratch/out.exe --signed @ --key pkcs11:a
an unreadable file|cannot read $scratch/absent|--in @ --out $scratch/out.exe --signed $scratch/absent
an unreadable --in|cannot read $scratch/absent|--in $scratch/absent --out $scratch/out.exe --signed @
an unknown option|unknown option: --pkcs13|--pkcs13 @
EOF
check "sign.sh --help exits 0 and names the time-stamp servers' order" \
  says 0 "tried in order, each once more after a failure" "${sign[@]}" --help

keys="$scratch/keys"
mkdir "$keys"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$keys/ca.key" -out "$keys/ca.pem" -days 2 \
  -subj "/CN=OVIK promises CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout "$keys/signer.key" -out "$keys/signer.csr" \
  -subj "/CN=OVIK promises signer" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >"$keys/ext"
openssl x509 -req -in "$keys/signer.csr" -CA "$keys/ca.pem" -CAkey "$keys/ca.key" -set_serial 2 -days 2 \
  -extfile "$keys/ext" -out "$keys/signer.pem" 2>/dev/null
# The password's first line with a Windows line end, and a second line
# that is no part of it.
printf 'first-line-7310\r\nsecond-line-7310\n' >"$keys/password"
printf 'first-line-7310' >"$keys/bare-password"
openssl pkcs12 -export -inkey "$keys/signer.key" -in "$keys/signer.pem" -certfile "$keys/ca.pem" \
  -out "$keys/signer.p12" -passout pass:"first-line-7310"
# Every command line of osslsigncode that sign.sh starts is recorded.
mkdir "$scratch/bin"
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s"\nexec /usr/bin/osslsigncode "$@"\n' "$scratch/argv" \
  >"$scratch/bin/osslsigncode"
chmod +x "$scratch/bin/osslsigncode"
pkcs12=(--pkcs12 "$keys/signer.p12" --ca-file "$keys/ca.pem")
out="$scratch/signed.exe"
check "the password is the first line of its file, a CR LF line end and later lines left out" \
  says 0 "^signed (Authenticode, SHA-256) with the key in $keys/signer.p12, by .*CN *= *OVIK promises signer; NOT time-stamped: the signature stops verifying when the certificate expires; the signature verified$" \
  env PATH="$scratch/bin:$PATH" "${sign[@]}" --in "$in" --out "$out" "${pkcs12[@]}" --password-file "$keys/password"
check "... the summary is the one line on standard output" \
  test "$(PATH="$scratch/bin:$PATH" "${sign[@]}" --in "$in" --out "$out" "${pkcs12[@]}" \
    --password-file "$keys/password" 2>/dev/null | wc -l)" -eq 1
check "... which signed OUT, verifying against the CA" \
  bash -c "osslsigncode verify -CAfile '$keys/ca.pem' -in '$out' >'$scratch/verify' 2>&1"
check "... naming the program as Windows' prompts show it" \
  grep -qx "[[:space:]]*Text description: OVIK client installer" "$scratch/verify"
check "... with no password on a command line" bash -c "! grep -q 'first-line-7310' '$scratch/argv'"
check "... a first line without a line end is the password too" \
  says 0 "the signature verified" "${sign[@]}" --in "$in" --out "$scratch/bare.exe" "${pkcs12[@]}" \
  --password-file "$keys/bare-password"
printf '\nfirst-line-7310\n' >"$keys/empty-first"
check "an empty first line is refused, naming the file" \
  says 1 "sign.sh: the first line of $keys/empty-first is empty: put the password for $keys/signer.p12 there; nothing was written" \
  "${sign[@]}" --in "$in" --out "$scratch/empty.exe" "${pkcs12[@]}" --password-file "$keys/empty-first"
printf 'second-line-7310\n' >"$keys/other-password"
check "a wrong password fails, naming the key and the password file, exit 1" \
  says 1 "signing with $keys/signer.p12 failed (wrong password in $keys/other-password" \
  "${sign[@]}" --in "$in" --out "$scratch/wrong.exe" "${pkcs12[@]}" --password-file "$keys/other-password"
check "... and writes nothing" test ! -e "$scratch/empty.exe" -a ! -e "$scratch/wrong.exe" -a ! -e "$scratch/wrong.exe.partial"
# A release that fails once it has begun removes what it made, and --out
# itself only when it made that too.
mkdir "$scratch/empty-out"
for kept in "$scratch/empty-out" "$scratch/made-out"; do
  check "a release failing at the signature removes what it made (--out ${kept##*/})" \
    says 1 "signing with $keys/signer.p12 failed" bash "$root/scripts/release.sh" --client "$scratch/client" \
    --version 1.0.0 --no-build --build-dir "$build" --out "$kept" --sign-pkcs12 "$keys/signer.p12" \
    --password-file "$keys/other-password"
done
check "... leaving the empty --out that was there" test -d "$scratch/empty-out" -a -z "$(ls -A "$scratch/empty-out")"
check "... and none where it made one" test ! -e "$scratch/made-out"
check "a CA file that did not issue the certificate is refused, naming it" \
  says 1 "does not verify: its certificate does not chain to the CA certificates in $keys/signer.pem" \
  "${sign[@]}" --in "$in" --out "$scratch/untrusted.exe" --pkcs12 "$keys/signer.p12" \
  --password-file "$keys/password" --ca-file "$keys/signer.pem"
check "... writing nothing" test ! -e "$scratch/untrusted.exe"

# Handed back: as it came, only when signed and this build.
check "a handed-back file is taken byte for byte" \
  says 0 "signed (Authenticode, SHA-256) elsewhere, handed back as $out, by" \
  "${sign[@]}" --in "$in" --out "$scratch/taken.exe" --signed "$out" --ca-file "$keys/ca.pem"
check "... the same bytes" cmp "$out" "$scratch/taken.exe"
check "an unsigned file handed back is refused" \
  says 1 "$in carries no Authenticode signature: sign $in and give the signed file; nothing was written" \
  "${sign[@]}" --in "$in" --out "$scratch/unsigned.exe" --signed "$in" --ca-file "$keys/ca.pem"
check "... writing nothing" test ! -e "$scratch/unsigned.exe"

# Time-stamp servers: in order, each twice; none answering is a failure
# that names them all.
rm -f "$scratch/argv"
dead1="http://127.0.0.1:1/one" dead2="http://127.0.0.1:1/two"
check "no time-stamp server answering fails, naming each" \
  says 1 "no time-stamp server answered (each tried twice: $dead1 $dead2)" env PATH="$scratch/bin:$PATH" \
  "${sign[@]}" --in "$in" --out "$scratch/stamped.exe" "${pkcs12[@]}" --password-file "$keys/password" \
  --timestamp-url "$dead1" --timestamp-url "$dead2"
check "... showing each attempt" \
  test "$(grep -c -e "^--- $dead1, attempt [12]\$" -e "^--- $dead2, attempt [12]\$" "$scratch/said")" -eq 4
check "... writing nothing" test ! -e "$scratch/stamped.exe"
check "... after trying each twice, in order" \
  test "$(sed -n 's/^add .*-ts \([^ ]*\).*/\1/p' "$scratch/argv" | tr '\n' ' ')" = "$dead1 $dead1 $dead2 $dead2 "

# ---- check-kit.sh: which release, and the kit it writes ------------------------------

kit_build="$scratch/kit-build"
mkdir -p "$kit_build/checkkit" "$scratch/releases/ovik-medium-1.0.0/Installer"
echo "the check program" >"$kit_build/checkkit/ovik-check.exe"
releases="$scratch/releases"
touch "$releases/ovik-medium-1.0.0/Installer/setup.exe" "$releases/ovik-medium-1.0.0.iso"
kit=(bash "$root/scripts/check-kit.sh" --no-build --build-dir "$kit_build")
check "check-kit.sh makes the kit for the one release in the folder" \
  says 0 "check kit for ovik-medium-1.0.0 in $releases/check:" "${kit[@]}" "$releases"
check "... and says how to run it on Windows" grep -qF \
  'on Windows: check\sandbox.cmd (Windows Sandbox) or check\check.cmd --disposable (a throw-away machine)' "$scratch/said"
check "... ovik-check.exe taken from the build folder as it is" \
  cmp "$kit_build/checkkit/ovik-check.exe" "$releases/check/ovik-check.exe"
check "... check.cmd names the version, with CR LF line ends" \
  bash -c "grep -q '1\.0\.0' '$releases/check/check.cmd' && ! grep -qv \$'\\r\$' '$releases/check/check.cmd' &&
    ! grep -q @VERSION@ '$releases/check/check.cmd' '$releases/check/sandbox.cmd'"
check "... README.txt starts with the UTF-8 mark" \
  test "$(head -c 3 "$releases/check/README.txt" | od -An -tx1 | tr -d ' ')" = efbbbf
check "... and every file readable by all" \
  test "$(stat -c %a "$releases/check" "$releases"/check/* | sort -u | tr '\n' ' ')" = "644 755 "
echo stale >"$releases/check/stale.txt"
mkdir -p "$releases/ovik-medium-1.10.0/Installer"
touch "$releases/ovik-medium-1.10.0/Installer/setup.exe" "$releases/ovik-medium-1.10.0.iso"
check "with several versions and no --version it refuses, naming them in version order" \
  says 1 "check-kit.sh: $releases holds releases of several versions (1.0.0, 1.10.0): give --version VERSION" \
  "${kit[@]}" "$releases"
check "... an absent --version is refused, naming the versions held" \
  says 1 "check-kit.sh: $releases holds no release of version 2.0.0 (it holds 1.0.0, 1.10.0)" "${kit[@]}" --version 2.0.0 "$releases"
check "... --version picks one, and the kit replaces the older one whole" \
  says 0 "check kit for ovik-medium-1.10.0" "${kit[@]}" --version 1.10.0 "$releases"
check "... the older kit's files gone" test ! -e "$releases/check/stale.txt"
check "... check.cmd names that version" grep -q '1\.10\.0' "$releases/check/check.cmd"
rm "$releases/ovik-medium-1.10.0.iso"
mkdir "$releases/ovik-medium-1.10.0.iso"
check "a release without its image (a folder of that name) is refused" \
  says 1 "check-kit.sh: $releases holds no CD image ovik-medium-1.10.0.iso" "${kit[@]}" --version 1.10.0 "$releases"
rm "$releases/ovik-medium-1.10.0/Installer/setup.exe"
mkdir "$releases/ovik-medium-1.10.0/Installer/setup.exe"
check "... and one without Installer/setup.exe (a folder of that name)" \
  says 1 "check-kit.sh: $releases/ovik-medium-1.10.0 holds no Installer/setup.exe" "${kit[@]}" --version 1.10.0 "$releases"
mkdir "$scratch/odd" "$scratch/odd/ovik-medium-latest"
check "... and a medium folder not named after a version" \
  says 1 "check-kit.sh: $scratch/odd/ovik-medium-latest is not named after a version" "${kit[@]}" "$scratch/odd"
check "... and a folder without a medium" \
  says 1 "check-kit.sh: $scratch/keys holds no medium folder ovik-medium-<version>/" "${kit[@]}" "$keys"
check "... and a release folder that is not there" \
  says 1 "check-kit.sh: no release folder $scratch/absent" "${kit[@]}" "$scratch/absent"
check "... and a check program that is not built" \
  says 1 "check-kit.sh: $scratch/checkkit/ovik-check.exe is not built" bash "$root/scripts/check-kit.sh" --no-build \
  --build-dir "$scratch" --version 1.0.0 "$releases"
rm -f "$scratch/cmake-argv"
check "without --no-build it builds ovik-check.exe, naming the build folder when that fails" \
  says 1 "check-kit.sh: building ovik-check.exe in $scratch/kit-new failed (run: cmake --build $scratch/kit-new --target ovik_check)" \
  env PATH="$scratch/fake-cmake:$PATH" bash "$root/scripts/check-kit.sh" --build-dir "$scratch/kit-new" --version 1.0.0 "$releases"
check "... configuring that new folder first, and building only the check program" \
  bash -c "grep -q -- '-B $scratch/kit-new ' '$scratch/cmake-argv' &&
    grep -qx -- '--build $scratch/kit-new -j2 --target ovik_check' '$scratch/cmake-argv'"
# Held here, by a run that has not written its name into the lock yet.
mkdir "$scratch/held"
exec {held}<>"$scratch/held/.ovik-release.lock"
flock -x "$held"
check "... and a release folder that a run holds before naming itself, saying so" \
  says 1 "check-kit.sh: $scratch/held is still in use after 0 s, by another run (which has not written its name yet)" \
  "${kit[@]}" --wait 0 "$scratch/held"
exec {held}<&-
# The run waited for removes the folder as it ends.
mkdir "$scratch/going"
exec {held}<>"$scratch/going/.ovik-release.lock"
flock -x "$held"
(for _ in $(seq 200); do grep -q "to finish in $scratch/going" "$scratch/said" 2>/dev/null && break; sleep 0.1; done
  rm -rf "$scratch/going") &
remover=$!
exec {held}<&-
check "... and a release folder that the run it waited for removed, saying so" \
  says 1 "check-kit.sh: $scratch/going is gone (the run it waited for removed it)" \
  "${kit[@]}" --wait 20 "$scratch/going"
wait "$remover"
check "ovik_unlock, called again once another run holds the folder, leaves that run's lock alone" \
  bash -c 'source "$1/scripts/release-lock.sh" && mkdir "$2/twice" && ovik_lock "$2/twice" 0 one "one run" &&
    ovik_unlock && echo "pid 2" >"$2/twice/.ovik-release.lock" && ovik_unlock &&
    [ "$(cat "$2/twice/.ovik-release.lock")" = "pid 2" ]' _ "$root" "$scratch"
check "... and two release folders, exit 2" \
  says 2 "check-kit.sh: one release folder only (got $releases and $keys)" "${kit[@]}" "$releases" "$keys"
check "... and an unknown option, exit 2" says 2 "check-kit.sh: unknown option: --sign" "${kit[@]}" --sign "$releases"
check "... pointing at --help" grep -qx "try: bash scripts/check-kit.sh --help" "$scratch/said"
for option in --version --build-dir; do
  check "check-kit.sh refuses $option without a value, exit 2" \
    says 2 "check-kit.sh: $option needs a value" "${kit[@]}" "$releases" "$option"
  check "... and with an empty one" says 2 "check-kit.sh: $option needs a value" "${kit[@]}" "$option" "" "$releases"
done
check "check-kit.sh --help exits 0 and says where the kit goes" \
  says 0 "The kit goes into RELEASE_DIR/check/, replacing an older one" bash "$root/scripts/check-kit.sh" --help
check "without a folder it takes BUILD/release" \
  says 1 "check-kit.sh: no release folder $kit_build/release" "${kit[@]}"
mkdir -p "$scratch/kit-tree/scripts"
cp "$root"/scripts/{check-kit,on-error,release-lock,deps}.sh "$scratch/kit-tree/scripts/"
check "... and without --build-dir, build/mingw of its own tree" \
  says 1 "check-kit.sh: no release folder $scratch/kit-tree/build/mingw/release" \
  bash "$scratch/kit-tree/scripts/check-kit.sh" --no-build

# ---- windows-view.sh ---------------------------------------------------------------

view=(bash "$root/scripts/windows-view.sh")
check "windows-view.sh refuses a missing image" says 1 "windows-view.sh: no image at $scratch/absent.iso" "${view[@]}" "$scratch/absent.iso"
check "... a DIR that exists" says 1 "windows-view.sh: $scratch/keys exists already" "${view[@]}" "$scratch/file" "$scratch/keys"
mkdir "$scratch/no-7zz"
ln -s "$(command -v bash)" "$(command -v dirname)" "$scratch/no-7zz/"
check "... and a system without 7zz, naming its package" says 1 "windows-view.sh: 7zz is missing (Debian package 7zip)" \
  env PATH="$scratch/no-7zz" "${view[@]}" "$scratch/file"
check "... and three arguments, exit 2 with its usage" says 2 "usage: bash scripts/windows-view.sh" \
  "${view[@]}" a b c
check "... and reads a file that is no image as Joliet, and fails to extract it" \
  says 1 "windows-view.sh: 7zz could not read $scratch/file as Joliet" "${view[@]}" "$scratch/file" "$scratch/view"
check "... leaving no log of it beside the folder" test ! -e "$scratch/view.log"

promises_kept
exit "$failed"
