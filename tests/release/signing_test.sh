#!/usr/bin/env bash
# scripts/sign.sh with a throwaway self-signed code-signing certificate,
# signed for tests only (no time stamp):
# the signature verifies against that certificate (and not against another
# one, nor after a byte of the file changed), a fixed signing time gives the
# same bytes twice, and the script refuses what it must refuse without
# leaving a file behind. The signed copy is left at OUT for the Wine
# query-mode test of the signed exe.
#   signing_test.sh SIGN_SCRIPT EXE OUT
set -uo pipefail
sign=$1 exe=$2 out=$3

passed=0 failed=0
pass() { passed=$((passed + 1)); echo "ok   - $1"; }
fail() { failed=$((failed + 1)); echo "FAIL - $1"; }
check() {  # NAME EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: expected [$2], got [$3]"; fi
}
absent() {  # NAME FILE
  if [ -e "$2" ]; then fail "$1: $2 was written"; else pass "$1: nothing written"; fi
}

for tool in openssl osslsigncode; do
  command -v "$tool" >/dev/null || { echo "error: $tool is not installed"; exit 2; }
done
tmp=$(mktemp -d "${TMPDIR:-/tmp}/qlpatch-signing.XXXXXX") || exit 2
trap 'rm -rf "$tmp"' EXIT
rm -f "$out"

# A certificate made for this run, as a PKCS#12 file with a password that
# needs quoting, and another certificate that did not sign anything.
make_certificate() {  # NAME SUBJECT
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "$2" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$tmp/$1.key" -out "$tmp/$1.pem" >"$tmp/openssl.log" 2>&1 ||
    { cat "$tmp/openssl.log"; exit 2; }
}
make_certificate signer "/O=Tarvex/CN=Tarvex throwaway test signer"
make_certificate other "/O=Tarvex/CN=Another throwaway certificate"
password='test pass $1 "x"'
openssl pkcs12 -export -inkey "$tmp/signer.key" -in "$tmp/signer.pem" -out "$tmp/signer.p12" \
  -passout "file:"<(printf '%s' "$password") || { echo "error: cannot make the PKCS#12 file"; exit 2; }

export QLPATCH_SIGN_PKCS12="$tmp/signer.p12" QLPATCH_SIGN_PASSWORD="$password"
# A fixed signing time inside the certificate's validity.
export QLPATCH_SIGN_TIME=$(( $(date +%s) / 60 * 60 ))
# A throwaway certificate, no time-stamp server: signed for tests only.
export QLPATCH_SIGN_TEST_ONLY=1
unset QLPATCH_SIGN_TIMESTAMP_URL

before=$(sha256sum <"$exe")
verify() {  # FILE CA: osslsigncode verify, its output in $tmp/verify.log
  osslsigncode verify -in "$1" -CAfile "$2" >"$tmp/verify.log" 2>&1
}

echo "# signing"
if bash "$sign" "$exe" "$tmp/signed.exe" >"$tmp/sign.log" 2>&1; then
  pass "sign.sh signs a copy"
else
  fail "sign.sh signs a copy: $(cat "$tmp/sign.log")"
fi
check "the unsigned exe is left as it was" "$before" "$(sha256sum <"$exe")"
if verify "$tmp/signed.exe" "$tmp/signer.pem"; then
  pass "osslsigncode verify against the signing certificate"
else
  fail "osslsigncode verify against the signing certificate"
  sed 's/^/#   /' "$tmp/verify.log"
fi
check "verified signature" 1 "$(grep -c '^Signature verification: ok' "$tmp/verify.log")"
check "signed by the throwaway certificate" 1 \
  "$(grep -c 'Subject: /O=Tarvex/CN=Tarvex throwaway test signer' <(sed -n '/^Signer.s certificate:/,/^$/p' "$tmp/verify.log"))"
check "SHA-256 digest" 1 "$(grep -c '^Message digest algorithm  *: SHA256' "$tmp/verify.log")"
check "signing time is QLPATCH_SIGN_TIME" "$(LC_ALL=C date -u -d "@$QLPATCH_SIGN_TIME" '+%b %e %H:%M:%S %Y GMT')" \
  "$(sed -n 's/^[[:space:]]*Signing time: //p' "$tmp/verify.log")"

bash "$sign" "$exe" "$tmp/signed-again.exe" >"$tmp/sign.log" 2>&1
if cmp -s "$tmp/signed.exe" "$tmp/signed-again.exe"; then
  pass "signing twice with a fixed signing time gives the same bytes"
else
  fail "signing twice with a fixed signing time gives different bytes"
