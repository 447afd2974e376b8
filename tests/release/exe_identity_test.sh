#!/usr/bin/env bash
# What the shipped qlpatch.exe says about itself, and that it is the same
# file whoever builds it:
#   - its version resource, read back from the exe, names the company, the
#     product and the file, and its binary versions equal its version strings
#     and the project version;
#   - its manifest asks for elevation and lists the supported Windows versions;
#   - the source built again in two other folders gives the same bytes.
#   exe_identity_test.sh WINDRES OBJDUMP EXE VERSION SOURCE_DIR
set -uo pipefail
windres=$1 objdump=$2 exe=$3 version=$4 source=$5

passed=0 failed=0
pass() { passed=$((passed + 1)); echo "ok   - $1"; }
fail() { failed=$((failed + 1)); echo "FAIL - $1"; }
check() {  # NAME EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: expected [$2], got [$3]"; fi
}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/qlpatch-identity.XXXXXX") || exit 2
trap 'rm -rf "$tmp"' EXIT

"$windres" -i "$exe" -O rc >"$tmp/res.rc" || { echo "cannot read the resources of $exe"; exit 1; }

echo "# version resource"
# The string value NAME of the version resource, e.g. VALUE "CompanyName", "Tarvex".
string_value() {
  sed -n "s/^[[:space:]]*VALUE \"$1\", \"\\(.*\\)\"[[:space:]]*$/\\1/p" "$tmp/res.rc"
}
# FILEVERSION 1, 1, 0, 0 -> 1.1.0.0
binary_version() {
  sed -n "s/^[[:space:]]*$1[[:space:]]\\+//p" "$tmp/res.rc" | tr -d ' \r' | tr ',' '.'
}
check "one version resource" 1 "$(grep -c '^1 VERSIONINFO' "$tmp/res.rc")"
check "CompanyName" Tarvex "$(string_value CompanyName)"
check "ProductName" Qorlink "$(string_value ProductName)"
check "InternalName" qlpatch.exe "$(string_value InternalName)"
check "OriginalFilename" qlpatch.exe "$(string_value OriginalFilename)"
check "FileVersion string is the project version" "$version" "$(string_value FileVersion)"
check "ProductVersion string is the project version" "$version" "$(string_value ProductVersion)"
check "FILEVERSION equals the FileVersion string" "$(string_value FileVersion)" "$(binary_version FILEVERSION)"
check "PRODUCTVERSION equals the ProductVersion string" "$(string_value ProductVersion)" \
  "$(binary_version PRODUCTVERSION)"
description=$(string_value FileDescription)
if [ -n "$description" ]; then pass "FileDescription: $description"; else fail "FileDescription missing"; fi
copyright=$(string_value LegalCopyright)
case "$copyright" in
  *Tarvex*) pass "LegalCopyright: $copyright" ;;
  *) fail "LegalCopyright does not name Tarvex: [$copyright]" ;;
esac
# The string table's language and code page must be the ones the
# Translation value announces, or Windows shows no strings.
check "string table for U.S. English, Unicode" 1 "$(grep -c 'BLOCK "040904b0"' "$tmp/res.rc")"
check "Translation" '0x409, 1200' "$(sed -n 's/^[[:space:]]*VALUE "Translation", \(.*\)$/\1/p' "$tmp/res.rc" | tr -d '\r')"

echo "# manifest"
# windres prints the RT_MANIFEST resource as C strings between BEGIN and
# END; undo the quoting to get the XML back.
sed -n '/^1 24 /,/^END/p' "$tmp/res.rc" | sed -n 's/^[[:space:]]*"\(.*\)"[[:space:]]*$/\1/p' |
  sed -e 's/""/"/g' -e 's/\\n$//' >"$tmp/manifest.xml"
if grep -q '<assembly ' "$tmp/manifest.xml"; then
  pass "manifest embedded as RT_MANIFEST"
else
  fail "no manifest found in the resources"
fi
check "requireAdministrator" 1 "$(grep -c '<requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>' "$tmp/manifest.xml")"
check "manifest version is the project version" "version=\"$version\"" \
  "$(grep -o "<assemblyIdentity [^>]*" "$tmp/manifest.xml" | grep -o 'version="[^"]*"')"
# The supportedOS entries, in the compatibility section's application element only.
sed -n '/<compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1">/,/<\/compatibility>/p' \
  "$tmp/manifest.xml" | sed -n '/<application>/,/<\/application>/p' |
  sed -n 's/.*<supportedOS Id="\([^"]*\)"\/>.*/\1/p' >"$tmp/supported"
for entry in "Vista e2011457-1546-43c5-a5fe-008deee3d3f0" "7 35138b9a-5d96-4fbd-8e2d-a2440225f93a" \
             "8 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38" "8.1 1f676c76-80e1-4239-95bb-83d0f6d0da78" \
             "10/11 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"; do
  check "supportedOS Windows ${entry%% *}" 1 "$(grep -cx "{${entry#* }}" "$tmp/supported")"
done
check "no other supportedOS entry" 5 "$(wc -l <"$tmp/supported")"

echo "# reproducible build"
check "no link time stamp in the PE header" 0 \
  "$("$objdump" -p "$exe" | sed -n 's/^Time\/Date[[:space:]]*//p' | xargs -I{} date -u -d '{}' +%s 2>/dev/null)"
# Two copies of the source at paths of different lengths, each built with
# the product's preset in its own build folder.
digests=()
for copy in a "second-copy-in-a-longer-folder"; do
  dir="$tmp/$copy/qlpatch"
  mkdir -p "$dir"
  tar -C "$source" --exclude=./build --exclude=./.git -c . | tar -C "$dir" -x ||
    { fail "cannot copy the source to $dir"; continue; }
  if (cd "$dir" && cmake --preset windows-x86 >"$tmp/$copy.log" 2>&1 &&
      cmake --build --preset windows-x86 --target qlpatch -j2 >>"$tmp/$copy.log" 2>&1); then
    digests+=("$(sha256sum <"$dir/build/windows-x86/qlpatch.exe" | cut -d' ' -f1)")
    echo "# $dir: ${digests[-1]}"
  else
    fail "build in $dir"
    tail -n 20 "$tmp/$copy.log" | sed 's/^/#   /'
  fi
done
if [ ${#digests[@]} -eq 2 ]; then
  check "two builds in two folders give the same SHA-256" "${digests[0]}" "${digests[1]}"
  check "and the same as the tested exe" "${digests[0]}" "$(sha256sum <"$exe" | cut -d' ' -f1)"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
