#!/usr/bin/env bash
# qlpatch.exe under the conditions a fleet makes: a second apply while one
# runs, a standard user's program squatting on the old lock's name, applies
# killed at several moments and run again, records left
# blank, foreign or unreadable, and patch identities that could never be
# recorded.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
wt_setup "$@"
wt_program_path service_driver >/dev/null || wt_die "no service_driver=PATH argument"
wt_program_path squatter >/dev/null || wt_die "no squatter=PATH argument"

PATCH_DIR="$WT_C/patch03"
INSTALL="$WT_C/Qorlink"
BACKUP="$INSTALL/UpdateBackup"
RECORD="$BACKUP/QlPatch.xml"
EXIT_LINE=$'Press any key to exit.\r\r\n'
DECLARATION='<?xml version="1.0" encoding="UTF-8" ?>'
MODULES=()

# fresh_machine 'QLSVC MODE' 'QLPROFILESVC MODE' [running|stopped] [MODULES] [MEGABYTES]:
# product 4.20 build 0137 with MODULES modules (2) padded to MEGABYTES
# (0), patch 03 for all of them, no backup folder, the two test services in
# the modes given.
fresh_machine() {
  local first=$1 second=$2 services=${3:-running}
  rm -rf "$WT_C/qlvictim"
  wt_lay_out_patch "$INSTALL" "$PATCH_DIR" "${4:-2}" "${5:-0}"
  MODULES=("${WT_MODULES[@]}")
  # shellcheck disable=SC2086  # the modes carry their milliseconds
  wt_register_service QlSvc $first
  # shellcheck disable=SC2086
  wt_register_service QlProfileSvc $second
  if [ "$services" = running ]; then
    wt_start_service QlSvc
    wt_start_service QlProfileSvc
  fi
}

check_output() {  # NAME EXPECTED
  wt_check "$1 (output)" "$(printf '%s' "$2" | od -An -c)" "$(od -An -c <"$WT_OUTPUT_FILE")"
}

# old, new (whole), part (the start of the new copy), missing or other.
module_state() {  # FILE MODULE
  if [ ! -f "$1" ]; then
    echo missing
  elif cmp -s "$1" "$INSTALL.original/$2"; then
    echo old
  elif cmp -s "$1" "$PATCH_DIR/$2"; then
    echo new
  elif cmp -s "$1" "$PATCH_DIR/$2" -n "$(stat -c %s "$1")"; then
    echo part
  else
    echo other
  fi
}

keep_originals() {
  rm -rf "$INSTALL.original"
  cp -r "$INSTALL" "$INSTALL.original"
}

# Every original module installed or in the backup folder; an installed
# copy is the original, the new one, or the new one being written over a
# backed-up original.
check_no_module_lost() {  # NAME
  local module installed backed problems=""
  for module in "${MODULES[@]}"; do
    installed=$(module_state "$INSTALL/$module" "$module")
    backed=$(module_state "$BACKUP/Patch03/$module" "$module")
    if [ "$installed" != old ] && [ "$backed" != old ]; then problems+="$module lost; "; fi
    if [ "$installed" = other ] || { [ "$installed" = part ] && [ "$backed" != old ]; }; then
      problems+="$module holds other bytes; "
    fi
  done
  wt_check "$1: no module lost" "" "$problems"
}

modules_in_state() {  # STATE: how many installed modules are in it
  local module n=0
  for module in "${MODULES[@]}"; do
    [ "$(module_state "$INSTALL/$module" "$module")" = "$1" ] && n=$((n + 1))
  done
  echo "$n"
}

# The tool run again finishes the patch: every module new and backed up,
# one Patch03 element, and the query answers 19.
check_run_again_completes() {  # NAME
  local module backed=0
  wt_run "$PATCH_DIR"
  wt_check_exit "$1, run again" 0
  wt_check "$1, run again: every module new" "${#MODULES[@]}" "$(modules_in_state new)"
  for module in "${MODULES[@]}"; do
    [ "$(module_state "$BACKUP/Patch03/$module" "$module")" = old ] && backed=$((backed + 1))
  done
  wt_check "$1, run again: every original backed up" "${#MODULES[@]}" "$backed"
  wt_check "$1, run again: one Patch03 element" 1 "$(grep -c '<Patch03>' "$RECORD" 2>/dev/null)"
  wt_run "$PATCH_DIR" -c patch
  wt_check_exit "$1, run again: query" 19
}

echo "# a second apply while one runs"
fresh_machine "stop-delay 15000" stop-now
keep_originals
wt_start_tool "$PATCH_DIR"
wt_wait_service_state QlSvc "$STOP_PENDING" 60 || wt_fail "the first apply never stopped QlSvc"
wt_run "$PATCH_DIR"
wt_check_exit "second apply" 1618
check_output "second apply" $'another update is running!\r\r\n'"$EXIT_LINE"
wt_check "second apply: nothing moved" "absent ${#MODULES[@]}" \
  "$([ -e "$BACKUP/Patch03" ] && echo present || echo absent) $(modules_in_state old)"
