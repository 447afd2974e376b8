#!/usr/bin/env bash
# Query mode of qlpatch.exe under Wine: `qlpatch.exe -c patch` answers the
# patch state as its exit code and prints nothing; a wrong command line
# answers 22, -1 or 21.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
wt_setup "$@"

PATCH_DIR="$WT_C/patch"                 # the tool's current folder
INSTALL='C:\Qorlink'
RECORD="$WT_C/Qorlink/UpdateBackup/QlPatch.xml"

# A product 4.20 build 0137 with no record, and a description file for its
# patch 03.
fresh_machine() {
  rm -rf "$PATCH_DIR" "$WT_C/Qorlink"
  mkdir -p "$WT_C/Qorlink"
  wt_set_install 4.20 0137 "$INSTALL"
  wt_write_description "$PATCH_DIR" 4.20 0137 03 core.dll
}

# query NAME EXPECTED [ARGS...]: runs the tool (by default with -c patch) and
# checks its exit code and that it printed nothing.
query() {
  local name=$1 expected=$2
  shift 2
  [ $# -gt 0 ] || set -- -c patch
  wt_run "$PATCH_DIR" "$@"
  wt_check_exit "$name" "$expected"
  wt_check_silent "$name"
}

echo "# patch state from the record"
fresh_machine
query "no record file" 17

wt_write_record "$RECORD" 4.20 03 03
query "record with CurVersion 03 for patch 03" 19

wt_write_record "$RECORD" 4.20 04 03 04
query "record with a later CurVersion 04" 19

wt_write_record "$RECORD" 4.20 02 02
query "record with an earlier CurVersion 02" 16

wt_write_record "$RECORD" 4.10 05 05
query "record only for version 4.10" 16

wt_write_record "$RECORD" 4.20 "" 03
query "record with an empty CurVersion" 18

wt_write_record "$RECORD" 4.20 3 3
query "record with CurVersion 3 for patch 03 (compared as numbers)" 19

wt_write_record "$RECORD" 4.20 03 03
tr -d '\r' <"$RECORD" >"$RECORD.lf" && mv "$RECORD.lf" "$RECORD"
query "record with LF line ends" 19

: >"$RECORD"
query "record file of zero bytes counts as missing" 17

printf '\r\n  \r\n' >"$RECORD"
query "record file of blank lines counts as missing" 17

echo "# installed product against the description file"
fresh_machine
wt_write_description "$PATCH_DIR" 4.200 0137 03 core.dll
query "description for version 4.200 on 4.20" 4

wt_write_description "$PATCH_DIR" 4.20 0138 03 core.dll
query "description for build 0138 on 0137" 5

wt_write_crlf "$PATCH_DIR/$WT_DATA_FILE" "<UpdateQL>" "    <Version>4.20</Version>" \
  "    <PatchVersion>03</PatchVersion>" "</UpdateQL>"
query "description without BuildID" 3

wt_write_crlf "$PATCH_DIR/$WT_DATA_FILE" "<UpdateQL>" "    <Version>4.20</Version>" \
  "    <BuildID>0137</BuildID>" "</UpdateQL>"
query "description without PatchVersion" 3

rm -f "$PATCH_DIR/$WT_DATA_FILE"
query "no description file in the current folder" 2

wt_write_description "$PATCH_DIR" 4.20 0137 03 core.dll
wt_clear_install
query "install key missing" 1

wt_set_install 4.20 0137 "$INSTALL" 64
query "install key only in the 64-bit view" 1

echo "# install folder outside the OEM code page"
for folder in 'C:\Qorlink-Ωμέγα' 'C:\Qorlink-数据'; do
  fresh_machine
  wt_set_install 4.20 0137 "$folder"
  query "no record under $folder" 17
  wt_write_record "$(wt_unix_path "$folder")/UpdateBackup/QlPatch.xml" 4.20 03 03
  query "record under $folder" 19
  rm -rf "$(wt_unix_path "$folder")"
done

echo "# command line"
fresh_machine
query "-x -c patch" 22 -x -c patch
query "patch without -c" 22 patch
query "-cpatch" 22 -cpatch
query "a lone -c" 22 -c
query "-c PATCH" -1 -c PATCH
query "-c patch -c other: the last command wins" -1 -c patch -c other
query "-c other -c patch: the last command wins" 17 -c other -c patch

args=()
for _ in $(seq 15); do args+=(-c patch); done
query "30 arguments" 17 "${args[@]}"
query "31 arguments" 21 "${args[@]}" -c

wt_write_record "$RECORD" 4.20 03 03
query "30 arguments with the record in place" 19 "${args[@]}"

wt_finish
