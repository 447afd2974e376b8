#!/usr/bin/env bash
# Installs everything the builds, the tests and the demo need on Debian 12, as root.
# Safe to run again: each step checks what is already there.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
deps="$here/.deps"

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

need_update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
  need_update=1
fi
# Source entries for `apt-get source tinyxml`, taken from the machine's own
# deb entries (its mirror, suites and keys); rewritten when they change.
src_list=/etc/apt/sources.list.d/qlpatch-deb-src.sources
src_entries=$(bash "$here/scripts/deb_src.sh") || { echo "setup: cannot derive deb-src entries" >&2; exit 1; }
if [ ! -f "$src_list" ] || [ "$(cat "$src_list")" != "$src_entries" ]; then
  printf '%s\n' "$src_entries" | as_root tee "$src_list" >/dev/null
  need_update=1
fi
# Source indexes not fetched yet (a run cut off after writing the entries).
if ! compgen -G '/var/lib/apt/lists/*_Sources*' >/dev/null; then
  need_update=1
fi

packages=(cmake make g++ dpkg-dev libgtest-dev libtinyxml-dev g++-mingw-w64-i686
          g++-mingw-w64-x86-64 wine wine32 wine64 clang libclang-rt-14-dev osslsigncode openssl libssl-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# A mirror caught mid-sync fails the update for a minute or two: try again, and
# go on with the indexes it did fetch if it never comes right (the install says
# what is really missing).
update_failed=0
if [ ${#missing[@]} -gt 0 ] || [ $need_update -eq 1 ]; then
  for try in 1 2 3 4 5; do
    as_root apt-get update -q && break
    [ "$try" -lt 5 ] || { echo "setup: apt-get update kept failing; going on with what it fetched" >&2
                          update_failed=1; break; }
    sleep 30
  done
fi
apt_install() { DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -q --no-install-recommends "$@"; }
if [ ${#missing[@]} -gt 0 ]; then
  # An index left out (typically one architecture's security updates) leaves
  # i386 on the release's versions while amd64 candidates come from the
  # updates; the two halves of a multi-arch library must match, so take both
  # from the release itself. Nothing unverified is used either way.
  release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  if ! apt_install "${missing[@]}"; then
    [ $update_failed -eq 1 ] && [ -n "$release" ] || exit 1
    echo "setup: installing from $release itself, without the updates it could not fetch" >&2
    apt_install -o APT::Default-Release="$release" "${missing[@]}"
  fi
fi

# TinyXML source for the cross build: Debian's source package with its patches applied.
if [ ! -f "$deps/tinyxml/tinyxml.cpp" ]; then
  rm -rf "$deps/tinyxml-src"
  mkdir -p "$deps/tinyxml-src"
  (cd "$deps/tinyxml-src" && apt-get source -q tinyxml)
  src=$(find "$deps/tinyxml-src" -maxdepth 2 -name tinyxml.cpp -printf '%h\n' | head -n 1)
  [ -n "$src" ] || { echo "setup: tinyxml source not found" >&2; exit 1; }
  rm -rf "$deps/tinyxml"
  mv "$src" "$deps/tinyxml"
  rm -rf "$deps/tinyxml-src"
fi
echo "setup: done"
