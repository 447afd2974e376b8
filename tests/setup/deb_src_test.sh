#!/usr/bin/env bash
# scripts/deb_src.sh on made-up apt configurations: one-line and deb822
# entries become deb-src entries with the same URIs, suites, components and
# keys; source, disabled and ignored entries give none.
#   deb_src_test.sh DEB_SRC_SCRIPT
set -uo pipefail
script=$1
passed=0 failed=0
tmp=$(mktemp -d) || exit 2
trap 'rm -rf "$tmp"' EXIT

case_dir() { rm -rf "$tmp/apt"; mkdir -p "$tmp/apt/sources.list.d"; }
expect() {  # NAME EXPECTED: the script's output on $tmp/apt
  local actual status
  actual=$(bash "$script" "$tmp/apt" 2>"$tmp/err"); status=$?
  if [ "$status" -eq 0 ] && [ "$actual" = "$2" ]; then
    passed=$((passed + 1)); echo "ok   - $1"
  else
    failed=$((failed + 1)); echo "FAIL - $1 (exit $status)"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$actual") | sed 's/^/#   /'
    sed 's/^/#   /' "$tmp/err"
  fi
}

case_dir
cat >"$tmp/apt/sources.list" <<'SRC'
# the main archive
deb [arch=amd64,i386 signed-by=/usr/share/keyrings/a.gpg] http://mirror.example/debian bookworm main contrib # a comment
  deb   http://mirror.example/debian-security   bookworm-security main
deb-src http://mirror.example/debian bookworm main
#deb http://mirror.example/old bullseye main
deb [trusted=yes] file:/srv/flat ./
SRC
expect "one-line entries" "Types: deb-src
URIs: http://mirror.example/debian
Suites: bookworm
Components: main contrib
Signed-By: /usr/share/keyrings/a.gpg

Types: deb-src
URIs: http://mirror.example/debian-security
Suites: bookworm-security
Components: main

Types: deb-src
URIs: file:/srv/flat
Suites: ./
Trusted: yes"

case_dir
cat >"$tmp/apt/sources.list.d/debian.sources" <<'SRC'
Types: deb
# a comment inside the entry
URIs: http://mirror.example/debian
Suites: bookworm bookworm-updates
Components: main
Architectures: amd64
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://other.example/extra
Suites: stable
Components: main
Enabled: no

types: deb deb-src
uris: http://mirror.example/both
suites: bookworm
components: main
SRC
cat >"$tmp/apt/sources.list.d/vendor.sources" <<'SRC'
Types: deb
URIs: https://vendor.example/apt
Suites: bookworm
Components: main
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mQINBGHXqK0BEAC
 -----END PGP PUBLIC KEY BLOCK-----
SRC
# Not read by apt: a renamed file, and the file these entries are written to.
printf 'deb http://other.example/disabled stable main\n' >"$tmp/apt/sources.list.d/x.list.disabled"
printf 'Types: deb\nURIs: http://other.example/own\nSuites: a\nComponents: main\n' \
  >"$tmp/apt/sources.list.d/qlpatch-deb-src.sources"
printf 'deb http://mirror.example/ports bookworm main non-free\n' >"$tmp/apt/sources.list.d/ports.list"
expect "deb822 and one-line files together" "Types: deb-src
URIs: http://mirror.example/ports
Suites: bookworm
Components: main non-free

Types: deb-src
URIs: http://mirror.example/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: https://vendor.example/apt
Suites: bookworm
Components: main
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mQINBGHXqK0BEAC
 -----END PGP PUBLIC KEY BLOCK-----"

case_dir
printf 'deb-src http://mirror.example/debian bookworm main\n' >"$tmp/apt/sources.list"
if bash "$script" "$tmp/apt" >"$tmp/out" 2>&1; then
  failed=$((failed + 1)); echo "FAIL - no deb entry: succeeded with $(cat "$tmp/out")"
else
  passed=$((passed + 1)); echo "ok   - no deb entry: fails"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