fi
cp "$exe" "$tmp/in-place.exe"
bash "$sign" "$tmp/in-place.exe" >"$tmp/sign.log" 2>&1
if cmp -s "$tmp/signed.exe" "$tmp/in-place.exe"; then
  pass "signing in place"
else
  fail "signing in place gives another file: $(cat "$tmp/sign.log")"
fi

echo "# what the verification rejects"
if verify "$tmp/signed.exe" "$tmp/other.pem"; then
  fail "verify against a certificate that did not sign passes"
else
  pass "verify against a certificate that did not sign fails"
fi
if verify "$exe" "$tmp/signer.pem"; then fail "the unsigned exe verifies"; else pass "the unsigned exe does not verify"; fi
cp "$tmp/signed.exe" "$tmp/changed.exe"
# One byte in the code section, well inside the signed range.
printf '\x90' | dd of="$tmp/changed.exe" bs=1 seek=4096 conv=notrunc status=none
if verify "$tmp/changed.exe" "$tmp/signer.pem"; then
  fail "a signed exe with a changed byte still verifies"
else
  pass "a signed exe with a changed byte does not verify"
fi

echo "# what sign.sh refuses"
expect_refusal() {  # NAME OUTPUT [ENV...]: sign.sh fails and writes no OUTPUT
  local name=$1 target=$2
  shift 2
  if env "$@" bash "$sign" "$exe" "$target" >"$tmp/sign.log" 2>&1; then
    fail "$name: sign.sh succeeded"
  else
    pass "$name: sign.sh fails"
  fi
  absent "$name" "$target"
}
expect_refusal "no PKCS#12 given" "$tmp/r1.exe" -u QLPATCH_SIGN_PKCS12
expect_refusal "no password given" "$tmp/r2.exe" -u QLPATCH_SIGN_PASSWORD
expect_refusal "wrong password" "$tmp/r3.exe" QLPATCH_SIGN_PASSWORD=wrong
expect_refusal "signing time not a number" "$tmp/r4.exe" QLPATCH_SIGN_TIME=yesterday
# Port 9 on the loopback: nothing listens, so the time stamp cannot be had.
expect_refusal "time-stamp server unreachable" "$tmp/r5.exe" -u QLPATCH_SIGN_TEST_ONLY \
  QLPATCH_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/
# A release signature carries a time stamp: without a time-stamp URL, and
# without saying the signature is for tests, nothing is signed.
expect_refusal "no time-stamp URL" "$tmp/r7.exe" -u QLPATCH_SIGN_TEST_ONLY
check "no time-stamp URL: the reason is given" 1 "$(grep -c 'QLPATCH_SIGN_TIMESTAMP_URL' "$tmp/sign.log")"
expect_refusal "empty time-stamp URL" "$tmp/r8.exe" -u QLPATCH_SIGN_TEST_ONLY QLPATCH_SIGN_TIMESTAMP_URL=
expect_refusal "test-only with another value" "$tmp/r9.exe" QLPATCH_SIGN_TEST_ONLY=yes
expect_refusal "test-only and a time stamp at once" "$tmp/r10.exe" QLPATCH_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/
expect_refusal "time-stamp URL not http(s)" "$tmp/r11.exe" -u QLPATCH_SIGN_TEST_ONLY \
  QLPATCH_SIGN_TIMESTAMP_URL=file:///etc/passwd
# A key file kept in the repository is refused: try with a copy of the
# script in a repository of its own.
mkdir -p "$tmp/repo/scripts" "$tmp/repo/keys"
cp "$sign" "$tmp/repo/scripts/sign.sh"
cp "$tmp/signer.p12" "$tmp/repo/keys/signer.p12"
if QLPATCH_SIGN_PKCS12="$tmp/repo/keys/signer.p12" bash "$tmp/repo/scripts/sign.sh" "$exe" "$tmp/r6.exe" \
     >"$tmp/sign.log" 2>&1; then
  fail "PKCS#12 inside the repository: sign.sh succeeded"
else
  check "PKCS#12 inside the repository is refused" 1 "$(grep -c 'inside the repository' "$tmp/sign.log")"
fi
absent "PKCS#12 inside the repository" "$tmp/r6.exe"
cp "$tmp/signed.exe" "$tmp/kept.exe"
QLPATCH_SIGN_PASSWORD=wrong bash "$sign" "$exe" "$tmp/kept.exe" >/dev/null 2>&1
if cmp -s "$tmp/signed.exe" "$tmp/kept.exe"; then
  pass "a failed signing leaves the output file as it was"
else
  fail "a failed signing changed the output file"
fi

mkdir -p "$(dirname "$out")"
cp "$tmp/signed.exe" "$out"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
