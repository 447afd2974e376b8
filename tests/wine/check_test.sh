#!/usr/bin/env bash
# qlpatch-check.exe under Wine: a good patch folder (the demo's) exits 0
# with its summary; one folder per kind of problem exits 1 with a line
# naming the element; a folder that cannot be read exits 2. Where a problem
# stops qlpatch.exe before it touches anything, its query mode on the same
# folder gives the code the finding names.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
wt_setup "$@"
wt_program_path qlpatch_check >/dev/null || wt_die "no qlpatch_check=PATH argument"

CHECKS="$WT_C/checks"  # C:\checks, one folder per case
OUTPUT="$WT_TMP/check.txt"

# good_folder NAME: C:\checks\NAME laid out as the demo lays out patch 03,
# with qlpatch.exe and qlpatch-check.exe in it.
good_folder() {
  local dir="$CHECKS/$1" module
  rm -rf "$dir"
  wt_write_description "$dir" 4.20 0137 03 core.dll profiles.dll
  for module in core.dll profiles.dll; do
    printf 'Qorlink 4.20 build 0137: %s, patch 03\r\n' "$module" >"$dir/$module"
  done
  cp "$WT_BIN/qlpatch.exe" "$dir/qlpatch.exe"
  cp "$WT_BIN/qlpatch_check.exe" "$dir/qlpatch-check.exe"
}

# description NAME LINE...: replaces C:\checks\NAME's description file.
description() {
  local name=$1
  shift
  wt_write_crlf "$CHECKS/$name/$WT_DATA_FILE" "$@"
}

# check NAME EXPECTED [ARGS...]: runs qlpatch-check.exe in C:\checks\NAME;
# its output, without CRs, is in $OUTPUT.
check() {
  local name=$1 expected=$2
  shift 2
  wt_run_program "$CHECKS/$name" "C:\\checks\\$name\\qlpatch-check.exe" "$@"
  tr -d '\r' <"$WT_OUTPUT_FILE" >"$OUTPUT"
  wt_check_exit "$name" "$expected"
}

# expect_line NAME TEXT: a line of the last output starts with TEXT.
expect_line() {
  if grep -qF -x -- "$2" <(cut -c "1-${#2}" "$OUTPUT"); then
    wt_pass "$1: [$2]"
  else
    wt_fail "$1: no line starting [$2]; output:"
    sed 's/^/#   /' "$OUTPUT"
  fi
}

# expect_whole NAME TEXT: a line of the last output is TEXT, whole (for
# text outside ASCII, which the checker writes as UTF-8 to a file).
expect_whole() {
  if grep -qF -x -- "$2" "$OUTPUT"; then
    wt_pass "$1: whole line [$2]"
  else
    wt_fail "$1: no line [$2]; output:"
    sed 's/^/#   /' "$OUTPUT"
  fi
}

# faulty NAME EXPECTED_LINE [COUNT]: the folder exits 1, names the fault,
# and the verdict counts COUNT problems (1).
faulty() {
  check "$1" 1
  expect_line "$1" "$2"
  expect_line "$1" "${3:-1} problem(s) found: qlpatch.exe would not apply this folder cleanly."
}

# tool_agrees NAME CODE: qlpatch.exe -c patch in C:\checks\NAME gives CODE.
tool_agrees() {
  wt_run_program "$CHECKS/$1" "C:\\checks\\$1\\qlpatch.exe" -c patch
  wt_check_exit "$1: qlpatch.exe -c patch" "$2"
}

# The summary's line for a file: size and SHA-256 as coreutils see them.
fingerprint() { printf '%s bytes, SHA-256 %s' "$(stat -c %s "$1")" "$(sha256sum "$1" | cut -d' ' -f1)"; }

