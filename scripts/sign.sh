#!/usr/bin/env bash
# Signs a built qlpatch.exe with an Authenticode signature (osslsigncode).
# Run it after the final link: anything that changes the exe afterwards
# breaks the signature.
#
#   scripts/sign.sh IN.exe [OUT.exe]     (without OUT, IN is signed in place)
#
# The signer supplies the key through the environment, never through a file
# in this repository:
#   QLPATCH_SIGN_PKCS12         the PKCS#12 (.p12/.pfx) file with the code-signing
#                               certificate, its chain and the private key
#   QLPATCH_SIGN_PASSWORD       its password
#   QLPATCH_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server: without a time
#                               stamp the signature stops validating when the
#                               certificate expires, and AppLocker and WDAC
#                               publisher rules stop admitting the tool
#   QLPATCH_SIGN_TEST_ONLY=1    signs without a time stamp, for tests only (a
#                               throwaway certificate); refused with a time stamp
#   QLPATCH_SIGN_TIME           optional: the signing time as Unix seconds
#                               (the same time gives the same bytes)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd -P)

die() { echo "sign: $*" >&2; exit 1; }

[ $# -ge 1 ] && [ $# -le 2 ] || die "usage: sign.sh IN.exe [OUT.exe]"
in=$1
out=${2:-$1}
[ -f "$in" ] || die "no such file: $in"
[ "$(head -c 2 "$in")" = MZ ] || die "not a Windows program: $in"
command -v osslsigncode >/dev/null || die "osslsigncode is not installed (scripts/setup.sh installs it)"

pkcs12=${QLPATCH_SIGN_PKCS12:-}
[ -n "$pkcs12" ] || die "set QLPATCH_SIGN_PKCS12 to the PKCS#12 file"
[ -f "$pkcs12" ] || die "QLPATCH_SIGN_PKCS12: no such file: $pkcs12"
[ -n "${QLPATCH_SIGN_PASSWORD+set}" ] || die "set QLPATCH_SIGN_PASSWORD to the PKCS#12 password"
case "$(realpath "$pkcs12")/" in
  "$here"/*) die "the PKCS#12 file is inside the repository; keep signing keys out of it" ;;
esac
options=()
if [ -n "${QLPATCH_SIGN_TIME:-}" ]; then
  [[ "$QLPATCH_SIGN_TIME" =~ ^[0-9]+$ ]] || die "QLPATCH_SIGN_TIME must be Unix seconds"
  options+=(-time "$QLPATCH_SIGN_TIME")
fi
test_only=${QLPATCH_SIGN_TEST_ONLY:-}
[ -z "$test_only" ] || [ "$test_only" = 1 ] || die "QLPATCH_SIGN_TEST_ONLY must be 1 or unset"
if [ -n "${QLPATCH_SIGN_TIMESTAMP_URL:-}" ]; then
  [ -z "$test_only" ] || die "QLPATCH_SIGN_TEST_ONLY=1 and a time-stamp URL: choose one"
  case "$QLPATCH_SIGN_TIMESTAMP_URL" in
    http://?* | https://?*) ;;
    *) die "QLPATCH_SIGN_TIMESTAMP_URL must be an http:// or https:// URL" ;;
  esac
  options+=(-ts "$QLPATCH_SIGN_TIMESTAMP_URL")
elif [ -z "$test_only" ]; then
  die "set QLPATCH_SIGN_TIMESTAMP_URL to an RFC 3161 time-stamp server: a signature without a time stamp stops validating when the certificate expires (QLPATCH_SIGN_TEST_ONLY=1 signs without one, for tests only)"
fi

work=$(umask 077 && mktemp -d "${TMPDIR:-/tmp}/qlpatch-sign.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The password goes through a private file, not the command line, where
# other users could read it.
(umask 077 && printf '%s' "$QLPATCH_SIGN_PASSWORD" >"$work/password")

# Sign into a temporary file first, so a failed signing leaves OUT as it was.
if ! osslsigncode sign -pkcs12 "$pkcs12" -readpass "$work/password" -h sha256 \
       -n "Qorlink patch tool" "${options[@]}" -in "$in" -out "$work/signed.exe" \
       >"$work/log" 2>&1; then
  cat "$work/log" >&2
  die "signing failed"
fi
cp "$work/signed.exe" "$out.signing"
mv -f "$out.signing" "$out"
echo "sign: signed $out"