wt_check "the first apply holds its lock file" present \
  "$([ -e "$BACKUP/qlpatch.lock" ] && echo present || echo absent)"
wt_run "$PATCH_DIR" -c patch
wt_check_exit "query while an apply runs (no lock, no wait)" 17
wt_wait_tool
wt_check "first apply" 0 "$WT_EXIT"
wt_check "first apply: every module new" "${#MODULES[@]}" "$(modules_in_state new)"
wt_check "first apply: one Patch03 element" 1 "$(grep -c '<Patch03>' "$RECORD" 2>/dev/null)"
wt_check "first apply: its lock file is gone" absent "$([ -e "$BACKUP/qlpatch.lock" ] && echo present || echo absent)"

# The lock is a file beside the record, where only administrators can
# create one: a standard user's program holding a mutex of the name the
# lock once had blocks nothing, and a lock file left with no holder (a
# power cut) is taken over.
lock_squatter_cases() {
  local squatter
  echo "# a program holding a mutex of the old lock's name"
  fresh_machine stop-now stop-now
  rm -f "$WT_BIN/squatter.ready"
  (cd "$WT_BIN" && exec wine 'C:\qltest\squatter.exe' --hold-mutex 'Global\Tarvex.Qorlink.qlpatch' \
     'C:\qltest\squatter.ready' >/dev/null 2>&1 </dev/null) &
  squatter=$!
  wt_wait_for_file "$WT_BIN/squatter.ready" 60 || wt_fail "the squatter did not start"
  wt_run "$PATCH_DIR"
  wt_check_exit "apply while the old mutex is held" 0
  wt_check "apply while the old mutex is held: every module new" "${#MODULES[@]}" "$(modules_in_state new)"
  wt_kill_own "$squatter"
  wait "$squatter" 2>/dev/null

  echo "# a lock file left by a run that lost power"
  fresh_machine stop-now stop-now
  mkdir -p "$BACKUP"
  : >"$BACKUP/qlpatch.lock"
  wt_run "$PATCH_DIR"
  wt_check_exit "apply over a lock file left behind" 0
  wt_check "apply over a lock file left behind: the file is gone" absent \
    "$([ -e "$BACKUP/qlpatch.lock" ] && echo present || echo absent)"
}
lock_squatter_cases

echo "# killed in the first service's stop wait"
fresh_machine "stop-delay 12000" stop-now
keep_originals
wt_start_tool "$PATCH_DIR"
wt_wait_service_state QlSvc "$STOP_PENDING" 60 || wt_fail "the apply never stopped QlSvc"
wt_kill_tool
check_no_module_lost "killed stopping QlSvc"
wt_check "killed stopping QlSvc: nothing moved" "${#MODULES[@]}" "$(modules_in_state old)"
wt_wait_service_state QlSvc "$STOPPED" || wt_fail "QlSvc did not finish stopping"
check_run_again_completes "killed stopping QlSvc"

echo "# killed in the second service's stop wait"
fresh_machine stop-now "stop-delay 12000"
keep_originals
wt_start_tool "$PATCH_DIR"
wt_wait_service_state QlProfileSvc "$STOP_PENDING" 60 || wt_fail "the apply never stopped QlProfileSvc"
wt_kill_tool
check_no_module_lost "killed stopping QlProfileSvc"
wt_wait_service_state QlProfileSvc "$STOPPED" || wt_fail "QlProfileSvc did not finish stopping"
check_run_again_completes "killed stopping QlProfileSvc"

echo "# killed in the module phase (8 modules of 32 MB)"
fresh_machine stop-now stop-now stopped 8 32
keep_originals
wt_start_tool "$PATCH_DIR"
wt_wait_until 120 test -e "$BACKUP/Patch03/module2.dll" || wt_fail "the apply never moved module2.dll"
wt_kill_tool
echo "# killed with $(modules_in_state new) of 8 modules new, $(modules_in_state part) being written"
check_no_module_lost "killed replacing modules"
wt_check "killed replacing modules: nothing recorded" absent \
  "$([ -e "$RECORD" ] && echo present || echo absent)"
check_run_again_completes "killed replacing modules"
rm -rf "$INSTALL.original"

echo "# killed in the start phase"
fresh_machine "start-delay 6000" stop-now
keep_originals
wt_start_tool "$PATCH_DIR"
wt_wait_service_state QlSvc "$START_PENDING" 90 || wt_fail "the apply never started QlSvc"
wt_kill_tool
check_no_module_lost "killed starting QlSvc"
wt_check "killed starting QlSvc: every module new" "${#MODULES[@]}" "$(modules_in_state new)"
wt_check "killed starting QlSvc: nothing recorded" absent \
  "$([ -e "$RECORD" ] && echo present || echo absent)"
wt_wait_service_state QlSvc "$RUNNING" || wt_fail "QlSvc did not finish starting"
check_run_again_completes "killed starting QlSvc"