echo "# a good folder"
good_folder good
check good 0
expect_line good "Checking the current folder"
expect_line good "  Version       4.20"
expect_line good "  BuildID       0137"
expect_line good "  PatchVersion  03"
expect_line good "  WerNum        2"
expect_line good "  WER1          core.dll: $(fingerprint "$CHECKS/good/core.dll")"
expect_line good "  WER2          profiles.dll: $(fingerprint "$CHECKS/good/profiles.dll")"
expect_line good "  qlpatch.exe   $(fingerprint "$CHECKS/good/qlpatch.exe")"
expect_line good "No problems found: qlpatch.exe would apply this folder cleanly."
wt_check "good: only the header, the summary and the verdict" 10 "$(wc -l <"$OUTPUT")"

wt_run_program "$WT_BIN" 'C:\qltest\qlpatch_check.exe' 'C:\checks\good'
tr -d '\r' <"$WT_OUTPUT_FILE" >"$OUTPUT"
wt_check_exit "good folder given as argument" 0
expect_line "good folder given as argument" 'Checking C:\checks\good'
expect_line "good folder given as argument" "No problems found"

echo "# the description file"
good_folder no-description
rm "$CHECKS/no-description/$WT_DATA_FILE"
faulty no-description "patchql58302.dat: missing; the tool would stop with 2 (load xml fail!) before touching anything"
wt_set_install 4.20 0137 'C:\Qorlink'
tool_agrees no-description 2

good_folder parse-error
description parse-error "<UpdateQL>" "<Version>4.20</Version>" "<BuildID>0137</BuildID>" \
  "<PatchVersion>03</PatchVersion>" "<WerNum>1</WerNum>" \
  "<WER1><UpdateModule>core.dll</UpdateModule></WER1>" "</UpdateQ>"
faulty parse-error "patchql58302.dat: parse error at line 7 ("

good_folder no-root
description no-root "<UpdateQl>" "<Version>4.20</Version>" "</UpdateQl>"
faulty no-root "UpdateQL: no root element of that name; every element reads as missing"

good_folder comment
description comment "<UpdateQL>" "<Version>4.20</Version>" "<BuildID>0137</BuildID>" \
  "<PatchVersion>03</PatchVersion>" "<WerNum>2</WerNum>" "<!-- the modules -->" \
  "<WER1><UpdateModule>core.dll</UpdateModule></WER1>" \
  "<WER2><UpdateModule>profiles.dll</UpdateModule></WER2>" "</UpdateQL>"
faulty comment "WER1: out of the tool's reach (the file has one, but the search stops at a comment and never looks inside an element whose content starts with text); the tool would stop with 3" 2
expect_line comment "WER2: out of the tool's reach"

echo "# values"
good_folder long-version
wt_write_description "$CHECKS/long-version" "$(printf '4.%030d' 20)" 0137 03 core.dll profiles.dll
faulty long-version "Version: 32 bytes long, more than the 31 the tool accepts; the tool would stop with 3"
tool_agrees long-version 3

good_folder empty-build
wt_write_description "$CHECKS/empty-build" 4.20 '' 03 core.dll profiles.dll
faulty empty-build "BuildID: empty; it matches no installed build and the tool would stop with 5 (QL build ID unmatch!)"
tool_agrees empty-build 5

good_folder patch-number
wt_write_description "$CHECKS/patch-number" 4.20 0137 '3 hotfix' core.dll profiles.dll
faulty patch-number 'PatchVersion: "3 hotfix" is not a decimal number up to 2147483647'
tool_agrees patch-number 3

good_folder version-name
wt_write_description "$CHECKS/version-name" '4.20 SP1' 0137 03 core.dll profiles.dll
faulty version-name 'Version: "4.20 SP1" makes the record element name "QL4.20 SP1", which is no valid XML name'

good_folder count-word
sed -i 's#<WerNum>2<#<WerNum>two<#' "$CHECKS/count-word/$WT_DATA_FILE"
faulty count-word 'WerNum: "two" is not a number; the tool would stop with 18 (convert decimal fail!)'

echo "# module elements"
good_folder count-too-high
sed -i 's#<WerNum>2<#<WerNum>3<#' "$CHECKS/count-too-high/$WT_DATA_FILE"
faulty count-too-high "WER3: missing (WerNum is 3); the tool would stop with 3 (unknow xml evelment!) at WER3, before touching anything"

