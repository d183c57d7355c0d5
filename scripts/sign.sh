#!/usr/bin/env bash
# Signs setup.exe with Authenticode (SHA-256), or takes one signed
# elsewhere, time-stamps it when asked, and verifies the result:
#
#   --pkcs12 FILE --password-file FILE            a key and certificate in a file
#   --pkcs11 MODULE --key URI --cert CERT --pin-file FILE
#                                                 a key on a token or HSM
#   --signed FILE                                 this build signed elsewhere
#
# OUT is written only when everything held; on success the one line on
# standard output says how it was signed, by whom and the time stamp's time.
# Secrets (the PKCS#12 password, the PIN) are read from their files and
# handed on through files of our own, never on a command line.
set -euo pipefail
# shellcheck source=scripts/on-error.sh
source "$(dirname "${BASH_SOURCE[0]}")/on-error.sh"

usage() {
  cat <<'EOF'
usage: bash scripts/sign.sh --in SETUP_EXE --out SIGNED_EXE WAY [options]

ways (exactly one):
  --pkcs12 FILE --password-file FILE
                        the key and certificate in a PKCS#12 file; the first
                        line of the password file is its password
  --pkcs11 MODULE --key URI --cert CERT --pin-file FILE
                        a key on a token or HSM: MODULE is its PKCS#11 library,
                        URI the key as a pkcs11: URI without the PIN, CERT the
                        certificate with its chain as a PEM file or a pkcs11:
                        URI of the certificate on the token; the first line of
                        the PIN file is the PIN
  --signed FILE         SETUP_EXE signed elsewhere (signtool, a signing
                        service): taken as it is when its signature verifies
                        and, without its signature, it is SETUP_EXE byte for byte

options:
  --ca-file FILE        CA certificates that the signature must verify against
                        (default: the system's, /etc/ssl/certs/ca-certificates.crt)
  --timestamp-url URL   RFC 3161 time-stamp server; may be given several times:
                        tried in order, each once more after a failure, the
                        first answer used; none answering is a failure
  --timestamp-timeout SECONDS
                        one try at a server that has not answered after
                        SECONDS (default 60) is ended and counts as failed, so
                        N servers take at most 2 x N x SECONDS
  -h, --help            this text
EOF
}

fail() {
  echo "sign.sh: $*; nothing was written" >&2
  exit 1
}
usage_error() {
  echo "sign.sh: $*" >&2
  echo "try: bash scripts/sign.sh --help" >&2
  exit 2
}

in="" out="" pkcs12="" password_file="" module="" key="" cert="" pin_file="" signed="" ca_file=""
timestamp_urls=()
timestamp_timeout=60
while [ $# -gt 0 ]; do
  case "$1" in
    --in | --out | --pkcs12 | --password-file | --pkcs11 | --key | --cert | --pin-file | --signed | \
      --ca-file | --timestamp-url | --timestamp-timeout)
      [ $# -ge 2 ] && [ -n "$2" ] || usage_error "$1 needs a value"
      case "$1" in
        --in) in="$2" ;;
        --out) out="$2" ;;
        --pkcs12) pkcs12="$2" ;;
        --password-file) password_file="$2" ;;
        --pkcs11) module="$2" ;;
        --key) key="$2" ;;
        --cert) cert="$2" ;;
        --pin-file) pin_file="$2" ;;
        --signed) signed="$2" ;;
        --ca-file) ca_file="$2" ;;
        --timestamp-url) timestamp_urls+=("$2") ;;
        --timestamp-timeout)
          [[ $2 =~ ^[0-9]+$ ]] && [ "$2" -gt 0 ] || usage_error "--timestamp-timeout $2 is not a number of seconds above 0"
          timestamp_timeout="$2"
          ;;
      esac
      shift 2
      ;;
    -h | --help) usage; exit 0 ;;
    *) usage_error "unknown option: $1" ;;
  esac
done

[ -n "$in" ] && [ -n "$out" ] || usage_error "--in and --out are needed"
ways=0
for way in "$pkcs12" "$module" "$signed"; do
  [ -z "$way" ] || ways=$((ways + 1))
done
[ "$ways" -eq 1 ] || usage_error "give one way of signing: --pkcs12, --pkcs11 or --signed"
[ -n "$pkcs12" ] || [ -z "$password_file" ] || usage_error "--password-file goes with --pkcs12"
[ -z "$pkcs12" ] || [ -n "$password_file" ] ||
  usage_error "--pkcs12 needs --password-file (the password is never taken on the command line)"