echo "# records a fleet leaves behind"
# More element starts than the tool hands to the XML library (2,000).
deep=$DECLARATION
for ((i = 0; i <= 2000; i++)); do deep+="<a>"; done
record_case() {  # NAME KEPT(yes|no) FILE: the record the apply finds
  fresh_machine stop-now stop-now stopped
  mkdir -p "$BACKUP"
  cp "$3" "$RECORD"
  wt_run "$PATCH_DIR" -c patch
  if [ "$2" = yes ]; then
    wt_check_exit "record $1: query before the apply" 16
  else
    wt_check_exit "record $1: counts as missing" 17
  fi
  wt_run "$PATCH_DIR"
  wt_check_exit "record $1: apply" 0
  wt_check "record $1: one Patch03 element" 1 "$(grep -c '<Patch03>' "$RECORD" 2>/dev/null)"
  wt_run "$PATCH_DIR" -c patch
  wt_check_exit "record $1: query after the apply" 19
  if [ "$2" = yes ]; then
    wt_check_file "record $1: its bytes kept" "$BACKUP/QlPatch.xml.damaged" "$3"
  else
    wt_check "record $1: nothing to keep" absent \
      "$([ -e "$BACKUP/QlPatch.xml.damaged" ] && echo present || echo absent)"
  fi
}
head -c 4096 /dev/zero >"$WT_TMP/zeros.xml"
printf '\xEF\xBB\xBF' >"$WT_TMP/bom.xml"
printf '%s\r\n<Other />\r\n' "$DECLARATION" >"$WT_TMP/foreign.xml"
printf '%s\r\n<UpdateQL>\r\n    <QL4.20>\r\n        <CurVersion>02\xE2\x82' "$DECLARATION" >"$WT_TMP/cut.xml"
printf '%s' "$deep" >"$WT_TMP/deep.xml"
record_case "of 4096 zero bytes" no "$WT_TMP/zeros.xml"
record_case "of a lone byte-order mark" no "$WT_TMP/bom.xml"
record_case "with a foreign root" yes "$WT_TMP/foreign.xml"
record_case "cut inside a character" yes "$WT_TMP/cut.xml"
record_case "nested too deeply" yes "$WT_TMP/deep.xml"

echo "# the deepest record the XML limit allows: loaded, searched, saved, read back and freed"
# 1,993 nested elements in the root: with the six the patch adds, the saved
# record holds exactly 2,000 element starts, so even its read-back parses
# at full depth.
fresh_machine stop-now stop-now stopped
mkdir -p "$BACKUP"
{
  printf '%s\r\n<UpdateQL>' "$DECLARATION"
  for ((i = 0; i < 1993; i++)); do printf '<a>'; done
  for ((i = 0; i < 1993; i++)); do printf '</a>'; done
  printf '</UpdateQL>\r\n'
} >"$RECORD"
wt_run "$PATCH_DIR" -c patch
wt_check_exit "deepest record: query" 16
wt_run "$PATCH_DIR"
wt_check_exit "deepest record: apply" 0
wt_check "deepest record: element starts after the apply" 2000 "$(grep -o '<[A-Za-z_]' "$RECORD" | wc -l)"
wt_check "deepest record: extended, not replaced" absent \
  "$([ -e "$BACKUP/QlPatch.xml.damaged" ] && echo present || echo absent)"
wt_run "$PATCH_DIR" -c patch
wt_check_exit "deepest record: query after the apply" 19

echo "# patch identities that could never be recorded"
fresh_machine stop-now stop-now
keep_originals
identity_case() {  # NAME VERSION PATCHVERSION
  wt_set_install "$2" 0137 'C:\Qorlink'
  wt_write_description "$PATCH_DIR" "$2" 0137 "$3" "${MODULES[@]}"
  wt_run "$PATCH_DIR"
  wt_check_exit "$1: apply" 3
  check_output "$1" $'unknow xml evelment!\r\r\n'"$EXIT_LINE"
  wt_run "$PATCH_DIR" -c patch
  wt_check_exit "$1: query" 3
  wt_check "$1: nothing moved (the run log only)" "nothing absent ${#MODULES[@]}" \
    "$(wt_beside_log "$BACKUP") $([ -e "$WT_C/qlvictim" ] && echo present || echo absent) $(modules_in_state old)"
}
identity_case "empty PatchVersion" 4.20 ""
identity_case "PatchVersion 3 hotfix" 4.20 "3 hotfix"
identity_case "PatchVersion +3" 4.20 "+3"
identity_case "path-like PatchVersion" 4.20 '03\..\..\..\..\..\qlvictim'
identity_case "Version 4.20 SP1" "4.20 SP1" 03
wt_check "patch identities: services never stopped" "$RUNNING $RUNNING" \
  "$(wt_service_state QlSvc) $(wt_service_state QlProfileSvc)"
rm -rf "$INSTALL.original"

wt_finish