good_folder count-too-low
sed -i 's#<WerNum>2<#<WerNum>1<#' "$CHECKS/count-too-low/$WT_DATA_FILE"
faulty count-too-low "WER2: beyond WerNum (1); the tool never reads it"

good_folder borrowed
sed -i 's#<WER1><UpdateModule>core.dll</UpdateModule></WER1>#<WER1></WER1>#' "$CHECKS/borrowed/$WT_DATA_FILE"
# The tool then reads profiles.dll twice, and refuses the list.
faulty borrowed 'WER1: UpdateModule missing; the tool would read WER2'"'"'s "profiles.dll" instead, so WER1'"'"'s own module is never replaced' 2

good_folder unsafe-name
wt_write_description "$CHECKS/unsafe-name" 4.20 0137 03 '..\core.dll' profiles.dll
faulty unsafe-name 'WER1: module name "..\core.dll" leaves the install folder'

good_folder subfolder
wt_write_description "$CHECKS/subfolder" 4.20 0137 03 core.dll 'bin\profiles.dll'
mkdir -p "$CHECKS/subfolder/bin" && mv "$CHECKS/subfolder/profiles.dll" "$CHECKS/subfolder/bin/"
faulty subfolder 'WER2: module "bin\profiles.dll" is in a subfolder; the tool makes the backup folder but not the subfolder inside it, so moving the installed module aside fails with 13 (move file error!) on every machine'

good_folder typo
wt_write_description "$CHECKS/typo" 4.20 0137 03 core.dll proflies.dll
faulty typo 'WER2: new copy "proflies.dll" missing from this folder; the tool would stop with 14 (copy file error!)'

good_folder twice
wt_write_description "$CHECKS/twice" 4.20 0137 03 core.dll CORE.dll
faulty twice 'WER2: "CORE.dll" is the file WER1 lists already ("core.dll")'
# Letters outside ASCII in either case are one file too.
good_folder twice-accented
wt_write_description "$CHECKS/twice-accented" 4.20 0137 03 $'\xC4x.dll' $'\xE4X.DLL'
printf 'new' >"$CHECKS/twice-accented/$(printf '\xC4x.dll' | iconv -f CP1252 -t UTF-8)"
check twice-accented 1
expect_whole twice-accented "WER2: \"$(printf '\xE4X.DLL' | iconv -f CP1252 -t UTF-8)\" is the file WER1 lists already (\"$(printf '\xC4x.dll' | iconv -f CP1252 -t UTF-8)\"); another module was likely meant, and the tool refuses the list with 13 (move file error!) here, before touching anything"

echo "# names the tool refuses before it touches a module, and names it takes"
REFUSED="; the tool refuses it with 13 (move file error!) here, before touching anything"
good_folder device
wt_write_description "$CHECKS/device" 4.20 0137 03 core.dll COM1
# A serial port: the checker must never open it (it would wait on the port).
faulty device "WER2: module name \"COM1\" names a Windows device (CON, PRN, AUX, NUL, COM1 to COM9 or LPT1 to LPT9, in any case and with any extension), never a file$REFUSED"
expect_line device "  WER2          COM1: a name the tool refuses"
good_folder device-extension
wt_write_description "$CHECKS/device-extension" 4.20 0137 03 'nul .dll' profiles.dll
faulty device-extension 'WER1: module name "nul .dll" names a Windows device'
good_folder backup-root
wt_write_description "$CHECKS/backup-root" 4.20 0137 03 core.dll UpdateBackup
faulty backup-root "WER2: module name \"UpdateBackup\" lies in the backup folder \"UpdateBackup\", where the originals are kept$REFUSED"
good_folder dot-steps
wt_write_description "$CHECKS/dot-steps" 4.20 0137 03 './core.dll' '.\profiles.dll'
check dot-steps 0
expect_line dot-steps "  WER2          .\profiles.dll: $(fingerprint "$CHECKS/dot-steps/profiles.dll")"