if [ -n "$module" ]; then
  [ -n "$key" ] && [ -n "$cert" ] && [ -n "$pin_file" ] ||
    usage_error "--pkcs11 needs --key URI, --cert CERT and --pin-file FILE"
  [[ $key == pkcs11:* ]] || usage_error "--key $key is not a pkcs11: URI (for example pkcs11:token=NAME;object=LABEL;type=private)"
  for uri in "$key" "$cert"; do
    [[ ! $uri =~ [\;\?]pin-(value|source)= ]] ||
      usage_error "$(sed -E 's/([;?&]pin-value=)[^;?&]*/\1<left out>/g' <<<"$uri") carries a PIN: leave it out of the URI, the PIN comes from --pin-file"
  done
else
  [ -z "$key$cert$pin_file" ] || usage_error "--key, --cert and --pin-file go with --pkcs11"
fi
readable=("$in" "$pkcs12" "$password_file" "$pin_file" "$signed" "$ca_file")
[[ $cert == pkcs11:* ]] || readable+=("$cert")
for given in "${readable[@]}"; do
  [ -z "$given" ] || { [ -f "$given" ] && [ -r "$given" ]; } || usage_error "cannot read $given"
done

work="$(umask 077 && mktemp -d)"
# The copy of the password or PIN goes on every way out.
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# read_secret FILE: FILE's first line into `secret`, for osslsigncode's
# -readpass through a pipe (<(…)): no copy of it is ever written to a file,
# so not even a killed run leaves one behind. Fails when that line is empty.
secret=""
read_secret() {
  IFS= read -r secret <"$1" || true
  secret="${secret%$'\r'}"
  [ -n "$secret" ]
}

# ---- Signing --------------------------------------------------------------------

if [ -n "$pkcs12" ]; then
  read_secret "$password_file" || fail "the first line of $password_file is empty: put the password for $pkcs12 there"
  osslsigncode sign -pkcs12 "$pkcs12" -readpass <(printf '%s' "$secret") -h sha256 -n "OVIK client installer" \
    -in "$in" -out "$work/signed.exe" >"$work/sign.log" 2>&1 || {
    cat "$work/sign.log" >&2
    fail "signing with $pkcs12 failed (wrong password in $password_file, or not a PKCS#12 file with a key and its certificate?)"
  }
  how="with the key in $pkcs12"
elif [ -n "$module" ]; then
  read_secret "$pin_file" || fail "the first line of $pin_file is empty: put the token's PIN there"
  engine="$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so"
  [ -f "$engine" ] || fail "no PKCS#11 engine for OpenSSL at $engine (install libengine-pkcs11-openssl)"
  sign=(osslsigncode sign -pkcs11engine "$engine" -pkcs11module "$module" -key "$key"
    -h sha256 -n "OVIK client installer" -in "$in" -out "$work/signed.exe")
  if [[ $cert == pkcs11:* ]]; then
    sign+=(-pkcs11cert "$cert")
  else
    sign+=(-certs "$cert")
  fi
  "${sign[@]}" -readpass <(printf '%s' "$secret") >"$work/sign.log" 2>&1 || {
    cat "$work/sign.log" >&2
    # In this order: a wrong PIN is also reported as the key not found.
    if grep -q "Unable to load module" "$work/sign.log"; then
      fail "the PKCS#11 module $module does not load: give the full path of your token's or HSM's PKCS#11 library (for SoftHSM2, /usr/lib/softhsm/libsofthsm2.so)"
    elif grep -qiE "PIN incorrect|PIN_INCORRECT|PIN (locked|len range|invalid)" "$work/sign.log"; then
      fail "the token refused the PIN in $pin_file: put the right PIN on its first line"
    elif grep -q "private key was not found" "$work/sign.log"; then
      fail "no private key on the token at $key: check the URI (list the objects with: pkcs11-tool --module $module --login --list-objects)"
    elif grep -q "certificate was not found" "$work/sign.log"; then
      fail "no certificate on the token at $cert: check the URI, or give the certificate as a PEM file"
    elif grep -q "key values mismatch" "$work/sign.log"; then
      fail "the certificate in $cert is not the one of the key $key: give the certificate issued for that key (with its chain)"
    fi
    fail "signing with the key $key through $module failed"
  }
  how="with the key $key on the token or HSM behind $module"
else
  # Handed back: it must be signed, verify (below), and be this build.
  osslsigncode remove-signature -in "$signed" -out "$work/unsigned.exe" >"$work/remove.log" 2>&1 || {
    cat "$work/remove.log" >&2
    fail "$signed carries no Authenticode signature: sign $in and give the signed file"
  }
  cmp -s "$work/unsigned.exe" "$in" ||
    fail "$signed is not this build's setup.exe: without its signature it differs from $in (sign that file, or a build of the same commit)"
  cp "$signed" "$work/signed.exe"
  how="elsewhere, handed back as $signed"
fi

# ---- Time stamp -------------------------------------------------------------------

# A file handed back with a time stamp keeps the one it has: a new one
# would replace it.
stamped_by=""
if [ -n "$signed" ] && [ "${#timestamp_urls[@]}" -gt 0 ]; then
  osslsigncode verify -in "$signed" >"$work/handed-back.log" 2>&1 || true
  ! grep -q "Timestamp time:" "$work/handed-back.log" || timestamp_urls=()
fi
if [ "${#timestamp_urls[@]}" -gt 0 ]; then
  # A server that takes the connection and never answers is ended after
  # the limit: TERM, then KILL 5 s later should TERM not end it.
  : >"$work/stamp.log"
  silent=()
  for url in "${timestamp_urls[@]}"; do
    for attempt in 1 2; do
      rm -f "$work/stamped.exe"
      echo "--- $url, attempt $attempt" >>"$work/stamp.log"
      status=0
      timeout -k 5 "$timestamp_timeout" osslsigncode add -ts "$url" -h sha256 -in "$work/signed.exe" \
        -out "$work/stamped.exe" >>"$work/stamp.log" 2>&1 || status=$?
      if [ "$status" -eq 0 ]; then
        stamped_by="$url"
        break 2
      fi
      if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        echo "$url did not answer within $timestamp_timeout s" >>"$work/stamp.log"
        [[ " ${silent[*]-} " == *" $url "* ]] || silent+=("$url")
      fi
    done
  done
  if [ -z "$stamped_by" ]; then
    grep -E "^---|HTTP failure|Connection refused|timestamping failed|did not answer within" "$work/stamp.log" >&2 || true
    [ "${#silent[@]}" -eq 0 ] ||
      echo "sign.sh: no answer within $timestamp_timeout s (--timestamp-timeout) from: ${silent[*]}" >&2
    fail "no time-stamp server answered (each tried twice: ${timestamp_urls[*]}): check the URLs and the network, or leave out --timestamp-url"
  fi
  mv "$work/stamped.exe" "$work/signed.exe"
fi

# ---- Verify ------------------------------------------------------------------------

verify=(osslsigncode verify -in "$work/signed.exe")
if [ -n "$ca_file" ]; then
  # A private CA for the code signature does not make the time-stamp
  # server's CA private too: that one may be in either.
  cat "$ca_file" >"$work/tsa-ca.pem"
  [ ! -r /etc/ssl/certs/ca-certificates.crt ] || cat /etc/ssl/certs/ca-certificates.crt >>"$work/tsa-ca.pem"
  verify+=(-CAfile "$ca_file" -TSA-CAfile "$work/tsa-ca.pem")
fi
what="the signed setup.exe"
[ -z "$signed" ] || what="$signed"
"${verify[@]}" >"$work/verify.log" 2>&1 || {
  cat "$work/verify.log" >&2
  # osslsigncode's default store, which only the ca-certificates package puts there.
  if [ -z "$ca_file" ] && [ ! -s /etc/ssl/certs/ca-certificates.crt ]; then
    fail "$what cannot be verified: this system has no CA store (no /etc/ssl/certs/ca-certificates.crt; install ca-certificates), or give the CA certificates that issued yours with --ca-file FILE"
  fi
  if grep -qiE "local issuer|issuer certificate|self.signed|untrusted|unable to get" "$work/verify.log"; then
    if [ -n "$ca_file" ]; then
      fail "$what does not verify: its certificate does not chain to the CA certificates in $ca_file (give the CA that issued it with --ca-file)"
    fi
    fail "$what does not verify: its certificate does not chain to the system's CA store (/etc/ssl/certs); for a private or company CA, give its certificates with --ca-file FILE"
  fi
  fail "$what does not verify${ca_file:+ against $ca_file}"
}
signer="$(sed -n '/^Signer.s certificate:/,/Subject:/s/^[[:space:]]*Subject: //p' "$work/verify.log" | head -n 1)"
stamp_time="$(sed -n 's/^[[:space:]]*Timestamp time: //p' "$work/verify.log" | head -n 1)"

cp "$work/signed.exe" "$out.partial"
mv "$out.partial" "$out"

summary="signed (Authenticode, SHA-256) $how, by ${signer:-an unnamed signer}"
if [ -n "$stamp_time" ]; then
  summary+="; time-stamped at $stamp_time${stamped_by:+ by $stamped_by}"
else
  summary+="; NOT time-stamped: the signature stops verifying when the certificate expires"
fi
echo "$summary; the signature verified"