echo "# new copies with attributes that stand in the way"
good_folder attributes
wt_make_read_only "$CHECKS/attributes/core.dll"
wt_add_attribute h 'C:\checks\attributes\profiles.dll'
wt_add_attribute s 'C:\checks\attributes\profiles.dll'
faulty attributes 'WER1: new copy "core.dll" is read-only; the copy gives the installed module the same attributes, which stand in the way of the next patch and of an undo: clear them' 2
expect_line attributes 'WER2: new copy "profiles.dll" is hidden and system;'

echo "# lines outside ASCII, printed whole"
# The tool widens the description's bytes with the ANSI code page (1252
# here): a full-width digit and CJK characters become three Latin-1
# characters each. To a file the checker writes UTF-8.
good_folder wide-count
sed -i $'s#<WerNum>2<#<WerNum>\xEF\xBC\x93<#' "$CHECKS/wide-count/$WT_DATA_FILE"
check wide-count 1
widened_count=$(printf '\xEF\xBC\x93' | iconv -f CP1252 -t UTF-8)
expect_whole wide-count "WerNum: \"$widened_count\" is not a number; the tool would stop with 18 (convert decimal fail!) before touching anything"
expect_whole wide-count "  WerNum        $widened_count"
expect_whole wide-count "1 problem(s) found: qlpatch.exe would not apply this folder cleanly."
good_folder wide-name
wt_write_description "$CHECKS/wide-name" 4.20 0137 03 core.dll $'\xE6\x97\xA5\xE6\x9C\xAC.dll'
check wide-name 1
widened_name=$(printf '\xE6\x97\xA5\xE6\x9C\xAC.dll' | iconv -f CP1252 -t UTF-8)
expect_whole wide-name "WER2: new copy \"$widened_name\" missing from this folder; the tool would stop with 14 (copy file error!) here, before touching anything"
expect_whole wide-name "  WER2          $widened_name: missing from this folder"
# The file it meant is there: the name was saved as UTF-8.
good_folder saved-as-utf8
wt_write_description "$CHECKS/saved-as-utf8" 4.20 0137 03 core.dll $'\xE6\x97\xA5\xE6\x9C\xAC.dll'
printf 'new' >"$CHECKS/saved-as-utf8/"$'\xE6\x97\xA5\xE6\x9C\xAC.dll'
check saved-as-utf8 1
expect_whole saved-as-utf8 "WER2: new copy \"$widened_name\" missing from this folder; the tool would stop with 14 (copy file error!) here, before touching anything; the file here is \"$(printf '\xE6\x97\xA5\xE6\x9C\xAC')"'.dll": the description was saved as UTF-8, and the tool reads its bytes in the machine'"'"'s ANSI code page'
# To a console, through its own wide output: the same line on a terminal.
if command -v script >/dev/null; then
  (cd "$CHECKS/wide-name" && script -q -e -c "wine 'C:\\checks\\wide-name\\qlpatch-check.exe'" \
     "$WT_TMP/console.raw" </dev/null >/dev/null 2>&1)
  tr -d '\r' <"$WT_TMP/console.raw" | sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' >"$OUTPUT"
  expect_whole "wide-name on a console" "  WER2          $widened_name: missing from this folder"
fi

echo "# folders that cannot be read"
wt_run_program "$WT_BIN" 'C:\qltest\qlpatch_check.exe' 'C:\checks\nowhere'
tr -d '\r' <"$WT_OUTPUT_FILE" >"$OUTPUT"
wt_check_exit "a folder that does not exist" 2
expect_line "a folder that does not exist" 'C:\checks\nowhere: cannot open this folder'

wt_run_program "$WT_BIN" 'C:\qltest\qlpatch_check.exe' 'C:\checks\good\core.dll'
wt_check_exit "a file given as the folder" 2

good_folder arguments
wt_run_program "$CHECKS/arguments" 'C:\checks\arguments\qlpatch-check.exe' . extra
wt_check_exit "two arguments" 2

wt_finish
